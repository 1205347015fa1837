#pragma once
// Finding a program's sounds in the mixer's WAV output, for the programs' own tests: a sound
// file of the output's format (16-bit stereo at 44.1 kHz) plays through the mixer unchanged, so
// it is found sample for sample.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AudioFileRead.h"
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
