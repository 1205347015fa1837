#pragma once
// The fixture of the socket component's tests: a socket on the test thread, its events written
// into a log, loopback peers on plain system sockets, and the pumps of the thread's queue.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "EventSocket.h"
#include "EventSocketTestSupport.h"
#include "EventSocketWindow.h"
#include "PosixPeer.h"
#include "SysUtils.h"

using Strings = std::vector<std::string>;

inline bool PumpOne() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

// Takes steps until done holds or the time is up.
inline bool StepUntil(const std::function<bool()>& done, const std::function<void()>& step, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > milliseconds) return false;
        step();
    }
    return true;
}

// Serves the test thread's queue until done holds or the time is up.
inline bool PumpUntil(const std::function<bool()>& done, DWORD milliseconds = 5000) {
    return StepUntil(done, [] { if (!PumpOne()) Sleep(1); }, milliseconds);
}

// Serves the queue for a while, for what must not come.
inline void PumpFor(DWORD milliseconds) {
    PumpUntil([] { return false; }, milliseconds);
}

// Sleeps (serving what other threads send to this one, but nothing posted) until done, for at
// most 10 s: for states that come without the thread's own messages.
inline bool SleepUntil(const std::function<bool()>& done) {
    return StepUntil(done, [] { Sleep(1); }, 10000);
}

// What the peer's end reads once the other end is gone; -EAGAIN while it is still open.
inline long PeerEnd(int peer) {
    char byte;
    long got = -EAGAIN;
    SleepUntil([&] { return (got = PosixPeer::Read(peer, &byte, 1, PosixPeer::kMsgDontWait)) != -EAGAIN; });
    return got;
}

inline bool ClassRegistered() {
    WNDCLASSA info{};
    return GetClassInfoA(GetModuleHandleA(nullptr), SocketWindowClassName, &info) != FALSE;
}

// The values that a new socket has and that every close restores.
inline void ExpectClosedDefaults(const TCustomEventSocket& socket) {
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_EQ(socket.HSocket(), INVALID_SOCKET);
    EXPECT_EQ(socket.Proto(), "tcp");
    EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(socket.LocalPort(), "0");
    EXPECT_EQ(socket.LingerOnOff, wsLingerOn);
    EXPECT_EQ(socket.LingerTimeout, 0);
    EXPECT_EQ(socket.FlushTimeout, 60);
    EXPECT_EQ(socket.ReadCount(), 0);
}


// A socket of the same chain that lets a test look into its send queue and count its read
// events and receive calls, as the layers above it override them.
class TProbeSocket final : public TCustomSyncEventSocket {
public:
    static TProbeSocket* Create(TComponent* AOwner) {
        auto* socket = new TProbeSocket(AOwner);
        socket->AfterConstruction();
        return socket;
    }
    ~TProbeSocket() override { DestroySocket(); }

    // The pending bytes of every block, first to last.
    std::vector<int> QueuedBlocks() const {
        std::vector<int> blocks;
        for (const auto& block : FBufList) blocks.push_back(block->Written() - block->Sent());
        return blocks;
    }
    std::vector<int> ReceiveSizes;  // BufferSize of every RecvData call
    std::vector<int> CallsPerReadEvent;  // OnDataAvailable calls of each read event
    int CloseEvents = 0;

protected:
    int RecvData(void* Buffer, int BufferSize, int Flags) override {
        ReceiveSizes.push_back(BufferSize);
        return TCustomSyncEventSocket::RecvData(Buffer, BufferSize, Flags);
    }
    bool FireDataAvailable(WORD ErrCode) override {
        if (!CallsPerReadEvent.empty()) ++CallsPerReadEvent.back();
        return TCustomSyncEventSocket::FireDataAvailable(ErrCode);
    }
    void HandleReadEvent(TSocketMessage& Message) override {
        CallsPerReadEvent.push_back(0);
        TCustomSyncEventSocket::HandleReadEvent(Message);
    }
    void HandleCloseEvent(TSocketMessage& Message) override {
        ++CloseEvents;
        TCustomSyncEventSocket::HandleCloseEvent(Message);
    }

private:
    explicit TProbeSocket(TComponent* AOwner) : TCustomSyncEventSocket(AOwner) {}
};

// A peer that reads on a thread of its own until the stream ends, slowly when asked to.
class TPeerReader {
public:
    TPeerReader(int peer, DWORD pauseEvery4k) : FPeer(peer), FPause(pauseEvery4k) {
        FThread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    // What came, and how the stream ended (0 end, negative errno).
    std::string Finish(long* end = nullptr) {
        WaitForSingleObject(FThread, 60000);
        CloseHandle(FThread);
        FThread = nullptr;
        if (end) *end = FEnd;
        return FData;
    }
    ~TPeerReader() {
        if (FThread) Finish();
    }

private:
    static DWORD Run(LPVOID self) {
        auto* reader = static_cast<TPeerReader*>(self);
        char buffer[4096];
        for (;;) {
            const long got = PosixPeer::Read(reader->FPeer, buffer, sizeof buffer);
            if (got <= 0) {
                reader->FEnd = got;
                return 0;
            }
            reader->FData.append(buffer, static_cast<std::size_t>(got));
            if (reader->FPause) Sleep(reader->FPause);
        }
    }
    int FPeer;
    DWORD FPause;
    HANDLE FThread = nullptr;
    std::string FData;
    long FEnd = 0;
};

// count bytes of a recognisable pattern, starting at offset.
inline std::string Pattern(std::size_t count, std::size_t offset = 0) {
    std::string data(count, '\0');
    for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<char>('a' + (offset + i) % 23);
    return data;
}

class TEventSocketFixture : public ::testing::Test {
protected:
    void TearDown() override {
        for (int fd : FPeers) PosixPeer::Close(fd);
        delete Socket;
        // Every test leaves the process as it found it: no socket, no library, no class.
        EXPECT_EQ(SocketInstanceCount(), 0);
        EXPECT_FALSE(WinsockLoaded());
        EXPECT_FALSE(ClassRegistered());
    }

    // Writes every event of the socket into Log, in order.
    void Record(TCustomEventSocket* socket) {
        const auto entry = [this](const char* name) {
            return [this, name](TObject*, WORD code) { Log.push_back(std::string(name) + " " + IntToStr(code)); };
        };
        socket->OnSessionConnected = entry("connected");
        socket->OnSessionClosed = entry("closed");
        socket->OnSessionAvailable = entry("available");
        socket->OnDataSent = [this](TObject*, WORD code) { ++Sent; (void)code; };
        socket->OnChangeState = [this](TObject*, TSocketState from, TSocketState to) {
            Log.push_back("state " + IntToStr(from) + ">" + IntToStr(to));
        };
        socket->OnDataAvailable = [this, socket](TObject*, WORD code) {
            Log.push_back("data " + IntToStr(code));
            Received += socket->ReceiveText();
        };
    }

    // A connection accepted by a listener of the layer; peer becomes the other end.
    SOCKET Accepted(int& peer) {
        USHORT port = 0;
        const SOCKET listener = LayerListener(port);
        peer = PosixPeer::Connect(port);
        EXPECT_GE(peer, 0);
        FPeers.push_back(peer);
        const SOCKET accepted = BoundWinsock::accept(listener, nullptr, nullptr);
        EXPECT_NE(accepted, INVALID_SOCKET);
        BoundWinsock::closesocket(listener);
        return accepted;
    }

    // Such a connection adopted by socket; returns the peer's end.
    int Adopt(TCustomEventSocket* socket) {
        int peer = -1;
        socket->Dup(Accepted(peer));
        return peer;
    }

    // A listener of the layer on a free loopback port.
    static SOCKET LayerListener(USHORT& port) {
        const SOCKET listener = BoundWinsock::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = PosixPeer::Loopback(0);
        EXPECT_EQ(BoundWinsock::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(BoundWinsock::listen(listener, 5), 0);
        int length = sizeof address;
        BoundWinsock::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = BoundWinsock::ntohs(address.sin_port);
        return listener;
    }
    // A listening peer on a free loopback port.
    int PeerListener(USHORT& port) {
        const int listener = PosixPeer::Listener(&port);
        FPeers.push_back(listener);
        return listener;
    }
    int PeerAccept(int listener) {
        const int peer = PosixPeer::Accept(listener);
        EXPECT_GE(peer, 0);
        FPeers.push_back(peer);
        return peer;
    }
    // A loopback port that nothing listens on.
    static USHORT FreePort() {
        const int fd = PosixPeer::Socket(SOCK_STREAM);
        PosixPeer::Bind(fd, 0);
        const USHORT port = PosixPeer::PortOf(fd);
        PosixPeer::Close(fd);
        return port;
    }
    static void StartConnect(TCustomEventSocket* socket, USHORT port, const char* proto = "tcp") {
        socket->SetAddr("127.0.0.1");
        socket->SetPort(IntToStr(port));
        socket->SetProto(proto);
        socket->Connect();
    }
    // A stream connection made by socket's Connect to a peer of its own; returns the peer's end.
    int Connected(TCustomEventSocket* socket) {
        USHORT port = 0;
        const int listener = PeerListener(port);
        StartConnect(socket, port);
        const int peer = PeerAccept(listener);
        EXPECT_TRUE(PumpUntil([&] { return socket->State() == wsConnected; }));
        return peer;
    }
    // Small buffers at both ends, then the platform filled until it takes no more; returns
    // the count it took.
    static long FillPlatform(SOCKET handle, int peer) {
        PosixPeer::SetOption(peer, PosixPeer::kSoRcvBuf, 4096);
        const int size = 4096;
        BoundWinsock::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
        const std::string chunk = Pattern(1024);
        long filled = 0;
        for (;;) {
            const int sent = BoundWinsock::send(handle, chunk.data(), static_cast<int>(chunk.size()), 0);
            if (sent <= 0) break;
            filled += sent;
        }
        EXPECT_EQ(BoundWinsock::WSAGetLastError(), WSAEWOULDBLOCK);
        return filled;
    }
    // Reads count bytes at the peer while the queue is served.
    static std::string ReadWhilePumping(int peer, std::size_t count) {
        std::string data;
        char buffer[65536];
        PumpUntil([&] {
            const long got = PosixPeer::Read(peer, buffer, std::min(sizeof buffer, count - data.size()),
                                             PosixPeer::kMsgDontWait);
            if (got > 0) data.append(buffer, static_cast<std::size_t>(got));
            return data.size() >= count || (got <= 0 && got != -EAGAIN);
        }, 20000);
        return data;
    }
    int Closes() const {
        int closes = 0;
        for (const std::string& entry : Log) closes += entry.rfind("closed", 0) == 0;
        return closes;
    }

    void PostEvent(WPARAM handle, LONG events, WORD error = 0) {
        ASSERT_TRUE(PostMessageA(Socket->Handle(), WM_SOCKET_EVENT, handle, WSAMAKESELECTREPLY(events, error)));
    }

    TComponent Owner{nullptr};
    TEventSocket* Socket = TEventSocket::Create(nullptr);
    std::vector<std::string> Log;
    std::string Received;
    int Sent = 0;

    std::vector<int> FPeers;
};

