#pragma once
// Writes sound files of the kinds the sound set and the tests need, from samples in -1 ... 1.

#include <string>
#include <vector>

namespace soundgen {

enum class TFileKind { Wav8, Wav16, Wav24, Wav32, WavFloat, Flac16, Mp3, OggVorbis };

struct TSound {
    int Rate = 44100;
    int Channels = 2;
    std::vector<float> Samples;  // interleaved, Channels per frame

    long Frames() const { return Channels > 0 ? static_cast<long>(Samples.size()) / Channels : 0; }
};

// A sine of frequency Hz for seconds (rounded to whole frames); channel c (from 0) sounds
// (c + 1) times the frequency, so that channels are told apart.
TSound Sine(int rate, int channels, double seconds, double frequency, double amplitude);

// The 16-bit value a sample is stored as: scaled by 32767, rounded to nearest, clipped.
short ToInt16(float sample);

// False, with message set, when the file cannot be written (or the kind is not available in
// this libsndfile).
bool WriteSoundFile(const std::string& path, TFileKind kind, const TSound& sound, std::string& message);

}  // namespace soundgen
