#pragma once
// Finding a program's sounds in the mixer's WAV output, for the programs' own tests: a sound
// file of the output's format (16-bit stereo at 44.1 kHz) plays through the mixer unchanged, so
// it is found sample for sample.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "DSoundTesting.h"

// The file's 16-bit stereo frames.
inline std::vector<std::int16_t> FileSamples(const std::string& path) {
    TAudioFileReader reader(path);
    EXPECT_EQ(reader.Format().nChannels, 2);
    EXPECT_EQ(reader.Format().wBitsPerSample, 16);
    EXPECT_EQ(reader.Format().nSamplesPerSec, 44100u);
    std::vector<std::int16_t> samples;
    std::int16_t block[4096];
    while (const std::int32_t n = reader.Read(block, sizeof block))
        samples.insert(samples.end(), block, block + n / 2);
    return samples;
}

// The output frame at or after from at which the sound begins, or -1: its first frames that are
// not silent are searched, then all of its frames must match.
inline long FindSound(const TDSoundWavFile& wav, const std::vector<std::int16_t>& sound, std::size_t from) {
    std::size_t first = 0;
    while (first * 2 < sound.size() && sound[first * 2] == 0 && sound[first * 2 + 1] == 0) ++first;
    const std::size_t frames = sound.size() / 2;
    for (std::size_t f = from; f + (frames - first) <= wav.Frames(); ++f) {
        if (wav.Sample16(f, 0) != sound[first * 2] || wav.Sample16(f, 1) != sound[first * 2 + 1]) continue;
        std::size_t i = first;
        while (i < frames && wav.Sample16(f + i - first, 0) == sound[2 * i] &&
               wav.Sample16(f + i - first, 1) == sound[2 * i + 1])
            ++i;
        if (i == frames) return static_cast<long>(f - first);
    }
    return -1;
}

// Counts the ends of a channel's plays (its end-of-play event, on the thread that made the
// channel); the program's own handler is still called, and is back in place afterwards.
class TPlayEnds {
public:
    explicit TPlayEnds(TDSMixerChannel* channel) : FChannel(channel), FProgramHandler(channel->OnEnd) {
        channel->OnEnd = [this](TObject* sender) {
            ++FCount;
            if (FProgramHandler) FProgramHandler(sender);
        };
    }
    ~TPlayEnds() { FChannel->OnEnd = FProgramHandler; }
    TPlayEnds(const TPlayEnds&) = delete;
    TPlayEnds& operator=(const TPlayEnds&) = delete;
    int Count() const { return FCount; }

private:
    TDSMixerChannel* FChannel;
    TNotifyEvent FProgramHandler;
    int FCount = 0;
};

// One step of a program test's drive: the values the server sends, and the file of the sound
// they start (empty: none).
template <class TValues>
struct TSoundStep {
    TValues Values;
    std::string Sound;
};

// Output that must lie between one step's sound and the next: 100 ms of 44.1 kHz frames.
inline constexpr std::size_t OutputGapFrames = 4410;

// Sends each step once the sound of the step before has played to its end and the output has
// gone OutputGapFrames past that end, so that the sounds reach the output one at a time and
// apart. The gap is counted in output frames, not on the clock: a loaded machine holds up the
// paced output, which then catches up in a burst and mixes whatever plays by then, so a pause
// that passed on the clock need not be in the output at all. The end is told once the mix holds
// the sound's last frame; the file may still lack that one period, which the gap covers.
// channelOf finds a sound's channel, outputFrames tells the frames the output holds so far,
// serveUntil serves the program until a condition holds (false when it gave up).
template <class TValues, class TSend, class TChannelOf, class TOutputFrames, class TServeUntil>
void PlayOneAtATime(const std::vector<TSoundStep<TValues>>& steps, TSend send, TChannelOf channelOf,
                    TOutputFrames outputFrames, TServeUntil serveUntil) {
    for (const TSoundStep<TValues>& step : steps) {
        std::optional<TPlayEnds> ends;
        if (!step.Sound.empty()) ends.emplace(channelOf(step.Sound));
        send(step.Values);
        if (ends) {
            ASSERT_TRUE(serveUntil([&] { return ends->Count() > 0; })) << step.Sound << " did not play to its end";
            const std::size_t atEnd = outputFrames();
            ASSERT_TRUE(serveUntil([&] { return outputFrames() >= atEnd + OutputGapFrames; }))
                << "the output stopped after " << step.Sound;
        }
    }
}
