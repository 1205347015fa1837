// Cost of the software mixer: one second of 22 playing buffers into 44.1 kHz 16-bit stereo.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../tests/PcmFormat.h"
#include "dsound.h"

using dsound_test::Pcm;

namespace {

// kind 0: every buffer 44.1 kHz 16-bit; kind 1: a third each of 16-bit stereo, 16-bit mono and
// 8-bit mono at 22.05 kHz, with volume and pan set.
void MixTwentyTwo(benchmark::State& state) {
    setenv("DSOUND_OUTPUT", "null", 0);
    const bool mixedFormats = state.range(0) == 1;
    IDirectSound* device = nullptr;
    if (DirectSoundCreate(nullptr, &device, nullptr) != DS_OK) {
        state.SkipWithError("no device");
        return;
    }
    std::vector<IDirectSoundBuffer*> buffers;
    for (int i = 0; i < 22; ++i) {
        WAVEFORMATEX format = !mixedFormats || i % 3 == 0 ? Pcm(44100, 2, 16)
                              : i % 3 == 1               ? Pcm(44100, 1, 16)
                                                         : Pcm(22050, 1, 8);
        DSBUFFERDESC desc{};
        desc.dwSize = sizeof desc;
        desc.dwFlags = DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPAN | DSBCAPS_CTRLFREQUENCY;
        desc.dwBufferBytes = format.nAvgBytesPerSec * 4;
        desc.lpwfxFormat = &format;
        IDirectSoundBuffer* buffer = nullptr;
        device->CreateSoundBuffer(&desc, &buffer, nullptr);
        LPVOID p = nullptr;
        DWORD bytes = 0;
        buffer->Lock(0, desc.dwBufferBytes, &p, &bytes, nullptr, nullptr, 0);
        for (DWORD k = 0; k < bytes; ++k) static_cast<BYTE*>(p)[k] = static_cast<BYTE>(k * 37 + (k >> 9));
        buffer->Unlock(p, bytes, nullptr, 0);
        if (mixedFormats) {
            buffer->SetVolume(-300 * (i % 4));
            buffer->SetPan(1000 * (i % 5) - 2000);
        }
        buffer->Play(0, 0, DSBPLAY_LOOPING);
        buffers.push_back(buffer);
    }
    std::vector<std::int16_t> out(44100 * 2);
    for (auto _ : state) {
        DSoundTestMix(device, out.data(), 44100);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["realtime_x"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    for (IDirectSoundBuffer* buffer : buffers) buffer->Release();
    device->Release();
}
BENCHMARK(MixTwentyTwo)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
