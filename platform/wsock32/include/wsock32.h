#pragma once
// Windows Sockets 1.1 as the system's code calls it: blocking TCP and UDP sockets over IPv4,
// select, name and service lookups, byte order. Errors are Windows Sockets codes (10000 + ...),
// kept per thread.

// The C library declares its own fd_set, FD_SET and select through the standard headers. They
// are pulled in first, so that this layer's set (an array of socket handles, as Windows Sockets
// has it) can take the names from here on; the layer's timeval is the C library's.
#include <cstdlib>
#include <sys/time.h>

#include "wintypes.h"

// ---- handles and results ------------------------------------------------------------------------
using SOCKET = UINT_PTR;
inline constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
inline constexpr int SOCKET_ERROR = -1;

// ---- start-up -----------------------------------------------------------------------------------
inline constexpr int WSADESCRIPTION_LEN = 256;
inline constexpr int WSASYS_STATUS_LEN = 128;

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

// Counted: every successful WSAStartup needs its WSACleanup. Every other function fails with
// WSANOTINITIALISED while the count is 0.
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

// ---- error codes --------------------------------------------------------------------------------
inline constexpr int WSABASEERR = 10000;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// ---- addresses ----------------------------------------------------------------------------------
inline constexpr int AF_UNSPEC = 0;
inline constexpr int AF_INET = 2;
inline constexpr int PF_INET = AF_INET;

inline constexpr int SOCK_STREAM = 1;
inline constexpr int SOCK_DGRAM = 2;
inline constexpr int SOCK_RAW = 3;

inline constexpr int IPPROTO_IP = 0;
inline constexpr int IPPROTO_ICMP = 1;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int IPPROTO_UDP = 17;
inline constexpr int IPPROTO_RAW = 255;

inline constexpr ULONG INADDR_ANY = 0x00000000u;
inline constexpr ULONG INADDR_LOOPBACK = 0x7F000001u;
inline constexpr ULONG INADDR_BROADCAST = 0xFFFFFFFFu;
inline constexpr ULONG INADDR_NONE = 0xFFFFFFFFu;

// An IPv4 address in network byte order.
struct in_addr {
    ULONG s_addr;
};

struct sockaddr {
    USHORT sa_family;
    char sa_data[14];
};

// 16 bytes: family, port and address in network byte order, 8 zero bytes.
struct sockaddr_in {
    SHORT sin_family;
    USHORT sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16);

// The host, service and protocol entries have the Windows layout; the library keeps one of
// each per thread, valid until that thread's next lookup of the same kind.
struct hostent {
    char* h_name;
    char** h_aliases;
    SHORT h_addrtype;
    SHORT h_length;
    char** h_addr_list;  // addresses in network byte order, h_length bytes each, null-terminated
};

struct servent {
    char* s_name;
    char** s_aliases;
    SHORT s_port;  // network byte order
    char* s_proto;
};

struct protoent {
    char* p_name;
    char** p_aliases;
    SHORT p_proto;
};

// ---- socket options (Windows numbering) ---------------------------------------------------------
inline constexpr int SOL_SOCKET = 0xFFFF;
inline constexpr int SO_DEBUG = 0x0001;
inline constexpr int SO_ACCEPTCONN = 0x0002;
inline constexpr int SO_REUSEADDR = 0x0004;
inline constexpr int SO_KEEPALIVE = 0x0008;
inline constexpr int SO_DONTROUTE = 0x0010;
inline constexpr int SO_BROADCAST = 0x0020;
inline constexpr int SO_LINGER = 0x0080;
inline constexpr int SO_OOBINLINE = 0x0100;
inline constexpr int SO_SNDBUF = 0x1001;
inline constexpr int SO_RCVBUF = 0x1002;
inline constexpr int SO_ERROR = 0x1007;
inline constexpr int SO_TYPE = 0x1008;

inline constexpr int IP_MULTICAST_IF = 2;
inline constexpr int IP_MULTICAST_TTL = 3;
inline constexpr int IP_MULTICAST_LOOP = 4;
inline constexpr int IP_ADD_MEMBERSHIP = 5;
inline constexpr int IP_DROP_MEMBERSHIP = 6;

inline constexpr int TCP_NODELAY = 0x0001;

// Two 16-bit fields, as Windows Sockets 1.1 passes them.
struct linger {
    USHORT l_onoff;
    USHORT l_linger;  // seconds
};

struct ip_mreq {
    in_addr imr_multiaddr;
    in_addr imr_interface;
};

// ---- flags and commands -------------------------------------------------------------------------
inline constexpr int MSG_OOB = 0x1;
inline constexpr int MSG_PEEK = 0x2;
inline constexpr int MSG_DONTROUTE = 0x4;

inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

inline constexpr LONG FIONREAD = 0x4004667F;
inline constexpr LONG FIONBIO = static_cast<LONG>(0x8004667Eu);

// ---- select -------------------------------------------------------------------------------------
#undef FD_SETSIZE
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#undef FD_ZERO
#define FD_SETSIZE 64

// A set of socket handles, not of descriptor bits, as Windows Sockets has it.
struct TFDSet {
    UINT fd_count;
    SOCKET fd_array[FD_SETSIZE];
};
#define fd_set TFDSet

void WinsockFdSetAdd(SOCKET s, TFDSet* set);     // ignored when full or already present
void WinsockFdSetRemove(SOCKET s, TFDSet* set);
int WinsockFdIsSet(SOCKET s, const TFDSet* set);

#define FD_ZERO(set) (static_cast<void>((set)->fd_count = 0))
#define FD_SET(s, set) WinsockFdSetAdd((s), (set))
#define FD_CLR(s, set) WinsockFdSetRemove((s), (set))
#define FD_ISSET(s, set) WinsockFdIsSet((s), (set))

// nfds is ignored. Null timeout waits without end; {0, 0} polls. Returns the number of ready
// sockets (each set keeps only its ready ones), 0 on time-out, SOCKET_ERROR otherwise; all
// sets empty is WSAEINVAL.
int select(int nfds, TFDSet* readfds, TFDSet* writefds, TFDSet* exceptfds, const timeval* timeout);

// ---- sockets ------------------------------------------------------------------------------------
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
// On a non-blocking socket: WSAEWOULDBLOCK while the connect goes on (with notifications on,
// also when it ended at once; FD_CONNECT tells how).
int connect(SOCKET s, const sockaddr* name, int namelen);
// After shutdown of the sending side: WSAESHUTDOWN.
int send(SOCKET s, const char* buf, int len, int flags);
// A datagram longer than len fills buf and fails with WSAEMSGSIZE; its rest is lost. After a
// reset every receive fails with WSAECONNRESET; after shutdown of the receiving side, with
// WSAESHUTDOWN.
int recv(SOCKET s, char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
// Posts no notification of its own; the peer's later close still comes as FD_CLOSE.
int shutdown(SOCKET s, int how);
// A blocking call that another thread has running on the socket fails with WSAEINTR. Never
// blocks: a lingering close with a time-out finishes in the background, gracefully once the
// peer has taken the data, with a reset if the time runs out first.
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
// Every option is four bytes: Booleans and numbers as int, SO_LINGER as linger.
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
// FIONBIO 0 fails with WSAEINVAL while WSAAsyncSelect notifications are on.
int ioctlsocket(SOCKET s, LONG cmd, ULONG* argp);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);

// ---- names --------------------------------------------------------------------------------------
hostent* gethostbyname(const char* name);
hostent* gethostbyaddr(const char* addr, int len, int type);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobyname(const char* name);
ULONG inet_addr(const char* cp);   // INADDR_NONE when cp is no address
char* inet_ntoa(in_addr in);       // per-thread text, valid until the thread's next call
USHORT htons(USHORT hostshort);
USHORT ntohs(USHORT netshort);

// ---- asynchronous notifications -----------------------------------------------------------------
inline constexpr LONG FD_READ = 0x01;
inline constexpr LONG FD_WRITE = 0x02;
inline constexpr LONG FD_OOB = 0x04;
inline constexpr LONG FD_ACCEPT = 0x08;
inline constexpr LONG FD_CONNECT = 0x10;
inline constexpr LONG FD_CLOSE = 0x20;

// The reply's LPARAM: the event (or buffer length) in the low word, the error in the high word.
#define WSAMAKESELECTREPLY(event, error) static_cast<LPARAM>(MAKELONG((event), (error)))
#define WSAMAKEASYNCREPLY(buflen, error) static_cast<LPARAM>(MAKELONG((buflen), (error)))
#define WSAGETSELECTEVENT(lParam) LOWORD(lParam)
#define WSAGETSELECTERROR(lParam) HIWORD(lParam)
#define WSAGETASYNCBUFLEN(lParam) LOWORD(lParam)
#define WSAGETASYNCERROR(lParam) HIWORD(lParam)

// Posts msg to hwnd for each event of mask, one event bit per message, with the socket in
// WPARAM; makes the socket non-blocking. Mask 0 stops posting (messages already queued stay).
// Replaces an earlier registration of the socket and reports the conditions that already
// hold. After closesocket or the last WSACleanup nothing more is posted for the socket.
// - FD_READ when bytes (or a datagram) arrive; again after recv/recvfrom while some remain.
// - FD_WRITE once connected or accepted, and once room is back after a send that sent short
//   or failed with WSAEWOULDBLOCK, also after the peer's half-close; datagram sockets get it
//   at registration.
// - FD_ACCEPT while a connection waits; again after accept. A listener reports nothing else,
//   and the sockets it accepts inherit its registration.
// - FD_CONNECT once, before anything else of the socket, with the connect's error.
// - FD_CLOSE once the peer has closed or half-closed, after the bytes before it have been read:
//   0, WSAECONNRESET or WSAECONNABORTED. Never for datagram sockets, nor after a failed
//   connect.
// - FD_OOB when out-of-band data waits (not with SO_OOBINLINE, where it is read as data and
//   told by FD_READ); again after recv/recvfrom while some waits.
// A window without a message queue (the desktop window) is WSAEINVAL. A post that the
// window's full queue refuses waits, merged with the socket's other waiting events (each at
// most once), until the queue has room again.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, LONG event);

// ---- asynchronous lookups -----------------------------------------------------------------------
// The buffer size that always holds a host entry with its names and addresses.
inline constexpr int MAXGETHOSTSTRUCT = 1024;

// Each returns a task handle (non-zero, fits 31 bits, never reused) or 0 with the last error
// set. A worker thread resolves; the host entry is packed into buf (the hostent at its start,
// so buf must be aligned for one, else WSAEFAULT; its pointers point into buf), then msg is
// posted to hwnd with the task handle in WPARAM and WSAMAKEASYNCREPLY(size, error) in LPARAM:
// the size used, or with WSAENOBUFS the size needed; errors WSAHOST_NOT_FOUND ... WSANO_DATA.
// An empty name means this machine; by address, only AF_INET with 4 bytes is looked up.
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf,
                             int buflen);
// 0: the task will neither write its buffer nor post. Otherwise SOCKET_ERROR with WSAEALREADY
// (the task has completed or was cancelled) or WSAEINVAL (no such task). The last WSACleanup
// cancels every task still pending.
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);
