// Triebklang on the shared window-side client, against the data-server stand-in over loopback:
// its greeting and request on the wire, and the client's refusal, reconnect and out-of-step
// cases once here too; the rules' state lives across connections.

#include "TriebklangTestSupport.h"

using namespace triebklang_test;
using travo::Frame;

namespace {

class Client : public TriebklangTest {
protected:
    void SetUp() override {
        TriebklangTest::SetUp();
        WriteTestSounds();
        CreateMain();
        ASSERT_EQ(Boxes->Count(), 0u);
    }
    // The stand-in sends a magnetic brake record (behind the bytes given); true once its
    // channel plays.
    bool BrakesArrive(float value, const std::string& before = std::string()) {
        StopAllSounds();
        TDSMixerChannel* channel = value == 1.0f ? Main->SndMGsRunter : Main->SndMGsRauf;
        if (!Server.Send(FClient, before + Frame(ValuesPayload({{IdMagneticBrake, value}})))) return false;
        return ProcessUntil([channel] { return channel->Playing(); });
    }
    bool ConnectionEnds() {
        return ProcessUntil(
            [this] { return Server.Client(FClient).Closed && Main->btnConnect->Caption() == "Verbinden"; });
    }
};

TEST_F(Client, GreetsRequestsAndEndsTheRequestWithExactlyTheseBytes) {
    EXPECT_EQ(Main->btnConnect->Caption(), "Verbinden");
    Connect();
    ASSERT_TRUE(BrakesArrive(1.0f));
    ProcessFor(100);
    const travo::TClientRecord record = Server.Client(FClient);
    EXPECT_EQ(record.Bytes, Greeting + Request + EndOfRequest);
    EXPECT_EQ(record.Packets.size(), 3u);
    EXPECT_EQ(record.Name, "Triebklang");
    EXPECT_EQ(record.ProgramByte, 1);
    EXPECT_EQ(record.Kind, 2);
    EXPECT_EQ(record.RequestedIds,
              (std::vector<std::uint8_t>{64, 67, 52, 57, 60, 62, 66, 68, 78, 41, 47, 17}));
    EXPECT_EQ(Boxes->Count(), 0u);
    Main->btnConnect->Click();
    EXPECT_EQ(Main->btnConnect->Caption(), "Verbinden");
    EXPECT_TRUE(Server.WaitForClientClosed(FClient, 10000));
    // The always-in-front switch, inside the group box here, is bound as well.
    ClickWidget(Main->cbOnTop);
    EXPECT_TRUE(Main->Topmost());
    ClickWidget(Main->cbOnTop);
    EXPECT_FALSE(Main->Topmost());
}

TEST_F(Client, AGreetingRefusalClosesTheConnectionAndShowsItsBox) {
    Server.SetHelloResult(2);
    Main->btnConnect->Click();
    ASSERT_TRUE(Server.WaitForClients(1, 10000));
    FClient = 0;
    ASSERT_TRUE(ProcessUntil([this] { return Boxes->Count() > 0; }));
    EXPECT_TRUE(ConnectionEnds());
    const TMessageBoxRecord box = Boxes->Records()[0];
    EXPECT_EQ(box.Caption, "Travo ist bereits verbunden");
    EXPECT_EQ(box.Icon(), static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(box.Owner, Main->Handle());
    EXPECT_EQ(Server.Client(0).Bytes, Greeting);
    ProcessFor(200);
    EXPECT_EQ(Server.ClientCount(), 1u);
}

// The values of one connection are the start of the next: nothing is reset when it ends, also
// not the doors-open latch; a packet cut off at the end of one does not misframe the next.
TEST_F(Client, AReconnectKeepsTheRulesStateAndStartsWithAnEmptyBuffer) {
    Connect();
    ASSERT_TRUE(Server.SendValues(FClient, {{IdBrakeValve, 3.0}, {IdDoorRelease, 2.0}, {IdDoorSwitch, 3.0}}));
    ASSERT_TRUE(ProcessUntil([] { return Main->TuerenAufGespielt == 1; }));
    ASSERT_TRUE(Server.Send(FClient, Frame(ValuesPayload({{IdMagneticBrake, 1.0f}})).substr(0, 7)));
    ProcessFor(100);
    Server.CloseClient(FClient);
    ASSERT_TRUE(ProcessUntil([] { return Main->btnConnect->Caption() == "Verbinden"; }));
    StopAllSounds();

    Connect();
    EXPECT_EQ(Server.Client(FClient).Bytes, Greeting + Request + EndOfRequest);
    ASSERT_TRUE(Server.SendValues(FClient, {{IdBrakeValve, 9.0}, {IdDoorRelease, 2.0}}));
    ASSERT_TRUE(ProcessUntil([] { return Main->SndRauschenSchnellbr->Playing(); })) << "the position before is kept";
    EXPECT_FALSE(Main->SndTuerenAuf->Playing()) << "the latch is kept";
    EXPECT_FALSE(Main->SndMGsRunter->Playing()) << "the cut packet's bytes were kept";
    EXPECT_TRUE(BrakesArrive(0.0f));
}

TEST_F(Client, AStreamOutOfStepEndsTheConnectionAndTheNextClickConnects) {
    Connect();
    ASSERT_TRUE(Server.Send(FClient, Bytes({0xFF, 0xFF, 0xFF, 0x7F, 0, 0x0A})));
    EXPECT_TRUE(ConnectionEnds());
    EXPECT_EQ(Boxes->Count(), 0u);
    Connect();
    EXPECT_TRUE(BrakesArrive(1.0f));
}

// Triebklang keeps the low 16 bits of a port typed too large.
TEST_F(Client, APortAbove65535ConnectsToItsLow16Bits) {
    Main->cbPort->SetText(std::to_string(Server.Port() + 65536 * 3));
    Connect();
    EXPECT_TRUE(BrakesArrive(1.0f));
    EXPECT_EQ(Boxes->Count(), 0u);
}

// A rule whose channel has no file stays silent inside the socket's event: the rest of the
// packet is handled, and the connection stays up.
TEST_F(Client, ARuleWithoutItsSoundLosesNothingElseOfItsPacket) {
    Main->Free();
    fs::remove(FSounds / "610_MGs-rauf.wav");
    CreateMain();
    ASSERT_EQ(Boxes->Count(), 1u);
    Connect();
    StopAllSounds();
    ASSERT_TRUE(Server.Send(FClient, Frame(ValuesPayload({{IdMagneticBrake, 0.0f}, {IdBrakeValve, 4.0f},
                                                          {IdDirectionSwitch, 1.0f}}))));
    ASSERT_TRUE(ProcessUntil([] { return Main->SndRischa0->Playing(); }));
    EXPECT_EQ(Main->Bremsstellung, 4);
    EXPECT_FALSE(Main->SndMGsRauf->Playing());
    EXPECT_EQ(Main->btnConnect->Caption(), "Trennen");
    EXPECT_EQ(Boxes->Count(), 1u);
}

}  // namespace
