// The program as the user runs it: the sound set beside the program, the mixed output in a WAV
// file, a drive from the stand-in server after a click on "Verbinden". Each rule's sound must
// be found in the output, sample for sample.

#include "WagenklangTestSupport.h"

#include "SoundOutputMatch.h"

using namespace wagenklang_test;

namespace {

using Program = program_test::WavOutputTest<WagenklangTest>;

TEST_F(Program, ADriveFromTheServerPlaysEachRulesSoundFromTheSoundsBesideTheProgram) {
    const std::string sounds = ExeDir() + "Sounds/";
    // One sound at a time: each step goes out once the sound of the one before has ended and the
    // output has gone on past it.
    const std::vector<TSoundStep<std::vector<travo::TValue>>> drive = {
        {{{1, 0}, {51, 0}, {52, 2}, {53, 0}, {54, 2}, {60, 0}, {64, 0}, {67, 0}, {78, 0}, {86, 0}}, ""},
        {{{IdMasterController, 1}}, "Fahrschalter_0-Ab.wav"},
        {{{IdDirectionSwitch, 2}}, "Rischa_Richtung.wav"},
        {{{IdDoorState, 1}}, "Drehfalttuer_Bn_auf.wav"},
        {{{IdSpeed, 40.0}}, ""},
        {{{IdSpeed, 30.0}}, "TB0.wav"},
    };
    CreateMain();
    EXPECT_EQ(Boxes->Count(), 0u) << "the sound set is complete";
    ClickWidget(Main->btnTCPConnection);
    ASSERT_TRUE(Connected);
    // The server's data follows its answer to the end of the request, as the simulator's does.
    ASSERT_TRUE(Server.WaitForEndRequest(0, 20000));
    PlayDrive(
        drive,
        [](const std::string& sound) {
            if (sound == "Drehfalttuer_Bn_auf.wav") return Channels[chTuerAuf];
            for (int n = 1; n <= ChannelCount; ++n)
                if (ChannelFiles[n] && sound == ChannelFiles[n]) return Channels[n];
            return static_cast<TDSMixerChannel*>(nullptr);
        },
        [](const std::function<bool()>& done) { return ProcessUntil(done, 30000); });
    if (HasFatalFailure()) return;
    EXPECT_EQ(Server.Client(0).Bytes,
              Bytes({0x0F, 0, 0, 0, 0, 1, 2, 2, 10}) + "Wagenklang" +
                  Bytes({0x0E, 0, 0, 0, 0, 3, 0, 10, 1, 51, 52, 53, 54, 60, 64, 67, 78, 86}) +
                  Bytes({4, 0, 0, 0, 0, 3, 0, 0}));

    std::vector<std::string> expected;
    for (const auto& step : drive)
        if (!step.Sound.empty()) expected.push_back(step.Sound);
    std::vector<std::vector<std::int16_t>> samples;
    for (const std::string& name : expected) samples.push_back(FileSamples(sounds + name));
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
