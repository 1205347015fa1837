// The real-time outputs: null, WAV file and SDL's dummy driver.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
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

// The output's clock is its own thread: the tests wait for what it has written, however late a
// busy machine runs it, and give up only when it has hung.
constexpr auto kHang = std::chrono::seconds(30);

// Reads the file as it grows until done() holds; every read finds a valid file that holds no
// less than the read before.
TDSoundWavFile ReadUntil(const std::string& path, const std::function<bool(const TDSoundWavFile&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kHang;
    std::size_t lastBytes = 0;
    for (int reads = 0;; ++reads) {
        TDSoundWavFile info = ReadDSoundWavFile(path);
        EXPECT_TRUE(info.Valid) << info.Error << " after " << reads << " reads";
        EXPECT_GE(info.Data.size(), lastBytes) << "the file shrank";
        if (!info.Valid || info.Data.size() < lastBytes || done(info)) return info;
        lastBytes = info.Data.size();
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the WAV output hung at " << lastBytes << " bytes";
            return info;
        }
    }
}

std::int16_t LastSample(const TDSoundWavFile& info) {
    std::int16_t last = 0;
    if (info.Data.size() >= 2) std::memcpy(&last, info.Data.data() + info.Data.size() - 2, 2);
    return last;
}

}  // namespace

void ExpectCursorAdvances(IDirectSound* device);

// At what its header counts (here 1 s, for 4 GiB) it stops, keeps its start, says so; the mix goes on.
TEST(WavOutput, FileIsValidAtEveryMomentNeverAheadOfRealTimeAndStopsAtItsLimit) {
    const std::string path = TempPath("pace.wav");
    TScopedEnv output("DSOUND_OUTPUT", ("wav:" + path).c_str());
    // Before the output starts: it cannot have written more than the time since.
    const auto start = std::chrono::steady_clock::now();
    DSoundTestLimitWavData(176400 + 3);
    TDevicePtr device = CreateDevice();
    DSoundTestLimitWavData(0);
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    Fill(buffer.get(), std::vector<std::int16_t>(2000, 1234));
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);

    // A fifth of a second in all, ending in the playing buffer.
    const TDSoundWavFile info = ReadUntil(path, [](const TDSoundWavFile& wav) {
        return wav.Data.size() >= 176400 / 5 && LastSample(wav) == 1234;
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(info.Valid) << info.Error;
    EXPECT_EQ(info.Rate, 44100u);
    EXPECT_EQ(info.Channels, 2);
    EXPECT_EQ(info.Bits, 16);
    EXPECT_EQ(LastSample(info), 1234) << "the playing buffer is in the file";
    EXPECT_LE(info.Data.size() / 176400.0, seconds) << "no faster than real time";
    ::testing::internal::CaptureStderr();
    ReadUntil(path, [](const TDSoundWavFile& wav) { return wav.Data.size() >= 176400; });
    ExpectCursorAdvances(device.get());
    const std::string said = ::testing::internal::GetCapturedStderr();
    const TDSoundWavFile full = ReadDSoundWavFile(path);
    EXPECT_TRUE(full.Valid && full.Data.size() == 176400 &&
                std::vector<BYTE>(full.Data.begin(), full.Data.begin() + info.Data.size()) == info.Data);
    EXPECT_EQ(said, "dsound: the recording " + path + " is full at 176400 bytes of sound, all its header can count; it stops here\n");
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
    const TDSoundWavFile info = ReadUntil(path, [](const TDSoundWavFile& wav) { return !wav.Data.empty(); });
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

// The play cursor of a looping buffer moves on by itself, no faster than real time.
void ExpectCursorAdvances(IDirectSound* device) {
    TBufferPtr buffer = CreateBuffer(device, Pcm(44100, 2, 16), 176400 * 4);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    DWORD play = 0;
    while (play < 176400u / 20) {
        ASSERT_EQ(buffer->GetCurrentPosition(&play, nullptr), DS_OK);
        ASSERT_LT(std::chrono::steady_clock::now() - start, kHang) << "the play cursor hung at " << play;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The device may take a period or two ahead of the clock.
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
