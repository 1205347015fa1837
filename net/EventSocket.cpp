#include "EventSocket.h"

#include <map>

#include "SysUtils.h"

namespace {

const bool registered = [] {
    RegisterComponentClass("TEventSocket", [](TComponent* AOwner) -> TComponent* { return TEventSocket::Create(AOwner); });
    return true;
}();

// An enumeration value of a form resource by its name; an unknown name cannot be read.
template <class TEnum>
TEnum EnumValue(const TStreamValue& value, const std::map<std::string, TEnum>& names) {
    const auto found = names.find(value.AsIdentifier());
    if (found == names.end()) throw EReadError("Invalid property value: " + value.AsIdentifier());
    return found->second;
}

TEventSocketOptions OptionsValue(const TStreamValue& value) {
    static const std::map<std::string, TEventSocketOption> names = {
        {"wsoNoReceiveLoop", wsoNoReceiveLoop}, {"wsoTcpNoDelay", wsoTcpNoDelay}, {"wsoSIO_RCVALL", wsoSIO_RCVALL}};
    if (value.Kind != TStreamValue::TKind::Set) throw EReadError("Invalid property value: a set is expected");
    TEventSocketOptions options = 0;
    for (const std::string& member : value.Items) {
        const auto found = names.find(member);
        if (found == names.end()) throw EReadError("Invalid property value: " + member);
        options |= found->second;
    }
    return options;
}

}  // namespace

TEventSocket* TEventSocket::Create(TComponent* AOwner) {
    TEventSocket* socket = new TEventSocket(AOwner);
    try {
        socket->AfterConstruction();
    } catch (...) {
        delete socket;
        throw;
    }
    return socket;
}

TEventSocket::~TEventSocket() { DestroySocket(); }

BYTE TEventSocket::ReqVerLow() const { return WinsockReqVerLow(); }
BYTE TEventSocket::ReqVerHigh() const { return WinsockReqVerHigh(); }

void TEventSocket::SetReqVerLow(BYTE Value) {
    SetReqVer(Value, WinsockReqVerLow(), SetWinsockReqVerLow, "SetReqVerLow");
}

void TEventSocket::SetReqVerHigh(BYTE Value) {
    SetReqVer(Value, WinsockReqVerHigh(), SetWinsockReqVerHigh, "SetReqVerHigh");
}

void TEventSocket::SetReqVer(BYTE Value, BYTE Current, void (*Store)(BYTE), const char* Setter) {
    if (Value == Current) return;
    TCriticalSectionGuard lock(WinsockLibraryLock());
    if (WinsockLoaded()) {
        // A last error left by the connection (a reset, not connected) would make the report
        // close it.
        BoundWinsock::WSASetLastError(WSAEINVAL);
        ReportSocketError(std::string(Setter) + ": WinSock version can't be changed now");
        return;
    }
    Store(Value);
}

void TEventSocket::DefinePublished(TPublishedTable& table) {
    TComponent::DefinePublished(table);
    static const std::map<std::string, TSocketLingerOnOff> lingerNames = {
        {"wsLingerOff", wsLingerOff}, {"wsLingerOn", wsLingerOn}, {"wsLingerNoSet", wsLingerNoSet}};
    static const std::map<std::string, TSocketSendFlags> sendFlagNames = {
        {"wsSendNormal", wsSendNormal}, {"wsSendUrgent", wsSendUrgent}};
    static const std::map<std::string, TSocksAuthentication> authenticationNames = {
        {"socksNoAuthentication", socksNoAuthentication}, {"socksAuthenticateUsercode", socksAuthenticateUsercode}};
    const auto integer = [](const TStreamValue& value) { return static_cast<int>(value.AsInteger()); };
    const auto byte = [](const TStreamValue& value) { return static_cast<BYTE>(value.AsInteger()); };

    table.Property("Addr", [this](const TStreamValue& v) { SetAddr(v.AsString()); });
    table.Property("Port", [this](const TStreamValue& v) { SetPort(v.AsString()); });
    table.Property("Proto", [this](const TStreamValue& v) { SetProto(v.AsString()); });
    table.Property("LocalAddr", [this](const TStreamValue& v) { SetLocalAddr(v.AsString()); });
    table.Property("LocalPort", [this](const TStreamValue& v) { SetLocalPort(v.AsString()); });
    table.Property("SocksServer", [this](const TStreamValue& v) { SetSocksServer(v.AsString()); });
    table.Property("SocksPort", [this](const TStreamValue& v) { SetSocksPort(v.AsString()); });
    table.Property("SocksLevel", [this](const TStreamValue& v) { SetSocksLevel(v.AsString()); });
    table.Property("SocksUsercode", [this](const TStreamValue& v) { SocksUsercode = v.AsString(); });
    table.Property("SocksPassword", [this](const TStreamValue& v) { SocksPassword = v.AsString(); });
    table.Property("SocksAuthentication",
                   [this](const TStreamValue& v) { SocksAuthentication = EnumValue(v, authenticationNames); });
    table.Property("LineMode", [this](const TStreamValue& v) { SetLineMode(v.AsBoolean()); });
    table.Property("LineLimit", [this, integer](const TStreamValue& v) { LineLimit = integer(v); });
    table.Property("LineEnd", [this](const TStreamValue& v) { LineEnd = v.AsString(); });
    table.Property("LineEcho", [this](const TStreamValue& v) { LineEcho = v.AsBoolean(); });
    table.Property("LineEdit", [this](const TStreamValue& v) { LineEdit = v.AsBoolean(); });
    table.Property("LingerOnOff", [this](const TStreamValue& v) { LingerOnOff = EnumValue(v, lingerNames); });
    table.Property("LingerTimeout", [this, integer](const TStreamValue& v) { LingerTimeout = integer(v); });
    table.Property("FlushTimeout", [this, integer](const TStreamValue& v) { FlushTimeout = integer(v); });
    table.Property("ReqVerLow", [this, byte](const TStreamValue& v) { SetReqVerLow(byte(v)); });
    table.Property("ReqVerHigh", [this, byte](const TStreamValue& v) { SetReqVerHigh(byte(v)); });
    table.Property("MultiThreaded", [this](const TStreamValue& v) { MultiThreaded = v.AsBoolean(); });
    table.Property("MultiCast", [this](const TStreamValue& v) { MultiCast = v.AsBoolean(); });
    table.Property("MultiCastAddrStr", [this](const TStreamValue& v) { MultiCastAddrStr = v.AsString(); });
    table.Property("MultiCastIpTTL", [this, integer](const TStreamValue& v) { MultiCastIpTTL = integer(v); });
    table.Property("ReuseAddr", [this](const TStreamValue& v) { ReuseAddr = v.AsBoolean(); });
    table.Property("ComponentOptions", [this](const TStreamValue& v) { ComponentOptions = OptionsValue(v); });
    table.Property("ListenBacklog", [this, integer](const TStreamValue& v) { ListenBacklog = integer(v); });
    table.Property("SendFlags", [this](const TStreamValue& v) { SetSendFlags(EnumValue(v, sendFlagNames)); });

    table.Event("OnDataAvailable", OnDataAvailable);
    table.Event("OnDataSent", OnDataSent);
    table.Event("OnSendData", OnSendData);
    table.Event("OnSessionClosed", OnSessionClosed);
    table.Event("OnSessionAvailable", OnSessionAvailable);
    table.Event("OnSessionConnected", OnSessionConnected);
    table.Event("OnChangeState", OnChangeState);
    table.Event("OnDnsLookupDone", OnDnsLookupDone);
    table.Event("OnError", OnError);
    table.Event("OnBgException", OnBgException);
    table.Event("OnSocksConnected", OnSocksConnected);
    table.Event("OnSocksError", OnSocksError);
    table.Event("OnSocksAuthState", OnSocksAuthState);
    table.Event("OnLineLimitExceeded", OnLineLimitExceeded);
}
