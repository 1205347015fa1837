// The sound rules, fed by the stand-in server over loopback: which channels each record leaves
// playing.

#include "WagenklangTestSupport.h"

using namespace wagenklang_test;

namespace {

class SoundRules : public WagenklangTest {
protected:
    void SetUp() override {
        WagenklangTest::SetUp();
        WriteTestSounds();
        CreateMain();
        Connect();
    }
};

using TPlayed = std::set<int>;

TEST_F(SoundRules, DepartureSignalOnceOnAFallBelow35) {
    EXPECT_EQ(Step({{IdSpeed, 40.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdSpeed, 34.9}}), TPlayed{chTB0});
    EXPECT_EQ(Step({{IdSpeed, 30.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdSpeed, 35.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdSpeed, 35.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdSpeed, 34.99}}), TPlayed{chTB0}) << "35.0 itself counts as not below";

    Main->rbAbfOhne->SetChecked(true);
    EXPECT_EQ(Step({{IdSpeed, 50.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdSpeed, 10.0}}), TPlayed{}) << "no departure procedure";
    Main->rbAbfSAT->SetChecked(true);
    EXPECT_EQ(Step({{IdSpeed, 50.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdSpeed, 10.0}}), TPlayed{});
}

TEST_F(SoundRules, TheDoorSwitchBlocksTheDepartureSignalUntilTheDoorsClose) {
    EXPECT_EQ(Step({{IdDoorSwitch, 1}}), TPlayed{}) << "with TB0 the door switch itself is silent";
    EXPECT_TRUE(TB0Blocked);
    EXPECT_EQ(Step({{IdSpeed, 40.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdSpeed, 20.0}}), TPlayed{}) << "blocked";

    EXPECT_EQ(Step({{IdDoorState, 4}}), (TPlayed{chTuerZu, chTB0}));
    EXPECT_FALSE(TB0Blocked);
    EXPECT_EQ(Step({{IdSpeed, 40.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdSpeed, 20.0}}), TPlayed{chTB0});

    // While the doors move (state 1 to 6) the door switch blocks nothing.
    EXPECT_EQ(Step({{IdDoorState, 1}}), TPlayed{chTuerAuf});
    EXPECT_EQ(Step({{IdDoorSwitch, 0}, {IdDoorSwitch, 1}}), TPlayed{});
    EXPECT_FALSE(TB0Blocked);
    EXPECT_EQ(Step({{IdDoorState, 6}, {IdDoorSwitch, 2}}), TPlayed{});
    EXPECT_FALSE(TB0Blocked);
    EXPECT_EQ(Step({{IdDoorState, 7}, {IdDoorSwitch, 1}}), TPlayed{});
    EXPECT_TRUE(TB0Blocked);
}

TEST_F(SoundRules, DoorClosingWithTB0PlaysTheSignalEvenWhenNotBlocked) {
    ASSERT_FALSE(TB0Blocked);
    EXPECT_EQ(Step({{IdDoorState, 4}}), (TPlayed{chTuerZu, chTB0}));
    EXPECT_EQ(Step({{IdDoorState, 4}}), TPlayed{}) << "the same state again";
    EXPECT_EQ(Step({{IdDoorState, 1}}), TPlayed{chTuerAuf});
    EXPECT_EQ(Step({{IdDoorState, 1}}), TPlayed{});

    Main->rbAbfOhne->SetChecked(true);
    EXPECT_EQ(Step({{IdDoorState, 4}}), TPlayed{chTuerZu});
}

TEST_F(SoundRules, TheSATDoorSwitchSoundsEveryChangeOnlyWithSAT) {
    EXPECT_EQ(Step({{IdDoorSwitch, 1}}), TPlayed{});
    EXPECT_EQ(Step({{IdDoorSwitch, 0}}), TPlayed{});
    Main->rbAbfOhne->SetChecked(true);
    EXPECT_EQ(Step({{IdDoorSwitch, 1}}), TPlayed{});
    EXPECT_EQ(Step({{IdDoorSwitch, 0}}), TPlayed{});
    Main->rbAbfSAT->SetChecked(true);
    EXPECT_EQ(Step({{IdDoorSwitch, 1}}), TPlayed{chTuerschalterSAT});
    EXPECT_EQ(Step({{IdDoorSwitch, 1}}), TPlayed{});
    EXPECT_EQ(Step({{IdDoorSwitch, 0}}), TPlayed{chTuerschalterSAT});
}

TEST_F(SoundRules, BrakeValveThroughItsPositions) {
    EXPECT_EQ(Step({{IdBrakeValve, 2}}), TPlayed{}) << "the start position";
    EXPECT_EQ(Step({{IdBrakeValve, 5}}), (TPlayed{chFbVRaste, chFbVAnlegen}));
    // Releasing cuts the applying sound short.
    EXPECT_EQ(Step({{IdBrakeValve, 4}}, false), (TPlayed{chFbVRaste, chFbVLoesen}));
    EXPECT_EQ(Step({{IdBrakeValve, 6}}, false), (TPlayed{chFbVRaste, chFbVAnlegen}));
    EXPECT_EQ(Step({{IdBrakeValve, 9}}), (TPlayed{chFbVRaste, chFbVSB}));
    EXPECT_EQ(Step({{IdBrakeValve, 1}}), (TPlayed{chFbVRaste, chFbVLoesen}));
    EXPECT_EQ(Step({{IdBrakeValve, 1}}), TPlayed{});
    EXPECT_EQ(Step({{IdBrakeValve, 2}}), TPlayed{chFbVRaste});
    EXPECT_EQ(Step({{IdBrakeValve, 3}}), (TPlayed{chFbVRaste, chFbVAnlegen}));
    EXPECT_EQ(Step({{IdBrakeValve, 9}}), (TPlayed{chFbVRaste, chFbVSB}));
    EXPECT_EQ(Step({{IdBrakeValve, 8}}), (TPlayed{chFbVRaste, chFbVLoesen}));
}

TEST_F(SoundRules, MasterControllerSteps) {
    EXPECT_EQ(Step({{IdMasterController, 3}}), TPlayed{chFahrschalterFahrenAuf}) << "0 then 3 plays only this";
    EXPECT_EQ(Step({{IdMasterController, 2}}), TPlayed{chFahrschalterAufFahren});
    EXPECT_EQ(Step({{IdMasterController, 1}}), TPlayed{chFahrschalterFahrenAb});
    EXPECT_EQ(Step({{IdMasterController, 0}}), TPlayed{chFahrschalterAb0});
    EXPECT_EQ(Step({{IdMasterController, 1}}), TPlayed{chFahrschalter0Ab});
    EXPECT_EQ(Step({{IdMasterController, 2}}), TPlayed{chFahrschalterAbFahren});
    EXPECT_EQ(Step({{IdMasterController, 3}}), TPlayed{chFahrschalterFahrenAuf});
    EXPECT_EQ(Step({{IdMasterController, 3}}), TPlayed{});
    EXPECT_EQ(Step({{IdMasterController, 1}}), TPlayed{chFahrschalterFahrenAb});
    EXPECT_EQ(Step({{IdMasterController, 0}}), TPlayed{chFahrschalterAb0});
}

TEST_F(SoundRules, SwitchValuesAreRoundedHalfToEvenAndKeptAsAByte) {
    EXPECT_EQ(Step({{IdMasterController, 2.5}}), TPlayed{chFahrschalterAbFahren});
    EXPECT_EQ(MasterController.Current.load(), 2);
    EXPECT_EQ(Step({{IdMasterController, 3.5}}), TPlayed{}) << "rounds to 4";
    EXPECT_EQ(MasterController.Current.load(), 4);
    EXPECT_EQ(Step({{IdMasterController, -1.0}}), TPlayed{});
    EXPECT_EQ(MasterController.Current.load(), 255);
    EXPECT_EQ(Step({{IdMasterController, 0.6}}), TPlayed{chFahrschalterFahrenAb}) << "1 from 255";
    EXPECT_EQ(Step({{IdMasterController, 256.0}}), TPlayed{chFahrschalterAb0}) << "the low 8 bits: 0";
}

TEST_F(SoundRules, DynamicBrakeSoundsEveryChange) {
    // The sentinel of Step is the dynamic brake itself: here each record is looked at alone.
    StopAllChannels();
    ASSERT_TRUE(Server.SendValues(FClient, {{IdDynamicBrake, 3}}));
    EXPECT_TRUE(ProcessUntil([] { return Channels[chDynBrRaste]->Playing(); }));
    EXPECT_EQ(PlayingChannels(), TPlayed{chDynBrRaste});
    StopAllChannels();
    ASSERT_TRUE(Server.SendValues(FClient, {{IdDynamicBrake, 3}}));
    ASSERT_TRUE(Server.SendValues(FClient, {{IdMasterController, 1}}));
    EXPECT_TRUE(ProcessUntil([] { return Channels[chFahrschalter0Ab]->Playing(); }));
    EXPECT_EQ(PlayingChannels(), TPlayed{chFahrschalter0Ab}) << "the same notch again";
}

TEST_F(SoundRules, AuxiliaryBrakePositions) {
    EXPECT_EQ(Step({{IdAuxiliaryBrake, 0}}), TPlayed{chZusBrAnlegen}) << "from the start value 2";
    EXPECT_EQ(Step({{IdAuxiliaryBrake, 2}}), TPlayed{chZusBrLoesen});
    EXPECT_EQ(Step({{IdAuxiliaryBrake, 1}}, false), TPlayed{chZusBrMitte}) << "2 then 1 stops the release";
    EXPECT_EQ(Step({{IdAuxiliaryBrake, 0}}), TPlayed{chZusBrAnlegen});
    EXPECT_EQ(Step({{IdAuxiliaryBrake, 1}}, false), TPlayed{chZusBrMitte}) << "0 then 1 stops the apply";
    EXPECT_EQ(Step({{IdAuxiliaryBrake, 2}}), TPlayed{chZusBrLoesen});
    EXPECT_EQ(Step({{IdAuxiliaryBrake, 2}}), TPlayed{});
}

TEST_F(SoundRules, DirectionSwitchAndToggleSwitches) {
    EXPECT_EQ(Step({{IdDirectionSwitch, 2}}), TPlayed{chRischaRichtung});
    EXPECT_EQ(Step({{IdDirectionSwitch, 2}}), TPlayed{}) << "repeated";
    EXPECT_EQ(Step({{IdDirectionSwitch, 1}}), TPlayed{chRischa0});
    EXPECT_EQ(Step({{IdDirectionSwitch, 0}}), TPlayed{chRischaRichtung});
    EXPECT_EQ(Step({{IdDirectionSwitch, 0}}), TPlayed{});
    EXPECT_EQ(Step({{IdDirectionSwitch, 2}}), TPlayed{chRischaRichtung}) << "0 to 2 directly";

    EXPECT_EQ(Step({{IdToggleSwitch1, 1}}), TPlayed{chKippschalterEinlegen});
    EXPECT_EQ(Step({{IdToggleSwitch1, 2}}), TPlayed{}) << "non-zero to non-zero";
    EXPECT_EQ(Step({{IdFanSwitch, 1}}), TPlayed{chKippschalterEinlegen}) << "each switch its own pair";
    EXPECT_EQ(Step({{IdToggleSwitch1, 0}}), TPlayed{chKippschalterAuslegen});
    EXPECT_EQ(Step({{IdFanSwitch, 0}}), TPlayed{chKippschalterAuslegen});
    EXPECT_EQ(Step({{IdFanSwitch, 0}}), TPlayed{});
}

TEST_F(SoundRules, WithNoDoorSoundsTheDoorStateStillUpdates) {
    Main->rbTuerKeine->SetChecked(true);
    EXPECT_EQ(Step({{IdDoorState, 1}}), TPlayed{});
    EXPECT_EQ(Step({{IdDoorState, 4}}), TPlayed{}) << "no door sounds, and so no departure signal either";
    Main->rbTuerDrehfaltBn->SetChecked(true);
    EXPECT_EQ(Step({{IdDoorState, 4}}), TPlayed{}) << "the doors were closed already";
    EXPECT_EQ(Step({{IdDoorState, 1}}), TPlayed{chTuerAuf});
}

TEST_F(SoundRules, ADoorTypeChosenWithTheSoundOffStaysSilent) {
    ClickWidget(Main->cbSound);
    ClickWidget(Main->rbTuerDrehfaltBy);
    EXPECT_EQ(Step({{IdDoorState, 4}}), (TPlayed{chTuerZu, chTB0}));
    EXPECT_EQ(Channels[chTuerZu]->Volume(), -10000);
    EXPECT_EQ(Channels[chTB0]->Volume(), -10000);
    EXPECT_EQ(ExtractFileName(Channels[chTuerZu]->FileName()), "Drehfalttuer_By_zu.wav");
}

TEST_F(SoundRules, IdsAndRecordsNotHandledChangeNothing) {
    EXPECT_EQ(Step({{IdTractiveForce, 40.0}, {IdNotch, 3.0}, {IdDateTime, 1.0}, {200, 1.0}}), TPlayed{});
    EXPECT_EQ(Step({{IdMasterController, 1}}), TPlayed{chFahrschalter0Ab});
}

}  // namespace
