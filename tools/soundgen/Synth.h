#pragma once
// The few sound sources the cab sounds are made of: clicks and clacks of switches, filtered
// noise for compressed air and movement, tones, and seamless loops.

#include <cstdint>
#include <functional>
#include <vector>

#include "SoundWriter.h"

namespace soundgen {

// Deterministic white noise in -1 ... 1.
class TRandom {
public:
    explicit TRandom(std::uint32_t seed) : FState(seed ? seed : 0x9E3779B9u) {}
    float Next();

private:
    std::uint32_t FState;
};

// State-variable filter (trapezoidal), stable at any cutoff below half the rate.
class TFilter {
public:
    TFilter(double rate, double cutoffHz, double q) : FRate(rate) { Tune(cutoffHz, q); }
    void Tune(double cutoffHz, double q);
    void Process(float in);
    float LowPass() const { return static_cast<float>(FLow); }
    float BandPass() const { return static_cast<float>(FBand); }
    float HighPass() const { return static_cast<float>(FHigh); }

private:
    double FRate, FK = 1, FA1 = 0, FA2 = 0, FA3 = 0;
    double FIc1 = 0, FIc2 = 0, FLow = 0, FBand = 0, FHigh = 0;
};

// One channel of sound being put together.
class TTrack {
public:
    TTrack(int rate, double seconds);
    int Rate() const { return FRate; }
    std::vector<float>& Samples() { return FSamples; }

    // A short contact click: a burst of bright noise and a ringing tick.
    void Click(double at, double level, double tickHz, std::uint32_t seed);
    // A heavy mechanical or contactor clack: a falling low thump, metal ring and a noise burst.
    void Clack(double at, double level, double bodyHz, std::uint32_t seed);
    // Band-passed noise with an attack, a hold, and an exponential fall of time constant
    // decay; it fades out over the last 30 ms of its length.
    void Hiss(double at, double length, double level, double centreHz, double q, double attack, double hold,
              double decay, std::uint32_t seed);
    // Low rumble of moving parts, slightly pulsing.
    void Rumble(double at, double length, double level, double cutoffHz, std::uint32_t seed);
    // An electric arc: crackling impulses through a bright filter.
    void Crackle(double at, double length, double level, std::uint32_t seed);
    // A sine with a soft start and end.
    void Tone(double at, double length, double level, double hz, double fade);

    // Scaled so that the peak sits at peakDb (dBFS); one-shot sounds end on a short fade.
    TSound Finish(double peakDb, int channels, bool loop);

private:
    long Index(double seconds) const { return static_cast<long>(seconds * FRate + 0.5); }
    void Add(long i, float value) {
        if (i >= 0 && i < static_cast<long>(FSamples.size())) FSamples[static_cast<size_t>(i)] += value;
    }

    int FRate;
    std::vector<float> FSamples;
};

// A loop of frames samples: generate is called for the indices 0 ... 2 * frames - 1 and must
// draw its random input as a function of index mod frames and use only tones with whole
// cycles in frames; the second round is kept, so every filter has settled into the cycle and
// the end joins the start like any other two neighbouring samples.
TTrack Loop(int rate, long frames, const std::function<float(long index)>& generate);

}  // namespace soundgen
