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

using namespace dsound_test;

namespace {

HWND SomeWindow() { return reinterpret_cast<HWND>(0x1000); }

std::string TempPath(const char* name) {
    return ::testing::TempDir() + "dsound_" + std::to_string(::getpid()) + "_" + name;
}

struct TWavInfo {
    bool Valid = false;
    std::string Error;
    WORD Channels = 0;
    DWORD Rate = 0;
    WORD Bits = 0;
    DWORD DataBytes = 0;
    std::vector<BYTE> Data;
};

DWORD Get32(const std::vector<BYTE>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (DWORD(b[at + 3]) << 24);
}
WORD Get16(const std::vector<BYTE>& b, std::size_t at) { return static_cast<WORD>(b[at] | (b[at + 1] << 8)); }

// Parses the file as a strict reader would: the header must describe data that is there.
TWavInfo ReadWav(const std::string& path) {
    TWavInfo info;
    std::ifstream file(path, std::ios::binary);
    std::vector<BYTE> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.size() < 44) { info.Error = "shorter than a header"; return info; }
    if (std::string(bytes.begin(), bytes.begin() + 4) != "RIFF" || std::string(bytes.begin() + 8, bytes.begin() + 16) != "WAVEfmt ") {
        info.Error = "no RIFF WAVE header";
        return info;
    }
    info.DataBytes = Get32(bytes, 40);
    if (Get32(bytes, 4) != 36 + info.DataBytes) { info.Error = "RIFF size does not match the data"; return info; }
    if (std::string(bytes.begin() + 36, bytes.begin() + 40) != "data") { info.Error = "no data chunk"; return info; }
    if (bytes.size() < 44 + std::size_t{info.DataBytes}) { info.Error = "data shorter than the header says"; return info; }
    info.Channels = Get16(bytes, 22);
    info.Rate = Get32(bytes, 24);
    info.Bits = Get16(bytes, 34);
    if (Get16(bytes, 32) != info.Channels * info.Bits / 8 || Get32(bytes, 28) != info.Rate * Get16(bytes, 32)) {
        info.Error = "inconsistent format";
        return info;
    }
    info.Data.assign(bytes.begin() + 44, bytes.begin() + 44 + info.DataBytes);
    info.Valid = true;
    return info;
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
    DWORD lastBytes = 0;
    int reads = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(600)) {
        const TWavInfo info = ReadWav(path);
        ASSERT_TRUE(info.Valid) << info.Error << " after " << reads << " reads";
        EXPECT_GE(info.DataBytes, lastBytes);
        lastBytes = info.DataBytes;
        ++reads;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const TWavInfo info = ReadWav(path);
    ASSERT_TRUE(info.Valid) << info.Error;
    EXPECT_EQ(info.Rate, 44100u);
    EXPECT_EQ(info.Channels, 2);
    EXPECT_EQ(info.Bits, 16);
    const double writtenSeconds = info.DataBytes / 176400.0;
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
    const TWavInfo info = ReadWav(path);
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
