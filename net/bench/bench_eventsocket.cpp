// The socket component against what it stands on: a 1 GiB loopback stream received through
// OnDataAvailable and ReceiveBytes, and one sent through Send, each against a plain blocking
// loop of the same calls in the same run; and a listening component echoing 1000 clients that
// connect at once.

#include <benchmark/benchmark.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "EventSocket.h"
#include "PosixPeer.h"
#include "SysUtils.h"

namespace {

namespace peer = PosixPeer;

constexpr long long kStreamBytes = 1LL << 30;
constexpr int kChunk = 65536;

// The program's message loop: waits for each message, as an application's does.
template <class TDone>
void PumpUntil(TDone done) {
    MSG msg;
    while (!done() && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// A thread of its own that runs body once.
class TPeerThread {
public:
    explicit TPeerThread(std::function<void()> body) : FBody(std::move(body)) {
        FThread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~TPeerThread() {
        WaitForSingleObject(FThread, INFINITE);
        CloseHandle(FThread);
    }

private:
    static DWORD Run(LPVOID self) {
        static_cast<TPeerThread*>(self)->FBody();
        return 0;
    }
    std::function<void()> FBody;
    HANDLE FThread;
};

void Flood(int fd, long long bytes) {
    const std::string chunk(kChunk, 's');
    for (long long sent = 0; sent < bytes;) {
        const long n = peer::Write(fd, chunk.substr(0, static_cast<std::size_t>(std::min<long long>(kChunk, bytes - sent))));
        if (n <= 0) return;
        sent += n;
    }
}

void Drain(int fd, long long bytes) {
    std::vector<char> buffer(kChunk);
    for (long long got = 0; got < bytes;) {
        const long n = peer::Read(fd, buffer.data(), buffer.size());
        if (n <= 0) return;
        got += n;
    }
}

// A component connected to a peer's plain socket; the peer's end in *peerFd.
TEventSocket* ConnectedComponent(int* peerFd) {
    USHORT port = 0;
    const int listener = peer::Listener(&port);
    TEventSocket* socket = TEventSocket::Create(nullptr);
    socket->SetAddr("127.0.0.1");
    socket->SetPort(IntToStr(port));
    socket->Connect();
    *peerFd = peer::Accept(listener);
    peer::Close(listener);
    PumpUntil([&] { return socket->State() == wsConnected; });
    return socket;
}

void PeerPair(int* a, int* b) {
    USHORT port = 0;
    const int listener = peer::Listener(&port);
    *a = peer::Connect(port);
    *b = peer::Accept(listener);
    peer::Close(listener);
}

// ---- receiving ---------------------------------------------------------------------------------

void ReceiveThroughOnDataAvailable(benchmark::State& state) {
    int peerFd;
    TEventSocket* socket = ConnectedComponent(&peerFd);
    std::vector<char> buffer(kChunk);
    long long received = 0;
    socket->OnDataAvailable = [&](TObject*, WORD) {
        const int n = socket->ReceiveBytes(buffer.data(), kChunk);
        if (n > 0) received += n;
    };
    for (auto _ : state) {
        received = 0;
        TPeerThread writer([&] { Flood(peerFd, kStreamBytes); });
        PumpUntil([&] { return received >= kStreamBytes; });
    }
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
    delete socket;
    peer::Close(peerFd);
}
BENCHMARK(ReceiveThroughOnDataAvailable)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void ReceiveThroughBlockingRecv(benchmark::State& state) {
    int writerFd, readerFd;
    PeerPair(&writerFd, &readerFd);
    for (auto _ : state) {
        TPeerThread writer([&] { Flood(writerFd, kStreamBytes); });
        Drain(readerFd, kStreamBytes);
    }
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
    peer::Close(writerFd);
    peer::Close(readerFd);
}
BENCHMARK(ReceiveThroughBlockingRecv)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- sending -----------------------------------------------------------------------------------

void SendThroughSend(benchmark::State& state) {
    int peerFd;
    TEventSocket* socket = ConnectedComponent(&peerFd);
    const std::string chunk(kChunk, 'c');
    long long queued = 0;
    // Fed from OnDataSent: the queue holds one chunk at a time, as flow control would have it.
    socket->OnDataSent = [&](TObject*, WORD) {
        if (queued >= kStreamBytes) return;
        queued += kChunk;
        socket->Send(chunk.data(), kChunk);
    };
    for (auto _ : state) {
        queued = 0;
        TPeerThread reader([&] { Drain(peerFd, kStreamBytes); });
        queued += kChunk;
        socket->Send(chunk.data(), kChunk);
        PumpUntil([&] { return queued >= kStreamBytes; });
        socket->FlushSendQueue();
    }
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
    delete socket;
    peer::Close(peerFd);
}
BENCHMARK(SendThroughSend)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void SendThroughBlockingSend(benchmark::State& state) {
    int writerFd, readerFd;
    PeerPair(&writerFd, &readerFd);
    for (auto _ : state) {
        TPeerThread reader([&] { Drain(readerFd, kStreamBytes); });
        Flood(writerFd, kStreamBytes);
    }
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
    peer::Close(writerFd);
    peer::Close(readerFd);
}
BENCHMARK(SendThroughBlockingSend)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- serving many clients ----------------------------------------------------------------------

// 1000 clients connect at once, each sends a line and reads its echo; failures are counted.
void EchoThousandClients(benchmark::State& state) {
    constexpr int clients = 1000;
    TEventSocket* server = TEventSocket::Create(nullptr);
    std::vector<std::unique_ptr<TEventSocket>> served;
    int acceptFailures = 0;
    server->OnError = [&](TObject*) { ++acceptFailures; };
    server->OnSessionAvailable = [&](TObject*, WORD) {
        const SOCKET handle = server->Accept();
        if (handle == INVALID_SOCKET) return;
        TEventSocket* client = TEventSocket::Create(nullptr);
        served.emplace_back(client);
        client->OnDataAvailable = [client](TObject*, WORD) { client->SendText(client->ReceiveText()); };
        client->Dup(handle);
    };
    server->ListenBacklog = clients;
    server->SetAddr("127.0.0.1");
    server->SetPort("0");
    server->Listen();
    const USHORT port = static_cast<USHORT>(StrToInt(server->GetBoundPort()));
    long failures = 0;
    for (auto _ : state) {
        served.clear();
        std::atomic<bool> done{false};
        const DWORD loop = GetCurrentThreadId();
        TPeerThread crowd([&] {
            std::vector<int> fds;
            for (int i = 0; i < clients; ++i) fds.push_back(peer::Connect(port));
            const auto line = [](std::size_t i) { return "line " + IntToStr(static_cast<int>(i)); };
            for (std::size_t i = 0; i < fds.size(); ++i)
                if (fds[i] < 0 || peer::Write(fds[i], line(i)) <= 0) ++failures;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i] >= 0 && peer::ReadExactly(fds[i], line(i).size()) != line(i)) ++failures;
                peer::Close(fds[i]);
            }
            done = true;
            PostThreadMessageA(loop, WM_NULL, 0, 0);  // wakes the loop to see it
        });
        PumpUntil([&] { return done.load(); });
    }
    state.counters["failures"] = static_cast<double>(failures + acceptFailures);
    state.counters["served"] = static_cast<double>(served.size());
    served.clear();
    delete server;
}
BENCHMARK(EchoThousandClients)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
