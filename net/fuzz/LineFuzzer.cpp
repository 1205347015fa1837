// A peer's stream through line assembly, on a real loopback connection of the socket layer:
// written in pieces, taken by a handler in pieces of its own, the mode switched on the way, and
// the connection closed at the end. Without editing and without a limit every byte must come
// out once, in order, as lines or as plain data.
//
// Input: one byte of settings (line end, editing, echo, limit, switching), one byte giving the
// size of the handler's reads, then the stream; each byte 0xFF in it ends a piece written at
// once.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "EventSocket.h"
#include "PosixPeer.h"

namespace {

bool PumpOne() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

ULONG Pending(TEventSocket& socket) {
    ULONG pending = 0;
    if (socket.HSocket() == INVALID_SOCKET || BoundWinsock::ioctlsocket(socket.HSocket(), FIONREAD, &pending) != 0)
        return 0;
    return pending;
}

// The loopback hands the peer's bytes over a moment after the write, much later on a loaded
// machine: this waits until all of them wait on the socket, so that every run of an input is
// read in the same pieces.
void AwaitArrival(TEventSocket& socket, std::size_t count) {
    while (socket.State() == wsConnected && Pending(socket) < count) Sleep(0);
}

// Serves the queue until the socket has taken every byte waiting for it and no message is left.
// Stopping there loses nothing: the layer posts a read event while bytes wait. One that never
// comes leaves this waiting in GetMessageA, a hang that libFuzzer's time limit reports.
void ServeUntilTaken(TEventSocket& socket) {
    for (;;) {
        if (PumpOne()) continue;
        if (Pending(socket) == 0) return;
        MSG msg;
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) return;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Without its connection or its bytes a run would wait for ever: it stops with the reason instead.
void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "%s failed\n", what);
    std::abort();
}

// A connection of the socket to a peer on plain system sockets; returns the peer's end.
int Connect(TEventSocket& socket) {
    const SOCKET listener = BoundWinsock::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = PosixPeer::Loopback(0);
    int length = sizeof address;
    Require(BoundWinsock::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                BoundWinsock::listen(listener, 1) == 0 &&
                BoundWinsock::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0,
            "the socket layer's listener");
    const int peer = PosixPeer::Connect(BoundWinsock::ntohs(address.sin_port));
    Require(peer >= 0, "the peer's connect");
    const SOCKET accepted = BoundWinsock::accept(listener, nullptr, nullptr);
    Require(accepted != INVALID_SOCKET, "the socket layer's accept");
    socket.Dup(accepted);
    BoundWinsock::closesocket(listener);
    return peer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 2) return 0;
    static TEventSocket* socket = TEventSocket::Create(nullptr);
    const uint8_t settings = Data[0];
    const int readSize = Data[1] == 0 ? 255 : Data[1];
    Data += 2;
    Size -= 2;
    static const char* const ends[] = {"\r\n", "\n", "<=>", ""};
    socket->LineEnd = ends[settings & 3];
    socket->LineEdit = (settings & 4) != 0;
    socket->LineEcho = (settings & 8) != 0;
    socket->LineLimit = (settings & 16) != 0 ? 16 : 0;
    const bool switching = (settings & 32) != 0;
    socket->SetLineMode(true);

    std::string received;
    int calls = 0;
    socket->OnDataAvailable = [&](TObject*, WORD) {
        std::string piece(static_cast<std::size_t>(readSize), '\0');
        const int got = socket->ReceiveBytes(piece.data(), readSize);
        if (got > 0) received.append(piece, 0, static_cast<std::size_t>(got));
        if (switching && ++calls % 3 == 0) socket->SetLineMode(!socket->LineMode());
    };
    const int peer = Connect(*socket);
    std::string sent;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= Size; ++i) {
        if (i < Size && Data[i] != 0xFF) continue;
        const std::string piece(reinterpret_cast<const char*>(Data) + start, i - start);
        start = i + 1;
        if (piece.empty()) continue;
        Require(PosixPeer::Write(peer, piece) == static_cast<long>(piece.size()), "the peer's write");
        sent += piece;
        AwaitArrival(*socket, piece.size());
        ServeUntilTaken(*socket);
        // The echo must not fill the peer's end.
        char drain[4096];
        while (PosixPeer::Read(peer, drain, sizeof drain, PosixPeer::kMsgDontWait) > 0) {
        }
    }
    socket->Disconnect();
    // What is still queued belongs to the closed handle and is dropped by the dispatch.
    while (PumpOne()) {
    }
    PosixPeer::Close(peer);
    if (!socket->LineEdit && socket->LineLimit == 0 && received != sent) {
        std::fprintf(stderr, "sent %zu bytes, received %zu:\n", sent.size(), received.size());
        for (const std::string* text : {&sent, &received}) {
            for (const unsigned char c : *text) std::fprintf(stderr, "%02x ", c);
            std::fprintf(stderr, "\n");
        }
        std::abort();
    }
    socket->OnDataAvailable = nullptr;
    socket->SetLineMode(false);
    return 0;
}
