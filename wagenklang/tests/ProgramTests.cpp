// The program as the user runs it: the sound set beside the program, the mixed output in a WAV
// file, a drive from the stand-in server after a click on "Verbinden". Each rule's sound must
// be found in the output, sample for sample.

#include "WagenklangTestSupport.h"

#include <cstdlib>

#include "SoundOutputMatch.h"

using namespace wagenklang_test;
using travo::TStep;

namespace {

class Program : public WagenklangTest {
protected:
    void SetUp() override {
        WagenklangTest::SetUp();
        FOutput = (FDir / "output.wav").string();
        setenv("DSOUND_OUTPUT", ("wav:" + FOutput).c_str(), 1);
    }
    void TearDown() override {
        WagenklangTest::TearDown();
        setenv("DSOUND_OUTPUT", "null", 1);
    }
    std::string FOutput;
};

TEST_F(Program, ADriveFromTheServerPlaysEachRulesSoundFromTheSoundsBesideTheProgram) {
    const std::string sounds = ExeDir() + "Sounds/";
    // One sound at a time, each over before the next begins.
    std::vector<TStep> drive(6);
    drive[0].AtMs = 0;
    drive[0].Values = {{1, 0}, {51, 0}, {52, 2}, {53, 0}, {54, 2}, {60, 0}, {64, 0}, {67, 0}, {78, 0}, {86, 0}};
    drive[1].AtMs = 300;
    drive[1].Values = {{IdMasterController, 1}};
    drive[2].AtMs = 1100;
    drive[2].Values = {{IdDirectionSwitch, 2}};
    drive[3].AtMs = 2000;
    drive[3].Values = {{IdDoorState, 1}};
    drive[4].AtMs = 5600;
    drive[4].Values = {{IdSpeed, 40.0}};
    drive[5].AtMs = 5800;
    drive[5].Values = {{IdSpeed, 30.0}};
    Server.SetScript(drive);
    CreateMain();
    EXPECT_EQ(Boxes->Count(), 0u) << "the sound set is complete";
    ClickWidget(Main->btnTCPConnection);
    ASSERT_TRUE(Connected);
    ASSERT_TRUE(Server.WaitForScriptDone(0, 20000));
    EXPECT_EQ(Server.Client(0).Bytes,
              Bytes({0x0F, 0, 0, 0, 0, 1, 2, 2, 10}) + "Wagenklang" +
                  Bytes({0x0E, 0, 0, 0, 0, 3, 0, 10, 1, 51, 52, 53, 54, 60, 64, 67, 78, 86}) +
                  Bytes({4, 0, 0, 0, 0, 3, 0, 0}));

    const std::vector<std::string> expected = {"Fahrschalter_0-Ab.wav", "Rischa_Richtung.wav",
                                               "Drehfalttuer_Bn_auf.wav", "TB0.wav"};
    std::vector<std::vector<std::int16_t>> samples;
    for (const std::string& name : expected) samples.push_back(FileSamples(sounds + name));
    // Until the last sound has been written whole.
    const std::size_t needed = 44100 * 6 + samples.back().size() / 2;
    ASSERT_TRUE(ProcessUntil([&] { return ReadDSoundWavFile(FOutput).Frames() > needed; }, 30000));
    ClickWidget(Main->btnTCPConnection);
    ASSERT_FALSE(Connected);

    const TDSoundWavFile wav = ReadDSoundWavFile(FOutput);
    ASSERT_TRUE(wav.Valid) << wav.Error;
    ASSERT_EQ(wav.Channels, 2);
    ASSERT_EQ(wav.Rate, 44100u);
    std::size_t from = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const long at = FindSound(wav, samples[i], from);
        ASSERT_GE(at, 0) << expected[i] << " is not in the output after frame " << from;
        from = static_cast<std::size_t>(at) + samples[i].size() / 2;
    }
    EXPECT_EQ(Boxes->Count(), 0u);
}

}  // namespace
