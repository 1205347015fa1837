#pragma once
// The set-up the tests of the window-side client programs share: a temp folder per test, the
// message-box recorder, the application with its socket pump, COM and the device lists, the
// data-server stand-in over loopback, the test sounds and the connect through the window's own
// controls. Each program's fixture derives from it and adds its channels and packets.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "FormsTesting.h"
#include "TravoServer.h"
#include "TravoWindowClient.h"

// Each program defines it; the tests point it at their own sounds.
extern std::string SoundFolderOverride;

namespace client_program_test {

namespace fs = std::filesystem;

class ClientProgramTest : public ::testing::Test {
protected:
    // program names the temp folder, so that the suites of two programs never share one.
    explicit ClientProgramTest(std::string program) : FProgram(std::move(program)) {}

    void SetUp() override;
    // The derived fixture frees its window first: the window's socket goes before the server.
    void TearDown() override;

    // Writes each (file name, seconds) as a sine, the n-th at firstFrequency + n * step, skipping
    // the names in missing, and points the program at them.
    void WriteSoundFiles(const std::vector<std::pair<std::string, double>>& files, double firstFrequency,
                         double step, const std::set<std::string>& missing);
    void PointAtServer(TTravoClientForm* window);
    // Clicks "Verbinden" and waits until the stand-in has answered the end of the request.
    void ConnectWindow(TTravoClientForm* window);
    // Every caption of the window fits its control; with a picture, the window is also written
    // to the screenshots folder beside the tests.
    static void ExpectCaptionsFit(TForm* window, const char* picture);
    struct TCaptionState {
        const char* Name;
        std::function<void()> Reach;
        const char* ButtonCaption;
        const char* Picture;
    };
    // Shows the window and reaches each state in turn: the connect button's caption, every
    // caption fitting; pictured runs in the states that have a picture.
    static void WalkCaptionStates(TTravoClientForm* window, const std::vector<TCaptionState>& states,
                                  const std::function<void()>& pictured = {});
    // The one message box of a sound file that failed to load: an error with a text.
    void ExpectOneLoadErrorBox();
    // After the destroy handler: the socket closed, its handlers unbound.
    static void ExpectSocketUnbound(TTravoClientForm* window);

    fs::path FDir;
    fs::path FSounds;
    travo::TTravoServer Server;
    std::unique_ptr<TMessageBoxRecorder> Boxes;
    std::size_t FClient = 0;

private:
    std::string FProgram;
};

// A program fixture whose mixer writes its output to output.wav in the test's folder.
template <class ProgramTest>
class WavOutputTest : public ProgramTest {
protected:
    void SetUp() override {
        ProgramTest::SetUp();
        FOutput = (this->FDir / "output.wav").string();
        setenv("DSOUND_OUTPUT", ("wav:" + FOutput).c_str(), 1);
    }
    void TearDown() override {
        ProgramTest::TearDown();
        setenv("DSOUND_OUTPUT", "null", 1);
    }
    std::string FOutput;
};

// The stand-in's script from (milliseconds, values) pairs.
std::vector<travo::TStep> DriveOf(const std::vector<std::pair<int, std::vector<travo::TValue>>>& timeline);
// Reads a demo drive into steps and checks that it lasts about a minute.
void ReadDemoDrive(const char* path, std::vector<travo::TStep>& steps);

}  // namespace client_program_test
