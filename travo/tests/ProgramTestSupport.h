#pragma once
// The one base of the three programs' tests: a temp folder per test, the message-box recorder,
// the application, COM and the device lists, the data-server stand-in over loopback and the
// test sounds; the caption walk and the mixer's output into a WAV file; the watchdog that ends a
// genuine hang; the drives. Each program's fixture derives from it and adds its window.
//
// With KLANG_KEEP_FAILED=DIR, a test that failed leaves its folder in DIR/<test name>-<pid>: the
// mixer's output, the sound set the program played from and the drive it was sent, so that what
// the test saw can be looked at and played again after the run.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "DSoundTesting.h"
#include "Forms.h"
#include "FormsTesting.h"
#include "SoundOutputMatch.h"
#include "StdCtrls.h"
#include "TravoServer.h"

// Each program defines it; the tests point it at their own sounds.
extern std::string SoundFolderOverride;

namespace program_test {

namespace fs = std::filesystem;

// Ends a genuine hang: unless it is freed within the seconds given, the test program stops,
// saying what hung.
struct TWatchdog {
    TWatchdog(unsigned seconds, const char* what);
    ~TWatchdog();
};

class ProgramTest : public ::testing::Test {
protected:
    // program names the temp folder, so that the suites of two programs never share one.
    explicit ProgramTest(std::string program) : FProgram(std::move(program)) {}

    void SetUp() override;
    // The derived fixture frees its window first: the window's connection goes before the server.
    void TearDown() override;

    // Writes each (file name, seconds) as a sine, the n-th at firstFrequency + n * step, skipping
    // the names in missing, and points the program at them.
    void WriteSoundFiles(const std::vector<std::pair<std::string, double>>& files, double firstFrequency,
                         double step, const std::set<std::string>& missing);
    // Every caption of the window fits its control; with a picture, the window is also written
    // to the screenshots folder beside the tests.
    static void ExpectCaptionsFit(TForm* window, const char* picture);
    struct TCaptionState {
        const char* Name;
        std::function<void()> Reach;
        const char* ButtonCaption;
        const char* Picture;
        const char* StateCaption = nullptr;  // of the window's connection state, where it has one
    };
    // Shows the window and reaches each state in turn: the connect button's caption (and the
    // state label's), every caption fitting; pictured runs in the states that have a picture.
    static void WalkCaptionStates(TForm* window, TButton* connectButton, const std::vector<TCaptionState>& states,
                                  const std::function<void()>& pictured = {}, TLabel* stateLabel = nullptr);
    // Sends the values to the current connection and adds them to the test's drive file, a drive
    // the demo server can play, timed from the first step.
    void SendDriveStep(const std::vector<travo::TValue>& values);

    // Without a sound output: the device's error is told once, at start-up, and the window then
    // takes every value of a drive (driveTaken sends one and tells whether all arrived).
    void ExpectNoSoundOutputToldOnce(const std::function<void()>& createWindow, const std::function<bool()>& driveTaken);

    fs::path FDir;
    fs::path FSounds;
    travo::TTravoServer Server;
    std::unique_ptr<TMessageBoxRecorder> Boxes;
    std::size_t FClient = 0;  // the server's index of the current connection

private:
    void KeepFailedFolder(const fs::path& keepDir);

    std::string FProgram;
    std::optional<std::chrono::steady_clock::time_point> FDriveStart;
};

// A program fixture whose mixer writes its output to output.wav in the test's folder.
template <class Fixture>
class WavOutputTest : public Fixture {
protected:
    void SetUp() override {
        Fixture::SetUp();
        FOutput = (this->FDir / "output.wav").string();
        setenv("DSOUND_OUTPUT", ("wav:" + FOutput).c_str(), 1);
    }
    void TearDown() override {
        Fixture::TearDown();
        setenv("DSOUND_OUTPUT", "null", 1);
    }
    // Sends the drive's steps one sound at a time (see PlayOneAtATime), apart in the output.
    template <class TChannelOf, class TServeUntil>
    void PlayDrive(const std::vector<TSoundStep<std::vector<travo::TValue>>>& steps, TChannelOf channelOf,
                   TServeUntil serveUntil) {
        PlayOneAtATime(
            steps, [this](const std::vector<travo::TValue>& values) { this->SendDriveStep(values); }, channelOf,
            [this] { return ReadDSoundWavLength(FOutput).Frames; }, serveUntil);
    }
    std::string FOutput;
};

// Reads a demo drive into steps and checks that it lasts about a minute.
void ReadDemoDrive(const char* path, std::vector<travo::TStep>& steps);

}  // namespace program_test
