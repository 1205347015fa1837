#pragma once
// What the mixer's tests share: COM and the device lists for each test, sound files written
// for the test, the mixed output in a WAV file, and a message pump for the end notices.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "ChildProcess.h"
#include "DSMixer.h"
#include "DSoundTesting.h"
#include "SoundWriter.h"

namespace dsmixer_test {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

inline std::int64_t MsSince(TClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

// A test hook of the DirectSound library, bound as the mixer binds its entries.
template <class TEntry>
TEntry DSoundHook(const char* name) {
    const HMODULE library = LoadLibraryA("DSound.dll");
    EXPECT_NE(library, nullptr);
    auto entry = reinterpret_cast<TEntry>(GetProcAddress(library, name));
    EXPECT_NE(entry, nullptr) << name;
    return entry;
}

// Dispatches the calling thread's messages until done() holds or timeoutMs have passed.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto start = TClock::now();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done()) return true;
        if (MsSince(start) > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

inline void PumpFor(int ms) {
    PumpUntil([] { return false; }, ms);
}

// A limit that only a genuine hang reaches.
inline constexpr int kHangMs = 30000;

// Every channel takes the lock "DSMCUpd0". The test launcher gives each test process a
// namespace of kernel objects of its own, which the processes it starts share: the test's
// channels and its lock holder meet on that name, and no other program's channels do.
inline constexpr const char* kChannelLockName = "DSMCUpd0";

// A channel lock held by another process: the mutex helper program beside the tests takes it
// and keeps it until it reads a byte.
class TLockHolder {
public:
    explicit TLockHolder(const std::string& name) {
        char path[4096];
        const std::string self(path, GetModuleFileNameA(nullptr, path, sizeof path));
        std::string program = self.substr(0, self.rfind('/')) + "/k32-mutex-helper";
        std::string mode = "hold", lockName = name;
        int toHelper[2], fromHelper[2];
        if (pipe(toHelper) != 0) return;
        if (pipe(fromHelper) != 0) {
            close(toHelper[0]);
            close(toHelper[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toHelper[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromHelper[1], 1);
        posix_spawn_file_actions_addclose(&actions, toHelper[1]);
        posix_spawn_file_actions_addclose(&actions, fromHelper[0]);
        char* argv[] = {program.data(), mode.data(), lockName.data(), nullptr};
        if (posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv, environ) != 0) FPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(toHelper[0]);
        close(fromHelper[1]);
        FInput = toHelper[1];
        FOutput = fromHelper[0];
        FLocked = FPid > 0 && ReadLine() == "locked";
    }
    ~TLockHolder() {
        if (FReleaser != nullptr) {
            WaitForSingleObject(FReleaser, INFINITE);
            CloseHandle(FReleaser);
        }
        if (FInput >= 0) close(FInput);  // the helper lets go at the end of its input and ends
        if (FOutput >= 0) close(FOutput);
        if (FPid > 0) {
            EXPECT_TRUE(AwaitChildOrKill(FPid, false)) << "the mutex helper did not end with its input";
        }
    }
    TLockHolder(const TLockHolder&) = delete;
    TLockHolder& operator=(const TLockHolder&) = delete;

    bool Locked() const { return FLocked; }
    // Lets go of the lock ms from now, while the calling thread goes on.
    void ReleaseAfter(DWORD ms) {
        FReleaseDelayMs = ms;
        FReleaser = CreateThread(nullptr, 0, &TLockHolder::ReleaseLater, this, 0, nullptr);
    }

private:
    static DWORD ReleaseLater(LPVOID parameter) {
        auto* self = static_cast<TLockHolder*>(parameter);
        Sleep(self->FReleaseDelayMs);
        (void)!write(self->FInput, "x", 1);
        return 0;
    }
    std::string ReadLine() {
        std::string line;
        char c;
        while (read(FOutput, &c, 1) == 1 && c != '\n') line.push_back(c);
        return line;
    }

    pid_t FPid = -1;
    int FInput = -1;
    int FOutput = -1;
    bool FLocked = false;
    DWORD FReleaseDelayMs = 0;
    HANDLE FReleaser = nullptr;
};

// The sample values that the tests compare the output with: whole 16-bit steps.
inline float Level(int value) { return static_cast<float>(value) / 32767.0f; }

// Stereo frames whose pair of values is different for every frame of the first 30000 x 60.
inline soundgen::TSound Ramp(double seconds, int rate = 44100) {
    soundgen::TSound sound;
    sound.Rate = rate;
    sound.Channels = 2;
    const long frames = std::lround(seconds * rate);
    for (long i = 0; i < frames; ++i) {
        sound.Samples.push_back(Level(static_cast<int>(i % 30000) - 15000));
        sound.Samples.push_back(Level(1000 + 500 * static_cast<int>(i / 30000)));
    }
    return sound;
}

inline soundgen::TSound Sine(double seconds, int rate, int channels, double hz, double amplitude) {
    soundgen::TSound sound;
    sound.Rate = rate;
    sound.Channels = channels;
    const long frames = std::lround(seconds * rate);
    for (long i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            sound.Samples.push_back(static_cast<float>(amplitude * std::sin(2 * M_PI * hz * i / rate)));
    return sound;
}

inline soundgen::TSound Constant(double seconds, int rate, int channels, int value) {
    soundgen::TSound sound;
    sound.Rate = rate;
    sound.Channels = channels;
    sound.Samples.assign(static_cast<std::size_t>(std::lround(seconds * rate)) * channels, Level(value));
    return sound;
}

// COM, the device lists and a WAV output of its own for every test.
class TMixerTest : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = fs::temp_directory_path() / ("dsmixer-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(FDir);
        FWavPath = (FDir / "output.wav").string();
        setenv("DSOUND_OUTPUT", ("wav:" + FWavPath).c_str(), 1);
        setenv("SDL_AUDIODRIVER", "dummy", 0);
        InitializeCom();
        InitializeDeviceLists();
    }
    void TearDown() override {
        FinalizeDeviceLists();
        FinalizeCom();
        std::error_code ignored;
        fs::remove_all(FDir, ignored);
    }

    std::string Write(const std::string& name, const soundgen::TSound& sound,
                      soundgen::TFileKind kind = soundgen::TFileKind::Wav16) {
        const std::string path = (FDir / name).string();
        std::string message;
        EXPECT_TRUE(soundgen::WriteSoundFile(path, kind, sound, message)) << message;
        return path;
    }

    TDSoundWavFile Output() const {
        TDSoundWavFile wav = ReadDSoundWavFile(FWavPath);
        EXPECT_TRUE(wav.Valid) << wav.Error;
        return wav;
    }

    // Dispatches messages until the open output has grown by ms of sound. The output's own time,
    // not the clock's, is what the sound checks are about: a busy machine may mix less sound in
    // a second of the clock, never less in a second of the output.
    void PumpForOutputTime(int ms) {
        const TDSoundWavLength now = ReadDSoundWavLength(FWavPath);
        ASSERT_NE(now.Rate, 0u) << "no output open";
        const std::size_t target = now.Frames + std::size_t{now.Rate} * ms / 1000;
        ASSERT_TRUE(PumpUntil([&] { return ReadDSoundWavLength(FWavPath).Frames >= target; }, kHangMs))
            << "the output hung at " << ReadDSoundWavLength(FWavPath).Frames << " frames, short of " << target;
    }

    fs::path FDir;
    std::string FWavPath;
};

}  // namespace dsmixer_test
