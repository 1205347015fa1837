// The socket component on the network: the addressing properties, connecting, binding the
// local end, listening and accepting, multicast, through the test thread's queue and loopback
// peers.

#include <functional>
#include <memory>

#include "EventSocketFixture.h"

namespace {

class EventSocketConnectTest : public TEventSocketFixture {};

TEST_F(EventSocketConnectTest, AddressSettersTrimRefuseWhileOpenAndKeepTheUnchangedShortcut) {
    TEventSocket& socket = *Socket;
    using TSetter = std::function<void(const std::string&)>;
    using TGetter = std::function<std::string()>;
    const struct {
        const char* Name;
        TSetter Set;
        TGetter Get;
        const char* Given;
        const char* Stored;
    } cases[] = {
        {"Addr", [&](const std::string& v) { socket.SetAddr(v); }, [&] { return socket.Addr(); }, " \t127.0.0.1\r\n",
         "127.0.0.1"},
        {"Port", [&](const std::string& v) { socket.SetPort(v); }, [&] { return socket.Port(); }, "  80 ", "80"},
        {"Proto", [&](const std::string& v) { socket.SetProto(v); }, [&] { return socket.Proto(); }, "\x01udp\x1f", "udp"},
        // The local values are stored as given; an empty LocalAddr means any.
        {"LocalPort", [&](const std::string& v) { socket.SetLocalPort(v); }, [&] { return socket.LocalPort(); }, " 8 ",
         " 8 "},
        {"LocalAddr", [&](const std::string& v) { socket.SetLocalAddr(v); }, [&] { return socket.LocalAddr(); }, "",
         "0.0.0.0"},
    };
    const bool remote[] = {true, true, true, false, false};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.Name);
        c.Set(c.Given);
        EXPECT_EQ(c.Get(), c.Stored);
        Socket->EnterState(wsConnected);
        const std::string refused = std::string("Cannot change ") + c.Name + " if not closed";
        // The stored text again is no change for the remote values, whatever the state.
        EXPECT_EQ(SocketError([&] { c.Set(c.Stored); }), remote[i] ? "" : refused);
        EXPECT_EQ(SocketError([&] { c.Set(std::string(" ") + c.Stored); }), refused);
        EXPECT_EQ(c.Get(), c.Stored);
        Socket->EnterState(wsClosed);
    }

    // Blanks clear the assignment, and Connect names what is missing, in its order.
    const struct {
        const char* Port;
        const char* Addr;
        const char* Proto;
        const char* Failure;
    } missing[] = {
        {" ", "127.0.0.1", "tcp", "Connect: No Port Specified"},
        {"1", "\t", "tcp", "Connect: No IP Address Specified"},
        {"1", "127.0.0.1", "", "Connect: No Protocol Specified"},
    };
    for (const auto& m : missing) {
        Socket->SetPort(m.Port);
        Socket->SetAddr(m.Addr);
        Socket->SetProto(m.Proto);
        EXPECT_EQ(SocketError([&] { Socket->Connect(); }), m.Failure);
        EXPECT_EQ(Socket->HSocket(), INVALID_SOCKET);
    }
    // A resolver's failure creates no socket; an empty LocalPort does not mean "0".
    Socket->SetProto("tcp");
    Socket->SetLocalPort("");
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "connect: EventSocketResolvePort: Invalid Port.");
    EXPECT_EQ(Socket->State(), wsClosed);
    EXPECT_EQ(Socket->HSocket(), INVALID_SOCKET);
}

TEST_F(EventSocketConnectTest, TheLocalBindingIsWhatThePeerSees) {
    const struct {
        const char* Name;
        const char* LocalAddr;
        bool FixedPort;
        bool Binds;
    } cases[] = {
        {"any address, any port: no bind", "0.0.0.0", false, false},
        {"loopback, any port: the system's port", "127.0.0.1", false, true},
        {"a given port", "0.0.0.0", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        USHORT listenPort = 0;
        const SOCKET listener = LayerListener(listenPort);

        TEventSocket* socket = TEventSocket::Create(&Owner);
        const std::string localPort = c.FixedPort ? IntToStr(FreePort()) : "0";
        socket->SetLocalAddr(c.LocalAddr);
        socket->SetLocalPort(localPort);
        StartConnect(socket, listenPort);
        EXPECT_EQ(socket->State(), wsConnecting);
        if (c.Binds) {
            EXPECT_NE(socket->LocalPort(), "0");
            if (c.FixedPort) {
                EXPECT_EQ(socket->LocalPort(), localPort);
            }
        } else {
            EXPECT_EQ(socket->LocalPort(), "0");
        }
        sockaddr_in peer{};
        int length = sizeof peer;
        const SOCKET accepted = BoundWinsock::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
        ASSERT_NE(accepted, INVALID_SOCKET);
        EXPECT_TRUE(PumpUntil([&] { return socket->State() == wsConnected; }));
        const std::string seenPort = IntToStr(BoundWinsock::ntohs(peer.sin_port));
        EXPECT_EQ(socket->GetBoundPort(), seenPort);
        if (c.Binds) {
            EXPECT_EQ(socket->LocalPort(), seenPort);
        }
        EXPECT_EQ(socket->GetBoundAddr(), "127.0.0.1");
        EXPECT_EQ(socket->PeerAddr(), "127.0.0.1");
        EXPECT_EQ(socket->PeerPort(), IntToStr(listenPort));
        sockaddr_in name{};
        EXPECT_EQ(socket->QueryPeerName(name, sizeof name), 0);
        EXPECT_EQ(BoundWinsock::ntohs(name.sin_port), listenPort);
        delete socket;
        BoundWinsock::closesocket(accepted);
        BoundWinsock::closesocket(listener);
    }
    // Not connected: the queries answer "error" and report nothing.
    EXPECT_EQ(Socket->PeerAddr(), "error");
    EXPECT_EQ(Socket->PeerPort(), "error");
    EXPECT_EQ(Socket->GetBoundPort(), "error");
    sockaddr_in name{};
    EXPECT_EQ(Socket->QueryPeerName(name, sizeof name), SOCKET_ERROR);
}

TEST_F(EventSocketConnectTest, ARefusedConnectPassesThroughConnectedAndCloses) {
    Record(Socket);
    StartConnect(Socket, FreePort());
    EXPECT_TRUE(PumpUntil([&] { return Closes() > 0; }));
    EXPECT_EQ(Log, Strings({"state 8>1", "state 1>3", "state 3>5", "connected 10061", "state 5>8", "closed 0"}));
    ExpectClosedDefaults(*Socket);
    // Port and Addr count as unassigned after the close until they are set again, to the same
    // text if need be.
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "Connect: No Port Specified");
    Log.clear();
    StartConnect(Socket, static_cast<USHORT>(StrToInt(Socket->Port())));
    EXPECT_EQ(Log, Strings({"state 8>1", "state 1>3"}));
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "Connect: Socket already in use");
    EXPECT_TRUE(PumpUntil([&] { return Closes() > 0; }));
}

// A client that greets in OnSessionConnected and a server that greets on accepting: the
// greetings cross, and every event comes in its order.
TEST_F(EventSocketConnectTest, SendingFromOnSessionConnected) {
    Record(Socket);
    Socket->OnSessionConnected = [&](TObject*, WORD code) {
        Log.push_back("connected " + IntToStr(code));
        EXPECT_EQ(Socket->SendText("HELO me\r\n"), 9);
        Log.push_back("sent inside");
    };
    Socket->OnDataSent = [&](TObject*, WORD) { Log.push_back("data sent"); };
    USHORT port = 0;
    const int listener = PeerListener(port);
    StartConnect(Socket, port);
    const int peer = PeerAccept(listener);
    ASSERT_EQ(PosixPeer::Write(peer, "220 ready\r\n"), 11);
    EXPECT_TRUE(PumpUntil([&] { return Received.size() == 11; }));
    EXPECT_EQ(PosixPeer::ReadExactly(peer, 9), "HELO me\r\n");
    PumpFor(20);
    ASSERT_GE(Log.size(), 6u);
    EXPECT_EQ(Strings(Log.begin(), Log.begin() + 5),
              Strings({"state 8>1", "state 1>3", "state 3>5", "connected 0", "sent inside"}));
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "data 0"), 1);
    EXPECT_GE(std::count(Log.begin(), Log.end(), "data sent"), 1);
    EXPECT_EQ(Received, "220 ready\r\n");
}

TEST_F(EventSocketConnectTest, AListenerAcceptsAndServesManyClients) {
    Record(Socket);
    std::vector<std::unique_ptr<TEventSocket>> served;
    std::size_t echoed = 0;
    Socket->OnSessionAvailable = [&](TObject*, WORD code) {
        Log.push_back("available " + IntToStr(code));
        const SOCKET handle = Socket->Accept();
        if (handle == INVALID_SOCKET) return;
        EXPECT_EQ(Socket->AcceptedHandle(), handle);
        TEventSocket* client = TEventSocket::Create(nullptr);
        served.emplace_back(client);
        client->OnDataAvailable = [&echoed, client](TObject*, WORD) {
            const std::string text = client->ReceiveText();
            echoed += text.size();
            client->SendText(text);
        };
        client->Dup(handle);
    };
    Socket->SetAddr("127.0.0.1");
    Socket->SetPort("0");
    Socket->Listen();
    EXPECT_EQ(Log, Strings({"state 8>2", "state 2>7"}));
    const USHORT port = static_cast<USHORT>(StrToInt(Socket->GetBoundPort()));
    constexpr int clients = 50;
    std::vector<int> peers;
    std::size_t total = 0;
    for (int i = 0; i < clients; ++i) {
        peers.push_back(PosixPeer::Connect(port));
        ASSERT_GE(peers.back(), 0);
        FPeers.push_back(peers.back());
        const std::string text = "client " + IntToStr(i);
        ASSERT_EQ(PosixPeer::Write(peers.back(), text), static_cast<long>(text.size()));
        total += text.size();
        EXPECT_TRUE(PumpUntil([&] { return served.size() == peers.size(); }));
    }
    EXPECT_TRUE(PumpUntil([&] { return echoed == total; }, 20000));
    for (int i = 0; i < clients; ++i) {
        const std::string text = "client " + IntToStr(i);
        EXPECT_EQ(PosixPeer::ReadExactly(peers[static_cast<std::size_t>(i)], text.size()), text);
    }
    EXPECT_EQ(served.size(), static_cast<std::size_t>(clients));
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "available 0"), clients);

    // An accept that fails reports and leaves the listener as it was; a later client is served.
    int errors = 0;
    Socket->OnError = [&](TObject*) { ++errors; };
    EXPECT_EQ(Socket->Accept(), INVALID_SOCKET);  // nothing pending
    EXPECT_EQ(Socket->LastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(Socket->State(), wsListening);
    const int late = PosixPeer::Connect(port);
    FPeers.push_back(late);
    EXPECT_TRUE(PumpUntil([&] { return served.size() == clients + 1; }));

    TEventSocket* other = TEventSocket::Create(&Owner);
    EXPECT_EQ(SocketError([&] { other->Accept(); }), "Error 10022 in function not a listening socket\r\nInvalid argument");
    delete other;
}

TEST_F(EventSocketConnectTest, ListenReportsWhatIsMissingAndAFailedBindClosesTheHandle) {
    const struct {
        const char* Port;
        const char* Proto;
        const char* Addr;
        const char* Failure;
    } cases[] = {
        {"", "tcp", "127.0.0.1", "Error 10022 in function listen: port not assigned\r\nInvalid argument"},
        {"0", "", "127.0.0.1", "Error 10022 in function listen: protocol not assigned\r\nInvalid argument"},
        {"0", "tcp", "", "Error 10022 in function listen: address not assigned\r\nInvalid argument"},
        {"0", "tcp", "1.2.3.4", "Error 10049 in function Bind\r\nAddress not available"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Failure);
        Socket->SetPort(c.Port);
        Socket->SetProto(c.Proto);
        Socket->SetAddr(c.Addr);
        EXPECT_EQ(SocketError([&] { Socket->Listen(); }), c.Failure);
        EXPECT_EQ(Socket->State(), wsClosed);
        Socket->Disconnect();  // the raised report left out the close of a failed bind
        EXPECT_EQ(Socket->HSocket(), INVALID_SOCKET);
    }
}

// Multicast on the loopback interface: a datagram socket sending to a group through
// 127.0.0.1, and one joining a group there; a group text longer than 256 characters is none.
TEST_F(EventSocketConnectTest, MulticastOnTheLoopbackInterface) {
    const std::string group = "239.255.42.99";
    const SOCKET receiver = BoundWinsock::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ASSERT_EQ(BoundWinsock::bind(receiver, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    int length = sizeof address;
    BoundWinsock::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
    ip_mreq join{};
    join.imr_multiaddr.s_addr = BoundWinsock::inet_addr(group.c_str());
    join.imr_interface.s_addr = IPv4(127, 0, 0, 1);
    ASSERT_EQ(BoundWinsock::setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&join),
                                       sizeof join), 0);

    Record(Socket);
    Socket->MultiCast = true;
    Socket->MultiCastIpTTL = 2;
    Socket->SetLocalAddr("127.0.0.1");
    Socket->SetAddr(group);
    Socket->SetPort(IntToStr(BoundWinsock::ntohs(address.sin_port)));
    Socket->SetProto("udp");
    Socket->Connect();
    EXPECT_EQ(Log, Strings({"state 8>1", "state 1>5", "connected 0"}));
    EXPECT_EQ(Socket->SendText("to the group"), 12);
    char buffer[64];
    sockaddr_in from{};
    length = sizeof from;
    EXPECT_EQ(BoundWinsock::recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length), 12);
    EXPECT_EQ(std::string(buffer, 12), "to the group");
    EXPECT_EQ(BoundWinsock::ntohs(from.sin_port), static_cast<USHORT>(StrToInt(Socket->LocalPort())));
    BoundWinsock::closesocket(receiver);
    Socket->Disconnect();

    // Joining: the text may carry blanks up to 256 characters, no more.
    for (const std::size_t size : {std::size_t{256}, std::size_t{257}}) {
        SCOPED_TRACE(size);
        TEventSocket* member = TEventSocket::Create(&Owner);
        member->MultiCast = true;
        member->MultiCastAddrStr = group + std::string(size - group.size(), ' ');
        member->SetProto("udp");
        member->SetAddr("127.0.0.1");
        member->SetPort("0");
        const std::string failure = SocketError([&] { member->Listen(); });
        if (size == 256) {
            EXPECT_EQ(failure, "");
            EXPECT_EQ(member->State(), wsConnected);
        } else {
            EXPECT_EQ(failure.rfind("Error 10022 in function setsockopt(IP_ADD_MEMBERSHIP)", 0), 0u) << failure;
            EXPECT_EQ(member->State(), wsBound);
        }
        delete member;
    }
}

TEST_F(EventSocketConnectTest, SuspendedEventsAreDroppedAndResumingReportsWhatStillHolds) {
    Record(Socket);
    const int peer = Connected(Socket);
    PumpFor(20);
    Socket->SuspendEvents();
    ASSERT_EQ(PosixPeer::Write(peer, "held"), 4);
    PumpFor(50);
    EXPECT_EQ(Received, "");
    Socket->ResumeEvents();
    EXPECT_TRUE(PumpUntil([&] { return Received == "held"; }));
}

TEST_F(EventSocketConnectTest, ConnectRefusesAStateChangedByItsOwnEventAndBroadcastsDatagrams) {
    Socket->OnChangeState = [&](TObject*, TSocketState, TSocketState to) {
        if (to == wsOpened) Socket->EnterState(wsBound);
    };
    EXPECT_EQ(SocketError([&] { StartConnect(Socket, FreePort()); }),
              "Error 10022 in function Connect (Invalid operation in OnChangeState)\r\nInvalid argument");
    EXPECT_EQ(Socket->State(), wsBound);
    Socket->OnChangeState = nullptr;
    Socket->AbortConnection();
    EXPECT_EQ(Socket->HSocket(), INVALID_SOCKET);

    // A datagram socket to the broadcast address is usable before Connect returns.
    int connected = -1;
    Socket->OnSessionConnected = [&](TObject*, WORD code) { connected = code; };
    Socket->SetAddr("255.255.255.255");
    Socket->SetPort("9");
    Socket->SetProto("udp");
    Socket->Connect();
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(Socket->State(), wsConnected);
    int on = 0;
    int length = sizeof on;
    EXPECT_EQ(getsockopt(Socket->HSocket(), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&on), &length), 0);
    EXPECT_NE(on, 0);
    Socket->Disconnect();

    // The send flags take their two names only; the pending count of no socket is reported.
    Socket->SetSendFlags(wsSendUrgent);
    EXPECT_EQ(SocketError([&] { Socket->SetSendFlags(static_cast<TSocketSendFlags>(7)); }), "Invalid SendFlags");
    EXPECT_EQ(Socket->SendFlags(), wsSendUrgent);
    EXPECT_EQ(SocketError([&] { Socket->RcvdCount(); }).rfind("Error 10038 in function ioctlSocket", 0), 0u);
}

}  // namespace
