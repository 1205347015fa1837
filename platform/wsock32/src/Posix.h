#pragma once
// The layer's only door to the operating system's sockets. Its callers see plain types and
// Windows Sockets error codes; the POSIX names stay inside Posix.cpp, so the Windows names of
// wsock32.h and the C library's never meet in one translation unit.
//
// Every call returns its result (0 or more), or the negated Windows Sockets error code.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace WinsockSys {

// An IPv4 end point, both fields in network byte order.
struct TInet {
    std::uint32_t Address = 0;
    std::uint16_t Port = 0;
};

// The one place where an errno value becomes a Windows Sockets code.
int MapErrno(int error);

long Socket(int type, int protocol);
// Never blocks: a close that would linger (SO_LINGER on with a time-out) finishes in the
// background, gracefully once the peer has acknowledged the data, else with a reset when its
// time is up (Closer.cpp).
void Close(int fd);
long Bind(int fd, const TInet& local);
long Listen(int fd, int backlog);
// The new socket is non-blocking when the listener is.
long Accept(int fd, TInet* peer);
// On a non-blocking socket a connect still under way is WSAEWOULDBLOCK, as Windows has it.
// An attempt that nothing answers ends as on Windows, after about 21 s with WSAETIMEDOUT, however
// its outcome is waited for; one that returns still under way keeps the limit until EndConnectLimit.
long Connect(int fd, const TInet& remote);
// A connection that stands gets the system's own patience with a peer that does not acknowledge.
void EndConnectLimit(int fd);
long Send(int fd, const void* data, std::size_t length, int flags);
long Receive(int fd, void* data, std::size_t length, int flags);
long SendTo(int fd, const void* data, std::size_t length, int flags, const TInet& to);
long ReceiveFrom(int fd, void* data, std::size_t length, int flags, TInet* from);
// One datagram; one longer than length fills it and fails with WSAEMSGSIZE, the rest lost.
long ReceiveMessage(int fd, void* data, std::size_t length, int flags, TInet* from);
long Shutdown(int fd, int how);
long LocalName(int fd, TInet* name);
long PeerName(int fd, TInet* name);
// Wakes every call blocked on fd without closing it, so the descriptor cannot be reused while
// such a call still holds it. A connection that is to close abortively is reset, not ended.
void Interrupt(int fd);

enum class TOption {
    Debug,
    ReuseAddr,
    KeepAlive,
    DontRoute,
    Broadcast,
    OobInline,
    SendBuffer,
    ReceiveBuffer,
    TcpNoDelay,
    MulticastTtl,
    MulticastLoop,
    AcceptConn,  // read only
};
long SetIntOption(int fd, TOption option, int value);
long SetLinger(int fd, bool on, int seconds);
long GetIntOption(int fd, TOption option);
long GetLinger(int fd, bool* on, int* seconds);
// The socket's pending error as a Windows Sockets code (0: none), which it clears.
long TakePendingError(int fd);
long SetMulticastInterface(int fd, std::uint32_t address);
long SetMembership(int fd, bool join, std::uint32_t group, std::uint32_t interfaceAddress);

long BytesReadable(int fd);
// Whether normal bytes wait on a stream whose receiving side has ended: above 0, 0, or the
// negated code of the error that ended the connection, which the look then takes from the
// system. Unlike BytesReadable it steps over an urgent mark, where the system's count stops.
long BytesLeft(int fd);
long SetNonBlocking(int fd, bool nonBlocking);

struct TPollEntry {
    int Fd = -1;
    bool WantRead = false, WantWrite = false, WantExcept = false;
    bool Readable = false, Writable = false, Excepted = false;
};
// timeoutMs < 0 waits without end. Returns how many entries have any readiness.
long Poll(std::vector<TPollEntry>& entries, long timeoutMs);

struct THostEntry {
    std::string Name;
    std::vector<std::string> Aliases;
    std::vector<std::uint32_t> Addresses;  // network byte order
};
struct TServiceEntry {
    std::string Name;
    std::vector<std::string> Aliases;
    std::uint16_t Port = 0;  // network byte order
    std::string Protocol;
};
struct TProtocolEntry {
    std::string Name;
    std::vector<std::string> Aliases;
    int Number = 0;
};
long LookupHost(const std::string& name, THostEntry& entry);
// The name of an IPv4 address (network byte order); the entry holds that one address.
long LookupAddress(std::uint32_t address, THostEntry& entry);
long LookupService(const char* name, const char* protocol, TServiceEntry& entry);
long LookupProtocol(const char* name, TProtocolEntry& entry);
std::string LocalHostName();

// Dotted address text (also the short and hexadecimal forms the C library accepts).
bool ParseAddress(const char* text, std::uint32_t* address);

}  // namespace WinsockSys
