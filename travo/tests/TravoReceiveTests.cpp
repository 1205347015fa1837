#include "TravoClientSupport.h"

namespace {

using travo::TStep;
using travo::TValue;
using travo::TWriteMode;

using TravoReceive = TravoClientTest;

// One packet of every record kind, its values taken from n.
std::vector<TValue> ValuesOf(int n) {
    return {{86, static_cast<double>(n)}, {200, 1.0}, {1, n + 0.5}, {50, n * 2.0}, {105, -4.0}, {52, n % 10 * 1.0}};
}

void ExpectValuesOf(const std::vector<TRecordedValue>& values, std::size_t at, int n) {
    ASSERT_GE(values.size(), at + 5);
    EXPECT_EQ(values[at].Kind, 'i');
    EXPECT_EQ(values[at].Value, n);
    EXPECT_EQ(values[at + 1].Id, 1);
    EXPECT_EQ(values[at + 1].Value, n + 0.5);
    EXPECT_EQ(values[at + 2].Kind, 'd');
    EXPECT_EQ(values[at + 2].Value, n * 2.0);
    EXPECT_EQ(values[at + 3].Kind, 'h');
    EXPECT_EQ(values[at + 3].Value, -4.0);
    EXPECT_EQ(values[at + 4].Id, 52);
    EXPECT_EQ(values[at + 4].Value, n % 10);
}

TEST_F(TravoReceive, APacketSplitAtEveryBytePositionDeliversEveryRecordOnceInOrder) {
    const std::size_t length = travo::CabValuesPacket(ValuesOf(0)).size();
    std::vector<TStep> script;
    for (std::size_t split = 1; split < length; ++split) {
        TStep step;
        step.Values = ValuesOf(static_cast<int>(split));
        step.Mode = TWriteMode::Split;
        step.SplitAt = split;
        step.PauseMs = 25;
        script.push_back(step);
    }
    TStep bytewise;
    bytewise.Values = ValuesOf(100);
    bytewise.Mode = TWriteMode::ByteByByte;
    bytewise.PauseMs = 2;
    script.push_back(bytewise);
    Server.SetScript(script);
    SetAllHandlers();
    Register();
    TLoopThread loop(Client);
    const std::size_t packets = length;  // length - 1 splits and the bytewise one
    const std::vector<TRecordedValue> values = WaitForValues(5 * packets, 30000);
    ASSERT_EQ(values.size(), 5 * packets);
    for (std::size_t split = 1; split < length; ++split) {
        ExpectValuesOf(values, 5 * (split - 1), static_cast<int>(split));
    }
    ExpectValuesOf(values, 5 * (length - 1), 100);
}

TEST_F(TravoReceive, DataInTheSameReadAsTheEndOfRequestReplyIsDelivered) {
    TStep first;
    first.Values = {{1, 12.0}, {51, 2.0}};
    TStep second;
    second.Values = {{1, 13.0}};
    Server.SetScript({first, second});
    Server.SetFirstStepWithEndReply(true);
    SetAllHandlers();
    Register();
    TLoopThread loop(Client);
    const std::vector<TRecordedValue> values = WaitForValues(3);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].Value, 12.0);
    EXPECT_EQ(values[1].Id, 51);
    EXPECT_EQ(values[2].Value, 13.0);
}

TEST_F(TravoReceive, IdsNobodyRequestedAreReadByTheirSize) {
    TStep step;
    step.Values = {{200, 1.0}, {17, 3.0}, {146, 1.0}, {92 - 1, 7.0}};
    Server.SetScript({step});
    Client.OnSingle = &TRecorder::Single;
    Register();
    TLoopThread loop(Client);
    const std::vector<TRecordedValue> values = WaitForValues(2);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].Id, 17);
    EXPECT_EQ(values[1].Id, 91);
}

TEST_F(TravoReceive, ALengthNoPacketCanHaveEndsTheLoopWithItsReceiveError) {
    TStep good;
    good.Values = {{1, 1.0}};
    TStep bad;
    // One byte above 1 MiB, and more than that behind it: a buffer that waited would grow.
    bad.Bytes = std::string("\x01\x00\x10\x00", 4) + std::string(2 << 20, '\x55');
    Server.SetScript({good, bad});
    SetAllHandlers();
    Register();
    TLoopThread loop(Client);
    ASSERT_TRUE(loop.Wait(20000));
    EXPECT_EQ(loop.Result(), TravoReceiveFailed);
    EXPECT_EQ(TRecorder::Instance().TakeValues().size(), 1u);
    EXPECT_EQ(Desktop.Boxes, 0);
}

TEST_F(TravoReceive, AStopFromTheOwnerEndsTheLoopPromptlyWithoutAMessageBox) {
    Server.SetHoldInterval(5);
    TStep step;
    step.Values = {{1, 1.0}};
    Server.SetScript({step});
    SetAllHandlers();
    Register();
    TLoopThread loop(Client);
    ASSERT_FALSE(WaitForValues(3).size() < 3);
    EXPECT_FALSE(loop.Wait(50));
    const DWORD start = GetTickCount();
    Client.Disconnect();
    ASSERT_TRUE(loop.Wait(5000));
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_EQ(loop.Result(), TravoReceiveFailed);
    EXPECT_EQ(Desktop.Boxes, 0);
    EXPECT_TRUE(Server.WaitForClientClosed(0, 5000));
}

TEST_F(TravoReceive, AServerThatClosesTheConnectionEndsTheLoopWithoutAMessageBox) {
    TStep step;
    step.Values = {{1, 1.0}};
    step.CloseAfter = true;
    Server.SetScript({step});
    SetAllHandlers();
    Register();
    TLoopThread loop(Client);
    ASSERT_EQ(WaitForValues(1).size(), 1u);
    ASSERT_TRUE(loop.Wait(10000)) << "the loop polls the closed connection";
    EXPECT_EQ(loop.Result(), TravoReceiveFailed);
    EXPECT_TRUE(Client.LoopEnded());
    EXPECT_EQ(Desktop.Boxes, 0);
}

TEST_F(TravoReceive, ACloseInTheMiddleOfAPacketDeliversOnlyTheWholeOnes) {
    TStep whole;
    whole.Values = {{1, 1.0}};
    TStep cut;
    cut.Bytes = travo::CabValuesPacket({{1, 2.0}}).substr(0, 8);
    cut.CloseAfter = true;
    Server.SetScript({whole, cut});
    SetAllHandlers();
    Register();
    TLoopThread loop(Client);
    // The close ends the loop once it has read everything before it.
    ASSERT_TRUE(loop.Wait(20000)) << "the loop did not end with the connection";
    const std::vector<TRecordedValue> values = TRecorder::Instance().TakeValues();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].Value, 1.0);
}

TEST_F(TravoReceive, WithOnlyTheRawHandlerEveryPacketArrivesWhole) {
    const std::string other = std::string("\x00\x0B", 2) + "xyz";
    TStep data;
    data.Values = {{1, 35.0}};
    TStep odd;
    odd.Bytes = travo::Frame(other);
    Server.SetScript({data, odd});
    Client.OnRawPacket = &TRecorder::Raw;
    Register();
    TLoopThread loop(Client);
    ASSERT_TRUE(Server.WaitForScriptDone(0, 5000));
    std::vector<std::string> packets;
    for (int i = 0; i < 500 && packets.size() < 2; ++i) {
        Sleep(10);
        std::lock_guard<std::mutex> lock(TRecorder::Instance().Lock);
        packets = TRecorder::Instance().RawPackets;
    }
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], travo::CabValuesPayload({{1, 35.0}}));
    EXPECT_EQ(packets[1], other);
}

TEST_F(TravoReceive, WithoutHandlersTheLoopEndsTheRequestAndReturnsFailure) {
    Register();
    EXPECT_EQ(Client.ReceiveLoop(), TravoFailed);
    // The stand-in notes the end of the request once its reply is written, which may be after
    // the client has read that reply.
    EXPECT_TRUE(Server.WaitForEndRequest(0, 5000));
    EXPECT_EQ(Server.Client(0).Packets.size(), 3u);
}

TEST_F(TravoReceive, ARefusedEndOfRequestEndsTheLoopAtOnce) {
    Server.SetEndRequestResult(1);
    SetAllHandlers();
    Register();
    EXPECT_EQ(Client.ReceiveLoop(), TravoFailed);
}

TEST_F(TravoReceive, FreeingTheClientWaitsForItsRunningLoop) {
    Server.SetHoldInterval(5);
    TStep step;
    step.Values = {{1, 1.0}};
    Server.SetScript({step});
    auto* client = new TTravoTCP;
    client->OnSingle = &TRecorder::Single;
    ASSERT_EQ(client->Startup(), TravoOk);
    ASSERT_EQ(client->Connect("127.0.0.1", Server.Port()), TravoOk);
    ASSERT_EQ(client->SendHello("Wagenklang", 2), TravoOk);
    std::atomic<int> result{99};
    struct TRun {
        TTravoTCP* Client;
        std::atomic<int>* Result;
    } run{client, &result};
    const HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* r = static_cast<TRun*>(p);
            *r->Result = r->Client->ReceiveLoop();
            return 0;
        },
        &run, 0, nullptr);
    ASSERT_GE(WaitForValues(2).size(), 2u);
    delete client;
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(result, TravoReceiveFailed);
    CloseHandle(thread);
}

}  // namespace
