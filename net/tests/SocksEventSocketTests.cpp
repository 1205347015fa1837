// The SOCKS layer against scripted proxies of the test: the setters, the exact bytes of every
// request, replies split at every byte, every reply code, the event orders and the bytes that
// come behind the connect reply.

#include <initializer_list>

#include "EventSocketFixture.h"
#include "SocksTestSupport.h"

namespace {

class SocksTest : public TEventSocketFixture {
protected:
    void SetUp() override { RecordSocks(*Socket, Log, Received); }

    // A connect through a scripted proxy on loopback; returns the proxy's end.
    int ProxyConnect(const std::string& level, const std::string& target = "127.0.0.1") {
        USHORT port = 0;
        const int listener = PeerListener(port);
        ConnectThrough(*Socket, port, level, target, TargetPort);
        return PeerAccept(listener);
    }
    // The first bytes of a SOCKS 5 connect request to 127.0.0.1:4321, after the greeting.
    static std::string Socks5Request(const std::string& host = "127.0.0.1") {
        return Bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + Bytes({0x10, 0xE1});
    }
    static std::string Socks5Success() { return Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x30, 0x39}); }
    // A SOCKS 5 proxy that got to the connect request, without authentication.
    int Socks5Ready() {
        const int proxy = ProxyConnect("5");
        EXPECT_EQ(ReadWhilePumping(proxy, 3), Bytes({5, 1, 0}));
        Reply(*Socket, proxy, Bytes({5, 0}), false);
        EXPECT_EQ(ReadWhilePumping(proxy, Socks5Request().size()), Socks5Request());
        return proxy;
    }
    // How the client's end closed, after whatever it sent.
    static long ProxyEnd(int proxy) {
        long end;
        while ((end = PeerEnd(proxy)) > 0) {
        }
        return end;
    }
    bool Logged(const std::string& entry) const { return std::find(Log.begin(), Log.end(), entry) != Log.end(); }
    bool WaitLogged(const std::string& entry) {
        return PumpUntil([&] { return Logged(entry); });
    }

    static constexpr USHORT TargetPort = 4321;
};

TEST_F(SocksTest, AFormResourceSetsTheProxyAndLineValuesThroughTheirSetters) {
    TPublishedTable table;
    Socket->DefinePublished(table);
    const auto set = [&](const char* name, TStreamValue::TKind kind, const std::string& text, bool flag = false) {
        const TPublishedTable::TSetter* setter = table.FindProperty(name);
        ASSERT_NE(setter, nullptr) << name;
        TStreamValue value;
        value.Kind = kind;
        value.Text = text;
        value.Boolean = flag;
        (*setter)(value);
    };
    using K = TStreamValue::TKind;
    // What the programs' forms store, then the rest.
    set("SocksLevel", K::String, "4a");
    set("SocksAuthentication", K::Identifier, "socksAuthenticateUsercode");
    set("LineMode", K::Boolean, "", true);
    set("SocksServer", K::String, " proxy ");
    set("SocksPort", K::String, "1080");
    set("SocksUsercode", K::String, "u");
    set("SocksPassword", K::String, "p");
    set("LineEnd", K::String, "\n");
    set("LineEcho", K::Boolean, "", true);
    set("LineEdit", K::Boolean, "", true);
    EXPECT_EQ(Socket->SocksLevel(), "4A");
    EXPECT_EQ(Socket->SocksAuthentication, socksAuthenticateUsercode);
    EXPECT_TRUE(Socket->LineMode());
    EXPECT_EQ(Socket->SocksServer(), "proxy");
    EXPECT_EQ(Socket->SocksPort(), "1080");
    EXPECT_EQ(Socket->SocksUsercode, "u");
    EXPECT_EQ(Socket->SocksPassword, "p");
    EXPECT_EQ(Socket->LineEnd, "\n");
    EXPECT_TRUE(Socket->LineEcho && Socket->LineEdit);
    EXPECT_EQ(SocketError([&] { set("SocksLevel", K::String, "6"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_THROW(set("SocksAuthentication", K::Identifier, "socksMaybe"), EReadError);
    const TSessionConnected connected = [](TObject*, WORD) {};
    const TSocksErrorEvent error = [](TObject*, int, const std::string&) {};
    const TSocksAuthStateEvent auth = [](TObject*, TSocksAuthState) {};
    const TLineLimitEvent limit = [](TObject*, int, bool&) {};
    const std::pair<const char*, std::any> events[] = {
        {"OnSocksConnected", connected}, {"OnSocksError", error}, {"OnSocksAuthState", auth}, {"OnLineLimitExceeded", limit}};
    for (const auto& [name, handler] : events) {
        ASSERT_NE(table.FindEvent(name), nullptr) << name;
        EXPECT_TRUE((*table.FindEvent(name))(handler)) << name;
    }
}

TEST_F(SocksTest, SettersTrimCheckTheLevelAndRefuseWhileOpen) {
    const struct {
        const char* Given;
        const char* Stored;  // nullptr: refused
    } levels[] = {{"4", "4"}, {"4a", "4A"}, {"4A", "4A"}, {"5", "5"}, {" 5", nullptr}, {"4b", nullptr}, {"", nullptr}};
    for (const auto& level : levels) {
        SCOPED_TRACE(level.Given);
        Socket->SetSocksLevel("5");
        const std::string error = SocketError([&] { Socket->SetSocksLevel(level.Given); });
        EXPECT_EQ(error, level.Stored ? "" : "Invalid socks level. Must be 4, 4A or 5.");
        EXPECT_EQ(Socket->SocksLevel(), level.Stored ? level.Stored : "5");
    }
    Socket->SetSocksServer(" \tproxy.invalid\r\n");
    Socket->SetSocksPort(" 1080 ");
    EXPECT_EQ(Socket->SocksServer(), "proxy.invalid");
    EXPECT_EQ(Socket->SocksPort(), "1080");

    // Through a proxy only tcp goes, and nothing listens.
    Socket->SetAddr("127.0.0.1");
    Socket->SetPort("1");
    Socket->SetProto("udp");
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "tcp is the only protocol supported thru socks server");
    EXPECT_EQ(SocketError([&] { Socket->Listen(); }), "Listening is not supported thru socks server");
    EXPECT_EQ(Socket->State(), wsClosed);
    EXPECT_EQ(Socket->HSocket(), INVALID_SOCKET);
    // The port resolver's failure names the connect; nothing is created.
    Socket->SetProto("tcp");
    Socket->SetSocksPort("");
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "connect: EventSocketResolvePort: Invalid Port.");
    EXPECT_EQ(Socket->HSocket(), INVALID_SOCKET);
    EXPECT_EQ(Socket->SocksPhase(), socksPhaseNone);

    Socket->SocksUsercode = "user";
    Socket->SocksPassword = "secret";
    Socket->SocksAuthentication = socksAuthenticateUsercode;
    const int proxy = ProxyConnect("4A");
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsConnected; }));
    const struct {
        const char* Refusal;
        std::function<void()> Set;
    } refused[] = {
        {"Can't change socks server if not closed", [&] { Socket->SetSocksServer("other"); }},
        {"Can't change socks port if not closed", [&] { Socket->SetSocksPort("1"); }},
        {"Can't change socks level if not closed", [&] { Socket->SetSocksLevel("5"); }},
    };
    for (const auto& r : refused) EXPECT_EQ(SocketError(r.Set), r.Refusal);
    EXPECT_EQ(Socket->SocksServer(), "127.0.0.1");
    EXPECT_EQ(Socket->SocksLevel(), "4A");

    // Every close resets the proxy's texts; the credentials stay.
    PosixPeer::Close(proxy);
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    EXPECT_EQ(Socket->SocksServer(), "");
    EXPECT_EQ(Socket->SocksPort(), "");
    EXPECT_EQ(Socket->SocksLevel(), "5");
    EXPECT_EQ(Socket->SocksUsercode, "user");
    EXPECT_EQ(Socket->SocksPassword, "secret");
    EXPECT_EQ(Socket->SocksAuthentication, socksAuthenticateUsercode);
}

TEST_F(SocksTest, WithoutAServerTheSocketIsPlain) {
    const int peer = Connected(Socket);
    EXPECT_TRUE(WaitLogged("connected 0"));
    ASSERT_EQ(PosixPeer::Write(peer, Bytes({5, 0})), 2);  // a method reply, but nobody negotiates
    ASSERT_TRUE(PumpUntil([&] { return Received.size() == 2; }));
    EXPECT_EQ(Received, Bytes({5, 0}));
    EXPECT_FALSE(Logged("socksconnected 0"));
    EXPECT_EQ(Socket->SendText("hi"), 2);
    EXPECT_EQ(ReadWhilePumping(peer, 2), "hi");
}

TEST_F(SocksTest, Socks5ExchangesItsBytesExactlyWithRepliesSplitAtEveryByte) {
    for (const bool withAuth : {false, true}) {
        SCOPED_TRACE(withAuth ? "user code" : "no authentication");
        Log.clear();
        Received.clear();
        Socket->SocksUsercode = "alice";
        Socket->SocksPassword = "pw";
        Socket->SocksAuthentication = withAuth ? socksAuthenticateUsercode : socksNoAuthentication;
        const int proxy = ProxyConnect("5");
        EXPECT_EQ(ReadWhilePumping(proxy, 3), Bytes({5, 1, withAuth ? 2 : 0}));
        if (withAuth) {
            Reply(*Socket, proxy, Bytes({5, 2}), true);
            EXPECT_EQ(ReadWhilePumping(proxy, 10), Bytes({1, 5}) + "alice" + Bytes({2}) + "pw");
            Reply(*Socket, proxy, Bytes({1, 0}), true);
        } else {
            Reply(*Socket, proxy, Bytes({5, 0}), true);
        }
        EXPECT_EQ(ReadWhilePumping(proxy, Socks5Request().size()), Socks5Request());
        EXPECT_EQ(Socket->State(), wsConnected);
        EXPECT_FALSE(Logged("connected 0"));
        Reply(*Socket, proxy, Socks5Success(), true);
        ASSERT_TRUE(WaitLogged("data 0"));
        const Strings expected = withAuth ? Strings{"socksconnected 0", "auth 0", "auth 1", "connected 0", "data 0"}
                                          : Strings{"socksconnected 0", "connected 0", "data 0"};
        EXPECT_EQ(Log, expected);
        // From here on the proxy's connection is the target's.
        ASSERT_EQ(PosixPeer::Write(proxy, "pong"), 4);
        ASSERT_TRUE(PumpUntil([&] { return Received == "pong"; }));
        EXPECT_EQ(Socket->SendText("ping"), 4);
        EXPECT_EQ(ReadWhilePumping(proxy, 4), "ping");
        Socket->Disconnect();
        ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    }
}

TEST_F(SocksTest, Socks4And4AHaveTheirLayouts) {
    const struct {
        const char* Level;
        const char* User;
        std::string Request;
    } cases[] = {
        {"4", "", Bytes({4, 1, 0x10, 0xE1, 127, 0, 0, 1, 0})},
        {"4", "bob", Bytes({4, 1, 0x10, 0xE1, 127, 0, 0, 1}) + "bob" + Bytes({0})},
        {"4A", "bob", Bytes({4, 1, 0x10, 0xE1, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "127.0.0.1" + Bytes({0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Request.size());
        Log.clear();
        Socket->SocksUsercode = c.User;
        const int proxy = ProxyConnect(c.Level);
        EXPECT_EQ(ReadWhilePumping(proxy, c.Request.size()), c.Request);
        Reply(*Socket, proxy, Bytes({0, 90, 0, 0, 0, 0, 0, 0}), true);
        ASSERT_TRUE(WaitLogged("data 0"));
        EXPECT_EQ(Log, (Strings{"socksconnected 0", "connected 0", "data 0"}));
        Socket->Disconnect();
        ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    }
}

TEST_F(SocksTest, EveryReplyCodeEndsInItsError) {
    using Chunks = std::vector<std::string>;
    const struct {
        const char* Level;
        TSocksAuthentication Auth;
        Chunks Script;  // the replies, each read by the client before the next is written
        int Code;
        const char* Text;
    } cases[] = {
        {"5", socksNoAuthentication, {Bytes({4, 0})}, 20002, "socks version error"},
        {"5", socksNoAuthentication, {Bytes({5, 255})}, 20003, "authentification method not acceptable"},
        {"5", socksNoAuthentication, {Bytes({5, 1})}, 20003, "authentification method not acceptable"},
        {"5", socksAuthenticateUsercode, {Bytes({5, 2}), Bytes({1, 1})}, 20015, "socks authentication failed"},
        {"5", socksAuthenticateUsercode, {Bytes({5, 2}), Bytes({2})}, 20002, "socks version error"},
        {"5", socksAuthenticateUsercode, {Bytes({5, 2}), Bytes({1, 0, 0})}, 20001, "too much data availaible"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 1})}, 20004, "general SOCKS server failure"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 2})}, 20005, "connection not allowed by ruleset"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 3})}, 20006, "network unreachable"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 4})}, 20007, "host unreachable"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 5})}, 20008, "connection refused"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 6})}, 20009, "time to live expired"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 7})}, 20010, "command not supported"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 8})}, 20011, "address type not supported"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 9})}, 20012, "unassigned error #9"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({6})}, 20002, "socks version error"},
        {"5", socksNoAuthentication, {Bytes({5, 0}), Bytes({5, 0, 0, 4, 0})}, 20011, "address type not supported"},
        {"4", socksNoAuthentication, {Bytes({0, 91, 0, 0, 0, 0, 0, 0})}, 20016, "request rejected or failed"},
        {"4", socksNoAuthentication, {Bytes({0, 92, 0, 0, 0, 0, 0, 0})}, 20008, "connection refused"},
        {"4", socksNoAuthentication, {Bytes({0, 93, 0, 0, 0, 0, 0, 0})}, 20015, "authentification failed"},
        {"4", socksNoAuthentication, {Bytes({0, 94, 0, 0, 0, 0, 0, 0})}, 20012, "unassigned error #94"},
        {"4", socksNoAuthentication, {Bytes({4, 90, 0, 0, 0, 0, 0, 0})}, 20002, "socks version error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Code) + " " + c.Text);
        Log.clear();
        Socket->SocksAuthentication = c.Auth;
        Socket->SocksUsercode = "u";
        Socket->SocksPassword = "p";
        const int proxy = ProxyConnect(c.Level);
        for (const std::string& chunk : c.Script) Reply(*Socket, proxy, chunk, false);
        const std::string code = IntToStr(c.Code);
        ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
        Strings expected{"socksconnected 0"};
        if (c.Script.front() == Bytes({5, 2})) expected.push_back("auth 0");
        for (const std::string& tail : {"sockserror " + code + " " + c.Text, "connected " + code, "closed " + code})
            expected.push_back(tail);
        EXPECT_EQ(Log, expected);
        EXPECT_EQ(ProxyEnd(proxy), 0);
    }
}

TEST_F(SocksTest, MethodsAndAuthenticationStatesFollowTheProxysChoice) {
    // Offered user code, the proxy picks none: skipped, then the request.
    Socket->SocksAuthentication = socksAuthenticateUsercode;
    Socket->SocksUsercode = "u";
    Socket->SocksPassword = "p";
    int proxy = ProxyConnect("5");
    EXPECT_EQ(ReadWhilePumping(proxy, 3), Bytes({5, 1, 2}));
    Reply(*Socket, proxy, Bytes({5, 0}), false);
    EXPECT_EQ(ReadWhilePumping(proxy, Socks5Request().size()), Socks5Request());
    EXPECT_EQ(Log, (Strings{"socksconnected 0", "auth 3"}));
    Socket->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));

    // The proxy closes during the user code exchange: denied, then closed, never connected.
    Log.clear();
    proxy = ProxyConnect("5");
    ReadWhilePumping(proxy, 3);
    Reply(*Socket, proxy, Bytes({5, 2}), false);
    ReadWhilePumping(proxy, 5);
    PosixPeer::Close(proxy);
    FPeers.erase(std::find(FPeers.begin(), FPeers.end(), proxy));
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    EXPECT_EQ(Log, (Strings{"socksconnected 0", "auth 0", "auth 2", "closed 0"}));

    // Not offered, asked for anyway: the exchange runs.
    Log.clear();
    Socket->SocksAuthentication = socksNoAuthentication;
    proxy = ProxyConnect("5");
    EXPECT_EQ(ReadWhilePumping(proxy, 3), Bytes({5, 1, 0}));
    Reply(*Socket, proxy, Bytes({5, 2}), false);
    EXPECT_EQ(ReadWhilePumping(proxy, 5), Bytes({1, 1}) + "u" + Bytes({1}) + "p");
}

TEST_F(SocksTest, Socks4WithAnUnresolvableTargetFailsWithoutConnecting) {
    const int proxy = ProxyConnect("4", "no such host.invalid");
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    ASSERT_EQ(Log.size(), 3u);
    EXPECT_EQ(Log[0], "socksconnected 0");
    EXPECT_EQ(Log[1].rfind("sockserror 20017 ESocketException ", 0), 0u) << Log[1];
    EXPECT_EQ(Log[2], "closed 20017");
    EXPECT_EQ(PeerEnd(proxy), 0);  // closed, and no request was sent
}

TEST_F(SocksTest, BytesBehindTheConnectReplyComeFirstAndAllOfThem) {
    // A handler that takes one byte per call gets the three bytes that came with the reply,
    // although the socket has nothing more (it used to get one and wait for ever), then the
    // socket's own bytes.
    std::vector<int> counts;
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        counts.push_back(Socket->RcvdCount());
        char byte;
        if (Socket->ReceiveBytes(&byte, 1) == 1) Received += byte;
    };
    const int proxy = Socks5Ready();
    Reply(*Socket, proxy, Socks5Success() + "abc", false);
    ASSERT_TRUE(PumpUntil([&] { return Received.size() == 3; }));
    EXPECT_EQ(Received, "abc");
    ASSERT_GE(counts.size(), 3u);
    EXPECT_EQ(std::vector<int>(counts.begin(), counts.begin() + 3), (std::vector<int>{3, 2, 1}));
    ASSERT_EQ(PosixPeer::Write(proxy, "de"), 2);
    ASSERT_TRUE(PumpUntil([&] { return Received == "abcde"; }));

    // A bound host of 200 bytes is a legal reply (the reply used to never complete).
    Socket->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    Received.clear();
    Log.clear();
    Socket->OnDataAvailable = [&](TObject*, WORD) { Received += Socket->ReceiveText(); };
    const int second = Socks5Ready();
    Reply(*Socket, second, Bytes({5, 0, 0, 3, 200}) + std::string(200, 'h') + Bytes({0, 80}) + "xyz", false);
    ASSERT_TRUE(PumpUntil([&] { return Received == "xyz"; }));
    EXPECT_EQ(Log, (Strings{"socksconnected 0", "connected 0"}));
}

TEST_F(SocksTest, RequestsThatCannotBeBuiltAreRefusedAtConnect) {
    const struct {
        const char* Level;
        std::string Addr;
        std::string User;
        std::string Password;
        const char* Refusal;
    } cases[] = {
        {"5", std::string(256, 'h'), "", "", "connect: socks host name longer than 255 bytes"},
        {"4A", std::string(256, 'h'), "", "", "connect: socks host name longer than 255 bytes"},
        {"5", "127.0.0.1", std::string(256, 'u'), "p", "connect: socks user code longer than 255 bytes"},
        {"5", "127.0.0.1", "u", std::string(256, 'p'), "connect: socks password longer than 255 bytes"},
        {"4", "127.0.0.1", std::string("a\0b", 3), "", "connect: socks user code holds a NUL byte"},
        {"4A", std::string("ho\0st", 5), "", "", "connect: socks host name holds a NUL byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Refusal);
        Socket->SetSocksServer("127.0.0.1");
        Socket->SetSocksPort("1080");
        Socket->SetSocksLevel(c.Level);
        Socket->SetAddr(c.Addr);
        Socket->SetPort("80");
        Socket->SocksUsercode = c.User;
        Socket->SocksPassword = c.Password;
        Socket->SocksAuthentication = socksAuthenticateUsercode;
        EXPECT_EQ(SocketError([&] { Socket->Connect(); }), c.Refusal);
        EXPECT_EQ(Socket->HSocket(), INVALID_SOCKET);
        EXPECT_EQ(Socket->State(), wsClosed);
        EXPECT_EQ(Socket->SocksPhase(), socksPhaseNone);
    }
    // A 255-byte host name still fits its length byte.
    Socket->SocksUsercode.clear();
    Socket->SocksAuthentication = socksNoAuthentication;
    const std::string host(255, 'h');
    const int proxy = ProxyConnect("5", host);
    ReadWhilePumping(proxy, 3);
    Reply(*Socket, proxy, Bytes({5, 0}), false);
    EXPECT_EQ(ReadWhilePumping(proxy, host.size() + 7), Socks5Request(host));
}

TEST_F(SocksTest, AConnectThatFailsOrIsRefusedChangesNothing) {
    // Refused because the socket is in use: the live session's bytes stay its data.
    const int proxy = Socks5Ready();
    Reply(*Socket, proxy, Socks5Success(), false);
    ASSERT_TRUE(WaitLogged("connected 0"));
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "Connect: Socket already in use");
    EXPECT_EQ(Socket->SocksPhase(), socksPhaseNone);
    ASSERT_EQ(PosixPeer::Write(proxy, Bytes({5, 0})), 2);
    ASSERT_TRUE(PumpUntil([&] { return Received == Bytes({5, 0}); }));
    EXPECT_FALSE(Logged("sockserror 20002 socks version error"));
    Socket->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));

    // The plain connect refuses (no Addr): no phase, and neither the proxy's address nor its
    // port is left for a later connect.
    USHORT proxyPort = 0;
    PeerListener(proxyPort);
    Socket->SetSocksServer("127.0.0.1");
    Socket->SetSocksPort(IntToStr(proxyPort));
    Socket->SetPort("1");
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "Connect: No IP Address Specified");
    EXPECT_EQ(Socket->SocksPhase(), socksPhaseNone);
    USHORT targetPort = 0;
    const int targetListener = PeerListener(targetPort);
    Socket->SetSocksServer("");
    StartConnect(Socket, targetPort);
    const int target = PeerAccept(targetListener);
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsConnected; }));
    EXPECT_EQ(Socket->SendText("plain"), 5);
    EXPECT_EQ(ReadWhilePumping(target, 5), "plain");
    Socket->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));

    // A changed proxy port is the one connected to.
    USHORT otherPort = 0;
    const int otherListener = PeerListener(otherPort);
    Socket->SetSocksServer("127.0.0.1");
    Socket->SetSocksPort(IntToStr(proxyPort));
    Socket->SetPort("1");
    Socket->SetAddr("");
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "Connect: No IP Address Specified");
    Socket->SetSocksPort(IntToStr(otherPort));
    Socket->SetAddr("127.0.0.1");
    Socket->Connect();
    const int other = PeerAccept(otherListener);
    EXPECT_EQ(ReadWhilePumping(other, 3), Bytes({5, 1, 0}));
}

TEST_F(SocksTest, AReadErrorBeforeTheConnectEventReportsTheConnectionOnce) {
    // A listener whose queue is full leaves the connect pending, so the read event below is
    // the first the socket hears of the connection.
    USHORT port = 0;
    const int listener = PosixPeer::Listener(&port, 0);
    FPeers.push_back(listener);
    const int filler = PosixPeer::Connect(port);
    FPeers.push_back(filler);
    Socket->SetSocksServer("127.0.0.1");
    Socket->SetSocksPort(IntToStr(port));
    Socket->SetAddr("127.0.0.1");
    Socket->SetPort("80");
    Socket->Connect();
    ASSERT_EQ(Socket->State(), wsConnecting);
    PostEvent(Socket->HSocket(), FD_READ, WSAECONNREFUSED);
    PumpFor(50);
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "connected " + IntToStr(WSAECONNREFUSED)), 1);
    EXPECT_EQ(Log.front(), "socksconnected " + IntToStr(WSAECONNREFUSED));
}

}  // namespace
