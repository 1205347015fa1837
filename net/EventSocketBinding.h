#pragma once
// The socket unit's binding of the Windows Sockets library. The component never links the
// library: the first socket call of the process loads "wsock32.dll" and starts it, each entry
// point is fetched by name on its first use and kept in a slot, and the destruction of the last
// socket component cleans up and unloads again, so a later socket starts afresh.

#include <string>

#include "Classes.h"
#include "kernel32.h"
#include "ws2_32.h"
#include "wsock32.h"

// The exception class of the whole socket unit: binding, resolvers and components.
class ESocketException : public Exception { using Exception::Exception; };

// Creates the two unit locks; runs by itself when the program starts and may be called again.
void InitializeEventSocketUnit();
// At process end (registered when the library is first loaded, so that it runs before the
// library's own clean-up): with no socket left, deletes the locks and unloads the library.
void FinalizeEventSocketUnit();

// The library lock guards loading, unloading and the socket count; the window-class lock
// guards the hidden window's class. Both are re-entrant; where both are held, the library lock
// comes first.
CRITICAL_SECTION& WinsockLibraryLock();
CRITICAL_SECTION& SocketWindowClassLock();

class TCriticalSectionGuard {
public:
    explicit TCriticalSectionGuard(CRITICAL_SECTION& section) : FSection(section) { EnterCriticalSection(&FSection); }
    ~TCriticalSectionGuard() { LeaveCriticalSection(&FSection); }
    TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
    TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

private:
    CRITICAL_SECTION& FSection;
};

// The entry point of ProcName in "wsock32.dll", loading and starting the library first; an
// empty name only loads and starts it (result null). Raises ESocketException.
FARPROC GetWinsockProc(const std::string& ProcName);
// The same for "ws2_32.dll", which needs "wsock32.dll" loaded and started first.
FARPROC GetWinsock2Proc(const std::string& ProcName);
// With no socket component left: cleans up, unloads both libraries and empties every slot.
void ReleaseWinsock();
bool WinsockLoaded();

void IncSocketInstanceCount();
void DecSocketInstanceCount();  // never unloads
// Lowers the count and, when no socket is left, releases the library (a destructor's step).
void ReleaseSocketInstance();
int SocketInstanceCount();

// The version bytes that the start-up requests (1 and 1 at start), for the whole process.
BYTE WinsockReqVerLow();
BYTE WinsockReqVerHigh();
void SetWinsockReqVerLow(BYTE Value);
void SetWinsockReqVerHigh(BYTE Value);

// inet_ntoa with the socket count raised meanwhile, so a release running at the same time
// leaves the library loaded; the text is copied before the count goes down again.
std::string InetNtoaGuarded(ULONG Addr);

// The bound calls: the Windows Sockets functions with their parameters and results, each going
// through its slot.
namespace BoundWinsock {
int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup();
void WSASetLastError(int error);
int WSAGetLastError();
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen);
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, LONG event);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobyname(const char* name);
hostent* gethostbyname(const char* name);
SOCKET socket(int af, int type, int protocol);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int send(SOCKET s, const char* buf, int len, int flags);
USHORT ntohs(USHORT netshort);
int listen(SOCKET s, int backlog);
int ioctlsocket(SOCKET s, LONG cmd, ULONG* argp);
char* inet_ntoa(in_addr in);
ULONG inet_addr(const char* cp);
USHORT htons(USHORT hostshort);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int closesocket(SOCKET s);
int bind(SOCKET s, const sockaddr* name, int namelen);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
// From "ws2_32.dll".
int WSAIoctl(SOCKET s, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
             LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine);
}  // namespace BoundWinsock
