// Putting a socket on the network: the addressing properties, connecting, binding the local
// end, listening and accepting, pausing the events, the linger setting and the address queries.

#include "CustomEventSocket.h"

#include "EventSocketResolve.h"
#include "SysUtils.h"

namespace {

constexpr LONG ConnectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr LONG ListenEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
constexpr int OptionOn = -1;
// A longer group text is no address; the design kept it in a buffer of this size.
constexpr std::size_t MaxMultiCastAddrLength = 256;

}  // namespace

// ---- addressing --------------------------------------------------------------------------------

void TCustomEventSocket::ChangeRemote(const std::string& Value, const char* Name, std::string& Text, bool& Assigned,
                                      bool& Resolved) {
    if (Assigned && Value == Text) return;
    if (FState != wsClosed) {
        ReportError(std::string("Cannot change ") + Name + " if not closed");
        return;
    }
    Text = Trim(Value);
    if (Text.empty()) {
        Assigned = false;
        return;
    }
    Resolved = false;
    Assigned = true;
}

void TCustomEventSocket::ChangeAddr(const std::string& Value) {
    ChangeRemote(Value, "Addr", FAddrStr, FAddrAssigned, FAddrResolved);
}

void TCustomEventSocket::ChangePort(const std::string& Value) {
    ChangeRemote(Value, "Port", FPortStr, FPortAssigned, FPortResolved);
}

void TCustomEventSocket::ChangeProto(const std::string& Value) {
    ChangeRemote(Value, "Proto", FProtoStr, FProtoAssigned, FProtoResolved);
}

void TCustomEventSocket::ChangeLocalPort(const std::string& Value) {
    if (FState != wsClosed) {
        ReportError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = Value;
    FLocalPortResolved = false;
}

void TCustomEventSocket::ChangeLocalAddr(const std::string& Value) {
    if (FState != wsClosed) {
        ReportError("Cannot change LocalAddr if not closed");
        return;
    }
    FLocalAddr = Value.empty() ? "0.0.0.0" : Value;
}

void TCustomEventSocket::ResolveRemote(bool ForListen) {
    if (!FProtoResolved) {
        if (ForListen && LowerCase(FProtoStr.substr(0, 4)) == "raw_") {
            FType = SOCK_RAW;
            FProto = EventSocketResolveProto(FProtoStr.substr(4, 10));
        } else {
            FProto = EventSocketResolveProto(FProtoStr);
            if (ForListen)
                FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            else
                FType = FProto == IPPROTO_TCP ? SOCK_STREAM : FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
        }
        FProtoResolved = true;
    }
    if (!FPortResolved) {
        FSin.sin_port = BoundWinsock::htons(EventSocketResolvePort(FPortStr, FProtoStr));
        FPortResolved = true;
    }
    if (!ForListen && !FLocalPortResolved) {
        FLocalPortNum = EventSocketResolvePort(FLocalPortStr, FProtoStr);
        FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
        FSin.sin_addr.s_addr = EventSocketResolveHost(FAddrStr);
        FAddrResolved = true;
    }
}

bool TCustomEventSocket::OpenSocket(bool ForListen, const char* ResolveFailure, const char* SocketFailure) {
    try {
        ResolveRemote(ForListen);
    } catch (Exception& E) {
        ReportError(ResolveFailure + E.Message());
        return false;
    }
    ClearSendQueue();
    // A handle that no session owns (a failed listen or adoption left it) goes, not leaks.
    if (FHSocket != INVALID_SOCKET) BoundWinsock::closesocket(FHSocket);
    ForgetOwnEvents();
    FHSocket = BoundWinsock::socket(FAddrFormat, FType, FProto);
    if (FHSocket != INVALID_SOCKET) return true;
    ReportSocketError(SocketFailure);
    return false;
}

bool TCustomEventSocket::SetOption(int Level, int Name, int Value, const char* Failure) {
    if (BoundWinsock::setsockopt(FHSocket, Level, Name, reinterpret_cast<const char*>(&Value), sizeof Value) == 0)
        return true;
    ReportSocketError(Failure);
    return false;
}

// ---- connecting --------------------------------------------------------------------------------

void TCustomEventSocket::Connect() {
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        ReportError("Connect: No Protocol Specified");
        return;
    }
    if (!OpenSocket(false, "connect: ", "Connect (socket)")) return;
    EnterState(wsOpened);
    if (FState != wsOpened) {
        BoundWinsock::WSASetLastError(WSAEINVAL);
        ReportSocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }
    if (FType == SOCK_DGRAM) {
        BindLocal();
        if (MultiCast) {
            if (MultiCastIpTTL != 1 &&
                !SetOption(IPPROTO_IP, IP_MULTICAST_TTL, MultiCastIpTTL, "setsockopt(IP_MULTICAST_TTL)"))
                return;
            if (FLocalAddr != "0.0.0.0" &&
                !SetOption(IPPROTO_IP, IP_MULTICAST_IF, static_cast<int>(EventSocketResolveHost(FLocalAddr)),
                           "setsockopt(IP_MULTICAST_IF)"))
                return;
        }
        if (FSin.sin_addr.s_addr == INADDR_BROADCAST && !SetOption(SOL_SOCKET, SO_BROADCAST, 1, "setsockopt(SO_BROADCAST)"))
            return;
    } else {
        if (!SetOption(SOL_SOCKET, SO_REUSEADDR, OptionOn, "setsockopt(SO_REUSEADDR)")) return;
        if ((ComponentOptions & wsoTcpNoDelay) != 0 &&
            !SetOption(IPPROTO_TCP, TCP_NODELAY, OptionOn, "setsockopt(IPPROTO_TCP, TCP_NODELAY)"))
            return;
        ApplyLinger();
        if (!SetOption(SOL_SOCKET, SO_KEEPALIVE, OptionOn, "setsockopt(SO_KEEPALIVE)")) return;
        if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") BindLocal();
    }
    FSelectEvent = ConnectEvents;
    if (BoundWinsock::WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    if (FType == SOCK_DGRAM) {
        EnterState(wsConnected);
        FireSessionConnectedFirst(0);
        return;
    }
    if (BoundWinsock::connect(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin) == 0 ||
        BoundWinsock::WSAGetLastError() == WSAEWOULDBLOCK) {
        EnterState(wsConnecting);
        return;
    }
    FLastError = BoundWinsock::WSAGetLastError();
    ReportSocketError("Connect");
}

void TCustomEventSocket::BindLocal() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = BoundWinsock::htons(FLocalPortNum);
    local.sin_addr.s_addr = EventSocketResolveHost(FLocalAddr);
    if (BoundWinsock::bind(FHSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", BoundWinsock::WSAGetLastError());
        return;
    }
    int length = sizeof local;
    if (BoundWinsock::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d", BoundWinsock::WSAGetLastError());
        return;
    }
    FLocalPortNum = BoundWinsock::ntohs(local.sin_port);
    FLocalPortStr = IntToStr(FLocalPortNum);
}

void TCustomEventSocket::ApplyLinger() {
    if (LingerOnOff == wsLingerNoSet) return;
    if (FHSocket == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return;
    }
    linger setting{};
    setting.l_onoff = static_cast<USHORT>(LingerOnOff);
    setting.l_linger = static_cast<USHORT>(LingerTimeout);
    if (BoundWinsock::setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&setting),
                                 sizeof setting) != 0)
        ReportSocketError("setsockopt(SO_LINGER)");
}

// ---- listening ---------------------------------------------------------------------------------

void TCustomEventSocket::Listen() {
    // As Connect: a second Listen would leave the first handle open, bound and owned by nothing.
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("listen: socket already in use");
        return;
    }
    const struct {
        bool Assigned;
        const char* Failure;
    } required[] = {{FPortAssigned, "listen: port not assigned"},
                    {FProtoAssigned, "listen: protocol not assigned"},
                    {FAddrAssigned, "listen: address not assigned"}};
    for (const auto& r : required) {
        if (r.Assigned) continue;
        BoundWinsock::WSASetLastError(WSAEINVAL);
        ReportSocketError(r.Failure);
        return;
    }
    if (!OpenSocket(true, "listen: ", "socket")) return;
    if (FType == SOCK_DGRAM && ReuseAddr && !SetOption(SOL_SOCKET, SO_REUSEADDR, OptionOn, "setsockopt(SO_REUSEADDR)")) {
        Disconnect();
        return;
    }
    if (BoundWinsock::bind(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin) != 0) {
        ReportSocketError("Bind");
        Disconnect();
        return;
    }
    EnterState(wsBound);
    if (FType == SOCK_STREAM) {
        if (BoundWinsock::listen(FHSocket, ListenBacklog) != 0) {
            ReportSocketError("Listen");
            return;
        }
        EnterState(wsListening);
    } else {
        if (FType == SOCK_DGRAM && MultiCast && !JoinMultiCastGroup()) return;
        if (FType == SOCK_RAW && (ComponentOptions & wsoSIO_RCVALL) != 0) {
            DWORD on = 1;
            DWORD out = 0;
            DWORD returned = 0;
            if (BoundWinsock::WSAIoctl(FHSocket, SIO_RCVALL, &on, sizeof on, &out, sizeof out, &returned, nullptr,
                                       nullptr) == SOCKET_ERROR) {
                ReportSocketError("WSAIoctl(SIO_RCVALL)");
                Disconnect();
                return;
            }
        }
        EnterState(wsListening);
        EnterState(wsConnected);
        FireSessionConnectedFirst(0);
    }
    FSelectEvent = ListenEvents;
    if (BoundWinsock::WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent) != 0)
        ReportSocketError("WSAASyncSelect");
}

bool TCustomEventSocket::JoinMultiCastGroup() {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = MultiCastAddrStr.size() > MaxMultiCastAddrLength
                                       ? INADDR_NONE
                                       : BoundWinsock::inet_addr(MultiCastAddrStr.c_str());
    request.imr_interface.s_addr = EventSocketResolveHost(FAddrStr);
    if (BoundWinsock::setsockopt(FHSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                                 sizeof request) == 0)
        return true;
    ReportSocketError("setsockopt(IP_ADD_MEMBERSHIP)");
    return false;
}

SOCKET TCustomEventSocket::Accept() {
    if (FState != wsListening) {
        BoundWinsock::WSASetLastError(WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int length = sizeof FSin;
    const SOCKET accepted = BoundWinsock::accept(FHSocket, reinterpret_cast<sockaddr*>(&FSin), &length);
    if (accepted == INVALID_SOCKET) {
        // A peer that reset before it was accepted ends its own connection, not the listener.
        ReportSocketFailure("Accept", false);
        return INVALID_SOCKET;
    }
    FASocket = accepted;
    return accepted;
}

// ---- events, shutdown, queries -------------------------------------------------------------------

void TCustomEventSocket::SuspendEvents() {
    FPaused = true;
    BoundWinsock::WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

void TCustomEventSocket::ResumeEvents() {
    FPaused = false;
    BoundWinsock::WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent);
    // The platform reports what is on the socket; what the socket holds itself (held lines, a
    // proxy's spill, a close behind a slice) comes with its own events again.
    const LONG missed = FPausedOwnEvents;
    FPausedOwnEvents = 0;
    if (FHSocket == INVALID_SOCKET) return;
    if ((missed & FD_READ) != 0) PostOwnEvent(FD_READ, 1);
    if ((missed & FD_WRITE) != 0) PostOwnEvent(FD_WRITE, 2);
    if ((missed & FD_CLOSE) != 0) PostOwnEvent(FD_CLOSE, 1, FPausedCloseError);
}

void TCustomEventSocket::ShutdownSocket(int How) {
    if (FHSocket != INVALID_SOCKET) BoundWinsock::shutdown(FHSocket, How);
}

bool TCustomEventSocket::PeerName(sockaddr_in& Name, const char* Failure) {
    if (FState != wsConnected) return false;
    int length = sizeof Name;
    if (BoundWinsock::getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Name), &length) == 0) return true;
    ReportSocketError(Failure);
    return false;
}

std::string TCustomEventSocket::GetPeerAddr() {
    sockaddr_in peer{};
    return PeerName(peer, "GetPeerAddr") ? InetNtoaGuarded(peer.sin_addr.s_addr) : "error";
}

std::string TCustomEventSocket::GetPeerPort() {
    sockaddr_in peer{};
    return PeerName(peer, "GetPeerPort") ? IntToStr(BoundWinsock::ntohs(peer.sin_port)) : "error";
}

int TCustomEventSocket::QueryPeerName(sockaddr_in& Name, int NameLen) {
    if (FState != wsConnected) return SOCKET_ERROR;
    return BoundWinsock::getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

int TCustomEventSocket::QueryLocalName(sockaddr_in& Name, int& NameLen) {
    return BoundWinsock::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

bool TCustomEventSocket::BoundName(sockaddr_in& Name) {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return false;
    int length = sizeof Name;
    return BoundWinsock::getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Name), &length) == 0;
}

std::string TCustomEventSocket::GetBoundPort() {
    sockaddr_in local{};
    return BoundName(local) ? IntToStr(BoundWinsock::ntohs(local.sin_port)) : "error";
}

std::string TCustomEventSocket::GetBoundAddr() {
    sockaddr_in local{};
    return BoundName(local) ? InetNtoaGuarded(local.sin_addr.s_addr) : "error";
}
