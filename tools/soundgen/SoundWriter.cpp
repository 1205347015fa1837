#include "SoundWriter.h"

#include <cmath>

#include <sndfile.h>

namespace soundgen {

namespace {

int FormatOf(TFileKind kind) {
    switch (kind) {
        case TFileKind::Wav8: return SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
        case TFileKind::Wav16: return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        case TFileKind::Wav24: return SF_FORMAT_WAV | SF_FORMAT_PCM_24;
        case TFileKind::Wav32: return SF_FORMAT_WAV | SF_FORMAT_PCM_32;
        case TFileKind::WavFloat: return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        case TFileKind::Flac16: return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        case TFileKind::Mp3: return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
        case TFileKind::OggVorbis: return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    }
    return 0;
}

// Integer files get the samples rounded here, so that what is written is exactly known;
// the other kinds take the floats.
sf_count_t WriteSamples(SNDFILE* file, TFileKind kind, const TSound& sound) {
    const auto count = static_cast<sf_count_t>(sound.Samples.size());
    if (kind == TFileKind::Wav8 || kind == TFileKind::Wav16) {
        std::vector<short> shorts(sound.Samples.size());
        for (size_t i = 0; i < shorts.size(); ++i) shorts[i] = ToInt16(sound.Samples[i]);
        return sf_write_short(file, shorts.data(), count);
    }
    if (kind == TFileKind::Wav24 || kind == TFileKind::Wav32) {
        std::vector<int> ints(sound.Samples.size());
        for (size_t i = 0; i < ints.size(); ++i) {
            const double clipped = std::fmax(-1.0, std::fmin(1.0, static_cast<double>(sound.Samples[i])));
            ints[i] = static_cast<int>(std::lrint(clipped * 2147483647.0));
        }
        return sf_write_int(file, ints.data(), count);
    }
    return sf_write_float(file, sound.Samples.data(), count);
}

}  // namespace

TSound Sine(int rate, int channels, double seconds, double frequency, double amplitude) {
    TSound sound;
    sound.Rate = rate;
    sound.Channels = channels;
    const long frames = std::lround(seconds * rate);
    sound.Samples.reserve(static_cast<size_t>(frames) * channels);
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            sound.Samples.push_back(static_cast<float>(amplitude * std::sin(2 * M_PI * frequency * (c + 1) * i / rate)));
    return sound;
}

short ToInt16(float sample) {
    const float clipped = std::fmax(-1.0f, std::fmin(1.0f, sample));
    return static_cast<short>(std::lrint(clipped * 32767.0f));
}

bool WriteSoundFile(const std::string& path, TFileKind kind, const TSound& sound, std::string& message) {
    SF_INFO info{};
    info.samplerate = sound.Rate;
    info.channels = sound.Channels;
    info.format = FormatOf(kind);
    if (!sf_format_check(&info)) {
        message = path + ": this kind of sound file cannot be written here";
        return false;
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        message = path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (kind == TFileKind::Mp3 || kind == TFileKind::OggVorbis) {
        sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
    const sf_count_t written = WriteSamples(file, kind, sound);
    const bool complete = written == static_cast<sf_count_t>(sound.Samples.size());
    if (!complete) message = path + ": " + sf_strerror(file);
    if (sf_close(file) != 0 && complete) {
        message = path + ": closing failed";
        return false;
    }
    return complete;
}

}  // namespace soundgen
