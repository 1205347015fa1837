// The software mixer, driven frame by frame through the mixing hook.

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "DSoundTestSupport.h"

using namespace dsound_test;

namespace {

HWND SomeWindow() { return reinterpret_cast<HWND>(0x1000); }

// A device whose primary buffer has the given format, mixed only on demand.
TDevicePtr ManualDevice(WAVEFORMATEX primaryFormat = Pcm(44100, 2, 16)) {
    TDevicePtr device = CreateDevice();
    EXPECT_EQ(device->SetCooperativeLevel(SomeWindow(), DSSCL_PRIORITY), DS_OK);
    TBufferPtr primary = CreatePrimary(device.get());
    EXPECT_EQ(primary->SetFormat(&primaryFormat), DS_OK);
    EXPECT_EQ(DSoundTestMix(device.get(), nullptr, 0), DS_OK);
    return device;
}

// A distinct value for every sample, so that a gap, a repeat or a swap shows.
std::vector<std::int16_t> Ramp(std::size_t samples, int start = 1, int step = 7) {
    std::vector<std::int16_t> values(samples);
    for (std::size_t i = 0; i < samples; ++i) values[i] = static_cast<std::int16_t>((start + step * static_cast<int>(i)) % 30000);
    return values;
}

double Rms(const std::vector<std::int16_t>& samples, std::size_t first, std::size_t count, std::size_t stride = 1) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = first; i < first + count * stride && i < samples.size(); i += stride, ++n) sum += double(samples[i]) * samples[i];
    return n == 0 ? 0 : std::sqrt(sum / n);
}

DWORD PlayCursor(IDirectSoundBuffer* buffer) {
    DWORD play = 0, write = 0;
    EXPECT_EQ(buffer->GetCurrentPosition(&play, &write), DS_OK);
    return play;
}

// Zero crossings from below per second of a channel of 16-bit stereo output.
double Frequency(const std::vector<std::int16_t>& stereo, int channel, DWORD rate) {
    int crossings = 0;
    const std::size_t frames = stereo.size() / 2;
    for (std::size_t i = 1; i < frames; ++i)
        if (stereo[2 * (i - 1) + channel] < 0 && stereo[2 * i + channel] >= 0) ++crossings;
    return crossings * double(rate) / double(frames);
}

}  // namespace

TEST(Mix, SameFormatIsCopiedExactlyAndTheCursorFollows) {
    TDevicePtr device = ManualDevice();
    const std::vector<std::int16_t> samples = Ramp(2 * 1000);
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    Fill(buffer.get(), samples);
    ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);

    const std::vector<std::int16_t> first = Mix(device.get(), 300);
    EXPECT_EQ(PlayCursor(buffer.get()), 1200u);
    const std::vector<std::int16_t> rest = Mix(device.get(), 800);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), samples.begin()));
    EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + 1400, samples.begin() + 600));
    // Played once: silence after the end, the buffer stopped and back at its start.
    EXPECT_TRUE(std::all_of(rest.begin() + 1400, rest.end(), [](std::int16_t v) { return v == 0; }));
    DWORD status = 0;
    ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
    EXPECT_FALSE(status & DSBSTATUS_PLAYING);
    EXPECT_EQ(PlayCursor(buffer.get()), 0u);
}

TEST(Mix, LoopingBufferWrapsWithoutGapAndStopHoldsTheCursor) {
    TDevicePtr device = ManualDevice();
    const std::vector<std::int16_t> samples = Ramp(2 * 500);
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 2000);
    Fill(buffer.get(), samples);
    ASSERT_EQ(buffer->SetCurrentPosition(1600), DS_OK);
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const std::vector<std::int16_t> out = Mix(device.get(), 1300);
    for (std::size_t frame = 0; frame < 1300; ++frame) {
        const std::size_t source = (400 + frame) % 500;
        ASSERT_EQ(out[2 * frame], samples[2 * source]) << "frame " << frame;
        ASSERT_EQ(out[2 * frame + 1], samples[2 * source + 1]) << "frame " << frame;
    }
    EXPECT_EQ(PlayCursor(buffer.get()), (400u + 1300u) % 500u * 4u);
    ASSERT_EQ(buffer->Stop(), DS_OK);
    const DWORD stoppedAt = PlayCursor(buffer.get());
    const std::vector<std::int16_t> silent = Mix(device.get(), 100);
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](std::int16_t v) { return v == 0; }));
    EXPECT_EQ(PlayCursor(buffer.get()), stoppedAt);
}

TEST(Mix, EightBitMonoHalfRateKeepsPitchAndLevel) {
    TDevicePtr device = ManualDevice();
    // 441 Hz square-free sine at 22050 Hz, 8-bit unsigned, amplitude 100 of 127.
    const DWORD frames = 22050;
    std::vector<BYTE> samples(frames);
    for (DWORD i = 0; i < frames; ++i) samples[i] = static_cast<BYTE>(128 + std::lround(100 * std::sin(2 * M_PI * 441 * i / 22050.0)));
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(22050, 1, 8), frames);
    Fill(buffer.get(), 0, samples.data(), frames);
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const std::vector<std::int16_t> out = Mix(device.get(), 44100);

    EXPECT_NEAR(Frequency(out, 0, 44100), 441.0, 3.0);
    EXPECT_NEAR(Frequency(out, 1, 44100), 441.0, 3.0);
    EXPECT_NEAR(Rms(out, 0, 44100, 2), 100 * 256 / std::sqrt(2.0), 300.0);
    // Every second output frame is a source sample; the mono source feeds both sides alike.
    for (DWORD i = 0; i < 200; ++i) {
        ASSERT_EQ(out[4 * i], (samples[i] - 128) * 256);
        ASSERT_EQ(out[4 * i], out[4 * i + 1]);
        ASSERT_EQ(out[4 * i + 2], ((samples[i] - 128) * 256 + (samples[i + 1] - 128) * 256) / 2);
    }
    // Half the rate consumes half the frames.
    EXPECT_EQ(PlayCursor(buffer.get()), 0u);
}

TEST(Mix, FrequencyChangesThePitch) {
    TDevicePtr device = ManualDevice();
    const DWORD frames = 44100;
    std::vector<std::int16_t> samples(frames);
    for (DWORD i = 0; i < frames; ++i) samples[i] = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * 500 * i / 44100.0)));
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 1, 16), frames * 2);
    Fill(buffer.get(), samples);
    ASSERT_EQ(buffer->SetFrequency(33075), DS_OK);
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const std::vector<std::int16_t> out = Mix(device.get(), 44100);
    EXPECT_NEAR(Frequency(out, 0, 44100), 375.0, 3.0);
    EXPECT_EQ(PlayCursor(buffer.get()), 33075u * 2u);
}

TEST(Mix, VolumeAndPanAttenuate) {
    TDevicePtr device = ManualDevice();
    const std::vector<std::int16_t> samples(2 * 1000, 10000);
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    Fill(buffer.get(), samples);
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);

    auto levels = [&](LONG volume, LONG pan) {
        EXPECT_EQ(buffer->SetVolume(volume), DS_OK);
        EXPECT_EQ(buffer->SetPan(pan), DS_OK);
        const std::vector<std::int16_t> out = Mix(device.get(), 100);
        return std::pair<int, int>(out[0], out[1]);
    };
    EXPECT_EQ(levels(0, 0), std::make_pair(10000, 10000));
    EXPECT_EQ(levels(-10000, 0), std::make_pair(0, 0));
    const auto sixDb = levels(-600, 0);
    EXPECT_NEAR(sixDb.first, 5012, 2);
    EXPECT_EQ(sixDb.first, sixDb.second);
    EXPECT_EQ(levels(0, 10000), std::make_pair(0, 10000));
    EXPECT_EQ(levels(0, -10000), std::make_pair(10000, 0));
    const auto right = levels(0, 2000);
    EXPECT_NEAR(right.first, 1000, 2);
    EXPECT_EQ(right.second, 10000);
    EXPECT_EQ(levels(0, 0), std::make_pair(10000, 10000)) << "0 restores the full level";
}

TEST(Mix, BuffersAreSummedWithClipping) {
    TDevicePtr device = ManualDevice();
    TBufferPtr a = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    TBufferPtr b = CreateBuffer(device.get(), Pcm(44100, 1, 16), 2000);
    Fill(a.get(), std::vector<std::int16_t>{30000, -30000, 1000, -1000});
    Fill(b.get(), std::vector<std::int16_t>{10000, 2000});
    ASSERT_EQ(a->Play(0, 0, 0), DS_OK);
    ASSERT_EQ(b->Play(0, 0, 0), DS_OK);
    const std::vector<std::int16_t> out = Mix(device.get(), 2);
    EXPECT_EQ(out, (std::vector<std::int16_t>{32767, -20000, 3000, 1000}));
}

TEST(Mix, LockedRegionIsNotReadWhileItIsWritten) {
    TDevicePtr device = ManualDevice();
    const std::vector<std::int16_t> samples(2 * 1000, 4000);
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    Fill(buffer.get(), samples);
    LPVOID p1 = nullptr;
    DWORD b1 = 0;
    ASSERT_EQ(buffer->Lock(400, 400, &p1, &b1, nullptr, nullptr, 0), DS_OK);  // frames 100..199
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const std::vector<std::int16_t> out = Mix(device.get(), 300);
    EXPECT_EQ(out[2 * 99], 4000);
    for (int frame = 101; frame < 199; ++frame) ASSERT_EQ(out[2 * frame], 0) << frame;
    EXPECT_EQ(out[2 * 200], 4000);
    ASSERT_EQ(buffer->Unlock(p1, b1, nullptr, 0), DS_OK);
    ASSERT_EQ(buffer->SetCurrentPosition(400), DS_OK);
    EXPECT_EQ(Mix(device.get(), 10)[0], 4000);
}

TEST(Mix, StereoIntoMonoAndEightBitOutput) {
    TDevicePtr device = ManualDevice(Pcm(44100, 1, 8));
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 16);
    Fill(buffer.get(), std::vector<std::int16_t>{2560, 7680, -25600, -25600, 32767, 32767, 0, 0});
    ASSERT_EQ(buffer->Play(0, 0, 0), DS_OK);
    std::vector<BYTE> out(5, 0);
    ASSERT_EQ(DSoundTestMix(device.get(), out.data(), 5), DS_OK);
    EXPECT_EQ(out, (std::vector<BYTE>{128 + 20, 128 - 100, 255, 128, 128}));
}

TEST(Mix, TwentyTwoBuffersOfMixedFormats) {
    TDevicePtr device = ManualDevice();
    std::vector<TBufferPtr> buffers;
    for (int i = 0; i < 22; ++i) {
        const WAVEFORMATEX format = i % 3 == 0 ? Pcm(22050, 1, 8) : i % 3 == 1 ? Pcm(44100, 1, 16) : Pcm(44100, 2, 16);
        buffers.push_back(CreateBuffer(device.get(), format, format.nAvgBytesPerSec / 10));
        std::vector<BYTE> data(format.nAvgBytesPerSec / 10, format.wBitsPerSample == 8 ? 0x80 + 4 : 0);
        if (format.wBitsPerSample == 16)
            for (std::size_t k = 0; k < data.size(); k += 2) data[k] = 100;  // +100 per sample
        Fill(buffers.back().get(), 0, data.data(), static_cast<DWORD>(data.size()));
        ASSERT_EQ(buffers.back()->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    }
    const std::vector<std::int16_t> out = Mix(device.get(), 4410 * 3);
    // 8 buffers of 8-bit at +4 (1024 each) and 14 of 16-bit at +100.
    const int expected = 8 * 1024 + 14 * 100;
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [&](std::int16_t v) { return v == expected; }));
}
