// Ending a session: the graceful and the abortive close, the delayed close and release, the
// waits for the send queue and for the peer's end, the asynchronous lookups, and the report of
// socket errors.

#include "CustomEventSocket.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "EventSocketResolve.h"
#include "SysUtils.h"

void TCustomEventSocket::ShutAndClose(bool Shut, WORD ErrCode) {
    if (FHSocket == INVALID_SOCKET) {
        if (FState != wsClosed) {
            EnterState(wsClosed);
            ResetDefaults();
        }
        return;
    }
    if (FState == wsClosed) {
        // No session to end, but the handle must not stay open (it would keep its port).
        BoundWinsock::closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        return;
    }
    if (Shut) {
        // A graceful close delivers what is still queued first, for FlushTimeout seconds at
        // most (an abortive one would discard it with the connection anyway). A destructor
        // does not wait.
        const SOCKET handle = FHSocket;
        if (!FAllSent && !FSendFailed && !Destroying() && ClosesGracefully())
            SendQueued(static_cast<DWORD>(std::max(FlushTimeout, 0)) * 1000);
        if (!SameSession(handle)) return;  // a handler closed it meanwhile
        ShutdownSocket(SD_SEND);
    }
    const SOCKET handle = FHSocket;
    while (BoundWinsock::closesocket(FHSocket) != 0) {
        FLastError = BoundWinsock::WSAGetLastError();
        if (FLastError == WSAEWOULDBLOCK) {
            PumpMessages();
            if (!SameSession(handle)) return;  // a handler closed it meanwhile
            continue;
        }
        if (FLastError == WSANOTINITIALISED) break;  // the library closed it already
        FHSocket = INVALID_SOCKET;
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    FHSocket = INVALID_SOCKET;
    // However the handlers below end (one may throw), the session is over: the defaults come
    // back, and with them the report of the next session's close.
    struct TFinish {
        TCustomEventSocket& Socket;
        ~TFinish() { Socket.FinishClose(); }
    } finish{*this};
    EnterState(wsClosed);
    if (!Destroying() && !FCloseInvoked) {
        FCloseInvoked = true;
        FireSessionClosed(ErrCode);
    }
}

void TCustomEventSocket::FinishClose() {
    if (FHSocket != INVALID_SOCKET || FState != wsClosed) {
        // A handler that began a new session keeps it, and its close is yet to be reported.
        FCloseInvoked = false;
        return;
    }
    try {
        ResetDefaults();
    } catch (...) {
    }
}

bool TCustomEventSocket::ClosesGracefully() const {
    return LingerOnOff != wsLingerOn || LingerTimeout != 0;
}

void TCustomEventSocket::SendQueued(DWORD TimeLimit) {
    // A close or flush from a handler inside the wait leaves the waiting to the outer one.
    if (FFlushing) return;
    FFlushing = true;
    struct TDone {
        bool& Flag;
        ~TDone() { Flag = false; }
    } done{FFlushing};
    const SOCKET handle = FHSocket;
    const DWORD start = GetTickCount();
    while (SameSession(handle) && !FAllSent) {
        TryToSend();
        if (FSendFailed) return;  // reported; a lasting error would repeat for ever
        if (FAllSent) return;
        PumpMessages();
        if (TimeLimit != INFINITE && GetTickCount() - start >= TimeLimit) return;
        WaitForMessages();
    }
}

void TCustomEventSocket::FlushSendQueue() { SendQueued(INFINITE); }

void TCustomEventSocket::DrainUntilClosed() {
    const SOCKET handle = FHSocket;
    while (SameSession(handle) && FState != wsClosed) {
        PumpMessages();
        // A close kept back for what a handler below holds follows once that handler returns.
        if (!SameSession(handle) || FState == wsClosed || PeerEndKeptBack()) return;
        ULONG pending = 0;
        if (BoundWinsock::ioctlsocket(FHSocket, FIONREAD, &pending) == SOCKET_ERROR) return;
        // A handler that takes nothing ends the wait; a run that used its slice goes on from
        // the pump.
        if (pending > 0 &&
            ReceiveLoop(0, ComponentOptions & ~static_cast<TEventSocketOptions>(wsoNoReceiveLoop)) == TReceiveEnd::Declined)
            return;
        if (!SameSession(handle)) return;
        // A peek tells the end (0) from nothing yet (would block) without taking a byte.
        char probe;
        const int result = RecvData(&probe, 1, MSG_PEEK);
        if (result == 0) return;
        if (result < 0) {
            FLastError = BoundWinsock::WSAGetLastError();
            if (FLastError != WSAEWOULDBLOCK) return;
        }
        PumpMessages();
        WaitForMessages();
    }
}

void TCustomEventSocket::Disconnect() { ShutAndClose(true, 0); }

void TCustomEventSocket::AbortConnection() { AbortWithError(0); }

void TCustomEventSocket::AbortWithError(WORD ErrCode) {
    CancelLookup();
    ClearSendQueue();
    if (FState == wsConnected && FProto == IPPROTO_TCP) {
        LingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    ShutAndClose(false, ErrCode);
}

void TCustomEventSocket::CloseLater() { PostLater(WM_CLOSE_LATER, 0, 0); }

void TCustomEventSocket::ReleaseLater() { PostLater(WM_RELEASE_SOCKET, 0, 0); }

void TCustomEventSocket::HandleCloseLater() { Disconnect(); }

// Carried out by WindowMessage once no code of the socket is on the stack any more.
void TCustomEventSocket::HandleRelease() { FReleaseDue = true; }

// ---- lookups -------------------------------------------------------------------------------------

void TCustomEventSocket::StartLookup() {
    if (FDnsLookupHandle) {
        // Superseded: no event for it, and a late reply no longer matches the task handle.
        BoundWinsock::WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = nullptr;
    }
    FDnsResult.clear();
    FDnsResultList->Clear();
}

void TCustomEventSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        ReportError("DNS lookup: invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    StartLookup();
    if (IsDottedQuad(HostName)) {
        const ULONG address = BoundWinsock::inet_addr(HostName.c_str());
        if (address != INADDR_NONE) {
            FDnsResult = InetNtoaGuarded(address);
            FDnsResultList->Add(FDnsResult);
            FireDnsLookupDone(0);
            return;
        }
    }
    if (!FWindowHandle) ReportError("DnsLookup: Window not assigned");
    FEarlyReply = false;
    FDnsLookupHandle = BoundWinsock::WSAAsyncGetHostByName(FWindowHandle, WM_HOST_BY_NAME_REPLY, HostName.c_str(),
                                                          FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    if (!FDnsLookupHandle) {
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), BoundWinsock::WSAGetLastError());
        return;
    }
    if (FEarlyReply) {
        FEarlyReply = false;
        HandleHostByNameReply(FSavedReply);
    }
}

void TCustomEventSocket::HandleHostByNameReply(TSocketMessage& Message) {
    if (!FDnsLookupHandle) {
        // The reply came before its task handle was stored.
        FSavedReply = Message;
        FEarlyReply = true;
        return;
    }
    if (Message.WParam != reinterpret_cast<WPARAM>(FDnsLookupHandle)) return;  // cancelled or superseded
    FDnsLookupHandle = nullptr;
    const WORD error = WSAGETASYNCERROR(Message.LParam);
    if (error == 0) {
        const auto* entry = reinterpret_cast<const hostent*>(FDnsLookupBuffer);
        if (entry->h_length == 4 && entry->h_addr_list) {
            for (int i = 0; i < 256 && entry->h_addr_list[i]; ++i) {
                ULONG address;
                std::memcpy(&address, entry->h_addr_list[i], sizeof address);
                FDnsResultList->Add(InetNtoaGuarded(address));
            }
        }
        if (FDnsResultList->Count() > 0) FDnsResult = FDnsResultList->First();
    }
    FireDnsLookupDone(error);
}

void TCustomEventSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() >= 257) {
        ReportError("ReverseDnsLookup: Invalid host name.");
        FireDnsLookupDone(WSAEINVAL);
        return;
    }
    StartLookup();
    // Looked up even when the text is no address: the reply then carries the failure.
    const ULONG address = BoundWinsock::inet_addr(HostAddr.c_str());
    if (!FWindowHandle) ReportError("ReverseDnsLookup: Window not assigned");
    FDnsLookupHandle =
        BoundWinsock::WSAAsyncGetHostByAddr(FWindowHandle, WM_HOST_BY_ADDR_REPLY, reinterpret_cast<const char*>(&address),
                                            sizeof address, PF_INET, FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    if (!FDnsLookupHandle)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(), BoundWinsock::WSAGetLastError());
}

void TCustomEventSocket::HandleHostByAddrReply(TSocketMessage& Message) {
    if (!FDnsLookupHandle || Message.WParam != reinterpret_cast<WPARAM>(FDnsLookupHandle)) return;
    FDnsLookupHandle = nullptr;
    const WORD error = WSAGETASYNCERROR(Message.LParam);
    if (error == 0) {
        const auto* entry = reinterpret_cast<const hostent*>(FDnsLookupBuffer);
        FDnsResult = entry->h_name ? entry->h_name : "";
        FDnsResultList->Clear();
        FDnsResultList->Add(FDnsResult);
    }
    FireDnsLookupDone(error);
}

void TCustomEventSocket::CancelLookup() {
    if (!FDnsLookupHandle) return;
    const int result = BoundWinsock::WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = nullptr;
    // A lookup that has completed (its reply waits in the queue) is as good as cancelled:
    // the reply no longer matches and is ignored.
    if (result != 0 && BoundWinsock::WSAGetLastError() != WSAEALREADY) {
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    if (!Destroying()) FireDnsLookupDone(WSAEINTR);
}

void TCustomEventSocket::ReportSocketError(const std::string& Name) { ReportSocketFailure(Name, true); }

void TCustomEventSocket::ReportSocketFailure(const std::string& Name, bool MayEndSession) {
    const int Code = BoundWinsock::WSAGetLastError();
    const std::string Msg = "Error " + IntToStr(Code) + " in function " + Name + "\r\n" + WinsockErrorText(Code);
    if (MayEndSession && (Code == WSAECONNRESET || Code == WSAENOTCONN)) {
        if (FHSocket != INVALID_SOCKET) BoundWinsock::closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        if (FState != wsClosed) {
            try {
                FireSessionClosed(static_cast<WORD>(Code));
            } catch (...) {
                if (FHSocket == INVALID_SOCKET) FState = wsClosed;  // no handle, no session
                throw;
            }
        }
        // A handler that began a new session keeps it.
        if (FHSocket == INVALID_SOCKET) EnterState(wsClosed);
    }
    FLastError = Code;
    ReportError(Msg);
}

std::string WinsockErrorText(int Code) {
    static const std::map<int, const char*> texts = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Protocol wrong type for socket"},
        {10042, "Protocol not available"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Address not available"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection on reset"},
        {10053, "Connection aborted"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"},
        {11004, "No Data"},
    };
    const auto found = texts.find(Code);
    return found == texts.end() ? "Not a WinSock error" : found->second;
}

// ---- time values -------------------------------------------------------------------------------

bool TCustomEventSocket::TimevalIsSet(const timeval& Tv) { return Tv.tv_sec != 0 || Tv.tv_usec != 0; }

void TCustomEventSocket::TimevalClear(timeval& Tv) {
    Tv.tv_sec = 0;
    Tv.tv_usec = 0;
}

bool TCustomEventSocket::TimevalCompare(const timeval& A, const timeval& B, bool IsEqual) {
    const bool equal = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
    return IsEqual ? equal : !equal;
}
