// The window-side client against the data-server stand-in over loopback: the real window, the
// real socket component and packet buffer, the real message queue. What the client sends is
// read from the stand-in's record; what it received, from the window's labels and boxes.

#include "LokklangTestSupport.h"

using namespace lokklang_test;
using travo::Frame;
using travo::Reply;

namespace {

const std::string Greeting = Bytes({0x0D, 0, 0, 0, 0, 1, 1, 2, 8}) + "Lokklang";
const std::string Request = Bytes({0x0A, 0, 0, 0, 0, 3, 0, 0x0A, 1, 5, 0x10, 0x3E, 0x3F, 0x4E});
const std::string EndOfRequest = Bytes({4, 0, 0, 0, 0, 3, 0, 0});

class Client : public LokklangTest {
protected:
    void SetUp() override {
        LokklangTest::SetUp();
        WriteTestSounds();
        CreateMain();
        ASSERT_EQ(Boxes->Count(), 0u);
    }
    // The stand-in sends these bytes; true once the speed label shows the value.
    bool SpeedArrives(float speed, const std::string& before = std::string()) {
        const std::string bytes = before + Frame(ValuesPayload({{IdSpeed, speed}}));
        if (!Server.Send(FClient, bytes)) return false;
        const std::string label = "Geschwindigkeit: " + FloatToStrF(speed, ffFixed, 5, 2) + " km/h";
        return ProcessUntil([&] { return Main->Label1->Caption() == label; });
    }
    bool ConnectionEnds() {
        // The client closes from its message loop, which must run meanwhile.
        return ProcessUntil([this] { return Server.Client(FClient).Closed && Main->btnConnect->Caption() == "Verbinden"; });
    }
    void ExpectBox(std::size_t index, const TClientMessage& message) {
        ASSERT_GT(Boxes->Count(), index);
        const TMessageBoxRecord box = Boxes->Records()[index];
        EXPECT_EQ(box.Caption, message.Caption);
        EXPECT_EQ(box.Text, message.Text);
        EXPECT_EQ(box.Icon(), message.Icon);
        EXPECT_EQ(box.Type & 0xF, static_cast<UINT>(MB_OK));
        EXPECT_EQ(box.Owner, Main->Handle());
    }
};

TEST_F(Client, GreetsRequestsAndEndsTheRequestWithExactlyTheseBytes) {
    EXPECT_EQ(Main->btnConnect->Caption(), "Verbinden");
    Connect();
    ASSERT_TRUE(SpeedArrives(12.0f));
    ProcessFor(100);
    const travo::TClientRecord record = Server.Client(FClient);
    EXPECT_EQ(record.Bytes, Greeting + Request + EndOfRequest);
    EXPECT_EQ(record.Packets.size(), 3u) << "a result-0 reply is followed by exactly two packets";
    EXPECT_EQ(record.Name, "Lokklang");
    EXPECT_EQ(Boxes->Count(), 0u);

    // A click while connected closes at once.
    Main->btnConnect->Click();
    EXPECT_EQ(Main->btnConnect->Caption(), "Verbinden");
    EXPECT_TRUE(Server.WaitForClientClosed(FClient, 10000));
}

TEST_F(Client, TwoPacketsInOneWriteAndOnesSplitAtEveryByteAreAllDispatchedInOrder) {
    Connect();
    const std::string two = Frame(ValuesPayload({{IdNotch, 3.0f}})) + Frame(ValuesPayload({{IdNotch, 4.0f}}));
    ASSERT_TRUE(SpeedArrives(20.0f, two));
    EXPECT_EQ(Main->FFahrstufe, 4);
    EXPECT_EQ(Main->FFahrstufeAlt, 3);
    const std::string packet = Frame(ValuesPayload({{IdFanSwitch, 1.0f}, {IdSpeed, 33.0f}}));
    ASSERT_TRUE(Server.Send(FClient, packet, travo::TWriteMode::ByteByByte, 0, 2));
    EXPECT_TRUE(ProcessUntil([] { return Main->Label1->Caption() == "Geschwindigkeit: 33.00 km/h"; }));
    EXPECT_EQ(Main->Label5->Caption(), "Schalter Lüfter: 1");
}

TEST_F(Client, AGreetingRefusalClosesTheConnectionAndShowsItsBox) {
    for (const int result : {1, 2, 7, 255}) {
        SCOPED_TRACE(result);
        Boxes->Clear();
        Server.SetHelloResult(static_cast<std::uint8_t>(result));
        const std::size_t before = Server.ClientCount();
        Main->btnConnect->Click();
        ASSERT_TRUE(Server.WaitForClients(before + 1, 10000));
        FClient = before;
        ASSERT_TRUE(ProcessUntil([this] { return Boxes->Count() > 0; }));
        ExpectBox(0, HelloRefusedMessage(static_cast<BYTE>(result)));
        EXPECT_TRUE(ConnectionEnds());
        EXPECT_EQ(Server.Client(FClient).Bytes, Greeting);
    }
    EXPECT_EQ(HelloRefusedMessage(1).Caption, std::string("Zu viele Verbindungen"));
    EXPECT_EQ(HelloRefusedMessage(2).Icon, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(HelloRefusedMessage(7).Caption, std::string("Unbekannter Fehler"));
}

// What stood behind a refusal in the same read is dropped: a second refusal would click the
// button of a closed connection (and connect again), a reply would send on the closed socket.
TEST_F(Client, WhatFollowsARefusalInTheSameReadIsDropped) {
    Server.SetHelloReplyBytes(Reply(travo::kHelloReply, 1) + Reply(travo::kHelloReply, 1) +
                                  Reply(travo::kHelloReply, 0) + Frame(ValuesPayload({{IdSpeed, 50.0f}})),
                              false);
    Main->btnConnect->Click();
    ASSERT_TRUE(Server.WaitForClients(1, 10000));
    FClient = 0;
    EXPECT_TRUE(ConnectionEnds());
    ProcessFor(300);
    EXPECT_EQ(Server.ClientCount(), 1u) << "the client connected again";
    EXPECT_EQ(Boxes->Count(), 1u);
    EXPECT_EQ(Server.Client(0).Bytes, Greeting);
    EXPECT_EQ(Main->Label1->Caption(), "");
}

TEST_F(Client, ARefusedRequestShowsItsBoxAndDataKeepsFlowingAlsoBehindTheOpenBox) {
    struct TCase {
        int Request;
        int EndOfRequest;
        const TClientMessage& Box;
    };
    const std::vector<TCase> cases = {{1, 0, RequestRefusedMessage(1)}, {0, 2, RequestRefusedMessage(2)},
                                      {9, 0, RequestRefusedMessage(9)}};
    float speed = 1.0f;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Request * 10 + c.EndOfRequest);
        Boxes->Clear();
        Server.SetRequestResult(static_cast<std::uint8_t>(c.Request));
        Server.SetEndRequestResult(static_cast<std::uint8_t>(c.EndOfRequest));
        // While the box is open the stand-in sends a data packet; the box's loop handles it.
        bool handledBehindBox = false;
        speed += 1.0f;
        Boxes->WhileOpen = [&](const TMessageBoxRecord&) { handledBehindBox = SpeedArrives(speed); };
        Connect();
        ASSERT_TRUE(ProcessUntil([this] { return Boxes->Count() > 0; }));
        Boxes->WhileOpen = nullptr;
        ExpectBox(0, c.Box);
        EXPECT_TRUE(handledBehindBox);
        EXPECT_EQ(Main->btnConnect->Caption(), "Trennen");
        EXPECT_TRUE(SpeedArrives(speed + 100.0f)) << "the connection stays up";
        EXPECT_EQ(Boxes->Count(), 1u);
        Main->btnConnect->Click();
        EXPECT_TRUE(ConnectionEnds());
    }
    EXPECT_EQ(RequestRefusedMessage(1).Caption, std::string("Unbekannter Befehlsvorrat"));
    EXPECT_EQ(RequestRefusedMessage(2).Caption, std::string("Unbekannte Server-Fehlermeldung"));
}

TEST_F(Client, PacketsWithAnUnknownFirstByteOrReplyCodeChangeNothing) {
    Connect();
    const std::string speed = ValuesPayload({{IdSpeed, 99.0f}}).substr(2);
    std::string ignored;
    for (const std::string& head : {Bytes({1, 0x0A}), Bytes({0, 1}), Bytes({0, 3}), Bytes({0, 0x0B}), Bytes({0xFF, 2})})
        ignored += Frame(head + speed);
    // Replies without their result byte count as result 0.
    ignored += Frame(Bytes({0, 4})) + Frame(Bytes({0}));
    ASSERT_TRUE(SpeedArrives(7.0f, ignored));
    ProcessFor(100);
    EXPECT_EQ(Boxes->Count(), 0u);
    EXPECT_EQ(Server.Client(FClient).Packets.size(), 3u);
    EXPECT_EQ(Main->btnConnect->Caption(), "Trennen");
}

// Each connection starts with an empty buffer: a packet cut off by the end of the last one
// would otherwise swallow the first bytes of the next.
TEST_F(Client, APacketCutOffByTheEndOfAConnectionDoesNotMisframeTheNext) {
    Connect();
    ASSERT_TRUE(SpeedArrives(10.0f));
    ASSERT_TRUE(Server.Send(FClient, Frame(ValuesPayload({{IdSpeed, 66.0f}})).substr(0, 7)));
    ProcessFor(100);
    Server.CloseClient(FClient);
    ASSERT_TRUE(ProcessUntil([] { return Main->btnConnect->Caption() == "Verbinden"; }));
    Connect();
    EXPECT_TRUE(SpeedArrives(21.0f));
    EXPECT_EQ(Server.Client(FClient).Bytes, Greeting + Request + EndOfRequest);
}

TEST_F(Client, AStreamOutOfStepEndsTheConnection) {
    Connect();
    ASSERT_TRUE(Server.Send(FClient, Bytes({0xFF, 0xFF, 0xFF, 0x7F, 0, 0x0A})));
    EXPECT_TRUE(ConnectionEnds());
    EXPECT_EQ(Boxes->Count(), 0u);
    Connect();
    EXPECT_TRUE(SpeedArrives(5.0f));
}

TEST_F(Client, AConnectThatFailsLeavesTheButtonUsable) {
    struct TCase {
        const char* Name;
        std::string Server;
        std::string Port;
        bool Box;
        std::string LocalPort = "0";
    };
    // A port nobody listens on: the stand-in's, once stopped.
    travo::TTravoServer closed;
    ASSERT_TRUE(closed.Start());
    const std::string closedPort = std::to_string(closed.Port());
    closed.Stop();
    const std::vector<TCase> cases = {
        {"unknown host", "no-such-host.invalid", std::to_string(Server.Port()), false},
        {"no port", "localhost", "", false},
        {"port out of range", "localhost", "70000", false},
        {"refused", "127.0.0.1", closedPort, true},
        // The socket exists already when its local port cannot be bound: the stand-in listens there.
        {"local port in use", "localhost", std::to_string(Server.Port()), false, std::to_string(Server.Port())},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Boxes->Clear();
        Main->edServer->SetText(c.Server);
        Main->cbPort->SetText(c.Port);
        Main->CliSocket->SetLocalPort(c.LocalPort);
        ClickWidget(Main->btnConnect);
        if (c.Box) {
            ASSERT_TRUE(ProcessUntil([this] { return Boxes->Count() > 0; }));
            ExpectBox(0, ConnectFailedMessage);
        }
        ASSERT_TRUE(ProcessUntil([] { return Main->CliSocket->State() == wsClosed; }))
            << "state " << static_cast<int>(Main->CliSocket->State());
        EXPECT_EQ(Main->btnConnect->Caption(), "Verbinden");
        EXPECT_EQ(Boxes->Count(), c.Box ? 1u : 0u);

        Main->edServer->SetText("localhost");
        Main->cbPort->SetText(std::to_string(Server.Port()));
        Main->CliSocket->SetLocalPort("0");
        Connect();
        EXPECT_TRUE(SpeedArrives(static_cast<float>(FClient + 1)));
        Main->btnConnect->Click();
        EXPECT_TRUE(ConnectionEnds());
    }
}

// A rule whose channel has no file stays silent inside the socket's event: the records behind
// it, the contactor step and the next packet are handled, and the connection stays up.
TEST_F(Client, ARuleWithoutItsSoundLosesNothingElseOfItsPacket) {
    Main->Free();
    fs::remove(FSounds / "HSein.wav");
    CreateMain();
    ASSERT_EQ(Boxes->Count(), 1u);
    Connect();
    ASSERT_TRUE(SpeedArrives(12.0f, Frame(ValuesPayload({{IdMainSwitch, 1.0f}, {IdFanSwitch, 1.0f}, {IdNotch, 3.0f}}))));
    EXPECT_EQ(Main->Label5->Caption(), "Schalter Lüfter: 1");
    EXPECT_EQ(Main->Label6->Caption(), "Trennschütz: 1");
    EXPECT_EQ(Main->btnConnect->Caption(), "Trennen");
    EXPECT_EQ(Boxes->Count(), 1u);
}

TEST_F(Client, TheAlwaysInFrontSwitch) {
    EXPECT_FALSE(Main->Topmost());
    ClickWidget(Main->cbOnTop);
    EXPECT_TRUE(Main->Topmost());
    ClickWidget(Main->cbOnTop);
    EXPECT_FALSE(Main->Topmost());
}

}  // namespace
