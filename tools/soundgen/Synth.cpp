#include "Synth.h"

#include <algorithm>
#include <cmath>

namespace soundgen {

float TRandom::Next() {
    FState ^= FState << 13;
    FState ^= FState >> 17;
    FState ^= FState << 5;
    return static_cast<float>(FState / 2147483648.0 - 1.0);
}

void TFilter::Tune(double cutoffHz, double q) {
    const double g = std::tan(M_PI * std::min(cutoffHz, FRate * 0.45) / FRate);
    FK = 1.0 / q;
    FA1 = 1.0 / (1.0 + g * (g + FK));
    FA2 = g * FA1;
    FA3 = g * FA2;
}

void TFilter::Process(float in) {
    const double v3 = in - FIc2;
    const double v1 = FA1 * FIc1 + FA2 * v3;
    const double v2 = FIc2 + FA2 * FIc1 + FA3 * v3;
    FIc1 = 2 * v1 - FIc1;
    FIc2 = 2 * v2 - FIc2;
    FLow = v2;
    FBand = v1;
    FHigh = in - FK * v1 - v2;
}

TTrack::TTrack(int rate, double seconds) : FRate(rate), FSamples(static_cast<size_t>(std::lround(seconds * rate)), 0.0f) {}

void TTrack::Click(double at, double level, double tickHz, std::uint32_t seed) {
    TRandom random(seed);
    TFilter bright(FRate, 3500, 0.7);
    const long start = Index(at);
    const long length = Index(0.025);
    for (long i = 0; i < length; ++i) {
        const double t = static_cast<double>(i) / FRate;
        bright.Process(random.Next());
        const double noise = bright.HighPass() * std::exp(-t / 0.0015);
        const double tick = std::sin(2 * M_PI * tickHz * t) * std::exp(-t / 0.004);
        Add(start + i, static_cast<float>(level * (0.8 * noise + 0.6 * tick)));
    }
}

void TTrack::Clack(double at, double level, double bodyHz, std::uint32_t seed) {
    TRandom random(seed);
    TFilter mid(FRate, 1800, 0.8);
    const long start = Index(at);
    const long length = Index(0.35);
    static constexpr double ring[] = {1.0, 2.76, 5.40};  // inharmonic, as of a struck plate
    double phase = 0;
    for (long i = 0; i < length; ++i) {
        const double t = static_cast<double>(i) / FRate;
        mid.Process(random.Next());
        phase += 2 * M_PI * bodyHz * (1.0 + 0.8 * std::exp(-t / 0.01)) / FRate;
        const double thump = std::sin(phase) * std::exp(-t / 0.045);
        double metal = 0;
        for (double ratio : ring) metal += std::sin(2 * M_PI * 900 * ratio * t) * std::exp(-t * ratio / 0.03) / ratio;
        const double burst = mid.BandPass() * std::exp(-t / 0.006);
        Add(start + i, static_cast<float>(level * (0.9 * thump + 0.25 * metal + 1.2 * burst)));
    }
}

void TTrack::Hiss(double at, double length, double level, double centreHz, double q, double attack, double hold,
                  double decay, std::uint32_t seed) {
    TRandom random(seed);
    TFilter band(FRate, centreHz, q);
    TFilter air(FRate, centreHz * 2.5, 0.5);
    const long start = Index(at);
    const long count = Index(length);
    const long fade = Index(0.03);
    for (long i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / FRate;
        double envelope = t < attack ? t / attack : t < attack + hold ? 1.0 : std::exp(-(t - attack - hold) / decay);
        if (count - i < fade) envelope *= static_cast<double>(count - i) / fade;
        const float noise = random.Next();
        band.Process(noise);
        air.Process(noise);
        Add(start + i, static_cast<float>(level * envelope * (band.BandPass() + 0.35 * air.HighPass())));
    }
}

void TTrack::Rumble(double at, double length, double level, double cutoffHz, std::uint32_t seed) {
    TRandom random(seed);
    TFilter low(FRate, cutoffHz, 0.9);
    const long start = Index(at);
    const long count = Index(length);
    for (long i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / FRate;
        const double envelope = std::sin(M_PI * t / length) * (0.8 + 0.2 * std::sin(2 * M_PI * 7.0 * t));
        low.Process(random.Next());
        Add(start + i, static_cast<float>(level * envelope * low.LowPass() * 3.0));
    }
}

void TTrack::Crackle(double at, double length, double level, std::uint32_t seed) {
    TRandom random(seed);
    TFilter bright(FRate, 5000, 0.6);
    const long start = Index(at);
    const long count = Index(length);
    double spark = 0;
    for (long i = 0; i < count; ++i) {
        if (random.Next() > 0.985f) spark = 1.0;
        spark *= 0.993;
        bright.Process(random.Next() * static_cast<float>(spark));
        Add(start + i, static_cast<float>(level * (1.0 - static_cast<double>(i) / count) * bright.BandPass() * 4.0));
    }
}

void TTrack::Tone(double at, double length, double level, double hz, double fade) {
    const long start = Index(at);
    const long count = Index(length);
    for (long i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / FRate;
        const double envelope = std::min({1.0, t / fade, (length - t) / fade});
        Add(start + i, static_cast<float>(level * envelope * std::sin(2 * M_PI * hz * t)));
    }
}

TSound TTrack::Finish(double peakDb, int channels, bool loop) {
    float peak = 0;
    for (float s : FSamples) peak = std::max(peak, std::fabs(s));
    const float gain = peak > 0 ? static_cast<float>(std::pow(10.0, peakDb / 20.0)) / peak : 0.0f;
    const long count = static_cast<long>(FSamples.size());
    const long fade = loop ? 0 : std::min(count, static_cast<long>(FRate / 100));
    std::vector<float> mono(FSamples.size());
    for (long i = 0; i < count; ++i) {
        const float envelope = i >= count - fade ? static_cast<float>(count - i) / fade : 1.0f;
        mono[static_cast<size_t>(i)] = FSamples[static_cast<size_t>(i)] * gain * envelope;
    }
    TSound sound;
    sound.Rate = FRate;
    sound.Channels = channels;
    // The right channel a fraction of a millisecond late, wrapping round so a loop stays one.
    const long delay = FRate / 5000;
    for (long i = 0; i < count; ++i) {
        sound.Samples.push_back(mono[static_cast<size_t>(i)]);
        if (channels == 2) sound.Samples.push_back(mono[static_cast<size_t>((i - delay + count) % count)]);
    }
    return sound;
}

TTrack Loop(int rate, long frames, const std::function<float(long index)>& generate) {
    TTrack track(rate, static_cast<double>(frames) / rate);
    std::vector<float>& samples = track.Samples();
    for (long i = 0; i < 2 * frames; ++i) {
        const float value = generate(i);
        if (i >= frames) samples[static_cast<size_t>(i - frames)] = value;
    }
    return track;
}

}  // namespace soundgen
