#include "TravoTcpClient.h"

#include <cstring>

#include "TravoTcpConstants.h"
#include "kernel32.h"
#include "user32.h"

namespace {

// The greeting's program byte of Wagenklang.
constexpr char WagenklangProgram = 2;
constexpr int ReplySize = 7;
constexpr int ReplyBlockSize = 1500;
// The longest wait of the receive loop while nothing is pending; the owner's close ends it at
// once.
constexpr DWORD PollInterval = 10;
// Connect, greeting and request run on the window's main thread, which answers nothing
// meanwhile: together they get this long from the start of the connect. A host that drops the
// connect request, or a server that holds the connection without finishing its replies, would
// otherwise stop the window for minutes or for good.
constexpr DWORD HandshakeTimeLimit = 5000;
// The end-of-request's reply, read by the receive thread, is due within this time from its send.
constexpr DWORD ReplyTimeLimit = 5000;
// Once less room than this is left, the block grows by its own size: a packet larger than the
// block is then taken in a few steps.
constexpr int GrowBelow = 512;

// select on the one socket, for reading or for the end of a connect: 1 ready, 0 when timeoutMs
// passed, else SOCKET_ERROR.
int WaitReady(SOCKET s, bool forWriting, DWORD timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval limit{};
    limit.tv_sec = static_cast<decltype(limit.tv_sec)>(timeoutMs / 1000);
    limit.tv_usec = static_cast<decltype(limit.tv_usec)>(timeoutMs % 1000 * 1000);
    return forWriting ? select(0, nullptr, &set, nullptr, &limit) : select(0, &set, nullptr, nullptr, &limit);
}

// What is left of limitMs counted from since; 0 once it has run out.
DWORD TimeLeft(DWORD since, DWORD limitMs) {
    const DWORD waited = GetTickCount() - since;
    return waited >= limitMs ? 0 : limitMs - waited;
}

double DoubleOf(ULONGLONG bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

// ---- TTravoBuffer ---------------------------------------------------------------------------------

TTravoBuffer::TTravoBuffer() { ChangeInitialSize(4096); }

void TTravoBuffer::ChangeInitialSize(int Value) { TPacketBuffer<TObject>::ChangeInitialSize(Value, true); }

// ---- TTravoTCP ------------------------------------------------------------------------------------

TTravoTCP::TTravoTCP() : FBuffer(std::make_unique<TTravoBuffer>()) {
    FBuffer->OnReceived = [this](TObject* Sender) { HandlePacket(Sender); };
}

TTravoTCP::~TTravoTCP() {
    Disconnect();
    while (FLoopRunning.load()) Sleep(1);
}

int TTravoTCP::Startup() { return WSAStartup(MAKEWORD(1, 1), &FWSAData) == 0 ? TravoOk : TravoStartupFailed; }

int TTravoTCP::Connect(const std::string& Host, int Port) {
    FHandshakeStart = GetTickCount();
    FHostEnt = gethostbyname(Host.c_str());
    if (!FHostEnt || !FHostEnt->h_addr_list || !FHostEnt->h_addr_list[0]) return TravoUnknownHost;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return TravoFailed;
    FSocket = s;
    FAddress = sockaddr_in{};
    FAddress.sin_family = AF_INET;
    FAddress.sin_port = htons(static_cast<USHORT>(Port & 0xFFFF));
    std::memcpy(&FAddress.sin_addr, FHostEnt->h_addr_list[0], sizeof FAddress.sin_addr);
    return ConnectInTime(s) ? TravoOk : TravoConnectFailed;
}

// A blocking connect to a host that drops the request waits for the system's own limit, about
// two minutes. The connect runs non-blocking instead, and is given up as refused once the
// handshake's time has run out; the socket is blocking again for the calls after it.
bool TTravoTCP::ConnectInTime(SOCKET s) {
    ULONG nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) return false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&FAddress), sizeof FAddress) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
        if (WaitReady(s, true, TimeLeft(FHandshakeStart, HandshakeTimeLimit)) != 1) return false;
        int error = 0;
        int length = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == SOCKET_ERROR) return false;
        if (error != 0) return false;
    }
    ULONG blocking = 0;
    return ioctlsocket(s, FIONBIO, &blocking) != SOCKET_ERROR;
}

int TTravoTCP::SendHello(const std::string& Name, BYTE Kind) {
    // The length travels in one byte: a longer name is cut, so that the frame stays true.
    const std::string name = Name.substr(0, 255);
    std::string payload;
    AppendWord(payload, CMD_HELLO);
    payload.push_back(WagenklangProgram);
    payload.push_back(static_cast<char>(Kind));
    payload.push_back(static_cast<char>(name.size()));
    payload += name;
    return Exchange(payload, CMD_HELLO_REPLY, TravoTooManyConnections, TravoSimulatorConnected,
                    TimeLeft(FHandshakeStart, HandshakeTimeLimit));
}

int TTravoTCP::RequestData(WORD Group, const std::vector<BYTE>& Ids) {
    return Request(Group, Ids, TimeLeft(FHandshakeStart, HandshakeTimeLimit));
}

int TTravoTCP::EndRequest() { return Request(0, {}, ReplyTimeLimit); }

int TTravoTCP::Request(WORD Group, const std::vector<BYTE>& Ids, DWORD TimeLimit) {
    std::string payload;
    AppendWord(payload, CMD_NEEDED_DATA);
    AppendWord(payload, Group);
    payload.append(Ids.begin(), Ids.end());
    return Exchange(payload, CMD_NEEDED_DATA_REPLY, TravoUnknownGroup, TravoRequestRefused, TimeLimit);
}

int TTravoTCP::Disconnect() {
    FStopRequested = true;
    const SOCKET s = FSocket.exchange(INVALID_SOCKET);
    if (s != INVALID_SOCKET) {
        shutdown(s, SD_SEND);
        Sleep(0);
        closesocket(s);
    }
    return TravoOk;
}

int TTravoTCP::Exchange(const std::string& Payload, WORD ReplyCode, int RefusedOne, int RefusedTwo, DWORD TimeLimit) {
    const std::string frame = AddLengthPrefix(Payload);
    const DWORD sentAt = GetTickCount();
    for (std::size_t sent = 0; sent < frame.size();) {
        const int n = send(FSocket, frame.data() + sent, static_cast<int>(frame.size() - sent), 0);
        if (n == SOCKET_ERROR) return TravoSendFailed;
        sent += static_cast<std::size_t>(n);
    }
    char reply[ReplySize];
    const int read = ReadReply(reply, sentAt, TimeLimit);
    if (read != TravoOk) return read;
    const WORD code = static_cast<WORD>((static_cast<BYTE>(reply[4]) << 8) | static_cast<BYTE>(reply[5]));
    if (code != ReplyCode) return TravoFailed;
    switch (static_cast<BYTE>(reply[6])) {
        case 0: return TravoOk;
        case 1: return RefusedOne;
        case 2: return RefusedTwo;
        default: return TravoFailed;
    }
}

// TCP delivers a byte stream: the reply may come in chunks, and data may follow it in the same
// chunk. Reads until the 7 reply bytes are there; what follows them is kept for the buffer. What
// has not come when the time limit from the send runs out counts as a short reply.
int TTravoTCP::ReadReply(char* Reply, DWORD SentAt, DWORD TimeLimit) {
    char block[ReplyBlockSize];
    int got = 0;
    while (got < ReplySize) {
        const DWORD left = TimeLeft(SentAt, TimeLimit);
        if (left == 0) return TravoShortReply;
        const SOCKET s = FSocket;
        const int ready = WaitReady(s, false, left);
        if (ready == SOCKET_ERROR) return TravoReceiveFailed;
        if (ready == 0) return TravoShortReply;
        const int n = recv(s, block + got, ReplyBlockSize - got, 0);
        if (n == SOCKET_ERROR) return TravoReceiveFailed;
        if (n == 0) return TravoShortReply;
        got += n;
    }
    std::memcpy(Reply, block, ReplySize);
    FEarlyData.append(block + ReplySize, static_cast<std::size_t>(got - ReplySize));
    return TravoOk;
}

bool TTravoTCP::HasRecordHandlers() const { return OnSingle || OnInteger || OnDoubleHigh || OnDouble || OnBytes; }

bool TTravoTCP::HasHandlers() const { return OnRawPacket || HasRecordHandlers(); }

int TTravoTCP::ReceiveLoop() {
    if (FLoopRunning.exchange(true)) return TravoFailed;
    int result;
    try {
        if (EndRequest() != TravoOk || !HasHandlers()) {
            result = TravoFailed;
        } else {
            result = HandOverEarlyData() ? Receive() : TravoReceiveFailed;
        }
    } catch (...) {
        // A handler's or the buffer's exception must not end the program from this thread.
        result = TravoReceiveFailed;
    }
    FLoopEnded = true;
    FLoopRunning = false;
    return result;
}

bool TTravoTCP::HandOverEarlyData() {
    if (!TakeData(FEarlyData.data(), FEarlyData.size())) return false;
    FEarlyData.clear();
    return true;
}

bool TTravoTCP::TakeData(const char* Data, std::size_t Size) {
    for (std::size_t at = 0; at < Size;) {
        const std::size_t n = std::min(static_cast<std::size_t>(FBuffer->FreeSpace()), Size - at);
        std::memcpy(FBuffer->WritePointer(), Data + at, n);
        if (!Commit(static_cast<int>(n))) return false;
        at += n;
    }
    return true;
}

bool TTravoTCP::Commit(int Received) {
    FBuffer->Commit(Received);
    if (FBuffer->OutOfStep()) return false;
    if (FBuffer->FreeSpace() < GrowBelow) FBuffer->Grow(FBuffer->Capacity());
    return true;
}

// Reads as long as bytes are pending and waits only while none are. Every way out but the
// owner's stop ends the connection for good: the server closed it or reset it, or its stream
// cannot be cut into packets any more.
int TTravoTCP::Receive() {
    for (;;) {
        if (FStopRequested) return TravoReceiveFailed;
        const SOCKET s = FSocket;
        const int ready = WaitReady(s, false, PollInterval);
        if (ready == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error != WSAEINVAL) {
                // A socket that the owner closed is no failure to show.
                if (!FStopRequested) ReportSelectError(error);
                return TravoReceiveFailed;
            }
        } else if (ready == 0) {
            continue;
        }
        // The block always has room here, so nothing received is the end of the stream.
        const int received = recv(s, FBuffer->WritePointer(), FBuffer->FreeSpace(), 0);
        if (received <= 0 || !Commit(received)) return TravoReceiveFailed;
    }
}

void TTravoTCP::ReportSelectError(int Error) const {
    const char* text;
    switch (Error) {
        case WSAEINTR: text = "WSAEINTR"; break;
        case WSAEFAULT: text = "WSAEFAULT"; break;
        case WSAEINPROGRESS: text = "WSAEINPROGRESS"; break;
        case WSAENOTSOCK: text = "WSAENOTSOCK"; break;
        default: text = "ANYTHINGELSE"; break;
    }
    MessageBoxA(nullptr, text, "", MB_OK);
}

void TTravoTCP::HandlePacket(TObject*) {
    const std::string packet = FBuffer->GetPacket();
    if (OnRawPacket) OnRawPacket(packet);
    if (HasRecordHandlers()) DispatchValues(packet);
}

void TTravoTCP::DispatchValues(const std::string& Packet) {
    if (Packet.size() < 2 || Packet[0] != 0 || static_cast<BYTE>(Packet[1]) != CAB_VALUES) return;
    std::size_t at = 2;
    while (Packet.size() - at >= 5) {
        const BYTE id = static_cast<BYTE>(Packet[at]);
        const std::size_t left = Packet.size() - at;
        if (id == IdDateTime) {
            // A date record cut by the packet's end is dropped with the rest of the tail.
            if (left < 9) return;
            const ULONGLONG bits = Little32(Packet, at + 1) | (static_cast<ULONGLONG>(Little32(Packet, at + 5)) << 32);
            if (OnDouble) OnDouble(CAB_VALUES, id, DoubleOf(bits));
            at += 9;
        } else if (id == IdDoorState) {
            if (OnInteger) OnInteger(CAB_VALUES, id, static_cast<LONG>(Little32(Packet, at + 1)));
            at += 5;
        } else if (id == IdByteArray) {
            // The block's length stands in the 4 bytes after the id; a block that the packet
            // does not hold ends the reading.
            const DWORD length = Little32(Packet, at + 1);
            if (length > left - 5) return;
            if (OnBytes) {
                const auto* first = reinterpret_cast<const BYTE*>(Packet.data() + at + 5);
                OnBytes(CAB_VALUES, id, std::vector<BYTE>(first, first + length));
            }
            at += 5 + length;
        } else if (id == IdDoubleHigh) {
            if (OnDoubleHigh) OnDoubleHigh(CAB_VALUES, id, DoubleOf(static_cast<ULONGLONG>(Little32(Packet, at + 1)) << 32));
            at += 5;
        } else if (id >= IdFirstSkipped) {
            at += 5;
        } else {
            if (OnSingle) OnSingle(CAB_VALUES, id, SingleAt(Packet, at + 1));
            at += 5;
        }
    }
}
