#pragma once
// Loopback peers on plain system sockets, for the tests and benchmarks of the socket layer.
// The layer takes the C library's socket names (socket, send, ...) for its Windows functions,
// so the peers reach the system through its call numbers, with the system's option numbers.
// A signal never ends their calls early; a failed set-up ends the process with a message.

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wsock32.h"

namespace PosixPeer {

// The system's numbering, which differs from the layer's Windows numbering.
inline constexpr int kSolSocket = 1;
inline constexpr int kSoError = 4;
inline constexpr int kSoRcvBuf = 8;
inline constexpr int kSoLinger = 13;
inline constexpr int kShutWr = 1;
inline constexpr int kMsgOob = 0x1;
inline constexpr int kMsgDontWait = 0x40;
inline constexpr int kMsgNoSignal = 0x4000;

struct TLinger {
    int OnOff;
    int Seconds;
};

inline long Call(long result) { return result < 0 ? -errno : result; }

template <class TCall>
long Retried(TCall call) {  // for as long as a signal interrupts it
    for (;;) if (const long result = Call(call()); result != -EINTR) return result;
}

[[noreturn]] inline void Fail(const char* what, long result) {
    std::fprintf(stderr, "PosixPeer: %s failed: %s\n", what, std::strerror(static_cast<int>(-result)));
    std::abort();
}

inline int Socket(int type) { return static_cast<int>(Call(::syscall(SYS_socket, AF_INET, type, 0))); }

inline sockaddr_in Loopback(USHORT port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const unsigned char loopback[4] = {127, 0, 0, 1};  // network byte order
    std::memcpy(&address.sin_addr.s_addr, loopback, sizeof loopback);
    return address;
}

inline USHORT PortOf(int fd) {
    sockaddr_in address{};
    unsigned length = sizeof address;
    ::syscall(SYS_getsockname, fd, &address, &length);
    return ntohs(address.sin_port);
}

inline int SetOption(int fd, int name, int value) {
    return static_cast<int>(Call(::syscall(SYS_setsockopt, fd, kSolSocket, name, &value, sizeof value)));
}

inline int Bind(int fd, USHORT port) {
    const sockaddr_in address = Loopback(port);
    return static_cast<int>(Call(::syscall(SYS_bind, fd, &address, sizeof address)));
}

// A listening stream socket on a free loopback port.
inline int Listener(USHORT* port, int backlog = 64) {
    const int fd = Socket(SOCK_STREAM);
    long result = fd < 0 ? fd : Bind(fd, 0);
    if (result == 0) result = Call(::syscall(SYS_listen, fd, backlog));
    if (result < 0) Fail("listen", result);
    *port = PortOf(fd);
    return fd;
}

inline int Accept(int listener) {
    return static_cast<int>(Retried([&] { return ::syscall(SYS_accept4, listener, nullptr, nullptr, 0); }));
}

// -1 when nothing listens on the port, which callers probe for. A signal ends only the wait for
// the handshake, which goes on: its outcome is waited for and read from the socket's error.
inline int Connect(USHORT port) {
    const int fd = Socket(SOCK_STREAM);
    const sockaddr_in address = Loopback(port);
    long result = Call(::syscall(SYS_connect, fd, &address, sizeof address));
    if (result == -EINTR) {
        pollfd writable{fd, POLLOUT, 0};
        int error = 0;
        unsigned length = sizeof error;
        result = Retried([&] { return ::poll(&writable, 1, -1); });
        if (result >= 0) result = Call(::syscall(SYS_getsockopt, fd, kSolSocket, kSoError, &error, &length));
        if (result >= 0) result = -error;
    }
    if (result == -ECONNREFUSED) {
        ::close(fd);
        return -1;
    }
    if (result < 0) Fail("connect", result);
    return fd;
}

// Sends every byte, or with kMsgDontWait what goes at once; the error when nothing went.
inline long Write(int fd, const std::string& data, int flags = 0) {
    std::size_t sent = 0;
    for (;;) {
        const long n = Retried([&] {
            return ::syscall(SYS_sendto, fd, data.data() + sent, data.size() - sent, flags | kMsgNoSignal, nullptr, 0);
        });
        if (n < 0) return sent > 0 ? static_cast<long>(sent) : n;
        sent += static_cast<std::size_t>(n);
        if (sent == data.size() || (flags & kMsgDontWait)) return static_cast<long>(sent);
    }
}

inline long Read(int fd, char* buffer, std::size_t size, int flags = 0) {
    return Retried([&] { return ::syscall(SYS_recvfrom, fd, buffer, size, flags, nullptr, nullptr); });
}

// Reads until count bytes came or the stream ended.
inline std::string ReadExactly(int fd, std::size_t count) {
    std::string data;
    char buffer[65536];
    while (data.size() < count) {
        const long got = Read(fd, buffer, std::min(sizeof buffer, count - data.size()));
        if (got <= 0) break;
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

inline long SendTo(int fd, USHORT port, const std::string& data) {
    const sockaddr_in address = Loopback(port);
    return Retried([&] {
        return ::syscall(SYS_sendto, fd, data.data(), data.size(), kMsgNoSignal, &address, sizeof address);
    });
}

inline void ShutdownWrite(int fd) { ::syscall(SYS_shutdown, fd, kShutWr); }

// Closes with a reset instead of the orderly end.
inline void Reset(int fd) {
    const TLinger abortive{1, 0};
    ::syscall(SYS_setsockopt, fd, kSolSocket, kSoLinger, &abortive, sizeof abortive);
    ::close(fd);
}

inline void Close(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace PosixPeer
