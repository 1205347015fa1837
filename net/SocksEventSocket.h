#pragma once
// TCustomSocksEventSocket: the layer that reaches a target through a SOCKS proxy (4, 4A and 5
// with user code and password), CONNECT only. While no proxy is set, which is how the programs
// use it, every operation is the plain socket's.

#include <functional>
#include <string>

#include "CustomEventSocket.h"

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthBegin, socksAuthGranted, socksAuthDenied, socksAuthSkipped };
enum TSocksPhase : BYTE { socksPhaseNone, socksPhaseGreeting, socksPhaseAuth, socksPhaseRequest };

using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

// The largest reply a proxy may send: a SOCKS 5 connect reply naming a 255-byte bound host.
inline constexpr int SocksReplyCapacity = 4 + 1 + 255 + 2;

// What the bytes gathered so far of one proxy reply mean. The parser keeps no state of its own,
// so the component and the fuzz target judge the same bytes the same way.
struct TSocksVerdict {
    enum TKind { Wait, Fail, MethodNone, MethodUsercode, AuthGranted, Connected } Kind = Wait;
    int Code = 0;     // Fail: the error of the negotiation
    std::string Msg;  // Fail: its text
    int Length = 0;   // Connected: the bytes of the reply; those behind it are the target's data
};
TSocksVerdict ParseSocksReply(TSocksPhase Phase, bool Socks4, const unsigned char* Reply, int Len);
// The text of a negotiation failure code as the error event reports it; Detail is the reply
// byte of the unassigned codes.
std::string SocksErrorText(int Code, int Detail = 0);

class TCustomSocksEventSocket : public TCustomEventSocket {
public:
    const std::string& SocksServer() const { return FSocksServer; }
    const std::string& SocksPort() const { return FSocksPort; }
    const std::string& SocksLevel() const { return FSocksLevel; }
    // Each refuses a change unless the socket is closed; the three are reset by every close.
    void SetSocksServer(const std::string& Value) { ChangeSocksServer(Value); }
    void SetSocksPort(const std::string& Value) { ChangeSocksPort(Value); }
    void SetSocksLevel(const std::string& Value) { ChangeSocksLevel(Value); }
    TSocksPhase SocksPhase() const { return FSocksPhase; }

    // Kept across connections.
    std::string SocksUsercode;
    std::string SocksPassword;
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;

    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

    void ResetDefaults() override;
    void Connect() override;
    void Listen() override;
    int RecvData(void* Buffer, int BufferSize, int Flags) override;

protected:
    explicit TCustomSocksEventSocket(TComponent* AOwner) : TCustomEventSocket(AOwner) {}

    int QueryRcvdCount() override;
    bool FireDataAvailable(WORD ErrCode) override;
    void FireSessionConnectedFirst(WORD ErrCode) override;
    void FireSessionClosed(WORD ErrCode) override;
    void AfterDup() override;
    virtual void FireSocksConnected(WORD ErrCode);
    virtual void ChangeSocksPort(const std::string& Value);
    virtual void ChangeSocksServer(const std::string& Value);
    virtual void FireSocksError(int Error, const std::string& Msg);
    void ChangeSocksLevel(const std::string& Value);
    void FireSocksAuthState(TSocksAuthState AuthState);
    void SendSocksAuthentication();
    void SendSocksConnect();
    void SocksFailed(int Code, const std::string& Msg);
    bool SocksNegotiating() const { return FSocksPhase != socksPhaseNone; }
    int SocksSpillCount() const { return FSocksSpillLen; }

private:
    bool Socks4() const { return !FSocksLevel.empty() && FSocksLevel[0] == '4'; }
    void ForgetNegotiation();
    // Empty when the request fields fit their length bytes (and SOCKS 4 fields hold no NUL).
    std::string RequestFault() const;
    void SendRequest(const std::string& Request);
    // Hands the bytes that came behind the connect reply to the data handler for as long as it
    // takes some: the platform reports no read event for them.
    bool DeliverSpill(bool Result);

    TSocksPhase FSocksPhase = socksPhaseNone;
    std::string FSocksServer;
    std::string FSocksLevel = "5";
    std::string FSocksPort;
    bool FHasSocksServer = false;
    BYTE FSocksOffered = 0;
    unsigned char FSocksReply[SocksReplyCapacity] = {};
    int FSocksReplyLen = 0;
    int FSocksSpillLen = 0;
    int FSocksSpill = 0;  // offset in FSocksReply
    // The proxy's address, apart from the target's: the setters forget it.
    sockaddr_in FSocksSin{};
    bool FSocksAddrResolved = false;
    bool FSocksPortResolved = false;
    USHORT FSocksTargetPort = 0;  // host order
};
