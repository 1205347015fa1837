// Triebklang's rules, fed packets straight into the data handler of the real window, with the
// real mixer and channels. Every sound is stopped before a packet, so each restart is seen as
// a channel that plays afterwards.

#include "TriebklangTestSupport.h"

#include <cstring>

using namespace triebklang_test;

namespace {

using Sounds = std::set<std::string>;
using Records = std::vector<std::pair<int, float>>;

// A double whose bytes 5 to 8 are those of a record of id 41 with the single 1.0 but for its
// last byte, which the record after it gives.
double HidingDateTime() {
    const unsigned char bytes[8] = {0, 0, 0, 0, IdMagneticBrake, 0, 0, 0x80};
    double value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

class Rules : public TriebklangTest {
protected:
    void SetUp() override {
        TriebklangTest::SetUp();
        WriteTestSounds();
        CreateMain();
        ASSERT_EQ(Boxes->Count(), 0u);
    }
    // Each packet in turn, from a fresh window (every state 0), with the sounds it leaves playing.
    void ExpectSequence(const std::vector<std::pair<Records, Sounds>>& sequence) {
        Main->Free();
        CreateMain();
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(Packet(sequence[i].first), sequence[i].second);
        }
    }
};

TEST_F(Rules, TheBrakeValveSoundsFollowThePositionBefore) {
    struct TCase {
        const char* Name;
        std::vector<float> Positions;
        std::vector<Sounds> Played;
    };
    const std::vector<TCase> cases = {
        {"after start: nothing, rapid brake, release, into the start position, release",
         {3.0f, 9.0f, 3.0f, 2.0f, 1.0f},
         {{}, {"Rauschen-Schnellbr"}, {"Rauschen-Loesen"}, {}, {"Rauschen-Loesen"}}},
        {"leaving the start position upwards", {2.0f, 4.0f}, {{}, {"Rauschen-Anlegen"}}},
        {"up to 9 from the start position", {2.0f, 9.0f, 9.0f}, {{}, {"Rauschen-Schnellbr"}, {}}},
        {"rounded, halves to even", {2.0f, 3.5f, 4.49f, 2.5f}, {{}, {"Rauschen-Anlegen"}, {}, {}}},
        {"-1.0 keeps the low 8 bits: 255", {3.0f, -1.0f}, {{}, {"Rauschen-Anlegen"}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::pair<Records, Sounds>> sequence;
        for (std::size_t i = 0; i < c.Positions.size(); ++i)
            sequence.push_back({{{IdBrakeValve, c.Positions[i]}}, c.Played[i]});
        ExpectSequence(sequence);
        EXPECT_EQ(Main->Bremsstellung, RoundToByte(c.Positions.back()));
        EXPECT_EQ(Main->BremsstellungAlt, Main->Bremsstellung);
    }
}

TEST_F(Rules, SwitchesSoundOnlyOnTheirExactValuesAndOnEveryRecord) {
    struct TCase {
        int Id;
        float Value;
        Sounds Played;
    };
    std::vector<TCase> cases = {
        {IdDirectionSwitch, 1.5f, {}},          {IdDirectionSwitch, 2.0f, {"Rischa-VR"}},
        {IdDirectionSwitch, 0.0f, {"Rischa-VR"}}, {IdDirectionSwitch, 1.0f, {"Rischa-0"}},
        {IdDirectionSwitch, -0.0f, {"Rischa-VR"}}, {IdMagneticBrake, 0.0f, {"MGs-rauf"}},
        {IdMagneticBrake, 1.0f, {"MGs-runter"}}, {IdMagneticBrake, 0.5f, {}},
        {IdMagneticBrake, 2.0f, {}},            {IdDoorSwitch, 1.0f, {"Tuerwahlschalter"}},
        {IdDoorSwitch, 2.5f, {"Tuerwahlschalter"}},
    };
    for (const int toggle : {IdToggleSwitch3, IdToggleSwitch1, IdMainSwitch, IdFanToggle, IdToggleSwitch4, IdFanSwitch})
        for (const TCase& c : std::vector<TCase>{{toggle, 0.0f, {"Kippschalter-auslegen"}},
                                                 {toggle, 1.0f, {"Kippschalter-einlegen"}},
                                                 {toggle, 0.5f, {}},
                                                 {toggle, 2.0f, {}},
                                                 {toggle, 0.999f, {}}})
            cases.push_back(c);
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.Id) + " = " + std::to_string(c.Value));
        // No change detection: the same record again plays again.
        for (int repeat = 0; repeat < 2; ++repeat) EXPECT_EQ(Packet({{c.Id, c.Value}}), c.Played);
    }
    EXPECT_EQ(Main->TuerwahlStellung, 2) << "rounded, halves to even";
    // Ids without a rule, and the door value, play nothing.
    EXPECT_EQ(Packet({{IdSpeed, 1.0f}, {IdNotch, 0.0f}, {IdDoorRelease, 1.0f}, {145, 1.0f}}), Sounds{});
}

TEST_F(Rules, TheDoorsOpenOnceWhileSelectorAndDoorValueShareABit) {
    // Bitwise: selector 1 and door value 2 have no bit in common.
    ExpectSequence({{{{IdDoorRelease, 2.0f}, {IdDoorSwitch, 1.0f}}, {"Tuerwahlschalter"}},
                    {{{IdDoorRelease, 2.0f}}, {}}});
    EXPECT_EQ(Main->TuerenAufGespielt, 0);
    ExpectSequence({
        {{{IdDoorRelease, 2.0f}, {IdDoorSwitch, 3.0f}}, {"Tuerwahlschalter", "Tueren-auf"}},
        {{{IdDoorRelease, 2.0f}}, {}},
        {{}, {}},
        {{{IdDoorRelease, 0.0f}}, {}},  // the latch lets go
        {{{IdDoorRelease, 2.0f}}, {"Tueren-auf"}},
        {{{IdDoorSwitch, 0.0f}}, {"Tuerwahlschalter"}},
        {{{IdDoorSwitch, 2.0f}}, {"Tuerwahlschalter", "Tueren-auf"}},
    });
    EXPECT_EQ(Main->TuerenAufGespielt, 1);
}

TEST_F(Rules, AParseStopEndsThePacketBeforeTheDoorsOpenStep) {
    // Both door values are stored, the records behind the stop are not read.
    EXPECT_EQ(Packet({{IdDoorRelease, 2.0f}, {IdDoorSwitch, 3.0f}, {IdParseStop, 0.0f}, {IdBrakeValve, 4.0f},
                      {IdMagneticBrake, 1.0f}}),
              Sounds{"Tuerwahlschalter"});
    EXPECT_EQ(Main->TuerStatus, 2);
    EXPECT_EQ(Main->TuerwahlStellung, 3);
    EXPECT_EQ(Main->Bremsstellung, 0);
    EXPECT_EQ(Main->TuerenAufGespielt, 0);
    // The next packet without a stop opens the doors, an empty one too.
    EXPECT_EQ(Packet({}), Sounds{"Tueren-auf"});

    ExpectSequence({{{{IdDirectionSwitch, 1.0f}, {IdParseStop, 1.0f}, {IdBrakeValve, 3.0f}}, {"Rischa-0"}}});
    EXPECT_EQ(Main->Bremsstellung, 0);
}

TEST_F(Rules, RecordsOfOtherSizesAreSkippedAndCutRecordsDropped) {
    const std::string head = Bytes({0, 0x0A});
    const std::string record41 = ValuesPayload({{IdMagneticBrake, 1.0f}}).substr(2);
    const std::string record64 = ValuesPayload({{IdDirectionSwitch, 1.0f}}).substr(2);
    std::string skipped;
    for (const int id : {146, 200, 255}) skipped += ValuesPayload({{id, 1.0f}}).substr(2);
    struct TCase {
        const char* Name;
        std::string Payload;
        Sounds Played;
    };
    const std::vector<TCase> cases = {
        {"a date and time in the middle is 9 bytes", head + record64 + DateTimeRecord(46000.5) + record41,
         {"Rischa-0", "MGs-runter"}},
        // Read as 5 bytes, this one would hide a record of id 41 = 1.0 in its last bytes.
        {"a date and time hides no record", head + DateTimeRecord(HidingDateTime()) + Bytes({0x3F}), {}},
        {"146 to 255 are 5 bytes without effect", head + skipped + record41, {"MGs-runter"}},
        {"a 4-byte tail is dropped", head + record41 + record64.substr(0, 4), {"MGs-runter"}},
        {"a date and time cut short is dropped", head + record41 + DateTimeRecord(1.0).substr(0, 8), {"MGs-runter"}},
        {"a packet of another group is not read", Bytes({0, 0x0B}) + record41, {}},
        {"nor one that does not start with 0", Bytes({1, 0x0A}) + record41, {}},
        {"only the head", head, {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(RawPacket(c.Payload), c.Played);
    }
    // A cut record still ends in the doors-open step: the packet before stops ahead of its own.
    for (const std::string& tail : {DateTimeRecord(1.0).substr(0, 6), DateTimeRecord(1.0).substr(0, 3), record64.substr(0, 4)}) {
        SCOPED_TRACE(tail.size());
        ExpectSequence({{{{IdDoorRelease, 1.0f}, {IdDoorSwitch, 1.0f}, {IdParseStop, 0.0f}}, {"Tuerwahlschalter"}}});
        EXPECT_EQ(RawPacket(head + tail), Sounds{"Tueren-auf"});
    }
}

// A file that cannot be loaded is reported; the window opens, the channels exist, the failing
// one and those after it have no file. A rule that needs one of them stays silent, and the
// records behind it and the doors-open step are still applied.
TEST_F(Rules, AMissingSoundFileIsReportedAndItsRulesStaySilent) {
    Main->Free();
    fs::remove(FSounds / "610_Rischa-VR.wav");
    CreateMain();
    ExpectOneLoadErrorBox();
    if (HasFatalFailure()) return;
    ASSERT_NE(Main->Mixer, nullptr);
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots) {
        SCOPED_TRACE(slot.FileName);
        ASSERT_NE(Main->*slot.Channel, nullptr);
        const bool loaded = &slot < &TMain::ChannelSlots[4];
        EXPECT_EQ((Main->*slot.Channel)->FileName().empty(), !loaded);
    }
    EXPECT_EQ(Packet({{IdBrakeValve, 3.0f}}), Sounds{});
    EXPECT_EQ(Packet({{IdBrakeValve, 9.0f}}), Sounds{"Rauschen-Schnellbr"});
    EXPECT_EQ(Packet({{IdDirectionSwitch, 1.0f}}), Sounds{"Rischa-0"});
    EXPECT_EQ(Packet({{IdDirectionSwitch, 2.0f}, {IdBrakeValve, 3.0f}, {IdDoorSwitch, 1.0f}, {IdDoorRelease, 1.0f}}),
              Sounds{"Rauschen-Loesen"});
    EXPECT_EQ(Main->Bremsstellung, 3) << "the record behind the silent one is applied";
    EXPECT_EQ(Main->TuerwahlStellung, 1);
    EXPECT_EQ(Main->TuerenAufGespielt, 1) << "the doors-open step ran";
    EXPECT_EQ(Boxes->Count(), 1u);
}

// The destroy handler ends the client before it frees the channels; run twice, as the
// framework may, it finds nothing left to free.
TEST_F(Rules, TheDestroyHandlerUnbindsTheSocketAndForgetsTheChannels) {
    Connect();
    TMain* main = Main;
    main->FormDestroy(main);
    EXPECT_EQ(Main, nullptr);
    ExpectSocketUnbound(main);
    EXPECT_FALSE(main->CliSocketBuffer->OnReceived);
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots) EXPECT_EQ(main->*slot.Channel, nullptr);
    EXPECT_EQ(main->Mixer, nullptr);
    Server.SendValues(FClient, {{IdMagneticBrake, 1.0}});
    ProcessFor(200);
    Main = main;
}

TEST_F(Rules, WithoutASoundOutputTheDeviceIsToldOnceAndEveryValueIsTaken) {
    Main->Free();
    ExpectNoSoundOutputToldOnce([this] { CreateMain(); }, [this] {
        EXPECT_FALSE(Main->SndTuerenAuf->FileName().empty()) << "the window starts as with a device";
        Connect();
        Server.SendValues(FClient, {{IdDoorSwitch, 3}, {IdBrakeValve, 5}, {IdDoorRelease, 2}});
        return ProcessUntil([] { return Main->Bremsstellung == 5 && Main->TuerenAufGespielt == 1; });
    });
}

}  // namespace
