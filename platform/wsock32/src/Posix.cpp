// POSIX sockets behind the layer. Nothing here knows a Windows Sockets name except the error
// codes, which are spelled as numbers once, in MapErrno and the lookup results.

#include "Posix.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace WinsockSys {
namespace {

// Windows Sockets codes this file produces.
constexpr int kWsaEFault = 10014;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEMsgSize = 10040;
constexpr int kWsaENoProtoOpt = 10042;
constexpr int kWsaENoBufs = 10055;
constexpr int kWsaEIsConn = 10056;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaTryAgain = 11002;
constexpr int kWsaNoRecovery = 11003;
constexpr int kWsaNoData = 11004;

long Failed() { return -MapErrno(errno); }
long Result(long value) { return value < 0 ? Failed() : value; }

sockaddr_in ToSockaddr(const TInet& inet) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = inet.Port;
    address.sin_addr.s_addr = inet.Address;
    return address;
}

void FromSockaddr(const sockaddr_in& address, TInet* inet) {
    if (inet) {
        inet->Address = address.sin_addr.s_addr;
        inet->Port = address.sin_port;
    }
}

long SetOption(int fd, int level, int name, const void* value, socklen_t length) {
    return Result(::setsockopt(fd, level, name, value, length));
}

std::vector<std::string> Names(char** list) {
    std::vector<std::string> names;
    for (; list && *list; ++list) names.emplace_back(*list);
    return names;
}

// Windows refuses a name that is no host name at all without asking a name server; so do we,
// so that bad input never leaves the machine.
bool IsHostNameSyntax(const std::string& name) {
    if (name.empty() || name.size() > 255) return false;
    std::size_t labelLength = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '.') {
            if (labelLength == 0) return false;
            labelLength = 0;
        } else if (std::isalnum(c) || c == '-' || c == '_') {
            if (++labelLength > 63) return false;
        } else {
            return false;
        }
    }
    return true;
}

int MapLookupError(int error) {
    switch (error) {
        case EAI_NONAME: return kWsaHostNotFound;
        case EAI_AGAIN: return kWsaTryAgain;
#ifdef EAI_NODATA
        case EAI_NODATA: return kWsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return kWsaNoData;
#endif
        case EAI_MEMORY: return kWsaENoBufs;
        case EAI_SYSTEM: return MapErrno(errno);
        default: return kWsaNoRecovery;
    }
}

}  // namespace

int MapErrno(int error) {
    switch (error) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES: case EPERM: return 10013;
        case EFAULT: return kWsaEFault;
        case EINVAL: return kWsaEInval;
        case EMFILE: case ENFILE: return 10024;
        case EWOULDBLOCK: return 10035;
        case EINPROGRESS: return 10036;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return kWsaENoProtoOpt;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET: case EPIPE: return 10054;
        case ENOBUFS: case ENOMEM: return kWsaENoBufs;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        default: return kWsaEInval;
    }
}

long Socket(int type, int protocol) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    return Result(fd);
}

long Bind(int fd, const TInet& local) {
    const sockaddr_in address = ToSockaddr(local);
    return Result(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address));
}

long Listen(int fd, int backlog) { return Result(::listen(fd, backlog)); }

long Accept(int fd, TInet* peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    // The accepted socket blocks as its listener does, as on Windows.
    const int flags = SOCK_CLOEXEC | ((::fcntl(fd, F_GETFL) & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
    int client;
    do {
        client = ::accept4(fd, reinterpret_cast<sockaddr*>(&address), &length, flags);
    } while (client < 0 && errno == EINTR);
    if (client < 0) return Failed();
    FromSockaddr(address, peer);
    return client;
}

namespace {

// Windows Sockets sends the SYN three times, 3 s apart and doubling, and gives up 21 s after the
// first; the system by itself tries for two minutes. Its limit on unacknowledged sending covers
// the handshake (on kernels that apply it in SYN_SENT; others keep their own tries) and clamps
// the retransmission timer to what is left, so the attempt ends on time, on a blocking, a polled
// and a notified connect alike; a SYN count would not (its tries follow the kernel's back-off
// rules), and a deadline of our own would need a timer for each way of waiting. Established, the
// limit would also end a connection whose peer stops acknowledging or reading for as long, which
// Windows does not: it is lifted once the connection stands.
constexpr unsigned kConnectLimitMs = 21000;

void SetUserTimeout(int fd, unsigned ms) { ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms); }

long ConnectOnce(int fd, const TInet& remote) {
    const sockaddr_in address = ToSockaddr(remote);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno == EINPROGRESS) return -kWsaEWouldBlock;
    if (errno != EINTR) return Failed();
    // The connect goes on in the background after a signal; wait for its outcome as a
    // blocking connect would.
    pollfd entry{fd, POLLOUT, 0};
    while (::poll(&entry, 1, -1) < 0) {
        if (errno != EINTR) return Failed();
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error ? -MapErrno(error) : 0;
}

}  // namespace

long Connect(int fd, const TInet& remote) {
    SetUserTimeout(fd, kConnectLimitMs);
    const long result = ConnectOnce(fd, remote);
    // Connected now or before; one still under way (would block, already) keeps its limit.
    if (result == 0 || result == -kWsaEIsConn) EndConnectLimit(fd);
    return result;
}

void EndConnectLimit(int fd) { SetUserTimeout(fd, 0); }

// A send to a closed peer must report an error, not end the process with SIGPIPE.
long Send(int fd, const void* data, std::size_t length, int flags) {
    long sent;
    do {
        sent = ::send(fd, data, length, flags | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return Result(sent);
}

long Receive(int fd, void* data, std::size_t length, int flags) {
    long received;
    do {
        received = ::recv(fd, data, length, flags);
    } while (received < 0 && errno == EINTR);
    return Result(received);
}

long SendTo(int fd, const void* data, std::size_t length, int flags, const TInet& to) {
    const sockaddr_in address = ToSockaddr(to);
    long sent;
    do {
        sent = ::sendto(fd, data, length, flags | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    return Result(sent);
}

long ReceiveFrom(int fd, void* data, std::size_t length, int flags, TInet* from) {
    sockaddr_in address{};
    socklen_t addressLength = sizeof address;
    long received;
    do {
        received = ::recvfrom(fd, data, length, flags, reinterpret_cast<sockaddr*>(&address),
                              &addressLength);
    } while (received < 0 && errno == EINTR);
    if (received < 0) return Failed();
    FromSockaddr(address, from);
    return received;
}

long ReceiveMessage(int fd, void* data, std::size_t length, int flags, TInet* from) {
    const long received = ReceiveFrom(fd, data, length, flags | MSG_TRUNC, from);
    return received > static_cast<long>(length) ? -kWsaEMsgSize : received;
}

long Shutdown(int fd, int how) { return Result(::shutdown(fd, how)); }

namespace {

long QueryName(int fd, TInet* name, int (*query)(int, sockaddr*, socklen_t*)) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (query(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) return Failed();
    FromSockaddr(address, name);
    return 0;
}

}  // namespace

long LocalName(int fd, TInet* name) { return QueryName(fd, name, ::getsockname); }

long PeerName(int fd, TInet* name) { return QueryName(fd, name, ::getpeername); }

// A shutdown sends the FIN first, and the peer would take an abortive close for a graceful end:
// such a connection is dropped first, which resets it, and the shutdown after it only wakes.
void Interrupt(int fd) {
    bool on = false;
    int seconds = 0;
    if (GetLinger(fd, &on, &seconds) == 0 && on && seconds == 0) {
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        ::connect(fd, &unspecified, sizeof unspecified);
    }
    ::shutdown(fd, SHUT_RDWR);
}

namespace {

bool OptionName(TOption option, int* level, int* name) {
    *level = SOL_SOCKET;
    switch (option) {
        case TOption::Debug: *name = SO_DEBUG; return true;
        case TOption::ReuseAddr: *name = SO_REUSEADDR; return true;
        case TOption::KeepAlive: *name = SO_KEEPALIVE; return true;
        case TOption::DontRoute: *name = SO_DONTROUTE; return true;
        case TOption::Broadcast: *name = SO_BROADCAST; return true;
        case TOption::OobInline: *name = SO_OOBINLINE; return true;
        case TOption::SendBuffer: *name = SO_SNDBUF; return true;
        case TOption::ReceiveBuffer: *name = SO_RCVBUF; return true;
        case TOption::AcceptConn: *name = SO_ACCEPTCONN; return true;
        case TOption::TcpNoDelay: *level = IPPROTO_TCP; *name = TCP_NODELAY; return true;
        case TOption::MulticastTtl: *level = IPPROTO_IP; *name = IP_MULTICAST_TTL; return true;
        case TOption::MulticastLoop: *level = IPPROTO_IP; *name = IP_MULTICAST_LOOP; return true;
    }
    return false;
}

bool IsBooleanOption(TOption option) {
    return option != TOption::SendBuffer && option != TOption::ReceiveBuffer &&
           option != TOption::MulticastTtl;
}

}  // namespace

long SetIntOption(int fd, TOption option, int value) {
    int level, name;
    if (!OptionName(option, &level, &name) || option == TOption::AcceptConn) return -kWsaENoProtoOpt;
    // Windows takes any non-zero value for a Boolean option (the system passes -1).
    const int linuxValue = IsBooleanOption(option) ? (value != 0 ? 1 : 0) : value;
    return SetOption(fd, level, name, &linuxValue, sizeof linuxValue);
}

long GetIntOption(int fd, TOption option) {
    int level, name;
    if (!OptionName(option, &level, &name)) return -kWsaENoProtoOpt;
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, level, name, &value, &length) < 0) return Failed();
    return IsBooleanOption(option) ? (value != 0 ? 1 : 0) : value;
}

long GetLinger(int fd, bool* on, int* seconds) {
    ::linger value{};
    socklen_t length = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &length) < 0) return Failed();
    *on = value.l_onoff != 0;
    *seconds = value.l_linger;
    return 0;
}

long TakePendingError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return Failed();
    return MapErrno(error);
}

long SetLinger(int fd, bool on, int seconds) {
    const ::linger value{on ? 1 : 0, seconds};
    return SetOption(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

long SetMulticastInterface(int fd, std::uint32_t address) {
    in_addr value{};
    value.s_addr = address;
    return SetOption(fd, IPPROTO_IP, IP_MULTICAST_IF, &value, sizeof value);
}

long SetMembership(int fd, bool join, std::uint32_t group, std::uint32_t interfaceAddress) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = interfaceAddress;
    return SetOption(fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request,
                     sizeof request);
}

long BytesReadable(int fd) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) < 0) return Failed();
    return count;
}

// At the mark the system counts no byte, whatever follows it; a peek steps over the urgent byte.
long BytesLeft(int fd) {
    const long count = BytesReadable(fd);
    int atMark = 0;
    if (count != 0 || ::ioctl(fd, SIOCATMARK, &atMark) < 0 || !atMark) return count;
    char byte;
    return Result(::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT));
}

long SetNonBlocking(int fd, bool nonBlocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return Failed();
    return Result(::fcntl(fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK));
}

long Poll(std::vector<TPollEntry>& entries, long timeoutMs) {
    std::vector<pollfd> fds(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = entries[i].Fd;
        fds[i].events = static_cast<short>((entries[i].WantRead ? POLLIN : 0) |
                                           (entries[i].WantWrite ? POLLOUT : 0) |
                                           (entries[i].WantExcept ? POLLPRI : 0));
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int ready;
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now()).count();
            wait = static_cast<int>(left < 0 ? 0 : (left > INT_MAX ? INT_MAX : left));
        }
        ready = ::poll(fds.data(), fds.size(), wait);
        if (ready >= 0) break;
        if (errno != EINTR) return Failed();
    }
    long count = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const short got = fds[i].revents;
        TPollEntry& entry = entries[i];
        // A closed or failed connection reads as readable: the next recv tells what happened.
        entry.Readable = entry.WantRead && (got & (POLLIN | POLLHUP | POLLERR));
        entry.Writable = entry.WantWrite && (got & (POLLOUT | POLLERR | POLLHUP));
        entry.Excepted = entry.WantExcept && (got & (POLLPRI | POLLERR));
        if (entry.Readable || entry.Writable || entry.Excepted) ++count;
    }
    return count;
}

long LookupHost(const std::string& name, THostEntry& entry) {
    if (!IsHostNameSyntax(name)) return -kWsaHostNotFound;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (status != 0) return -MapLookupError(status);
    entry = THostEntry{};
    entry.Name = list->ai_canonname ? list->ai_canonname : name;
    for (const addrinfo* item = list; item; item = item->ai_next) {
        if (item->ai_family != AF_INET) continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(item->ai_addr);
        const std::uint32_t value = address->sin_addr.s_addr;
        bool known = false;
        for (std::uint32_t seen : entry.Addresses) known = known || seen == value;
        if (!known) entry.Addresses.push_back(value);
    }
    ::freeaddrinfo(list);
    return entry.Addresses.empty() ? -kWsaNoData : 0;
}

long LookupAddress(std::uint32_t address, THostEntry& entry) {
    const sockaddr_in query = ToSockaddr(TInet{address, 0});
    char name[NI_MAXHOST] = {};
    const int status = ::getnameinfo(reinterpret_cast<const sockaddr*>(&query), sizeof query, name,
                                     sizeof name, nullptr, 0, NI_NAMEREQD);
    if (status != 0) return -MapLookupError(status);
    entry = THostEntry{};
    entry.Name = name;
    entry.Addresses.push_back(address);
    return 0;
}

long LookupService(const char* name, const char* protocol, TServiceEntry& entry) {
    servent result{};
    servent* found = nullptr;
    std::vector<char> scratch(4096);
    if (::getservbyname_r(name, protocol, &result, scratch.data(), scratch.size(), &found) != 0 ||
        !found) {
        return -kWsaNoData;
    }
    entry.Name = found->s_name;
    entry.Aliases = Names(found->s_aliases);
    entry.Port = static_cast<std::uint16_t>(found->s_port);
    entry.Protocol = found->s_proto ? found->s_proto : "";
    return 0;
}

long LookupProtocol(const char* name, TProtocolEntry& entry) {
    protoent result{};
    protoent* found = nullptr;
    std::vector<char> scratch(4096);
    if (::getprotobyname_r(name, &result, scratch.data(), scratch.size(), &found) != 0 || !found) {
        return -kWsaNoData;
    }
    entry.Name = found->p_name;
    entry.Aliases = Names(found->p_aliases);
    entry.Number = found->p_proto;
    return 0;
}

std::string LocalHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

bool ParseAddress(const char* text, std::uint32_t* address) {
    in_addr parsed{};
    if (!text || ::inet_aton(text, &parsed) == 0) return false;
    *address = parsed.s_addr;
    return true;
}

}  // namespace WinsockSys
