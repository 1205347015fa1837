// Lokklang's rules, fed packets straight into the data handler of the real window, with the
// real mixer and channels; the timers are the real ones where their timing is the rule, and
// their handlers are called directly where only the step matters.

#include "LokklangTestSupport.h"

#include <chrono>
#include <cmath>
#include <limits>

using namespace lokklang_test;

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

constexpr long Slack = 3;

class Rules : public LokklangTest {
protected:
    void SetUp() override {
        LokklangTest::SetUp();
        WriteTestSounds();
        CreateMain();
        ASSERT_EQ(Boxes->Count(), 0u);
        // The control timer's ticks run inside ProcessUntil; tests that step the fan by hand
        // keep it still.
        Main->tiLueftersteuerung->SetEnabled(false);
    }
    bool Plays(TDSMixerChannel* channel) const { return channel->Playing(); }
};

TEST_F(Rules, TheFirstMainSwitchValueAfterStart) {
    // The start value is 1: a first 1.0 is no change and starts the converter at once.
    Packet({{IdMainSwitch, 1.0f}});
    EXPECT_EQ(PlayingSounds(), std::set<std::string>{"Umformer.wav"});
    EXPECT_FALSE(Main->tiUmformerEin->Enabled());
    EXPECT_EQ(Main->Label4->Caption(), "Hauptschalter: 1");
    StopAllSounds();

    Main->Free();
    CreateMain();
    Packet({{IdMainSwitch, 0.0f}});
    EXPECT_EQ(PlayingSounds(), std::set<std::string>{"HSaus.wav"});
    EXPECT_EQ(Main->Label4->Caption(), "Hauptschalter: 0");
}

TEST_F(Rules, TheConverterStarts4100msAfterTheMainSwitchWentOnAlsoWithARepeatInside) {
    Packet({{IdMainSwitch, 0.0f}});
    StopAllSounds();
    const Clock::time_point on = Clock::now();
    Packet({{IdMainSwitch, 1.0f}});
    EXPECT_EQ(PlayingSounds(), std::set<std::string>{"HSein.wav"});
    EXPECT_TRUE(Main->tiUmformerEin->Enabled());
    EXPECT_FALSE(Plays(Main->FSndUmformer));
    // A repeat inside the delay starts the loop at once; the delay's end restarts it. The delay's
    // tick is served only by the loops below, so the repeat is inside it however slow the machine.
    Packet({{IdMainSwitch, 1.0f}});
    EXPECT_TRUE(Plays(Main->FSndUmformer));
    Main->FSndUmformer->Stop();
    ASSERT_TRUE(ProcessUntil([&] { return Plays(Main->FSndUmformer); }));
    EXPECT_GE(MsSince(on), 4100 - Slack);
    EXPECT_FALSE(Main->tiUmformerEin->Enabled());
}

TEST_F(Rules, AnOffInsideTheConverterDelayDoesNotCancelIt) {
    Packet({{IdMainSwitch, 0.0f}});
    const Clock::time_point on = Clock::now();
    Packet({{IdMainSwitch, 1.0f}});
    // Inside the delay: its tick is served only by the loop below.
    Packet({{IdMainSwitch, 0.0f}});
    EXPECT_TRUE(Plays(Main->FSndHSaus));
    EXPECT_FALSE(Plays(Main->FSndHSein));
    EXPECT_FALSE(Plays(Main->FSndUmformer));
    ASSERT_TRUE(ProcessUntil([&] { return Plays(Main->FSndUmformer); }));
    EXPECT_GE(MsSince(on), 4100 - Slack);
    EXPECT_EQ(Main->FHauptschalter, 0);
}

// One control tick from the fan's resting state, after the packet.
TEST_F(Rules, TheFanStartRuleAtItsThresholds) {
    struct TCase {
        const char* Name;
        std::vector<std::pair<int, float>> Records;
        bool Starts;
    };
    const std::vector<TCase> cases = {
        {"speed 45.0", {{IdSpeed, 45.0f}}, true},
        {"speed 44.99", {{IdSpeed, 44.99f}}, false},
        {"notch 6", {{IdNotch, 6.0f}}, true},
        {"notch 5", {{IdNotch, 5.0f}}, false},
        {"notch 5.5 rounds to 6", {{IdNotch, 5.5f}}, true},
        {"tractive force -0.1", {{IdTractiveForce, -0.1f}}, true},
        {"tractive force 0.0", {{IdTractiveForce, 0.0f}}, false},
        {"fan switch 1", {{IdFanSwitch, 1.0f}}, true},
        {"fan switch 2", {{IdFanSwitch, 2.0f}}, false},
        {"speed 80 with the main switch off", {{IdMainSwitch, 0.0f}, {IdSpeed, 80.0f}}, false},
        {"speed 80 with main switch -1.0", {{IdMainSwitch, -1.0f}, {IdSpeed, 80.0f}}, false},
        {"a NaN speed", {{IdSpeed, std::numeric_limits<float>::quiet_NaN()}}, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Main->Free();
        CreateMain();
        Main->tiLueftersteuerung->SetEnabled(false);
        Packet(c.Records);
        Main->tiLueftersteuerungTimer(Main->tiLueftersteuerung);
        EXPECT_EQ(Main->FLuefterState, c.Starts ? lsAnfang : lsAus);
        EXPECT_EQ(Main->Label7->Caption(), c.Starts ? "lsAnfang" : "lsAus");
        EXPECT_EQ(Plays(Main->FSndFMLAnfang), c.Starts);
        EXPECT_EQ(Main->tiLuefterAnfang->Enabled(), c.Starts);
    }
}

TEST_F(Rules, TheFanStopRuleAndTheRunDownThatEndsWithItsSound) {
    struct TCase {
        const char* Name;
        std::vector<std::pair<int, float>> Records;
        bool Stops;
    };
    const std::vector<TCase> cases = {
        {"speed 44.99, fan switch 0, notch 5, force 0.0",
         {{IdSpeed, 44.99f}, {IdFanSwitch, 0.0f}, {IdNotch, 5.0f}, {IdTractiveForce, 0.0f}}, true},
        {"speed 45.0", {{IdSpeed, 45.0f}}, false},
        {"fan switch 2", {{IdFanSwitch, 2.0f}}, false},
        {"main switch off at speed 80", {{IdSpeed, 80.0f}, {IdMainSwitch, 0.0f}}, true},
        {"main switch -1.0 at speed 80", {{IdSpeed, 80.0f}, {IdMainSwitch, -1.0f}}, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Main->Free();
        CreateMain();
        Main->tiLueftersteuerung->SetEnabled(false);
        Main->ToggleLuefter();
        Main->tiLuefterAnfangTimer(Main->tiLuefterAnfang);
        ASSERT_EQ(Main->FLuefterState, lsLoop);
        EXPECT_TRUE(Plays(Main->FSndFMLLoop));
        EXPECT_FALSE(Plays(Main->FSndFMLAnfang));
        EXPECT_FALSE(Main->tiLuefterAnfang->Enabled());
        Packet(c.Records);
        Main->tiLueftersteuerungTimer(Main->tiLueftersteuerung);
        if (!c.Stops) {
            EXPECT_EQ(Main->FLuefterState, lsLoop);
            EXPECT_TRUE(Plays(Main->FSndFMLLoop));
            continue;
        }
        EXPECT_EQ(Main->FLuefterState, lsEnde);
        EXPECT_EQ(Main->Label7->Caption(), "lsEnde");
        EXPECT_TRUE(Plays(Main->FSndFMLEnde));
        EXPECT_FALSE(Plays(Main->FSndFMLLoop));
        // Ticks in the run-down change nothing; its sound's end does.
        Main->tiLueftersteuerungTimer(Main->tiLueftersteuerung);
        EXPECT_EQ(Main->FLuefterState, lsEnde);
        ASSERT_TRUE(ProcessUntil([] { return Main->FLuefterState == lsAus; }));
        EXPECT_FALSE(Plays(Main->FSndFMLEnde));
    }
}

TEST_F(Rules, Id66RunsTheFanUpWithTheMainSwitchOffAndTheNextTickRunsItDown) {
    Packet({{IdMainSwitch, 0.0f}});
    StopAllSounds();
    Main->tiLueftersteuerung->SetEnabled(true);
    const Clock::time_point toggled = Clock::now();
    Packet({{IdFanToggle, 0.0f}});
    EXPECT_EQ(Main->FLuefterState, lsAnfang);
    EXPECT_TRUE(Plays(Main->FSndFMLAnfang));
    // A second record in the run-up changes nothing.
    Packet({{IdFanToggle, 1.0f}});
    EXPECT_EQ(Main->FLuefterState, lsAnfang);
    ASSERT_TRUE(ProcessUntil([] { return Main->Label7->Caption() == "lsAnfang"; }));
    ASSERT_TRUE(ProcessUntil([] { return Main->FLuefterState != lsAnfang; }));
    EXPECT_GE(MsSince(toggled), 5250 - Slack);
    // The run-up's end and the next control tick, which stops the fan of a main switch that is off.
    ASSERT_TRUE(ProcessUntil([] { return Main->Label7->Caption() == "lsEnde"; }));
    // The run-down's sound ends about a buffer after its last sample.
    ASSERT_TRUE(ProcessUntil([] { return Main->Label7->Caption() == "lsAus"; }));
}

TEST_F(Rules, TheContactorOpeningSoundAndTheTearOffThatSuppressesItOnce) {
    const auto openingPlays = [this](bool tearOff) {
        StopAllSounds();
        Packet({{IdNotch, 3.0f}});
        EXPECT_EQ(Main->FTrennschuetz, 1);
        EXPECT_EQ(Main->Label6->Caption(), "Trennschütz: 1");
        EXPECT_TRUE(PlayingSounds().empty()) << "a closing contactor plays nothing";
        if (tearOff) {
            Packet({{IdContactorTearOff, 0.0f}});
            EXPECT_TRUE(Plays(Main->FSndMTSAbreissen));
        }
        Packet({{IdNotch, 0.0f}, {IdTractiveForce, 0.0f}});
        EXPECT_EQ(Main->FTrennschuetz, 0);
        EXPECT_EQ(Main->Label6->Caption(), "Trennschütz: 0");
        return Plays(Main->FSndMTS);
    };
    EXPECT_TRUE(openingPlays(false));
    EXPECT_FALSE(openingPlays(true));
    EXPECT_TRUE(openingPlays(false)) << "the tear-off suppresses one opening only";

    // A tear-off value while the main switch is off plays nothing.
    StopAllSounds();
    Packet({{IdMainSwitch, 0.0f}});
    StopAllSounds();
    Packet({{IdContactorTearOff, 0.0f}});
    EXPECT_FALSE(Plays(Main->FSndMTSAbreissen));
}

TEST_F(Rules, ValueConversionsAndPayloadEdges) {
    Packet({{IdMainSwitch, -1.0f}});
    EXPECT_EQ(Main->FHauptschalter, 255);
    EXPECT_EQ(Main->Label4->Caption(), "Hauptschalter: 255");
    Packet({{IdMainSwitch, std::numeric_limits<float>::quiet_NaN()}});
    EXPECT_EQ(Main->FHauptschalter, 0);

    struct TNotch {
        float Value;
        int Stored;
    };
    const std::vector<TNotch> notches = {{2.5f, 2},
                                         {3.5f, 4},
                                         {-1.0f, -1},
                                         {std::numeric_limits<float>::quiet_NaN(), 0},
                                         {std::numeric_limits<float>::infinity(), -1},
                                         {4294967296.0f, 0}};
    for (const TNotch& n : notches) {
        SCOPED_TRACE(n.Value);
        Packet({{IdNotch, n.Value}});
        EXPECT_EQ(Main->FFahrstufe, n.Stored);
        EXPECT_EQ(Main->Label3->Caption(), "Fahrstufe: " + std::to_string(n.Stored));
    }

    Main->Free();
    CreateMain();
    // Only the head: not even the contactor's label.
    Main->HandleDataPacket(Bytes({0, 0x0A}));
    EXPECT_EQ(Main->Label6->Caption(), "");
    // Not a data packet.
    Main->HandleDataPacket(Bytes({0, 0x0B, 1, 0, 0, 0x80, 0x3F}));
    EXPECT_EQ(Main->Label1->Caption(), "");
    EXPECT_EQ(Main->Label6->Caption(), "");
    // A tail of 3 bytes after the last record is dropped, and the contactor step still runs.
    Main->HandleDataPacket(ValuesPayload({{IdSpeed, 12.5f}}) + Bytes({IdSpeed, 0, 0}));
    EXPECT_EQ(Main->Label1->Caption(), "Geschwindigkeit: 12.50 km/h");
    EXPECT_EQ(Main->Label6->Caption(), "Trennschütz: 0");
    // Records of ids that Lokklang does not handle are skipped as 5 bytes, also those that are
    // longer for other programs.
    Packet({{200, 1.0f}, {IdDateTime, 1.0f}, {IdDoorState, 1.0f}, {IdByteArray, 1.0f}, {IdDoubleHigh, 1.0f},
            {IdParseStop, 1.0f}, {IdFanSwitch, 1.0f}});
    EXPECT_EQ(Main->Label5->Caption(), "Schalter Lüfter: 1");
}

TEST_F(Rules, LabelsUseTheRegionalDecimalSeparator) {
    for (char separator : {'.', ','}) {
        SCOPED_TRACE(separator);
        DecimalSeparator = separator;
        Packet({{IdSpeed, 80.0f}, {IdTractiveForce, -123.456f}});
        const std::string s(1, separator);
        EXPECT_EQ(Main->Label1->Caption(), "Geschwindigkeit: 80" + s + "00 km/h");
        EXPECT_EQ(Main->Label2->Caption(), "Zugkraft: -123" + s + "46 kN");
    }
}

TEST_F(Rules, TheSoundSwitchSilencesAllEightChannelsAndLoopsKeepRunning) {
    Packet({{IdMainSwitch, 1.0f}});
    ASSERT_TRUE(Plays(Main->FSndUmformer));
    for (const bool checked : {false, true}) {
        SCOPED_TRACE(checked);
        ClickWidget(Main->cbSound);
        ASSERT_EQ(Main->cbSound->Checked(), checked);
        for (const auto& [name, channel] : NamedChannels()) EXPECT_EQ(channel->Volume(), checked ? 0 : -10000) << name;
        EXPECT_TRUE(Plays(Main->FSndUmformer));
    }
}

// The run-down's end notice is bound before the files are loaded: a file missing further down
// the table leaves the fan able to run down, and the notice acts only in the run-down.
TEST_F(Rules, AMissingFileLeavesTheRunDownNoticeBoundAndNoStartValues) {
    Main->Free();
    fs::remove(FSounds / "MTS.wav");
    CreateMain();
    ExpectOneLoadErrorBox();
    if (HasFatalFailure()) return;
    EXPECT_EQ(Main->FHauptschalter, 0);
    EXPECT_FALSE(Main->tiLueftersteuerung->Enabled());

    Main->ToggleLuefter();
    Main->LuefterEndeFinished(Main->FSndFMLEnde);
    EXPECT_EQ(Main->FLuefterState, lsAnfang) << "an end notice outside the run-down";
    Main->tiLuefterAnfangTimer(Main->tiLuefterAnfang);
    Main->ToggleLuefter();
    ASSERT_EQ(Main->FLuefterState, lsEnde);
    ASSERT_TRUE(ProcessUntil([] { return Main->FLuefterState == lsAus; }));
}

// The destroy handler ends the client before it frees the channels; run twice, as the
// framework may, it finds nothing left to free.
TEST_F(Rules, TheDestroyHandlerUnbindsTheSocketAndForgetsTheChannels) {
    Connect();
    TMain* main = Main;
    main->FormDestroy(main);
    EXPECT_EQ(Main, nullptr);
    ExpectSocketUnbound(main);
    EXPECT_EQ(main->FSndFMLAnfang, nullptr);
    EXPECT_EQ(main->FSndUmformer, nullptr);
    EXPECT_EQ(main->Mixer, nullptr);
    Server.SendValues(FClient, {{IdMainSwitch, 0.0}});
    ProcessFor(200);
    Main = main;
}

TEST_F(Rules, WithoutASoundOutputTheDeviceIsToldOnceAndEveryValueAndTheFanStateShows) {
    Main->Free();
    ExpectNoSoundOutputToldOnce([this] { CreateMain(); }, [this] {
        Connect();
        Server.SendValues(FClient, {{IdSpeed, 42.5}, {IdMainSwitch, 1}, {IdNotch, 3}, {IdFanSwitch, 1}});
        const bool runUp = ProcessUntil([] {
            return Main->Label1->Caption() == "Geschwindigkeit: 42.50 km/h" &&
                   Main->Label4->Caption() == "Hauptschalter: 1" && Main->Label6->Caption() == "Trennschütz: 1" &&
                   Main->Label7->Caption() == "lsAnfang";
        }) && ProcessUntil([] { return Main->Label7->Caption() == "lsLoop"; });
        const Clock::time_point off = Clock::now();
        Server.SendValues(FClient, {{IdFanSwitch, 0}});
        EXPECT_TRUE(runUp && ProcessUntil([] { return Main->Label7->Caption() == "lsAus"; }));
        EXPECT_GE(MsSince(off), 400 - Slack) << "the run-down lasts as long as its sound";
        return runUp;
    });
}

}  // namespace
