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
constexpr DWORD PollInterval = 10;
// A reply is due within this time from its send. The greeting and the request are sent from the
// window's main thread: a server that holds the connection without finishing its reply would
// otherwise stop the window for good.
constexpr DWORD ReplyTimeLimit = 5000;

// select on the one socket for reading: 1 readable, 0 when timeoutMs passed, else SOCKET_ERROR.
int WaitReadable(SOCKET s, DWORD timeoutMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    timeval limit{};
    limit.tv_sec = static_cast<decltype(limit.tv_sec)>(timeoutMs / 1000);
    limit.tv_usec = static_cast<decltype(limit.tv_usec)>(timeoutMs % 1000 * 1000);
    return select(0, &readSet, nullptr, nullptr, &limit);
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
    FHostEnt = gethostbyname(Host.c_str());
    if (!FHostEnt || !FHostEnt->h_addr_list || !FHostEnt->h_addr_list[0]) return TravoUnknownHost;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return TravoFailed;
    FSocket = s;
    FAddress = sockaddr_in{};
    FAddress.sin_family = AF_INET;
    FAddress.sin_port = htons(static_cast<USHORT>(Port & 0xFFFF));
    std::memcpy(&FAddress.sin_addr, FHostEnt->h_addr_list[0], sizeof FAddress.sin_addr);
    if (connect(s, reinterpret_cast<const sockaddr*>(&FAddress), sizeof FAddress) == SOCKET_ERROR) {
        return TravoConnectFailed;
    }
    return TravoOk;
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
    return Exchange(payload, CMD_HELLO_REPLY, TravoTooManyConnections, TravoSimulatorConnected);
}

int TTravoTCP::RequestData(WORD Group, const std::vector<BYTE>& Ids) {
    std::string payload;
    AppendWord(payload, CMD_NEEDED_DATA);
    AppendWord(payload, Group);
    payload.append(Ids.begin(), Ids.end());
    return Exchange(payload, CMD_NEEDED_DATA_REPLY, TravoUnknownGroup, TravoRequestRefused);
}

int TTravoTCP::EndRequest() { return RequestData(0, {}); }

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

int TTravoTCP::Exchange(const std::string& Payload, WORD ReplyCode, int RefusedOne, int RefusedTwo) {
    const std::string frame = AddLengthPrefix(Payload);
    const DWORD sentAt = GetTickCount();
    for (std::size_t sent = 0; sent < frame.size();) {
        const int n = send(FSocket, frame.data() + sent, static_cast<int>(frame.size() - sent), 0);
        if (n == SOCKET_ERROR) return TravoSendFailed;
        sent += static_cast<std::size_t>(n);
    }
    char reply[ReplySize];
    const int read = ReadReply(reply, sentAt);
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
// has not come when the time limit runs out counts as a short reply.
int TTravoTCP::ReadReply(char* Reply, DWORD SentAt) {
    char block[ReplyBlockSize];
    int got = 0;
    while (got < ReplySize) {
        const DWORD waited = GetTickCount() - SentAt;
        if (waited >= ReplyTimeLimit) return TravoShortReply;
        const SOCKET s = FSocket;
        const int ready = WaitReadable(s, ReplyTimeLimit - waited);
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
        FBuffer->Commit(static_cast<int>(n));
        if (FBuffer->OutOfStep()) return false;
        if (FBuffer->FreeSpace() < 512) FBuffer->Grow(2048);
        at += n;
    }
    return true;
}

int TTravoTCP::Receive() {
    for (;;) {
        if (FStopRequested) return TravoReceiveFailed;
        Sleep(PollInterval);
        if (FStopRequested) return TravoReceiveFailed;
        const SOCKET s = FSocket;
        const int ready = WaitReadable(s, 0);
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
        const int received = recv(s, FBuffer->WritePointer(), FBuffer->FreeSpace(), 0);
        FBuffer->Commit(received);
        if (FBuffer->OutOfStep()) return TravoReceiveFailed;
        if (FBuffer->FreeSpace() < 512) FBuffer->Grow(2048);
        if (received == SOCKET_ERROR) return TravoReceiveFailed;
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
