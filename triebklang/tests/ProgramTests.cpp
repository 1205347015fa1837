// The program as the user runs it: the sound set beside the program, the mixed output in a WAV
// file, a drive from the stand-in server after a click on "Verbinden". Each rule's sound must
// be found in the output in the order of the drive, and the channels must have started in that
// order. Half of the set plays at its own rate and is resampled in the mix, so the sounds are
// found by their loudness over time, not sample for sample.

#include "TriebklangTestSupport.h"

#include <cmath>

#include "AudioFileRead.h"
#include "DSoundTesting.h"
#include "DriveFile.h"
#include "SoundOutputMatch.h"

using namespace triebklang_test;
using travo::TStep;

namespace {

constexpr std::size_t OutputRate = 44100;
constexpr std::size_t BlockMs = 10;
constexpr std::size_t OutputBlock = OutputRate * BlockMs / 1000;
// Below this a sample counts as silence.
constexpr int Quiet = 64;

// The loudness of a sound over time, from its first sample that is not silent: the root mean
// square of every 10 ms, all channels together.
struct TEnvelope {
    std::vector<double> Blocks;
};

TEnvelope FileEnvelope(const std::string& path) {
    TAudioFileReader reader(path);
    const WORD channels = reader.Format().nChannels;
    const std::size_t block = reader.Format().nSamplesPerSec * BlockMs / 1000 * channels;
    EXPECT_EQ(reader.Format().wBitsPerSample, 16);
    std::vector<std::int16_t> samples;
    std::int16_t piece[4096];
    while (const std::int32_t n = reader.Read(piece, sizeof piece)) samples.insert(samples.end(), piece, piece + n / 2);
    std::size_t first = 0;
    while (first < samples.size() && std::abs(samples[first]) <= Quiet) ++first;
    first -= first % channels;
    TEnvelope envelope;
    for (std::size_t at = first; at + block <= samples.size(); at += block) {
        double sum = 0;
        for (std::size_t i = at; i < at + block; ++i) sum += double(samples[i]) * samples[i];
        envelope.Blocks.push_back(std::sqrt(sum / double(block)));
    }
    return envelope;
}

double OutputBlockRms(const TDSoundWavFile& wav, std::size_t frame) {
    double sum = 0;
    for (std::size_t f = frame; f < frame + OutputBlock; ++f)
        for (int c = 0; c < 2; ++c) sum += double(wav.Sample16(f, c)) * wav.Sample16(f, c);
    return std::sqrt(sum / double(OutputBlock * 2));
}

// How far the output from frame on differs from the sound at its own loudness: the least
// squares gain between them must be near 1, and what is left after it small.
double EnvelopeMismatch(const TDSoundWavFile& wav, const TEnvelope& sound, std::size_t frame) {
    double cross = 0, own = 0;
    std::vector<double> out;
    for (std::size_t i = 0; i < sound.Blocks.size(); ++i) {
        out.push_back(OutputBlockRms(wav, frame + i * OutputBlock));
        cross += out.back() * sound.Blocks[i];
        own += sound.Blocks[i] * sound.Blocks[i];
    }
    const double gain = own > 0 ? cross / own : 0;
    if (gain < 0.6 || gain > 1.4) return 1.0;
    double rest = 0, total = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        rest += std::abs(out[i] - gain * sound.Blocks[i]);
        total += gain * sound.Blocks[i];
    }
    return total > 0 ? rest / total : 1.0;
}

// The output frame at which the sound begins, or -1: the first start of sound after from,
// where the loudness follows the sound's. A few frames either way allow for the resampling.
long FindSound(const TDSoundWavFile& wav, const TEnvelope& sound, std::size_t from) {
    const std::size_t frames = sound.Blocks.size() * OutputBlock;
    for (std::size_t f = from; f + frames + OutputBlock < wav.Frames(); ++f) {
        if (std::abs(wav.Sample16(f, 0)) <= Quiet && std::abs(wav.Sample16(f, 1)) <= Quiet) continue;
        double best = 1.0;
        for (std::size_t shift = 0; shift < 8; ++shift) best = std::min(best, EnvelopeMismatch(wav, sound, f + shift));
        if (best < 0.15) return static_cast<long>(f);
        // Past this start of sound: look for the next one after its silence.
        while (f + 2 * OutputBlock < wav.Frames() && OutputBlockRms(wav, f) > Quiet) f += OutputBlock;
    }
    return -1;
}

TDSMixerChannel* SoundChannel(const std::string& sound) {
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots)
        if (ShortName(slot.FileName) == sound) return Main->*slot.Channel;
    return nullptr;
}

using Program = program_test::WavOutputTest<TriebklangTest>;

TEST_F(Program, ADriveFromTheServerPlaysEachRulesSoundFromTheSoundsBesideTheProgram) {
    const std::string sounds = ExeDir() + "Sounds/";
    // One sound at a time: each step goes out once the sound of the one before has ended and the
    // output has gone on past it.
    const std::vector<TSoundStep<std::vector<travo::TValue>>> drive = {
        {{{IdBrakeValve, 2}}, ""},                        // into the start position: silent
        {{{IdBrakeValve, 4}}, "Rauschen-Anlegen"},
        {{{IdBrakeValve, 9}}, "Rauschen-Schnellbr"},
        {{{IdBrakeValve, 1}}, "Rauschen-Loesen"},
        {{{IdDirectionSwitch, 1}}, "Rischa-0"},
        {{{IdDirectionSwitch, 2}}, "Rischa-VR"},
        {{{IdMagneticBrake, 1}}, "MGs-runter"},
        {{{IdMagneticBrake, 0}}, "MGs-rauf"},
        {{{IdDoorSwitch, 3}}, "Tuerwahlschalter"},
        {{{IdToggleSwitch3, 1}}, "Kippschalter-einlegen"},
        {{{IdFanSwitch, 0}}, "Kippschalter-auslegen"},
        {{{IdDoorRelease, 2}}, "Tueren-auf"},
        {{{IdDoorRelease, 2}, {IdDirectionSwitch, 1.5}}, ""},  // silent: the latch holds
        // Once its sound has ended, the step before has been handled too.
        {{{IdToggleSwitch3, 1}}, "Kippschalter-einlegen"},
    };
    std::vector<std::string> expected;
    for (const auto& step : drive)
        if (!step.Sound.empty()) expected.push_back(step.Sound);
    CreateMain();
    EXPECT_EQ(Boxes->Count(), 0u) << "the sound set is complete";

    // The channels' starts, seen as they happen.
    std::vector<std::string> started;
    std::set<std::string> playing;
    auto watch = [&] {
        const std::set<std::string> now = PlayingSounds();
        for (const std::string& name : now)
            if (!playing.count(name)) started.push_back(name);
        playing = now;
    };
    ClickWidget(Main->btnConnect);
    ASSERT_TRUE(ProcessUntil([this] { return Server.ClientCount() == 1 && Server.Client(0).EndRequested; }, 30000));
    PlayDrive(
        drive, SoundChannel,
        [&](const std::function<bool()>& done) {
            return ProcessUntil(
                [&] {
                    watch();
                    return done();
                },
                30000);
        });
    if (HasFatalFailure()) return;
    EXPECT_EQ(Server.Client(0).Bytes, Greeting + Request + EndOfRequest);
    // Some output after the last sound, for the search to look beyond it.
    const std::size_t needed = ReadDSoundWavFile(FOutput).Frames() + OutputRate / 2;
    ASSERT_TRUE(ProcessUntil([&] { return ReadDSoundWavFile(FOutput).Frames() > needed; }, 30000));
    ClickWidget(Main->btnConnect);
    EXPECT_EQ(Main->btnConnect->Caption(), "Verbinden");
    EXPECT_EQ(started, expected);
    std::vector<TEnvelope> envelopes;
    for (const std::string& name : expected) envelopes.push_back(FileEnvelope(sounds + "610_" + name + ".wav"));

    const TDSoundWavFile wav = ReadDSoundWavFile(FOutput);
    ASSERT_TRUE(wav.Valid) << wav.Error;
    ASSERT_EQ(wav.Channels, 2);
    ASSERT_EQ(wav.Rate, OutputRate);
    ASSERT_EQ(wav.Bits, 16);
    std::size_t from = 0;
    std::vector<long> starts;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const long at = FindSound(wav, envelopes[i], from);
        ASSERT_GE(at, 0) << expected[i] << " is not in the output after frame " << from;
        starts.push_back(at);
        from = static_cast<std::size_t>(at) + envelopes[i].Blocks.size() * OutputBlock;
    }
    // The doors' sound played once: nothing but the last toggle sounds after it.
    const std::size_t doors = expected.size() - 2;
    const std::size_t afterDoors = static_cast<std::size_t>(starts[doors]) + envelopes[doors].Blocks.size() * OutputBlock;
    EXPECT_LT(FindSound(wav, envelopes[doors], afterDoors), 0);
    EXPECT_EQ(Boxes->Count(), 0u);
}

// The gap between two steps' sounds is counted in output frames, so it holds however late the
// output catches up: here an output that moves on only while the program is served.
using StepGate = TriebklangTest;

TEST_F(StepGate, TheNextStepWaitsUntilTheOutputHasGoneAGapPastTheSoundsEnd) {
    std::vector<std::pair<std::string, double>> files;
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots) files.emplace_back(slot.FileName, 1.0);
    WriteSoundFiles(files, 300, 25, {});
    CreateMain();
    std::size_t frames = 0, framesAtEnd = 0;
    std::vector<std::size_t> sentAt;
    SoundChannel("Rischa-0")->OnEnd = [&](TObject*) { framesAtEnd = frames; };
    const std::vector<TSoundStep<std::vector<std::pair<int, float>>>> steps = {
        {{{IdDirectionSwitch, 1}}, "Rischa-0"}, {{{IdDirectionSwitch, 2}}, "Rischa-VR"}};
    PlayOneAtATime(
        steps,
        [&](const std::vector<std::pair<int, float>>& records) {
            sentAt.push_back(frames);
            Main->HandleDataPacket(ValuesPayload(records));
        },
        SoundChannel, [&] { return frames; },
        [&](const std::function<bool()>& done) {
            return ProcessUntil([&] { return (frames += 441) && done(); }, 30000);
        });
    ASSERT_EQ(sentAt.size(), 2u);
    EXPECT_GE(sentAt[1], framesAtEnd + OutputGapFrames);
}

// The demo drive reads, lasts about a minute and, handed packet by packet to the window, plays
// every one of the eleven sounds.
using DemoDrive = TriebklangTest;

TEST_F(DemoDrive, ReadsAndPlaysEverySound) {
    std::vector<TStep> steps;
    program_test::ReadDemoDrive(TRIEBKLANG_DEMO_DRIVE, steps);
    if (HasFatalFailure()) return;
    WriteTestSounds();
    CreateMain();
    std::set<std::string> played;
    std::set<int> ids;
    for (const TStep& step : steps) {
        for (const travo::TValue& value : step.Values) ids.insert(value.Id);
        const std::set<std::string> now = RawPacket(travo::CabValuesPayload(step.Values));
        played.insert(now.begin(), now.end());
    }
    std::set<std::string> all;
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots) all.insert(ShortName(slot.FileName));
    EXPECT_EQ(played, all);
    for (const int id : {int{IdParseStop}, int{IdDateTime}, 200}) EXPECT_TRUE(ids.count(id)) << id;
    EXPECT_EQ(Boxes->Count(), 0u);
}

}  // namespace
