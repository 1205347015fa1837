// The client side of SOCKS 4, 4A and 5 (with user code and password): the proxy connection,
// the requests, and the replies gathered inside the socket's read events.

#include "SocksEventSocket.h"

#include <algorithm>
#include <cstring>

#include "EventSocketResolve.h"
#include "SysUtils.h"

namespace {

constexpr std::size_t MaxFieldLength = 255;  // one length byte

TSocksVerdict Verdict(TSocksVerdict::TKind Kind, int Length = 0) {
    TSocksVerdict verdict;
    verdict.Kind = Kind;
    verdict.Length = Length;
    return verdict;
}

TSocksVerdict Failure(int Code, int Detail = 0) {
    TSocksVerdict verdict;
    verdict.Kind = TSocksVerdict::Fail;
    verdict.Code = Code;
    verdict.Msg = SocksErrorText(Code, Detail);
    return verdict;
}

TSocksVerdict Failure(int Code, const char* Msg) {
    TSocksVerdict verdict = Failure(Code);
    verdict.Msg = Msg;
    return verdict;
}

TSocksVerdict ParseGreeting(bool Socks4, const unsigned char* Reply, int Len) {
    if (Socks4) return Failure(20001, "TEventSocket logic error");
    if (Len < 2) return Verdict(TSocksVerdict::Wait);
    if (Reply[0] != 5) return Failure(20002);
    switch (Reply[1]) {
    case 0: return Verdict(TSocksVerdict::MethodNone);
    case 2: return Verdict(TSocksVerdict::MethodUsercode);
    default: return Failure(20003);
    }
}

TSocksVerdict ParseAuthReply(const unsigned char* Reply, int Len) {
    if (Len >= 1 && Reply[0] != 1) return Failure(20002);
    if (Len < 2) return Verdict(TSocksVerdict::Wait);
    if (Len > 2) return Failure(20001, "too much data availaible");
    if (Reply[1] != 0) return Failure(20015, "socks authentication failed");
    return Verdict(TSocksVerdict::AuthGranted);
}

TSocksVerdict ParseSocks4Reply(const unsigned char* Reply, int Len) {
    if (Len < 8) return Verdict(TSocksVerdict::Wait);
    if (Reply[0] != 0) return Failure(20002);
    switch (Reply[1]) {
    case 90: return Verdict(TSocksVerdict::Connected, 8);
    case 91: return Failure(20016);
    case 92: return Failure(20008);
    case 93: return Failure(20015, "authentification failed");
    default: return Failure(20012, Reply[1]);
    }
}

TSocksVerdict ParseSocks5Reply(const unsigned char* Reply, int Len) {
    if (Len >= 1 && Reply[0] != 5) return Failure(20002);
    if (Len >= 2 && Reply[1] != 0) return Reply[1] <= 8 ? Failure(20003 + Reply[1]) : Failure(20012, Reply[1]);
    if (Len < 5) return Verdict(TSocksVerdict::Wait);
    const int length = Reply[3] == 1 ? 10 : Reply[3] == 3 ? Reply[4] + 7 : 5;
    if (Len < length) return Verdict(TSocksVerdict::Wait);
    if (Reply[3] != 1 && Reply[3] != 3) return Failure(20011);
    return Verdict(TSocksVerdict::Connected, length);
}

}  // namespace

std::string SocksErrorText(int Code, int Detail) {
    switch (Code) {
    case 20001: return "TEventSocket logic error";
    case 20002: return "socks version error";
    case 20003: return "authentification method not acceptable";
    case 20004: return "general SOCKS server failure";
    case 20005: return "connection not allowed by ruleset";
    case 20006: return "network unreachable";
    case 20007: return "host unreachable";
    case 20008: return "connection refused";
    case 20009: return "time to live expired";
    case 20010: return "command not supported";
    case 20011: return "address type not supported";
    case 20012: return "unassigned error #" + std::to_string(Detail);
    case 20013: return "internal error";
    case 20015: return "authentification failed";
    case 20016: return "request rejected or failed";
    default: return "socks error #" + std::to_string(Code);
    }
}

TSocksVerdict ParseSocksReply(TSocksPhase Phase, bool Socks4, const unsigned char* Reply, int Len) {
    switch (Phase) {
    case socksPhaseGreeting: return ParseGreeting(Socks4, Reply, Len);
    case socksPhaseAuth: return ParseAuthReply(Reply, Len);
    case socksPhaseRequest: return Socks4 ? ParseSocks4Reply(Reply, Len) : ParseSocks5Reply(Reply, Len);
    default: return Failure(20013);
    }
}

// ---- properties --------------------------------------------------------------------------------

void TCustomSocksEventSocket::ChangeSocksServer(const std::string& Value) {
    if (FState != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = Trim(Value);
    FHasSocksServer = !FSocksServer.empty();
    FSocksAddrResolved = false;
}

void TCustomSocksEventSocket::ChangeSocksPort(const std::string& Value) {
    if (FState != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = Trim(Value);
    FSocksPortResolved = false;
}

void TCustomSocksEventSocket::ChangeSocksLevel(const std::string& Value) {
    if (FState != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = UpperCase(Value);
}

void TCustomSocksEventSocket::AfterDup() {
    // An adopted connection has no negotiation of its own, and no bytes behind a reply.
    ForgetNegotiation();
    TCustomEventSocket::AfterDup();
}

void TCustomSocksEventSocket::ForgetNegotiation() {
    FSocksPhase = socksPhaseNone;
    FSocksReplyLen = 0;
    FSocksSpillLen = 0;
}

void TCustomSocksEventSocket::ResetDefaults() {
    TCustomEventSocket::ResetDefaults();
    ForgetNegotiation();
    FSocksServer.clear();
    FHasSocksServer = false;
    FSocksPort.clear();
    FSocksLevel = "5";
    FSocksAddrResolved = false;
    FSocksPortResolved = false;
}

// ---- events ------------------------------------------------------------------------------------

void TCustomSocksEventSocket::FireSocksConnected(WORD ErrCode) { Fire(OnSocksConnected, ErrCode); }

void TCustomSocksEventSocket::FireSocksError(int Error, const std::string& Msg) { Fire(OnSocksError, Error, Msg); }

void TCustomSocksEventSocket::FireSocksAuthState(TSocksAuthState AuthState) { Fire(OnSocksAuthState, AuthState); }

void TCustomSocksEventSocket::FireSessionClosed(WORD ErrCode) {
    if (FSocksPhase == socksPhaseAuth) FireSocksAuthState(socksAuthDenied);
    // The target's bytes that came with the connect reply belong to the session that ends.
    if (FSocksPhase == socksPhaseNone && FSocksSpillLen > 0) TCustomSocksEventSocket::FireDataAvailable(0);
    FSocksSpillLen = 0;
    TCustomEventSocket::FireSessionClosed(ErrCode);
}

// ---- connecting --------------------------------------------------------------------------------

std::string TCustomSocksEventSocket::RequestFault() const {
    const bool hasNul = SocksUsercode.find('\0') != std::string::npos;
    if (SocksUsercode.size() > MaxFieldLength) return "socks user code longer than 255 bytes";
    if (Socks4()) {
        if (hasNul) return "socks user code holds a NUL byte";
        if (FSocksLevel == "4A" && FAddrStr.find('\0') != std::string::npos) return "socks host name holds a NUL byte";
        if (FSocksLevel == "4A" && FAddrStr.size() > MaxFieldLength) return "socks host name longer than 255 bytes";
        return std::string();
    }
    if (FAddrStr.size() > MaxFieldLength) return "socks host name longer than 255 bytes";
    if (SocksAuthentication == socksAuthenticateUsercode && SocksPassword.size() > MaxFieldLength)
        return "socks password longer than 255 bytes";
    return std::string();
}

void TCustomSocksEventSocket::Connect() {
    if (!FHasSocksServer) {
        TCustomEventSocket::Connect();
        return;
    }
    // Refused before anything is touched: a live session's phase and addresses stay as they are.
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (LowerCase(FProtoStr) != "tcp") {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    const std::string fault = RequestFault();
    if (!fault.empty()) {
        ReportError("connect: " + fault);
        return;
    }
    USHORT targetPort = 0;
    try {
        if (!FSocksPortResolved) {
            FSocksSin.sin_port = BoundWinsock::htons(EventSocketResolvePort(FSocksPort, FProtoStr));
            FSocksPortResolved = true;
        }
        if (!FSocksAddrResolved) {
            FSocksSin.sin_addr.s_addr = EventSocketResolveHost(FSocksServer);
            FSocksAddrResolved = true;
        }
        targetPort = EventSocketResolvePort(FPortStr, FProtoStr);
    } catch (Exception& E) {
        ReportError("connect: " + E.Message());
        return;
    }
    FSocksTargetPort = targetPort;
    // The plain connect goes to the proxy; the target's Addr is sent in the request.
    FSin.sin_family = AF_INET;
    FSin.sin_addr = FSocksSin.sin_addr;
    FSin.sin_port = FSocksSin.sin_port;
    FAddrResolved = true;
    FPortResolved = true;
    FSocksPhase = socksPhaseGreeting;
    FSocksReplyLen = 0;
    FSocksSpillLen = 0;
    const auto forgetProxy = [this] {
        if (FState == wsConnecting || FState == wsConnected) return;
        // No connection: no phase, and the next connect resolves the target's texts afresh.
        FSocksPhase = socksPhaseNone;
        FAddrResolved = false;
        FPortResolved = false;
    };
    try {
        TCustomEventSocket::Connect();
    } catch (...) {
        forgetProxy();
        throw;
    }
    forgetProxy();
}

void TCustomSocksEventSocket::Listen() {
    if (FHasSocksServer) {
        ReportError("Listening is not supported thru socks server");
        return;
    }
    TCustomEventSocket::Listen();
}

void TCustomSocksEventSocket::FireSessionConnectedFirst(WORD ErrCode) {
    if (FSocksPhase != socksPhaseGreeting) {
        TCustomEventSocket::FireSessionConnectedFirst(ErrCode);
        return;
    }
    const SOCKET handle = FHSocket;
    FireSocksConnected(ErrCode);
    if (FHSocket != handle || FSocksPhase != socksPhaseGreeting) return;
    if (ErrCode != 0) {
        // No negotiation follows: a read event that carries the same error must not report the
        // connection a second time.
        FSocksPhase = socksPhaseNone;
        TCustomEventSocket::FireSessionConnectedFirst(ErrCode);
        return;
    }
    if (Socks4()) {
        SendSocksConnect();
        return;
    }
    FSocksOffered = SocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
    const unsigned char greeting[3] = {5, 1, FSocksOffered};
    Send(greeting, sizeof greeting);
}

// ---- requests ----------------------------------------------------------------------------------

void TCustomSocksEventSocket::SendRequest(const std::string& Request) {
    try {
        Send(Request.data(), static_cast<int>(Request.size()));
    } catch (...) {
        // A failed send closes or reports the session by itself; the negotiation ends with it.
    }
}

void TCustomSocksEventSocket::SendSocksAuthentication() {
    FSocksPhase = socksPhaseAuth;
    const SOCKET handle = FHSocket;
    FireSocksAuthState(socksAuthBegin);
    if (FHSocket != handle || FSocksPhase != socksPhaseAuth) return;
    std::string request(1, '\x01');
    request += static_cast<char>(SocksUsercode.size());
    request += SocksUsercode;
    request += static_cast<char>(SocksPassword.size());
    request += SocksPassword;
    SendRequest(request);
}

void TCustomSocksEventSocket::SendSocksConnect() {
    FSocksPhase = socksPhaseRequest;
    const char portBytes[2] = {static_cast<char>(FSocksTargetPort >> 8), static_cast<char>(FSocksTargetPort & 0xFF)};
    std::string request;
    if (Socks4()) {
        char address[4] = {0, 0, 0, 1};
        if (FSocksLevel != "4A") {
            ULONG resolved = 0;
            try {
                resolved = EventSocketResolveHost(FAddrStr);
            } catch (Exception& E) {
                FireSocksError(20017, E.ClassName() + " " + E.Message());
                ShutAndClose(true, 20017);
                return;
            }
            std::memcpy(address, &resolved, sizeof address);  // already in network order
        }
        request = {4, 1, portBytes[0], portBytes[1]};
        request.append(address, sizeof address);
        request += SocksUsercode;
        request += '\0';
        if (FSocksLevel == "4A") {
            request += FAddrStr;
            request += '\0';
        }
    } else {
        request = {5, 1, 0, 3, static_cast<char>(FAddrStr.size())};
        request += FAddrStr;
        request.append(portBytes, sizeof portBytes);
    }
    SendRequest(request);
}

void TCustomSocksEventSocket::SocksFailed(int Code, const std::string& Msg) {
    FireSocksError(Code, Msg);
    FSocksPhase = socksPhaseNone;
    FireSessionConnectedFirst(static_cast<WORD>(Code));
    ShutAndClose(true, static_cast<WORD>(Code));
}

// ---- replies -----------------------------------------------------------------------------------

bool TCustomSocksEventSocket::FireDataAvailable(WORD ErrCode) {
    if (FSocksPhase == socksPhaseNone) {
        const SOCKET handle = FHSocket;
        int spill = FSocksSpillLen;
        bool result = TCustomEventSocket::FireDataAvailable(ErrCode);
        // The platform has no read event for the spill; a handler that takes it piecemeal is
        // called again for as long as it takes some.
        while (result && FSocksSpillLen > 0 && FSocksSpillLen < spill && FHSocket == handle) {
            spill = FSocksSpillLen;
            result = TCustomEventSocket::FireDataAvailable(0);
        }
        // One that declines the rest gets it again from the message loop.
        if (result && FSocksSpillLen > 0 && FHSocket == handle) ReadLater();
        return result;
    }
    if (ErrCode != 0) {
        SocksFailed(ErrCode, "data receive error");
        return false;
    }
    if (FSocksPhase > socksPhaseRequest) {
        SocksFailed(20013, "internal error");
        return false;
    }
    const int capacity = FSocksPhase == socksPhaseRequest && Socks4() ? 8 : SocksReplyCapacity;
    if (FSocksReplyLen >= capacity) {
        // Cannot happen with a well-formed proxy: every legal reply fits.
        SocksFailed(20001, "too much data availaible");
        return true;
    }
    const int got = ReceiveBytes(FSocksReply + FSocksReplyLen, capacity - FSocksReplyLen);
    if (got < 0) return true;
    FSocksReplyLen += got;
    const TSocksVerdict verdict = ParseSocksReply(FSocksPhase, Socks4(), FSocksReply, FSocksReplyLen);
    switch (verdict.Kind) {
    case TSocksVerdict::Wait: return true;
    case TSocksVerdict::Fail: SocksFailed(verdict.Code, verdict.Msg); return true;
    case TSocksVerdict::MethodNone: {
        FSocksReplyLen = 0;
        const SOCKET handle = FHSocket;
        if (FSocksOffered != 0) FireSocksAuthState(socksAuthSkipped);
        if (FHSocket == handle && FSocksPhase == socksPhaseGreeting) SendSocksConnect();
        return true;
    }
    case TSocksVerdict::MethodUsercode:
        FSocksReplyLen = 0;
        SendSocksAuthentication();
        return true;
    case TSocksVerdict::AuthGranted: {
        FSocksReplyLen = 0;
        const SOCKET handle = FHSocket;
        FireSocksAuthState(socksAuthGranted);
        if (FHSocket == handle && FSocksPhase == socksPhaseAuth) SendSocksConnect();
        return true;
    }
    case TSocksVerdict::Connected: break;
    }
    FSocksSpill = verdict.Length;
    FSocksSpillLen = FSocksReplyLen - verdict.Length;
    FSocksReplyLen = 0;
    FSocksPhase = socksPhaseNone;
    const SOCKET handle = FHSocket;
    FireSessionConnectedFirst(0);
    if (FHSocket != handle || FSocksPhase != socksPhaseNone) return true;
    return FireDataAvailable(0);
}

int TCustomSocksEventSocket::QueryRcvdCount() {
    return FSocksSpillLen > 0 ? FSocksSpillLen : TCustomEventSocket::QueryRcvdCount();
}

int TCustomSocksEventSocket::RecvData(void* Buffer, int BufferSize, int Flags) {
    if (FSocksSpillLen <= 0) return TCustomEventSocket::RecvData(Buffer, BufferSize, Flags);
    const int count = std::clamp(BufferSize, 0, FSocksSpillLen);
    std::memcpy(Buffer, FSocksReply + FSocksSpill, static_cast<std::size_t>(count));
    if ((Flags & MSG_PEEK) == 0) {
        FSocksSpill += count;
        FSocksSpillLen -= count;
    }
    return count;
}
