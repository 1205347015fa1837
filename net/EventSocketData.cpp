// The socket's data path: receiving, the receive loop, the send queue and the message pumps.

#include "CustomEventSocket.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "SysUtils.h"

namespace {

// The receive loop's share of the thread: a run works ReceiveSliceMs at most (and the call of
// the handler that is running then). What is left comes with a read event of the socket's own,
// behind what the thread's queue holds already; the message loop serves the rest of its work
// (its window, clicks, signals) between two runs.
constexpr DWORD ReceiveSliceMs = 10;

bool EndsConnection(int Error) {
    switch (Error) {
    case WSAEINVAL:
    case WSAENOTSOCK:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAENOTCONN: return true;
    default: return false;
    }
}

std::atomic<TEventSocketApplicationPump> applicationPump{nullptr};

}  // namespace

void SetEventSocketApplicationPump(TEventSocketApplicationPump Pump) { applicationPump.store(Pump); }

int TCustomEventSocket::RecvData(void* Buffer, int BufferSize, int Flags) {
    const int result = BoundWinsock::recv(FHSocket, static_cast<char*>(Buffer), BufferSize, Flags);
    if (result > 0 && (Flags & MSG_PEEK) == 0) FBytesTaken += static_cast<unsigned>(result);
    return result;
}

int TCustomEventSocket::ReceiveBytes(void* Buffer, int BufferSize) {
    const int result = RecvData(Buffer, BufferSize, 0);
    if (result < 0)
        FLastError = BoundWinsock::WSAGetLastError();
    else
        FReadCount += static_cast<std::uint32_t>(result);
    return result;
}

std::string TCustomEventSocket::ReceiveText() {
    int count = QueryRcvdCount();
    if (count < 0) return std::string();
    if (count == 0) count = 255;
    std::string text(static_cast<std::size_t>(count), '\0');
    const int received = ReceiveBytes(text.data(), count);
    text.resize(received > 0 ? static_cast<std::size_t>(received) : 0);
    return text;
}

int TCustomEventSocket::RecvFromData(SOCKET Handle, void* Buffer, int BufferSize, int Flags, sockaddr_in& From,
                                     int& FromLen) {
    const int result = BoundWinsock::recvfrom(Handle, static_cast<char*>(Buffer), BufferSize, Flags,
                                              reinterpret_cast<sockaddr*>(&From), &FromLen);
    if (result > 0 && (Flags & MSG_PEEK) == 0) FBytesTaken += static_cast<unsigned>(result);
    return result;
}

int TCustomEventSocket::ReceiveDatagram(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
    const int result = RecvFromData(FHSocket, Buffer, BufferSize, 0, From, FromLen);
    if (result < 0)
        FLastError = BoundWinsock::WSAGetLastError();
    else
        FReadCount += static_cast<std::uint32_t>(result);
    return result;
}

int TCustomEventSocket::QueryRcvdCount() {
    if (ComponentState() & csDesigning) return -1;
    ULONG pending = 0;
    if (BoundWinsock::ioctlsocket(FHSocket, FIONREAD, &pending) == SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(pending);
}

TCustomEventSocket::TReceiveEnd TCustomEventSocket::ReceiveLoop(WORD ErrCode, TEventSocketOptions Options) {
    FSliceStart = GetTickCount();
    const SOCKET handle = FHSocket;
    // What is pending, quietly: 0 when the handler has closed or replaced the session.
    const auto pending = [this, handle] {
        ULONG count = 0;
        if (!SameSession(handle) || BoundWinsock::ioctlsocket(FHSocket, FIONREAD, &count) == SOCKET_ERROR) return 0ul;
        return static_cast<unsigned long>(count);
    };
    char discard[1024];
    for (;;) {
        const unsigned long long takenBefore = FBytesTaken;
        bool failed = false;
        try {
            FLastError = 0;
            if (!FireDataAvailable(ErrCode) && RecvData(discard, sizeof discard, 0) < 0) {
                FLastError = BoundWinsock::WSAGetLastError();
                if (FLastError == WSAEWOULDBLOCK) {
                    FLastError = 0;
                    return TReceiveEnd::Drained;
                }
            }
        } catch (...) {
            // A failing data handler ends this run.
            failed = true;
        }
        // A handler that leaves the bytes where they are (failing or not) gets them again from
        // the message loop once the thread has had its turn: the platform reports them no more.
        // (One whose receive found nothing has not declined: what came since, the platform
        // reports, that receive having re-enabled its read event.)
        if (FBytesTaken == takenBefore)
            return FLastError == 0 && pending() > 0 ? TReceiveEnd::Declined : TReceiveEnd::Drained;
        if (failed || (Options & wsoNoReceiveLoop) != 0 || FLastError != 0) return TReceiveEnd::Drained;
        ULONG count = 0;
        if (BoundWinsock::ioctlsocket(FHSocket, FIONREAD, &count) == SOCKET_ERROR) {
            FLastError = BoundWinsock::WSAGetLastError();
            return TReceiveEnd::Drained;
        }
        if (count == 0) return TReceiveEnd::Drained;
        if (ReceiveSliceUsed()) return TReceiveEnd::Sliced;
    }
}

bool TCustomEventSocket::ReceiveSliceUsed() const { return GetTickCount() - FSliceStart >= ReceiveSliceMs; }

void TCustomEventSocket::ReadLater() {
    if (FHSocket != INVALID_SOCKET) PostOwnEvent(FD_READ, 1);
}

int TCustomEventSocket::SendChunk(const void* Data, int Len) {
    const char* bytes = static_cast<const char*>(Data);
    const int result = FType == SOCK_DGRAM
                           ? BoundWinsock::sendto(FHSocket, bytes, Len, FSendFlags,
                                                  reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin)
                           : BoundWinsock::send(FHSocket, bytes, Len, FSendFlags);
    return result;
}

void TCustomEventSocket::QueueData(const void* Data, int Len) {
    if (Len <= 0 || !Data) return;
    // Filling goes on in the last block that holds bytes (or the first of a new run).
    std::size_t index = FBufList.empty() ? 0 : FBufList.size() - 1;
    while (index > 0 && FBufList[index]->Written() == 0) --index;
    long long room = 0;
    for (std::size_t i = index; i < FBufList.size(); ++i) room += FBufList[i]->BlockSize() - FBufList[i]->Written();
    // Every block first: bytes that cannot all be queued are not queued at all.
    if (room < Len) AppendBlocks(static_cast<int>(Len - room));
    const char* bytes = static_cast<const char*>(Data);
    for (;;) {
        const int taken = FBufList[index]->Append(bytes, Len);
        if (taken == Len) return;
        bytes += taken;
        Len -= taken;
        ++index;
    }
}

void TCustomEventSocket::AppendBlocks(int Len) {
    // The blocks for one send lie end to end, so a send call can take several of them at once
    // straight from where they are.
    std::deque<std::unique_ptr<TBuffer>> blocks;
    try {
        for (int count = Len / FBufSize + (Len % FBufSize != 0); count > 0; count -= MaxBlocksPerRun) {
            const int inRun = std::min(count, MaxBlocksPerRun);
            std::shared_ptr<char[]> run(new char[static_cast<std::size_t>(inRun) * FBufSize]);
            for (int i = 0; i < inRun; ++i) blocks.push_back(std::make_unique<TBuffer>(run, i * FBufSize, FBufSize));
        }
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory();
    }
    for (auto& block : blocks) FBufList.push_back(std::move(block));
}

void TCustomEventSocket::ClearSendQueue() { FBufList.clear(); }

void TCustomEventSocket::TryToSend() {
    FSendFailed = false;
    // An empty queue has nothing unsent (a send of nothing, before any block exists).
    if (FBufList.empty()) FAllSent = true;
    if (FHSocket == INVALID_SOCKET || FBufList.empty()) return;
    const SOCKET handle = FHSocket;
    for (;;) {
        // Read afresh on every pass: an OnSendData handler may have sent, cleared the queue or
        // closed the socket.
        if (!SameSession(handle) || FBufList.empty()) return;
        TBuffer& first = *FBufList.front();
        int count = 0;
        const void* data = first.FirstUnsent(count);
        if (count == 0) {
            if (FBufList.size() > 1) {
                FBufList.pop_front();
                continue;
            }
            FAllSent = true;  // the last block stays for the next Send
            return;
        }
        count += FollowingUnsent(first);
        const int sent = SendChunk(data, count);
        if (sent == 0) return;
        if (sent < 0) {
            const int error = BoundWinsock::WSAGetLastError();
            if (EndsConnection(error)) {
                FCloseInvoked = true;  // the close below must not report the session a second time
                FSendFailed = true;    // nor try to deliver the queue first
                Disconnect();
                FireSessionClosed(static_cast<WORD>(error));
            } else if (error != WSAEWOULDBLOCK) {  // would block: the write event resumes
                FSendFailed = true;
                ReportSocketError("TryToSend failed");
            }
            return;
        }
        // The bytes count as gone before anyone hears of them.
        MarkQueueSent(sent);
        FireSendData(sent);
        if (sent < count) return;  // the rest waits for the write event
    }
}

int TCustomEventSocket::FollowingUnsent(const TBuffer& First) const {
    // Full blocks that continue the first one in memory, up to the first one that is not full.
    // Datagrams keep their boundaries: one block, one datagram.
    if (FType != SOCK_STREAM) return 0;
    int count = 0;
    const TBuffer* previous = &First;
    if (previous->Written() != previous->BlockSize()) return 0;
    for (std::size_t i = 1; i < FBufList.size() && i < static_cast<std::size_t>(MaxBlocksPerRun); ++i) {
        const TBuffer& next = *FBufList[i];
        if (next.Start() != previous->End() || next.Sent() != 0 || next.Written() == 0) break;
        count += next.Written();
        if (next.Written() != next.BlockSize()) break;
        previous = &next;
    }
    return count;
}

void TCustomEventSocket::MarkQueueSent(int Count) {
    for (std::size_t i = 0; i < FBufList.size() && Count > 0; ++i) Count -= FBufList[i]->MarkSent(Count);
}

int TCustomEventSocket::Send(const void* Data, int Len) {
    if (FState != wsConnected && FState != wsSocksConnected) {
        BoundWinsock::WSASetLastError(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FAllSent = false;
    int result = 0;
    if (Len > 0) {
        result = Len;
        QueueData(Data, Len);
    }
    TryToSend();
    // OnDataSent comes from the message loop, never from inside Send, so a handler that sends
    // again does not recurse. Two on their way serve any number of sends before them, and keep
    // a sender fed from OnDataSent one chunk ahead.
    if (FAllSent && FHSocket != INVALID_SOCKET) PostOwnEvent(FD_WRITE, 2);
    return result;
}

int TCustomEventSocket::SendDatagram(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
    const sockaddr_in dest = Dest;
    const int result = BoundWinsock::sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                                            reinterpret_cast<const sockaddr*>(&dest), DestLen);
    if (result > 0) {
        FireSendData(result);
        if (FAllSent && FType == SOCK_DGRAM && FHSocket != INVALID_SOCKET) PostOwnEvent(FD_WRITE, 2);
    }
    return result;
}

int TCustomEventSocket::SendText(const std::string& Str) {
    if (Str.empty()) return 0;
    return Send(Str.data(), static_cast<int>(Str.size()));
}

void TCustomEventSocket::ChangeSendFlags(TSocketSendFlags Value) {
    switch (Value) {
    case wsSendNormal: FSendFlags = 0; break;
    case wsSendUrgent: FSendFlags = MSG_OOB; break;
    default: ReportError("Invalid SendFlags");
    }
}

TSocketSendFlags TCustomEventSocket::SendFlags() const { return FSendFlags == MSG_OOB ? wsSendUrgent : wsSendNormal; }

void TCustomEventSocket::PumpMessages() {
    // What the pump dispatches may release the socket: it waits until the pump has returned.
    TSocketHold hold(*this);
    const TEventSocketApplicationPump pump = applicationPump.load();
    if (MultiThreaded || !pump)
        PumpThreadMessages();
    else
        pump();
}

void TCustomEventSocket::PumpThreadMessages() {
    while (PumpOneMessage()) {
    }
}

void TCustomEventSocket::WaitForMessages() {
    // The waits serve the queue in turns; between them the thread sleeps instead of spinning.
    if (!User32QueueHasMessages()) Sleep(1);
}

bool TCustomEventSocket::PumpOneMessage() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        FTerminated = true;
    } else {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}
