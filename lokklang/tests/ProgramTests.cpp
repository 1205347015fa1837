// The program as the user runs it: the sound set beside the program, the mixed output in a WAV
// file, a drive from the stand-in server after a click on "Verbinden". Each rule's sound must
// be found in the output, sample for sample, in the order of the drive.

#include "LokklangTestSupport.h"


#include "DriveFile.h"

#include "SoundOutputMatch.h"

using namespace lokklang_test;
using travo::TStep;

namespace {

using Program = program_test::WavOutputTest<LokklangTest>;

TEST_F(Program, ADriveFromTheServerPlaysEachRulesSoundFromTheSoundsBesideTheProgram) {
    const std::string sounds = ExeDir() + "Sounds/";
    // One sound at a time: each step goes out once the sound of the one before has ended and the
    // output has gone on past it.
    const std::vector<TSoundStep<std::vector<travo::TValue>>> drive = {
        {{{IdNotch, 3}}, ""},                              // the contactor closes: silent
        {{{IdNotch, 0}, {IdTractiveForce, 0}}, "MTS.wav"},  // and opens
        {{{IdNotch, 3}}, ""},
        {{{IdContactorTearOff, 0}}, "MTS_abreissen.wav"},   // torn off
        {{{IdNotch, 0}}, ""},                              // its opening sound left out
        {{{IdMainSwitch, 0}}, "HSaus.wav"},
        {{{IdMainSwitch, 1}}, "HSein.wav"},                // the converter 4100 ms later
    };
    CreateMain();
    EXPECT_EQ(Boxes->Count(), 0u) << "the sound set is complete";
    ClickWidget(Main->btnConnect);
    ASSERT_TRUE(ProcessUntil([this] { return Server.ClientCount() == 1 && Server.Client(0).EndRequested; }, 20000));
    PlayDrive(
        drive,
        [](const std::string& sound) {
            for (const auto& [name, channel] : NamedChannels())
                if (name == sound) return channel;
            return static_cast<TDSMixerChannel*>(nullptr);
        },
        [](const std::function<bool()>& done) { return ProcessUntil(done, 30000); });
    if (HasFatalFailure()) return;
    EXPECT_EQ(Server.Client(0).Bytes, Bytes({0x0D, 0, 0, 0, 0, 1, 1, 2, 8}) + "Lokklang" +
                                          Bytes({0x0A, 0, 0, 0, 0, 3, 0, 0x0A, 1, 5, 0x10, 0x3E, 0x3F, 0x4E}) +
                                          Bytes({4, 0, 0, 0, 0, 3, 0, 0}));

    const std::vector<std::string> expected = {"MTS.wav", "MTS_abreissen.wav", "HSaus.wav", "HSein.wav", "Umformer.wav"};
    std::vector<std::vector<std::int16_t>> samples;
    for (const std::string& name : expected) samples.push_back(FileSamples(sounds + name));
    // Until the converter's first round has been written whole.
    ASSERT_TRUE(ProcessUntil([] { return Main->FSndUmformer->Playing(); }, 30000));
    const std::size_t needed = ReadDSoundWavFile(FOutput).Frames() + samples.back().size() / 2 + 44100;
    ASSERT_TRUE(ProcessUntil([&] { return ReadDSoundWavFile(FOutput).Frames() > needed; }, 30000));
    ClickWidget(Main->btnConnect);
    EXPECT_EQ(Main->btnConnect->Caption(), "Verbinden");

    const TDSoundWavFile wav = ReadDSoundWavFile(FOutput);
    ASSERT_TRUE(wav.Valid) << wav.Error;
    ASSERT_EQ(wav.Channels, 2);
    ASSERT_EQ(wav.Rate, 44100u);
    std::size_t from = 0;
    std::vector<long> starts;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const long at = FindSound(wav, samples[i], from);
        ASSERT_GE(at, 0) << expected[i] << " is not in the output after frame " << from;
        starts.push_back(at);
        from = static_cast<std::size_t>(at) + samples[i].size() / 2;
    }
    // The converter starts 4100 ms after the main switch sound.
    EXPECT_GE(starts[4] - starts[3], 44100L * 4000 / 1000);
    // The contactor's opening sound was left out once after the tear-off.
    EXPECT_LT(FindSound(wav, samples[0], static_cast<std::size_t>(starts[1])), 0);
    EXPECT_EQ(Boxes->Count(), 0u);
}

// The demo drive reads, lasts about a minute and reaches every rule's id, the unrequested fan
// toggle included (the demo server sends every id of the drive).
TEST(DemoDrive, ReadsAndReachesEveryRule) {
    std::vector<TStep> steps;
    program_test::ReadDemoDrive(LOKKLANG_DEMO_DRIVE, steps);
    if (HasFatalFailure()) return;
    std::set<int> ids;
    for (const TStep& step : steps)
        for (const travo::TValue& value : step.Values) ids.insert(value.Id);
    for (const int id : {IdSpeed, IdTractiveForce, IdNotch, IdMainSwitch, IdContactorTearOff, IdFanToggle, IdFanSwitch})
        EXPECT_TRUE(ids.count(id)) << id;
}

}  // namespace
