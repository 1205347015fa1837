#include "EventSocketBinding.h"

#include <atomic>
#include <cstdlib>

#include "SysUtils.h"

namespace {

const char* const WinsockName = "wsock32.dll";
const char* const Winsock2Name = "ws2_32.dll";

// One slot per bound function; the names are those the library exports.
enum TBoundProc : int {
    bpWSAStartup, bpWSACleanup, bpWSASetLastError, bpWSAGetLastError, bpWSACancelAsyncRequest,
    bpWSAAsyncGetHostByName, bpWSAAsyncGetHostByAddr, bpWSAAsyncSelect, bpGetservbyname,
    bpGetprotobyname, bpGethostbyname, bpSocket, bpShutdown, bpSetsockopt, bpSendto, bpSend,
    bpNtohs, bpListen, bpIoctlsocket, bpInetNtoa, bpInetAddr, bpHtons, bpGetsockname,
    bpGetpeername, bpConnect, bpClosesocket, bpBind, bpAccept, bpRecv, bpRecvfrom,
    bpWSAIoctl,  // the one entry of the second library
    bpCount
};

const char* const ProcNames[bpCount] = {
    "WSAStartup", "WSACleanup", "WSASetLastError", "WSAGetLastError", "WSACancelAsyncRequest",
    "WSAAsyncGetHostByName", "WSAAsyncGetHostByAddr", "WSAAsyncSelect", "getservbyname",
    "getprotobyname", "gethostbyname", "socket", "shutdown", "setsockopt", "sendto", "send",
    "ntohs", "listen", "ioctlsocket", "inet_ntoa", "inet_addr", "htons", "getsockname",
    "getpeername", "connect", "closesocket", "bind", "accept", "recv", "recvfrom",
    "WSAIoctl",
};

// Never destroyed: sockets and the exit handler may use it while static objects go away.
struct TUnit {
    TUnit() {
        InitializeCriticalSection(&WindowClassLock);
        InitializeCriticalSection(&LibraryLock);
    }
    CRITICAL_SECTION WindowClassLock;
    CRITICAL_SECTION LibraryLock;
    bool Finalized = false;
    // The slots and handles are read without the lock (a slot test costs no lock), by any
    // thread that owns a socket.
    std::atomic<FARPROC> Slots[bpCount] = {};
    std::atomic<HMODULE> Winsock{nullptr};
    std::atomic<HMODULE> Winsock2{nullptr};
    std::atomic<BYTE> ReqVerLow{1};
    std::atomic<BYTE> ReqVerHigh{1};
    int SocketCount = 0;  // under LibraryLock
    WSADATA StartupData{};
    bool ExitHandlerRegistered = false;  // under LibraryLock
};

TUnit& Unit() {
    static TUnit* const unit = new TUnit;
    return *unit;
}

// The unit starts with the program, before any window or socket exists.
const bool unitStarted = (InitializeEventSocketUnit(), true);

std::string LastErrorText() { return IntToStr(GetLastError()); }

FARPROC BoundProc(TBoundProc proc) {
    std::atomic<FARPROC>& slot = Unit().Slots[proc];
    FARPROC entry = slot.load(std::memory_order_acquire);
    if (!entry) {
        entry = proc == bpWSAIoctl ? GetWinsock2Proc(ProcNames[proc]) : GetWinsockProc(ProcNames[proc]);
        slot.store(entry, std::memory_order_release);
    }
    return entry;
}

// The slot's entry as the layer's function type, which decltype takes from the declaration
// without referring to the function itself.
template <class TFunction>
TFunction Bound(TBoundProc proc) {
    return reinterpret_cast<TFunction>(BoundProc(proc));
}

void EmptySlots() {
    for (std::atomic<FARPROC>& slot : Unit().Slots) slot.store(nullptr, std::memory_order_release);
}

}  // namespace

void InitializeEventSocketUnit() { Unit(); }

void FinalizeEventSocketUnit() {
    TUnit& unit = Unit();
    if (unit.Finalized || SocketInstanceCount() > 0) return;
    unit.Finalized = true;
    DeleteCriticalSection(&unit.WindowClassLock);
    ReleaseWinsock();
    DeleteCriticalSection(&unit.LibraryLock);
}

CRITICAL_SECTION& WinsockLibraryLock() { return Unit().LibraryLock; }
CRITICAL_SECTION& SocketWindowClassLock() { return Unit().WindowClassLock; }

FARPROC GetWinsockProc(const std::string& ProcName) {
    TUnit& unit = Unit();
    TCriticalSectionGuard lock(unit.LibraryLock);
    if (!unit.Winsock.load()) {
        const HMODULE module = LoadLibraryA(WinsockName);
        if (!module) throw ESocketException(std::string("Unable to load ") + WinsockName + " Error #" + LastErrorText());
        unit.Winsock.store(module);
        if (!unit.ExitHandlerRegistered) {
            unit.ExitHandlerRegistered = true;
            std::atexit(FinalizeEventSocketUnit);
        }
        const WORD version = static_cast<WORD>(unit.ReqVerLow.load() + 256 * unit.ReqVerHigh.load());
        const int result = BoundWinsock::WSAStartup(version, &unit.StartupData);
        if (result != 0) throw ESocketException(Format("%s: WSAStartup error #%d", WinsockName, result));
    }
    if (ProcName.empty()) return nullptr;
    const FARPROC entry = GetProcAddress(unit.Winsock.load(), ProcName.c_str());
    if (!entry)
        throw ESocketException("Procedure " + ProcName + " not found in " + WinsockName + " Error #" + LastErrorText());
    return entry;
}

FARPROC GetWinsock2Proc(const std::string& ProcName) {
    TUnit& unit = Unit();
    TCriticalSectionGuard lock(unit.LibraryLock);
    if (!unit.Winsock2.load()) {
        if (!unit.Winsock.load()) GetWinsockProc("");
        const HMODULE module = LoadLibraryA(Winsock2Name);
        if (!module) throw ESocketException(std::string("Unable to load ") + Winsock2Name + " Error #" + LastErrorText());
        unit.Winsock2.store(module);
    }
    if (ProcName.empty()) return nullptr;
    const FARPROC entry = GetProcAddress(unit.Winsock2.load(), ProcName.c_str());
    if (!entry)
        throw ESocketException("Procedure " + ProcName + " not found in " + Winsock2Name + " Error #" + LastErrorText());
    return entry;
}

void ReleaseWinsock() {
    TUnit& unit = Unit();
    TCriticalSectionGuard lock(unit.LibraryLock);
    if (!unit.Winsock.load() || unit.SocketCount != 0) return;
    try {
        BoundWinsock::WSACleanup();
    } catch (const ESocketException&) {
        // A library without a clean-up entry is unloaded all the same.
    }
    if (const HMODULE second = unit.Winsock2.exchange(nullptr)) {
        FreeLibrary(second);
        unit.Slots[bpWSAIoctl].store(nullptr);
    }
    FreeLibrary(unit.Winsock.exchange(nullptr));
    EmptySlots();
}

bool WinsockLoaded() { return Unit().Winsock.load() != nullptr; }

void IncSocketInstanceCount() {
    TCriticalSectionGuard lock(Unit().LibraryLock);
    ++Unit().SocketCount;
}

void DecSocketInstanceCount() {
    TCriticalSectionGuard lock(Unit().LibraryLock);
    --Unit().SocketCount;
}

void ReleaseSocketInstance() {
    TCriticalSectionGuard lock(Unit().LibraryLock);
    if (--Unit().SocketCount < 1) ReleaseWinsock();
}

int SocketInstanceCount() {
    TCriticalSectionGuard lock(Unit().LibraryLock);
    return Unit().SocketCount;
}

BYTE WinsockReqVerLow() { return Unit().ReqVerLow.load(); }
BYTE WinsockReqVerHigh() { return Unit().ReqVerHigh.load(); }
void SetWinsockReqVerLow(BYTE Value) { Unit().ReqVerLow.store(Value); }
void SetWinsockReqVerHigh(BYTE Value) { Unit().ReqVerHigh.store(Value); }

std::string InetNtoaGuarded(ULONG Addr) {
    struct TRaisedCount {
        TRaisedCount() { IncSocketInstanceCount(); }
        ~TRaisedCount() { DecSocketInstanceCount(); }
    } raised;
    in_addr address{};
    address.s_addr = Addr;
    const char* text = BoundWinsock::inet_ntoa(address);
    return text ? std::string(text) : std::string();
}

namespace BoundWinsock {

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    return Bound<decltype(&::WSAStartup)>(bpWSAStartup)(versionRequested, data);
}
int WSACleanup() { return Bound<decltype(&::WSACleanup)>(bpWSACleanup)(); }
void WSASetLastError(int error) { Bound<decltype(&::WSASetLastError)>(bpWSASetLastError)(error); }
int WSAGetLastError() { return Bound<decltype(&::WSAGetLastError)>(bpWSAGetLastError)(); }
int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    return Bound<decltype(&::WSACancelAsyncRequest)>(bpWSACancelAsyncRequest)(asyncTaskHandle);
}
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
    return Bound<decltype(&::WSAAsyncGetHostByName)>(bpWSAAsyncGetHostByName)(hwnd, msg, name, buf, buflen);
}
HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen) {
    return Bound<decltype(&::WSAAsyncGetHostByAddr)>(bpWSAAsyncGetHostByAddr)(hwnd, msg, addr, len, type, buf, buflen);
}
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, LONG event) {
    return Bound<decltype(&::WSAAsyncSelect)>(bpWSAAsyncSelect)(s, hwnd, msg, event);
}
servent* getservbyname(const char* name, const char* proto) {
    return Bound<decltype(&::getservbyname)>(bpGetservbyname)(name, proto);
}
protoent* getprotobyname(const char* name) { return Bound<decltype(&::getprotobyname)>(bpGetprotobyname)(name); }
hostent* gethostbyname(const char* name) { return Bound<decltype(&::gethostbyname)>(bpGethostbyname)(name); }
SOCKET socket(int af, int type, int protocol) { return Bound<decltype(&::socket)>(bpSocket)(af, type, protocol); }
int shutdown(SOCKET s, int how) { return Bound<decltype(&::shutdown)>(bpShutdown)(s, how); }
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    return Bound<decltype(&::setsockopt)>(bpSetsockopt)(s, level, optname, optval, optlen);
}
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
    return Bound<decltype(&::sendto)>(bpSendto)(s, buf, len, flags, to, tolen);
}
int send(SOCKET s, const char* buf, int len, int flags) { return Bound<decltype(&::send)>(bpSend)(s, buf, len, flags); }
USHORT ntohs(USHORT netshort) { return Bound<decltype(&::ntohs)>(bpNtohs)(netshort); }
int listen(SOCKET s, int backlog) { return Bound<decltype(&::listen)>(bpListen)(s, backlog); }
int ioctlsocket(SOCKET s, LONG cmd, ULONG* argp) { return Bound<decltype(&::ioctlsocket)>(bpIoctlsocket)(s, cmd, argp); }
char* inet_ntoa(in_addr in) { return Bound<decltype(&::inet_ntoa)>(bpInetNtoa)(in); }
ULONG inet_addr(const char* cp) { return Bound<decltype(&::inet_addr)>(bpInetAddr)(cp); }
USHORT htons(USHORT hostshort) { return Bound<decltype(&::htons)>(bpHtons)(hostshort); }
int getsockname(SOCKET s, sockaddr* name, int* namelen) {
    return Bound<decltype(&::getsockname)>(bpGetsockname)(s, name, namelen);
}
int getpeername(SOCKET s, sockaddr* name, int* namelen) {
    return Bound<decltype(&::getpeername)>(bpGetpeername)(s, name, namelen);
}
int connect(SOCKET s, const sockaddr* name, int namelen) {
    return Bound<decltype(&::connect)>(bpConnect)(s, name, namelen);
}
int closesocket(SOCKET s) { return Bound<decltype(&::closesocket)>(bpClosesocket)(s); }
int bind(SOCKET s, const sockaddr* name, int namelen) { return Bound<decltype(&::bind)>(bpBind)(s, name, namelen); }
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen) { return Bound<decltype(&::accept)>(bpAccept)(s, addr, addrlen); }
int recv(SOCKET s, char* buf, int len, int flags) { return Bound<decltype(&::recv)>(bpRecv)(s, buf, len, flags); }
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
    return Bound<decltype(&::recvfrom)>(bpRecvfrom)(s, buf, len, flags, from, fromlen);
}
int WSAIoctl(SOCKET s, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
             LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine) {
    return Bound<decltype(&::WSAIoctl)>(bpWSAIoctl)(s, ioControlCode, inBuffer, inSize, outBuffer, outSize,
                                                    bytesReturned, overlapped, completionRoutine);
}

}  // namespace BoundWinsock
