// Synthesizes the sound sets of Wagenklang, Lokklang and Triebklang into one folder:
//     soundgen FOLDER
// The output is the same on every run. Most files are 44.1 kHz 16-bit stereo; a few switch
// sounds are 22.05 kHz mono and one is 8-bit, so that the engine's conversions get used.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Synth.h"

using namespace soundgen;

namespace {

constexpr int Cd = 44100;
constexpr int Half = 22050;

struct TSoundFile {
    const char* Name;
    TFileKind Kind;
    int Rate;
    int Channels;
    double PeakDb;
    bool Loop;
    std::function<TTrack(int rate)> Build;
};

// ---- switches -------------------------------------------------------------------------------

// A detent of a lever: the spring-loaded ball dropping into its notch.
TTrack Detent(int rate, double tickHz, std::uint32_t seed) {
    TTrack t(rate, 0.25);
    t.Click(0.0, 0.5, tickHz * 0.7, seed);
    t.Clack(0.004, 0.35, 140, seed + 1);
    t.Click(0.018, 1.0, tickHz, seed + 2);
    return t;
}

// A toggle switch: the lever snaps over and the contact closes a moment later.
TTrack Toggle(int rate, double tickHz, double gap, std::uint32_t seed) {
    TTrack t(rate, 0.2);
    t.Click(0.0, 1.0, tickHz, seed);
    t.Click(gap, 0.55, tickHz * 1.3, seed + 1);
    return t;
}

// The heavy direction switch (reverser) of a cab: a drum turning into place.
TTrack Reverser(int rate, double bodyHz, std::uint32_t seed) {
    TTrack t(rate, 0.45);
    t.Click(0.0, 0.4, 1800, seed);
    t.Rumble(0.0, 0.08, 0.3, 300, seed + 1);
    t.Clack(0.07, 1.0, bodyHz, seed + 2);
    t.Click(0.075, 0.5, 2600, seed + 3);
    return t;
}

// A master controller step: the drum moves through its notch, with a contact click.
TTrack ControllerStep(double tickHz, double bodyHz, std::uint32_t seed) {
    TTrack t(Cd, 0.4);
    t.Rumble(0.0, 0.09, 0.25, 400, seed);
    t.Clack(0.06, 0.8, bodyHz, seed + 1);
    t.Click(0.065, 0.9, tickHz, seed + 2);
    return t;
}

// ---- compressed air -------------------------------------------------------------------------

TTrack Air(double length, double centreHz, double q, double attack, double hold, double decay, std::uint32_t seed,
           bool withValveClick) {
    TTrack t(Cd, length);
    if (withValveClick) t.Click(0.0, 0.5, 2200, seed + 7);
    t.Hiss(0.01, length - 0.01, 1.0, centreHz, q, attack, hold, decay, seed);
    return t;
}

// ---- contactors and main switch ---------------------------------------------------------------

TTrack MainSwitchOn() {
    TTrack t(Cd, 1.2);
    t.Hiss(0.0, 0.18, 0.35, 2500, 0.8, 0.01, 0.05, 0.05, 501);  // the air drive
    t.Clack(0.12, 1.0, 70, 502);
    t.Clack(0.135, 0.5, 110, 503);
    t.Tone(0.16, 1.0, 0.12, 100, 0.3);                           // transformer coming on
    t.Tone(0.16, 1.0, 0.06, 200, 0.3);
    return t;
}

TTrack MainSwitchOff() {
    TTrack t(Cd, 1.0);
    t.Crackle(0.0, 0.05, 0.5, 511);
    t.Clack(0.01, 1.0, 75, 512);
    t.Hiss(0.05, 0.8, 0.45, 1800, 0.7, 0.01, 0.08, 0.2, 513);    // blow-out air
    return t;
}

TTrack ContactorOpens() {
    TTrack t(Cd, 0.5);
    t.Clack(0.0, 1.0, 95, 521);
    t.Click(0.004, 0.6, 1500, 522);
    return t;
}

TTrack ContactorTearsOff() {
    TTrack t(Cd, 0.9);
    t.Crackle(0.0, 0.18, 1.0, 531);
    t.Clack(0.02, 0.9, 85, 532);
    t.Hiss(0.03, 0.5, 0.3, 4000, 0.6, 0.005, 0.02, 0.08, 533);
    return t;
}

// ---- traction motor fan -----------------------------------------------------------------------

// The fan at speed 0 ... 1: blade passing tone, the motor's whine and rushing air. The run-up,
// the loop and the run-down share it, so the loop continues the run-up's end as heard.
class TFan {
public:
    explicit TFan(int rate) : FRate(rate), FAir(rate, 300, 0.7), FBody(rate, 120, 0.8) {}

    float Step(double speed, float noise) {
        FBlade += 2 * M_PI * 180.0 * speed / FRate;
        FMotor += 2 * M_PI * 1100.0 * speed / FRate;
        FAir.Tune(250 + 900 * speed, 0.7);
        FAir.Process(noise);
        FBody.Process(noise);
        const double blade = (std::sin(FBlade) + 0.45 * std::sin(2 * FBlade) + 0.2 * std::sin(3 * FBlade)) * speed * speed;
        const double motor = std::sin(FMotor) * 0.08 * speed;
        const double air = (FAir.BandPass() * 2.2 + FBody.LowPass() * 1.2) * std::pow(speed, 1.5);
        return static_cast<float>(0.25 * blade + motor + air);
    }

private:
    int FRate;
    double FBlade = 0, FMotor = 0;
    TFilter FAir, FBody;
};

std::vector<float> NoiseTable(long frames, std::uint32_t seed) {
    TRandom random(seed);
    std::vector<float> table(static_cast<size_t>(frames));
    for (float& value : table) value = random.Next();
    return table;
}

constexpr double FanPeakDb = -6.0;
constexpr double FanLoopSeconds = 4.0;  // 720 blade and 4400 motor cycles: whole numbers

TTrack FanRun(double length, const std::function<double(double t)>& speed, std::uint32_t seed) {
    TTrack t(Cd, length);
    TFan fan(Cd);
    TRandom random(seed);
    std::vector<float>& samples = t.Samples();
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = fan.Step(speed(static_cast<double>(i) / Cd), random.Next());
    return t;
}

TTrack FanLoop() {
    const long frames = static_cast<long>(FanLoopSeconds * Cd);
    const std::vector<float> noise = NoiseTable(frames, 601);
    TFan fan(Cd);
    return Loop(Cd, frames, [&](long i) { return fan.Step(1.0, noise[static_cast<size_t>(i % frames)]); });
}

// The fan's loudness at full speed, so that run-up, loop and run-down are scaled alike.
double FanFullSpeedPeak() {
    TTrack loop = FanLoop();
    float peak = 0;
    for (float s : loop.Samples()) peak = std::max(peak, std::fabs(s));
    return peak;
}

// Scaled by the loop's peak instead of its own, so the levels meet where the sounds hand over.
TSound FinishFan(TTrack track, bool loop) {
    const double ownPeak = [&] {
        float peak = 0;
        for (float s : track.Samples()) peak = std::max(peak, std::fabs(s));
        return static_cast<double>(peak);
    }();
    const double relative = ownPeak > 0 ? 20 * std::log10(ownPeak / FanFullSpeedPeak()) : 0;
    return track.Finish(FanPeakDb + relative, 2, loop);
}

double Smooth(double x) {
    x = std::clamp(x, 0.0, 1.0);
    return x * x * (3 - 2 * x);
}

// ---- converter --------------------------------------------------------------------------------

TTrack ConverterLoop() {
    const long frames = 2 * Cd;  // every partial below has whole cycles in 2 s
    const std::vector<float> noise = NoiseTable(frames, 701);
    TFilter brushes(Cd, 3000, 1.5);
    return Loop(Cd, frames, [&](long i) {
        const double t = static_cast<double>(i) / Cd;
        brushes.Process(noise[static_cast<size_t>(i % frames)]);
        const double hum = std::sin(2 * M_PI * 100 * t) + 0.5 * std::sin(2 * M_PI * 200 * t) +
                           0.3 * std::sin(2 * M_PI * 300 * t) + 0.15 * std::sin(2 * M_PI * 650 * t);
        const double sway = 1.0 + 0.1 * std::sin(2 * M_PI * 1.5 * t);
        return static_cast<float>(hum * sway * 0.5 + brushes.BandPass() * 0.25);
    });
}

// ---- doors ----------------------------------------------------------------------------------

// Valve, the leaves moving, the end stop; closing doors also lock.
TTrack Door(double moveSeconds, double rumbleHz, bool closing, std::uint32_t seed) {
    TTrack t(Cd, moveSeconds + 0.9);
    t.Click(0.0, 0.4, 2000, seed);
    t.Hiss(0.0, 0.35, 0.5, 2200, 0.8, 0.01, 0.05, 0.1, seed + 1);
    t.Rumble(0.15, moveSeconds, 2.0, rumbleHz, seed + 2);
    t.Hiss(0.15, moveSeconds, 0.3, 900, 0.6, 0.2, moveSeconds - 0.5, 0.2, seed + 3);
    t.Clack(0.15 + moveSeconds, 1.0, closing ? 65 : 90, seed + 4);
    if (closing) t.Click(0.15 + moveSeconds + 0.12, 0.7, 2400, seed + 5);
    return t;
}

// ---- departure signal -----------------------------------------------------------------------

// The guard's whistle: a pea whistle's warble with breath noise, two blasts.
TTrack Whistle() {
    TTrack t(Cd, 1.5);
    TRandom random(801);
    TFilter breath(Cd, 3000, 2.0);
    double phase = 0;
    auto& samples = t.Samples();
    for (size_t i = 0; i < samples.size(); ++i) {
        const double time = static_cast<double>(i) / Cd;
        const bool first = time < 0.35;
        const bool second = time > 0.5 && time < 1.35;
        const double start = first ? 0.0 : 0.5;
        const double end = first ? 0.35 : 1.35;
        if (!first && !second) {
            breath.Process(0);
            continue;
        }
        const double envelope = std::min({1.0, (time - start) / 0.02, (end - time) / 0.04});
        phase += 2 * M_PI * (2900 + 180 * std::sin(2 * M_PI * 28 * time)) / Cd;
        breath.Process(random.Next());
        samples[i] = static_cast<float>(envelope * (std::sin(phase) + 0.25 * breath.BandPass()));
    }
    return t;
}

std::vector<TSoundFile> SoundSet() {
    return {
        // Wagenklang: control car
        {"Fahrschalter_0-Ab.wav", TFileKind::Wav16, Cd, 2, -6, false, [](int) { return ControllerStep(2400, 130, 11); }},
        {"Fahrschalter_Ab-Fahren.wav", TFileKind::Wav16, Cd, 2, -6, false, [](int) { return ControllerStep(2700, 120, 12); }},
        {"Fahrschalter_Fahren-Auf.wav", TFileKind::Wav16, Cd, 2, -6, false, [](int) { return ControllerStep(3000, 115, 13); }},
        {"Fahrschalter_Auf-Fahren.wav", TFileKind::Wav16, Cd, 2, -6, false, [](int) { return ControllerStep(2900, 125, 14); }},
        {"Fahrschalter_Fahren-Ab.wav", TFileKind::Wav16, Cd, 2, -6, false, [](int) { return ControllerStep(2600, 125, 15); }},
        {"Fahrschalter_Ab-0.wav", TFileKind::Wav16, Cd, 2, -6, false, [](int) { return ControllerStep(2300, 135, 16); }},
        {"FbV_Raste.wav", TFileKind::Wav16, Cd, 2, -9, false, [](int rate) { return Detent(rate, 3200, 21); }},
        {"FbV_anlegen.wav", TFileKind::Wav16, Cd, 2, -8, false, [](int) { return Air(1.6, 2600, 0.9, 0.03, 0.2, 0.4, 22, false); }},
        {"FbV_loesen.wav", TFileKind::Wav16, Cd, 2, -10, false, [](int) { return Air(2.0, 1500, 0.8, 0.15, 0.4, 0.5, 23, false); }},
        {"FbV_SB.wav", TFileKind::Wav16, Cd, 2, -3, false, [](int) { return Air(3.5, 2000, 0.5, 0.01, 0.8, 0.9, 24, true); }},
        {"DynBr_Raste.wav", TFileKind::Wav16, Half, 1, -10, false, [](int rate) { return Detent(rate, 2800, 31); }},
        {"ZusBr_anlegen.wav", TFileKind::Wav16, Cd, 2, -10, false, [](int) { return Air(1.0, 1800, 0.9, 0.05, 0.15, 0.25, 41, true); }},
        {"ZusBr_Mitte.wav", TFileKind::Wav16, Cd, 2, -10, false, [](int rate) { return Detent(rate, 2500, 42); }},
        {"ZusBr_loesen.wav", TFileKind::Wav16, Cd, 2, -9, false, [](int) { return Air(1.2, 3000, 0.8, 0.01, 0.1, 0.3, 43, true); }},
        {"Rischa_0.wav", TFileKind::Wav8, Half, 1, -4, false, [](int rate) { return Reverser(rate, 110, 51); }},
        {"Rischa_Richtung.wav", TFileKind::Wav16, Cd, 2, -4, false, [](int rate) { return Reverser(rate, 95, 52); }},
        {"Kippschalter_einlegen.wav", TFileKind::Wav16, Half, 1, -8, false, [](int rate) { return Toggle(rate, 3400, 0.012, 61); }},
        {"Kippschalter_auslegen.wav", TFileKind::Wav16, Half, 1, -8, false, [](int rate) { return Toggle(rate, 2900, 0.009, 62); }},
        {"Drehfalttuer_Bn_auf.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int) { return Door(2.2, 180, false, 71); }},
        {"Drehfalttuer_Bn_zu.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int) { return Door(2.4, 170, true, 72); }},
        {"Drehfalttuer_By_zu.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int) { return Door(2.0, 220, true, 73); }},
        {"Schwenkschiebetuer_auf.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int) { return Door(1.8, 320, false, 74); }},
        {"Schwenkschiebetuer_zu.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int) { return Door(1.9, 300, true, 75); }},
        {"TB0.wav", TFileKind::Wav16, Cd, 2, -8, false, [](int) { return Whistle(); }},
        {"Tuerschalter_SAT.wav", TFileKind::Wav16, Half, 1, -8, false, [](int rate) { return Toggle(rate, 3800, 0.02, 81); }},

        // Lokklang: electric locomotive. The run-up lasts until the loop takes over (5.25 s).
        {"FML_Anfang.wav", TFileKind::Wav16, Cd, 2, 0, false, nullptr},
        {"FML_Loop.wav", TFileKind::Wav16, Cd, 2, 0, true, nullptr},
        {"FML_Ende.wav", TFileKind::Wav16, Cd, 2, 0, false, nullptr},
        {"MTS.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int) { return ContactorOpens(); }},
        {"MTS_abreissen.wav", TFileKind::Wav16, Cd, 2, -3, false, [](int) { return ContactorTearsOff(); }},
        {"HSein.wav", TFileKind::Wav16, Cd, 2, -3, false, [](int) { return MainSwitchOn(); }},
        {"HSaus.wav", TFileKind::Wav16, Cd, 2, -3, false, [](int) { return MainSwitchOff(); }},
        {"Umformer.wav", TFileKind::Wav16, Cd, 2, -12, true, [](int) { return ConverterLoop(); }},

        // Triebklang: diesel railcar
        {"610_Rauschen-Loesen.wav", TFileKind::Wav16, Cd, 2, -8, false, [](int) { return Air(2.0, 1600, 0.8, 0.03, 0.2, 0.6, 91, false); }},
        {"610_Rauschen-Anlegen.wav", TFileKind::Wav16, Cd, 2, -10, false, [](int) { return Air(1.3, 2800, 1.0, 0.1, 0.2, 0.3, 92, false); }},
        {"610_Rauschen-Schnellbr.wav", TFileKind::Wav16, Cd, 2, -3, false, [](int) { return Air(3.5, 1900, 0.5, 0.01, 1.0, 0.8, 93, true); }},
        {"610_Rischa-0.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int rate) { return Reverser(rate, 120, 94); }},
        {"610_Rischa-VR.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int rate) { return Reverser(rate, 100, 95); }},
        {"610_Tuerwahlschalter.wav", TFileKind::Wav16, Half, 1, -8, false, [](int rate) { return Detent(rate, 3600, 96); }},
        {"610_Kippschalter-einlegen.wav", TFileKind::Wav16, Half, 1, -8, false, [](int rate) { return Toggle(rate, 3300, 0.011, 97); }},
        {"610_Kippschalter-auslegen.wav", TFileKind::Wav16, Half, 1, -8, false, [](int rate) { return Toggle(rate, 2800, 0.008, 98); }},
        {"610_MGs-runter.wav", TFileKind::Wav16, Cd, 2, -3, false,
         [](int) {
             TTrack t(Cd, 1.0);
             t.Hiss(0.0, 0.3, 0.4, 2000, 0.8, 0.01, 0.1, 0.08, 991);
             t.Clack(0.22, 1.0, 55, 992);  // the magnets land on the rail
             t.Clack(0.25, 0.6, 80, 993);
             return t;
         }},
        {"610_MGs-rauf.wav", TFileKind::Wav16, Cd, 2, -5, false,
         [](int) {
             TTrack t(Cd, 0.9);
             t.Hiss(0.0, 0.45, 0.6, 2400, 0.8, 0.01, 0.15, 0.1, 994);
             t.Clack(0.3, 0.8, 90, 995);
             return t;
         }},
        {"610_Tueren-auf.wav", TFileKind::Wav16, Cd, 2, -5, false, [](int) { return Door(2.0, 240, false, 996); }},
    };
}

TSound Render(const TSoundFile& file) {
    const std::string name = file.Name;
    if (name == "FML_Anfang.wav")
        return FinishFan(FanRun(5.5, [](double t) { return 1.0 - std::pow(1.0 - std::min(t / 5.0, 1.0), 2.0); }, 602),
                         false);
    if (name == "FML_Loop.wav") return FinishFan(FanLoop(), true);
    if (name == "FML_Ende.wav")
        return FinishFan(FanRun(8.0, [](double t) { return std::exp(-t / 2.5) * (1.0 - Smooth(t / 8.0)); }, 603), false);
    return file.Build(file.Rate).Finish(file.PeakDb, file.Channels, file.Loop);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: soundgen FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::fprintf(stderr, "soundgen: %s: %s\n", folder.c_str(), error.message().c_str());
        return 1;
    }
    for (const TSoundFile& file : SoundSet()) {
        std::string message;
        if (!WriteSoundFile((folder / file.Name).string(), file.Kind, Render(file), message)) {
            std::fprintf(stderr, "soundgen: %s\n", message.c_str());
            return 1;
        }
    }
    return 0;
}
