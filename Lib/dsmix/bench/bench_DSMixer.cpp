// The mixer under the programs' load: 22 playing channels mixed into 44.1 kHz 16-bit stereo,
// and the time from a channel's Play to its first mixed frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "DSMixer.h"
#include "SoundWriter.h"

namespace {

namespace fs = std::filesystem;

fs::path SoundDir() {
    static const fs::path dir = fs::temp_directory_path() / ("bench-dsmixer-" + std::to_string(::getpid()));
    return dir;
}

// A tone of its own for every channel; kind 0 is 16-bit stereo, 1 16-bit mono, 2 8-bit mono
// at 22.05 kHz.
std::string ToneFile(int index, int kind) {
    soundgen::TSound sound;
    sound.Rate = kind == 2 ? 22050 : 44100;
    sound.Channels = kind == 0 ? 2 : 1;
    const long frames = sound.Rate * 2;
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < sound.Channels; ++c)
            sound.Samples.push_back(static_cast<float>(0.04 * std::sin(2 * M_PI * (200 + 37 * index) * i / sound.Rate)));
    const std::string path = (SoundDir() / ("tone" + std::to_string(index) + "-" + std::to_string(kind) + ".wav")).string();
    std::string message;
    if (!soundgen::WriteSoundFile(path, kind == 2 ? soundgen::TFileKind::Wav8 : soundgen::TFileKind::Wav16, sound, message))
        std::fprintf(stderr, "%s\n", message.c_str());
    return path;
}

LPDSOUNDTESTMIX MixHook() {
    static const auto hook = reinterpret_cast<LPDSOUNDTESTMIX>(GetProcAddress(LoadLibraryA("DSound.dll"), "DSoundTestMix"));
    return hook;
}

struct TRig {
    std::unique_ptr<TDSMixer> Mixer = std::make_unique<TDSMixer>(nullptr);
    std::vector<std::unique_ptr<TDSMixerChannel>> Channels;
    IDirectSound* Device = nullptr;

    ~TRig() {
        Channels.clear();
        if (Device != nullptr) Device->Release();
    }
    // The device only mixes on demand from here on.
    void TakeOverMixing() {
        Device = Mixer->GetDirectSound();
        MixHook()(Device, nullptr, 0);
    }
};

// range(0): 0 = every channel 44.1 kHz 16-bit stereo, 1 = a third each of stereo, mono and
// 8-bit 22.05 kHz mono.
void MixTwentyTwoChannels(benchmark::State& state) {
    TRig rig;
    rig.TakeOverMixing();
    for (int i = 0; i < 22; ++i) {
        rig.Channels.push_back(std::make_unique<TDSMixerChannel>(rig.Mixer.get()));
        rig.Channels.back()->LoadFromFile(ToneFile(i, state.range(0) == 0 ? 0 : i % 3));
        rig.Channels.back()->SetLooping(true);
        rig.Channels.back()->Play();
    }
    std::vector<std::int16_t> out(44100 * 2);
    for (auto _ : state) {
        MixHook()(rig.Device, out.data(), 44100);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["x_realtime"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(MixTwentyTwoChannels)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Play, then one output period of the mix: the sound must be in its first frame.
void PlayToFirstMixedFrame(benchmark::State& state) {
    TRig rig;
    rig.TakeOverMixing();
    auto channel = std::make_unique<TDSMixerChannel>(rig.Mixer.get());
    channel->LoadFromFile(ToneFile(99, 0));
    rig.Channels.push_back(std::move(channel));
    TDSMixerChannel& sound = *rig.Channels.back();
    const DWORD period = 512;
    std::vector<std::int16_t> out(period * 2);
    for (auto _ : state) {
        sound.Play();
        MixHook()(rig.Device, out.data(), period);
        state.PauseTiming();
        // The tone starts at 0 and rises: its second frame is not silent.
        if (out[2] == 0 && out[3] == 0) state.SkipWithError("the sound is not in the first period");
        sound.Stop();
        state.ResumeTiming();
    }
}
BENCHMARK(PlayToFirstMixedFrame)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    setenv("DSOUND_OUTPUT", "null", 0);
    fs::create_directories(SoundDir());
    InitializeCom();
    InitializeDeviceLists();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    FinalizeDeviceLists();
    FinalizeCom();
    std::error_code ignored;
    fs::remove_all(SoundDir(), ignored);
    return 0;
}
