// The socket calls: each finds its socket's record, calls the system through Posix.h and turns
// the outcome into Windows Sockets results.

#include <cstring>
#include <optional>

#include "AsyncSelect.h"
#include "Posix.h"
#include "Winsock.h"

namespace {

using WinsockSys::TInet;

// The record of s for one call, or null with the error set.
TSocketRef Enter(SOCKET s) {
    if (!WinsockStarted()) return nullptr;
    TSocketRef record = SocketTable::Find(s);
    if (!record) WSASetLastError(WSAENOTSOCK);
    return record;
}

long Finish(const TSocketRecord& record, long result) {
    if (record.Closed) return WinsockFail(WSAEINTR);
    if (result < 0) return WinsockFail(static_cast<int>(-result));
    return result;
}

bool ReadAddress(const sockaddr* name, int length, TInet& inet) {
    if (!name || length < static_cast<int>(sizeof(sockaddr_in))) {
        WSASetLastError(WSAEFAULT);
        return false;
    }
    sockaddr_in address;
    std::memcpy(&address, name, sizeof address);
    if (address.sin_family != AF_INET) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return false;
    }
    inet.Address = address.sin_addr.s_addr;
    inet.Port = address.sin_port;
    return true;
}

// An optional address out-parameter; a too short one is WSAEFAULT before anything happens.
bool AddressRoom(const sockaddr* name, const int* length) {
    if (name && (!length || *length < static_cast<int>(sizeof(sockaddr_in)))) {
        WSASetLastError(WSAEFAULT);
        return false;
    }
    return true;
}

void WriteAddress(const TInet& inet, sockaddr* name, int* length) {
    if (!name) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = inet.Port;
    address.sin_addr.s_addr = inet.Address;
    std::memcpy(name, &address, sizeof address);
    *length = sizeof address;
}

bool BufferValid(const char* buffer, int length) {
    if (length < 0 || (!buffer && length > 0)) {
        WSASetLastError(WSAEFAULT);
        return false;
    }
    return true;
}

int ToInt(long value) { return static_cast<int>(value); }

bool EndsConnection(long result) {
    return result == -WSAECONNRESET || result == -WSAECONNABORTED || result == -WSAETIMEDOUT;
}

// Windows reports a reset or abort to every later receive; the system says it once and then
// reports the end of the stream.
long AfterReceive(TSocketRecord& record, long result, int length) {
    if (record.Type == SOCK_STREAM) {
        if (EndsConnection(result))
            record.ConnectionError = static_cast<int>(-result);
        else if (result == 0 && length > 0 && record.ConnectionError)
            result = -record.ConnectionError;
    }
    AsyncSelect::Received(record);
    return result;
}

long AfterSend(TSocketRecord& record, long result, int length) {
    if (result > 0) record.ConnectionStands();
    if (record.Type == SOCK_STREAM && EndsConnection(result)) record.ConnectionError = static_cast<int>(-result);
    if (result == -WSAEWOULDBLOCK || (result >= 0 && result < length)) AsyncSelect::SentShort(record);
    return result;
}

// Datagrams arrive whole or fail with WSAEMSGSIZE; a stream fills what it can.
long ReceiveFrom(const TSocketRecord& record, char* buf, int len, int flags, TInet* from) {
    if (record.Type != SOCK_STREAM) return WinsockSys::ReceiveMessage(record.Fd, buf, len, flags, from);
    return from ? WinsockSys::ReceiveFrom(record.Fd, buf, len, flags, from)
                : WinsockSys::Receive(record.Fd, buf, len, flags);
}

// The integer options, by their Windows level and number.
std::optional<WinsockSys::TOption> IntOption(int level, int optname) {
    using WinsockSys::TOption;
    if (level == SOL_SOCKET) {
        switch (optname) {
            case SO_DEBUG: return TOption::Debug;
            case SO_ACCEPTCONN: return TOption::AcceptConn;
            case SO_REUSEADDR: return TOption::ReuseAddr;
            case SO_KEEPALIVE: return TOption::KeepAlive;
            case SO_DONTROUTE: return TOption::DontRoute;
            case SO_BROADCAST: return TOption::Broadcast;
            case SO_OOBINLINE: return TOption::OobInline;
            case SO_SNDBUF: return TOption::SendBuffer;
            case SO_RCVBUF: return TOption::ReceiveBuffer;
            default: return std::nullopt;
        }
    }
    if (level == IPPROTO_TCP && optname == TCP_NODELAY) return TOption::TcpNoDelay;
    if (level == IPPROTO_IP && optname == IP_MULTICAST_TTL) return TOption::MulticastTtl;
    if (level == IPPROTO_IP && optname == IP_MULTICAST_LOOP) return TOption::MulticastLoop;
    return std::nullopt;
}

bool KnownLevel(int level) { return level == SOL_SOCKET || level == IPPROTO_TCP || level == IPPROTO_IP; }

}  // namespace

void TSocketRecord::ConnectionStands() {
    if (ConnectLimited.load(std::memory_order_relaxed) && ConnectLimited.exchange(false))
        WinsockSys::EndConnectLimit(Fd);
}

SOCKET socket(int af, int type, int protocol) {
    if (!WinsockStarted()) return INVALID_SOCKET;
    if (af != AF_INET) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (type != SOCK_STREAM && type != SOCK_DGRAM && type != SOCK_RAW) {
        WSASetLastError(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    const long fd = WinsockSys::Socket(type, protocol);
    if (fd < 0) {
        WSASetLastError(static_cast<int>(-fd));
        return INVALID_SOCKET;
    }
    return SocketTable::Add(static_cast<int>(fd), type);
}

int bind(SOCKET s, const sockaddr* name, int namelen) {
    TSocketRef record = Enter(s);
    TInet local;
    if (!record || !ReadAddress(name, namelen, local)) return SOCKET_ERROR;
    return ToInt(Finish(*record, WinsockSys::Bind(record->Fd, local)));
}

int listen(SOCKET s, int backlog) {
    TSocketRef record = Enter(s);
    if (!record) return SOCKET_ERROR;
    if (record->Type != SOCK_STREAM) return WinsockFail(WSAEOPNOTSUPP);
    const long result = Finish(*record, WinsockSys::Listen(record->Fd, backlog));
    if (result == 0) AsyncSelect::Listening(*record);
    return ToInt(result);
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) {
    TSocketRef record = Enter(s);
    if (!record || !AddressRoom(addr, addrlen)) return INVALID_SOCKET;
    TInet peer;
    const long fd = WinsockSys::Accept(record->Fd, &peer);
    AsyncSelect::AcceptCalled(*record);
    if (Finish(*record, fd) < 0) {
        WinsockSys::Close(fd >= 0 ? static_cast<int>(fd) : -1);
        return INVALID_SOCKET;
    }
    const SOCKET handle = SocketTable::Add(static_cast<int>(fd), record->Type);
    if (handle == INVALID_SOCKET) return INVALID_SOCKET;
    WriteAddress(peer, addr, addrlen);
    if (const TSocketRef accepted = SocketTable::Find(handle)) AsyncSelect::Accepted(*record, handle, accepted);
    return handle;
}

int connect(SOCKET s, const sockaddr* name, int namelen) {
    TSocketRef record = Enter(s);
    TInet remote;
    if (!record || !ReadAddress(name, namelen, remote)) return SOCKET_ERROR;
    const long result = WinsockSys::Connect(record->Fd, remote);
    if (result == -WSAEWOULDBLOCK) record->ConnectLimited = true;
    return ToInt(Finish(*record, AsyncSelect::Connecting(*record, result)));
}

int send(SOCKET s, const char* buf, int len, int flags) {
    TSocketRef record = Enter(s);
    if (!record || !BufferValid(buf, len)) return SOCKET_ERROR;
    if (record->SendShut) return WinsockFail(WSAESHUTDOWN);
    return ToInt(Finish(*record, AfterSend(*record, WinsockSys::Send(record->Fd, buf, len, flags), len)));
}

int recv(SOCKET s, char* buf, int len, int flags) {
    TSocketRef record = Enter(s);
    if (!record || !BufferValid(buf, len)) return SOCKET_ERROR;
    if (record->ReceiveShut) return WinsockFail(WSAESHUTDOWN);
    return ToInt(Finish(*record, AfterReceive(*record, ReceiveFrom(*record, buf, len, flags, nullptr), len)));
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    TSocketRef record = Enter(s);
    if (!record || !BufferValid(buf, len)) return SOCKET_ERROR;
    if (record->SendShut) return WinsockFail(WSAESHUTDOWN);
    // Without an address a connected socket sends to its peer, as send does.
    TInet remote;
    if (to && !ReadAddress(to, tolen, remote)) return SOCKET_ERROR;
    const long sent = to ? WinsockSys::SendTo(record->Fd, buf, len, flags, remote)
                         : WinsockSys::Send(record->Fd, buf, len, flags);
    return ToInt(Finish(*record, AfterSend(*record, sent, len)));
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    TSocketRef record = Enter(s);
    if (!record || !BufferValid(buf, len) || !AddressRoom(from, fromlen)) return SOCKET_ERROR;
    if (record->ReceiveShut) return WinsockFail(WSAESHUTDOWN);
    TInet peer;
    const long received = Finish(*record, AfterReceive(*record, ReceiveFrom(*record, buf, len, flags, &peer), len));
    if (received >= 0) WriteAddress(peer, from, fromlen);
    return ToInt(received);
}

int shutdown(SOCKET s, int how) {
    TSocketRef record = Enter(s);
    if (!record) return SOCKET_ERROR;
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH) return WinsockFail(WSAEINVAL);
    // The sending side ends in the system; it is marked first, so that the room the shutdown
    // makes is no FD_WRITE. The receiving side ends here only: the system would report it as
    // the peer's close, and a caller still wants to hear of that.
    long result;
    if (how == SD_RECEIVE) {
        TInet peer;
        result = WinsockSys::PeerName(record->Fd, &peer);
    } else {
        const bool wasShut = record->SendShut.exchange(true);
        result = WinsockSys::Shutdown(record->Fd, SD_SEND);
        if (result < 0 && !wasShut) record->SendShut = false;
    }
    result = Finish(*record, result);
    if (result == 0 && how != SD_SEND) {
        record->ReceiveShut = true;
        AsyncSelect::ReceiveShut(*record);
    }
    return ToInt(result);
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    TSocketRef record = Enter(s);
    if (!record) return SOCKET_ERROR;
    if (!optval || optlen < 0) return WinsockFail(WSAEFAULT);
    if (!KnownLevel(level)) return WinsockFail(WSAEINVAL);
    if (const auto option = IntOption(level, optname)) {
        if (optlen < static_cast<int>(sizeof(int))) return WinsockFail(WSAEFAULT);
        int value;
        std::memcpy(&value, optval, sizeof value);
        return ToInt(Finish(*record, WinsockSys::SetIntOption(record->Fd, *option, value)));
    }
    auto address = [&](std::size_t index) {
        ULONG value;
        std::memcpy(&value, optval + index * sizeof value, sizeof value);
        return value;
    };
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (optlen < static_cast<int>(sizeof(linger))) return WinsockFail(WSAEFAULT);
        linger value;
        std::memcpy(&value, optval, sizeof value);
        return ToInt(Finish(*record, WinsockSys::SetLinger(record->Fd, value.l_onoff != 0, value.l_linger)));
    }
    if (level == IPPROTO_IP && optname == IP_MULTICAST_IF) {
        if (optlen < static_cast<int>(sizeof(in_addr))) return WinsockFail(WSAEFAULT);
        return ToInt(Finish(*record, WinsockSys::SetMulticastInterface(record->Fd, address(0))));
    }
    if (level == IPPROTO_IP && (optname == IP_ADD_MEMBERSHIP || optname == IP_DROP_MEMBERSHIP)) {
        if (optlen < static_cast<int>(sizeof(ip_mreq))) return WinsockFail(WSAEFAULT);
        return ToInt(Finish(*record, WinsockSys::SetMembership(record->Fd, optname == IP_ADD_MEMBERSHIP,
                                                               address(0), address(1))));
    }
    return WinsockFail(WSAENOPROTOOPT);
}

// Every option here is four bytes: a Boolean or a number as an int, or the linger pair.
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    TSocketRef record = Enter(s);
    if (!record) return SOCKET_ERROR;
    if (!optval || !optlen || *optlen < static_cast<int>(sizeof(int))) return WinsockFail(WSAEFAULT);
    if (!KnownLevel(level)) return WinsockFail(WSAEINVAL);
    auto answer = [&](long result, auto value) {
        if (Finish(*record, result) < 0) return SOCKET_ERROR;
        static_assert(sizeof value == sizeof(int));
        std::memcpy(optval, &value, sizeof value);
        *optlen = sizeof value;
        return 0;
    };
    const auto option = IntOption(level, optname);
    if (option) {
        const long value = WinsockSys::GetIntOption(record->Fd, *option);
        return answer(value, static_cast<int>(value));
    }
    if (level == SOL_SOCKET && optname == SO_TYPE) return answer(0, record->Type);
    if (level == SOL_SOCKET && optname == SO_ERROR) {
        const long error = WinsockSys::TakePendingError(record->Fd);
        return answer(error, static_cast<int>(error));
    }
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        bool on = false;
        int seconds = 0;
        const long result = WinsockSys::GetLinger(record->Fd, &on, &seconds);
        return answer(result, linger{static_cast<USHORT>(on ? 1 : 0), static_cast<USHORT>(seconds)});
    }
    return WinsockFail(WSAENOPROTOOPT);
}

int ioctlsocket(SOCKET s, LONG cmd, ULONG* argp) {
    TSocketRef record = Enter(s);
    if (!record) return SOCKET_ERROR;
    if (!argp) return WinsockFail(WSAEFAULT);
    if (cmd == FIONREAD) {
        const long count = Finish(*record, WinsockSys::BytesReadable(record->Fd));
        if (count < 0) return SOCKET_ERROR;
        *argp = static_cast<ULONG>(count);
        return 0;
    }
    if (cmd == FIONBIO) {
        // Notifications need a non-blocking socket; WSAAsyncSelect with mask 0 comes first.
        if (*argp == 0 && AsyncSelect::Registered(*record)) return WinsockFail(WSAEINVAL);
        return ToInt(Finish(*record, WinsockSys::SetNonBlocking(record->Fd, *argp != 0)));
    }
    return WinsockFail(WSAEINVAL);
}

namespace {

int QueryName(SOCKET s, sockaddr* name, int* namelen, long (*query)(int, TInet*)) {
    TSocketRef record = Enter(s);
    if (!record) return SOCKET_ERROR;
    if (!name || !AddressRoom(name, namelen)) return WinsockFail(WSAEFAULT);
    TInet end;
    if (Finish(*record, query(record->Fd, &end)) < 0) return SOCKET_ERROR;
    WriteAddress(end, name, namelen);
    return 0;
}

}  // namespace

int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    return QueryName(s, name, namelen, WinsockSys::LocalName);
}

int getpeername(SOCKET s, sockaddr* name, int* namelen) {
    return QueryName(s, name, namelen, WinsockSys::PeerName);
}

// ---- select ---------------------------------------------------------------------------------------

void WinsockFdSetAdd(SOCKET s, TFDSet* set) {
    if (!set || WinsockFdIsSet(s, set) || set->fd_count >= FD_SETSIZE) return;
    set->fd_array[set->fd_count++] = s;
}

void WinsockFdSetRemove(SOCKET s, TFDSet* set) {
    if (!set) return;
    UINT kept = 0;
    for (UINT i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] != s) set->fd_array[kept++] = set->fd_array[i];
    }
    set->fd_count = kept;
}

int WinsockFdIsSet(SOCKET s, const TFDSet* set) {
    if (!set) return 0;
    for (UINT i = 0; i < set->fd_count && i < FD_SETSIZE; ++i) {
        if (set->fd_array[i] == s) return 1;
    }
    return 0;
}

namespace {

struct TSelectEntry {
    SOCKET Handle;
    TSocketRef Record;
    WinsockSys::TPollEntry Poll;
};

enum class TSetKind { Read, Write, Except };

bool Collect(TFDSet* set, TSetKind kind, std::vector<TSelectEntry>& entries) {
    if (!set) return true;
    for (UINT i = 0; i < set->fd_count && i < FD_SETSIZE; ++i) {
        const SOCKET handle = set->fd_array[i];
        TSelectEntry* entry = nullptr;
        for (TSelectEntry& known : entries) {
            if (known.Handle == handle) entry = &known;
        }
        if (!entry) {
            TSocketRef record = SocketTable::Find(handle);
            if (!record) {
                WSASetLastError(WSAENOTSOCK);
                return false;
            }
            entries.push_back({handle, record, {}});
            entry = &entries.back();
            entry->Poll.Fd = record->Fd;
        }
        (kind == TSetKind::Read ? entry->Poll.WantRead
                                : kind == TSetKind::Write ? entry->Poll.WantWrite : entry->Poll.WantExcept) = true;
    }
    return true;
}

UINT KeepReady(TFDSet* set, TSetKind kind, const std::vector<TSelectEntry>& entries) {
    if (!set) return 0;
    UINT kept = 0;
    for (UINT i = 0; i < set->fd_count && i < FD_SETSIZE; ++i) {
        for (const TSelectEntry& entry : entries) {
            if (entry.Handle != set->fd_array[i]) continue;
            const bool ready = kind == TSetKind::Read    ? entry.Poll.Readable
                               : kind == TSetKind::Write ? entry.Poll.Writable
                                                         : entry.Poll.Excepted;
            if (ready) set->fd_array[kept++] = entry.Handle;
        }
    }
    set->fd_count = kept;
    return kept;
}

}  // namespace

int select(int, TFDSet* readfds, TFDSet* writefds, TFDSet* exceptfds, const timeval* timeout) {
    if (!WinsockStarted()) return SOCKET_ERROR;
    long timeoutMs = -1;
    if (timeout) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return WinsockFail(WSAEINVAL);
        const long long ms = static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000;
        timeoutMs = ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<long>(ms);
    }
    std::vector<TSelectEntry> entries;
    if (!Collect(readfds, TSetKind::Read, entries) || !Collect(writefds, TSetKind::Write, entries) ||
        !Collect(exceptfds, TSetKind::Except, entries)) {
        return SOCKET_ERROR;
    }
    if (entries.empty()) return WinsockFail(WSAEINVAL);
    std::vector<WinsockSys::TPollEntry> polls;
    for (const TSelectEntry& entry : entries) polls.push_back(entry.Poll);
    const long result = WinsockSys::Poll(polls, timeoutMs);
    if (result < 0) return WinsockFail(static_cast<int>(-result));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].Record->Closed) return WinsockFail(WSAEINTR);
        entries[i].Poll = polls[i];
    }
    return static_cast<int>(KeepReady(readfds, TSetKind::Read, entries) +
                            KeepReady(writefds, TSetKind::Write, entries) +
                            KeepReady(exceptfds, TSetKind::Except, entries));
}
