#include "TravoClientSupport.h"

namespace {

using travo::Reply;
using travo::TWriteMode;

using TravoClientWire = TravoClientTest;

TEST_F(TravoClientWire, GreetingRequestAndEndOfRequestHaveTheirExactBytes) {
    Register();
    ASSERT_EQ(Client.EndRequest(), TravoOk);
    ASSERT_TRUE(Server.WaitForEndRequest(0, 5000));
    const std::string expected = Bytes({0x0F, 0, 0, 0, 0, 1, 2, 2, 0x0A}) + "Wagenklang" +
                                 Bytes({0x0E, 0, 0, 0, 0, 3, 0, 0x0A, 1, 51, 52, 53, 54, 60, 64, 67, 78, 86}) +
                                 Bytes({4, 0, 0, 0, 0, 3, 0, 0});
    EXPECT_EQ(Server.Client(0).Bytes, expected);
}

TEST_F(TravoClientWire, RequestTakesItsGroupAndIdsInOrder) {
    ASSERT_EQ(Open(), TravoOk);
    ASSERT_EQ(Client.RequestData(10, {1, 51}), TravoOk);
    ASSERT_TRUE(Server.WaitForPackets(0, 1, 5000));
    EXPECT_EQ(Server.Client(0).Bytes, Bytes({6, 0, 0, 0, 0, 3, 0, 0x0A, 1, 0x33}));
}

TEST_F(TravoClientWire, ALongNameIsCutToWhatItsLengthByteCanSay) {
    ASSERT_EQ(Open(), TravoOk);
    ASSERT_EQ(Client.SendHello(std::string(300, 'n'), 7), TravoOk);
    const travo::TClientRecord record = Server.Client(0);
    ASSERT_EQ(record.Packets.size(), 1u);
    EXPECT_EQ(record.Packets[0].size(), 5u + 255u);
    EXPECT_EQ(record.Kind, 7);
    EXPECT_EQ(record.Name, std::string(255, 'n'));
}

using TravoClientResults = TravoClientTest;

TEST_F(TravoClientResults, GreetingResultsBecomeTheirCodes) {
    const std::pair<int, int> cases[] = {{0, TravoOk}, {1, TravoTooManyConnections},
                                         {2, TravoSimulatorConnected}, {5, TravoFailed}};
    for (const auto& [result, code] : cases) {
        Server.SetHelloResult(static_cast<std::uint8_t>(result));
        TTravoTCP client;
        ASSERT_EQ(client.Startup(), TravoOk);
        ASSERT_EQ(client.Connect("127.0.0.1", Server.Port()), TravoOk);
        EXPECT_EQ(client.SendHello("Wagenklang", 2), code) << "result " << result;
    }
}

TEST_F(TravoClientResults, RequestResultsBecomeTheirCodes) {
    const std::pair<int, int> cases[] = {{0, TravoOk}, {1, TravoUnknownGroup}, {2, TravoRequestRefused}, {9, TravoFailed}};
    for (const auto& [result, code] : cases) {
        Server.SetRequestResult(static_cast<std::uint8_t>(result));
        Server.SetEndRequestResult(static_cast<std::uint8_t>(result));
        TTravoTCP client;
        ASSERT_EQ(client.Startup(), TravoOk);
        ASSERT_EQ(client.Connect("127.0.0.1", Server.Port()), TravoOk);
        EXPECT_EQ(client.RequestData(10, {1}), code) << "result " << result;
        EXPECT_EQ(client.EndRequest(), code) << "result " << result;
    }
}

TEST_F(TravoClientResults, AReplyWithAnotherCodeFails) {
    Server.SetRequestReplyBytes(Reply(travo::kHelloReply, 0), false);
    ASSERT_EQ(Open(), TravoOk);
    EXPECT_EQ(Client.RequestData(10, {1}), TravoFailed);
}

TEST_F(TravoClientResults, AReplyThatEndsWithTheConnectionBeforeSevenBytesIsShort) {
    Server.SetHelloReplyBytes(Reply(travo::kHelloReply, 0).substr(0, 6), true);
    ASSERT_EQ(Open(), TravoOk);
    EXPECT_EQ(Client.SendHello("Wagenklang", 2), TravoShortReply);
}

// The greeting is sent from the window's main thread: a server that sends 6 bytes and holds the
// connection must not stop it for good. The call runs on a worker here, so that a read without
// a limit fails the test instead of hanging it.
TEST_F(TravoClientResults, AReplyThatStopsShortOnAnOpenConnectionIsShortOnceItsFiveSecondsRunOut) {
    Server.SetHelloReplyBytes(Reply(travo::kHelloReply, 0).substr(0, 6), false);
    ASSERT_EQ(Open(), TravoOk);
    struct TCall {
        TTravoTCP* Client;
        std::atomic<int> Result{99};
    } call{&Client};
    const DWORD start = GetTickCount();
    const HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<TCall*>(p);
            c->Result = c->Client->SendHello("Wagenklang", 2);
            return 0;
        },
        &call, 0, nullptr);
    const bool returned = WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0;
    const DWORD waited = GetTickCount() - start;
    const bool heldOpen = !Server.Client(0).Closed;
    if (!returned) Server.CloseClient(0);  // lets a read without a limit go
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    ASSERT_TRUE(returned) << "the reply read waits without a limit";
    EXPECT_EQ(call.Result, TravoShortReply);
    EXPECT_TRUE(heldOpen) << "short by its time limit, not by a close";
    EXPECT_GE(waited, 4900u) << "a reply has 5 s to come";
}

TEST_F(TravoClientResults, AReplyInChunksIsReadWhole) {
    Server.SetReplyWriteMode(TWriteMode::ByteByByte, 15);
    Server.SetHelloResult(1);
    ASSERT_EQ(Open(), TravoOk);
    EXPECT_EQ(Client.SendHello("Wagenklang", 2), TravoTooManyConnections);
    Server.SetReplyWriteMode(TWriteMode::Split, 30);
    EXPECT_EQ(Client.RequestData(10, {1}), TravoOk);
}

TEST_F(TravoClientResults, SendingOnAClosedConnectionFails) {
    ASSERT_EQ(Open(), TravoOk);
    Client.Disconnect();
    EXPECT_EQ(Client.SendHello("Wagenklang", 2), TravoSendFailed);
}

TEST_F(TravoClientResults, UnknownHostAndRefusedConnection) {
    ASSERT_EQ(Client.Startup(), TravoOk);
    EXPECT_EQ(Client.Connect("no..such.host", 1435), TravoUnknownHost);
    travo::TTravoServer gone;
    ASSERT_TRUE(gone.Start());
    const int port = gone.Port();
    gone.Stop();
    TTravoTCP refused;
    ASSERT_EQ(refused.Startup(), TravoOk);
    EXPECT_EQ(refused.Connect("127.0.0.1", port), TravoConnectFailed);
}

TEST_F(TravoClientResults, APortBeyond16BitsKeepsItsLowBits) {
    travo::TTravoServer low;
    if (!low.Start(4464)) GTEST_SKIP() << "port 4464 is taken on this machine";
    ASSERT_EQ(Client.Startup(), TravoOk);
    ASSERT_EQ(Client.Connect("127.0.0.1", 70000), TravoOk);
    EXPECT_TRUE(low.WaitForClients(1, 5000));
}

TEST_F(TravoClientResults, DisconnectTwiceHasNoFurtherEffect) {
    ASSERT_EQ(Open(), TravoOk);
    EXPECT_EQ(Client.Disconnect(), TravoOk);
    EXPECT_TRUE(Server.WaitForClientClosed(0, 5000));
    EXPECT_EQ(Client.Disconnect(), TravoOk);
}

// ---- splitting records ----------------------------------------------------------------------------

using TravoDispatch = TravoClientTest;

TEST_F(TravoDispatch, RecordsGoToTheirTypedHandlersAndSkippedIdsTakeFiveBytes) {
    SetAllHandlers();
    const std::string packet = Bytes({0, 10, 86, 1, 0, 0, 0, 200, 9, 9, 9, 9}) + travo::Record({1, 35.0}) +
                               travo::Record({145, 2.0}) + travo::Record({146, 3.0}) + travo::Record({255, 3.0}) +
                               travo::Record({50, 1.5}) + travo::Record({105, -2.0}) + Bytes({7, 1, 2, 3});
    Client.DispatchValues(packet);
    const std::vector<TRecordedValue> values = TRecorder::Instance().TakeValues();
    ASSERT_EQ(values.size(), 5u);
    EXPECT_EQ(values[0].Kind, 'i');
    EXPECT_EQ(values[0].Group, 10);
    EXPECT_EQ(values[0].Id, 86);
    EXPECT_EQ(values[0].Value, 1.0);
    EXPECT_EQ(values[1].Kind, 's');
    EXPECT_EQ(values[1].Id, 1);
    EXPECT_EQ(values[1].Value, 35.0);
    EXPECT_EQ(values[2].Id, 145);
    EXPECT_EQ(values[3].Kind, 'd');
    EXPECT_EQ(values[3].Value, 1.5);
    EXPECT_EQ(values[4].Kind, 'h');
    EXPECT_EQ(values[4].Value, -2.0);
}

TEST_F(TravoDispatch, AShortTailAndOtherPacketsAreIgnored) {
    SetAllHandlers();
    for (int tail = 1; tail <= 4; ++tail) {
        Client.DispatchValues(Bytes({0, 10}) + travo::Record({1, 1.0}) + std::string(tail, '\x01'));
    }
    Client.DispatchValues(Bytes({0, 10}) + travo::Record({1, 1.0}).substr(0, 4));
    Client.DispatchValues(Bytes({0, 11}) + travo::Record({1, 9.0}));
    Client.DispatchValues(Bytes({1, 10}) + travo::Record({1, 9.0}));
    Client.DispatchValues(Bytes({0}));
    Client.DispatchValues(Bytes({0, 10}) + Bytes({50, 0, 0, 0, 0, 0, 0, 0}));  // a date cut short
    const std::vector<TRecordedValue> values = TRecorder::Instance().TakeValues();
    ASSERT_EQ(values.size(), 4u);
    for (const TRecordedValue& value : values) EXPECT_EQ(value.Value, 1.0);
}

TEST_F(TravoDispatch, AByteBlockCarriesItsLengthAndNeverReadsBeyondThePacket) {
    SetAllHandlers();
    Client.DispatchValues(Bytes({0, 10, 92, 3, 0, 0, 0, 7, 8, 9}) + travo::Record({1, 4.0}));
    Client.DispatchValues(Bytes({0, 10, 92, 0, 0, 0, 0}) + travo::Record({1, 5.0}));
    Client.DispatchValues(Bytes({0, 10, 92, 9, 0, 0, 0, 7, 8}) + travo::Record({1, 6.0}));
    const std::vector<TRecordedValue> values = TRecorder::Instance().TakeValues();
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].Kind, 'b');
    EXPECT_EQ(values[0].Data, (std::vector<BYTE>{7, 8, 9}));
    EXPECT_EQ(values[1].Value, 4.0);
    EXPECT_TRUE(values[2].Data.empty());
    EXPECT_EQ(values[3].Value, 5.0);
}

}  // namespace
