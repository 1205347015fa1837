// The real-time outputs: null, WAV file and SDL's dummy driver.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

#include "DSoundTestSupport.h"
#include "DSoundTesting.h"

using namespace dsound_test;

namespace {

HWND SomeWindow() { return reinterpret_cast<HWND>(0x1000); }

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "dsound_" + std::to_string(::getpid()) + "_" + name;
}

}  // namespace

TEST(WavOutput, FileIsValidAtEveryMomentAndGrowsAtRealTimePace) {
    const std::string path = TempPath("pace.wav");
    TScopedEnv output("DSOUND_OUTPUT", ("wav:" + path).c_str());
    TDevicePtr device = CreateDevice();
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    Fill(buffer.get(), std::vector<std::int16_t>(2000, 1234));
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);

    const auto start = std::chrono::steady_clock::now();
    std::size_t lastBytes = 0;
    int reads = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(600)) {
        const TDSoundWavFile info = ReadDSoundWavFile(path);
        ASSERT_TRUE(info.Valid) << info.Error << " after " << reads << " reads";
        EXPECT_GE(info.Data.size(), lastBytes);
        lastBytes = info.Data.size();
        ++reads;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const TDSoundWavFile info = ReadDSoundWavFile(path);
    ASSERT_TRUE(info.Valid) << info.Error;
    EXPECT_EQ(info.Rate, 44100u);
    EXPECT_EQ(info.Channels, 2);
    EXPECT_EQ(info.Bits, 16);
    const double writtenSeconds = info.Data.size() / 176400.0;
    EXPECT_GT(writtenSeconds, 0.2);
    EXPECT_LT(writtenSeconds, seconds + 0.5) << "no faster than real time";
    // The playing buffer is in the file.
    std::int16_t last = 0;
    std::memcpy(&last, info.Data.data() + info.Data.size() - 2, 2);
    EXPECT_EQ(last, 1234);
    std::remove(path.c_str());
}

TEST(WavOutput, FileFollowsThePrimaryFormat) {
    const std::string path = TempPath("format.wav");
    TScopedEnv output("DSOUND_OUTPUT", ("wav:" + path).c_str());
    TDevicePtr device = CreateDevice();
    ASSERT_EQ(device->SetCooperativeLevel(SomeWindow(), DSSCL_PRIORITY), DS_OK);
    TBufferPtr primary = CreatePrimary(device.get());
    const WAVEFORMATEX format = Pcm(22050, 1, 8);
    ASSERT_EQ(primary->SetFormat(&format), DS_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const TDSoundWavFile info = ReadDSoundWavFile(path);
    ASSERT_TRUE(info.Valid) << info.Error;
    EXPECT_EQ(info.Rate, 22050u);
    EXPECT_EQ(info.Channels, 1);
    EXPECT_EQ(info.Bits, 8);
    ASSERT_FALSE(info.Data.empty());
    EXPECT_EQ(info.Data.front(), 0x80) << "8-bit silence";
    std::remove(path.c_str());
}

TEST(WavOutput, UnwritablePathFailsTheCreation) {
    TScopedEnv output("DSOUND_OUTPUT", "wav:/nonexistent-folder/x.wav");
    IDirectSound* device = nullptr;
    EXPECT_EQ(DirectSoundCreate(nullptr, &device, nullptr), DSERR_NODRIVER);
    EXPECT_EQ(device, nullptr);
}

// The play cursor of a looping buffer moves on by itself at about real time.
void ExpectCursorAdvances(IDirectSound* device) {
    TBufferPtr buffer = CreateBuffer(device, Pcm(44100, 2, 16), 176400 * 4);
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    DWORD play = 0;
    ASSERT_EQ(buffer->GetCurrentPosition(&play, nullptr), DS_OK);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(play, 176400u / 20) << "less than 50 ms played in 300 ms";
    EXPECT_LT(play / 176400.0, seconds + 0.3);
}

TEST(NullOutput, CursorAdvancesInRealTime) {
    TScopedEnv output("DSOUND_OUTPUT", "null");
    TDevicePtr device = CreateDevice();
    ExpectCursorAdvances(device.get());
}

TEST(SdlOutput, DummyDriverPlaysTheBuffers) {
    TScopedEnv output("DSOUND_OUTPUT", nullptr);
    TScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    TDevicePtr device = CreateDevice();
    ASSERT_NE(device, nullptr);
    ExpectCursorAdvances(device.get());
}
