#include "ProgramTestSupport.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "DriveFile.h"
#include "SoundWriter.h"
#include "SysUtils.h"

namespace program_test {

namespace {
const char* Hung = "";
}  // namespace

TWatchdog::TWatchdog(unsigned seconds, const char* what) {
    Hung = what;
    signal(SIGALRM, [](int) {
        for (const char* piece : {"Hung: ", Hung, "\n"})
            if (write(STDERR_FILENO, piece, std::strlen(piece)) < 0) break;
        _exit(1);
    });
    alarm(seconds);
}

TWatchdog::~TWatchdog() { alarm(0); }

void ProgramTest::SetUp() {
    FDir = fs::temp_directory_path() /
           (FProgram + "-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FDir);
    FSounds = FDir / "Sounds";
    Boxes = std::make_unique<TMessageBoxRecorder>();
    Application->Initialize();
    ResetApplicationTerminated();
    InitializeCom();
    InitializeDeviceLists();
    ASSERT_TRUE(Server.Start());
}

void ProgramTest::TearDown() {
    Server.Stop();
    if (const char* keepDir = std::getenv("KLANG_KEEP_FAILED"); keepDir && *keepDir && HasFailure())
        KeepFailedFolder(keepDir);
    SoundFolderOverride.clear();
    FinalizeDeviceLists();
    FinalizeCom();
    Boxes.reset();
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
}

void ProgramTest::KeepFailedFolder(const fs::path& keepDir) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name() + "-" + std::to_string(::getpid());
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised names
    const fs::path kept = keepDir / name;
    std::error_code error;
    fs::create_directories(kept, error);
    fs::copy(FDir, kept, fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
    // Without sounds of its own the program played the set beside it.
    if (!error && SoundFolderOverride.empty() && fs::is_directory(ExeDir() + "Sounds"))
        fs::copy(ExeDir() + "Sounds", kept / "Sounds", fs::copy_options::recursive, error);
    if (error)
        std::printf("Keeping the test's folder in %s failed: %s\n", kept.c_str(), error.message().c_str());
    else
        std::printf("The test's folder is kept in %s\n", kept.c_str());
}

void ProgramTest::SendDriveStep(const std::vector<travo::TValue>& values) {
    using TClock = std::chrono::steady_clock;
    if (!FDriveStart) FDriveStart = TClock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - *FDriveStart).count();
    const std::string line = travo::DriveLine(static_cast<int>(ms), values);
    std::ofstream(FDir / "sent.drive", std::ios::app) << line << "\n";
    EXPECT_TRUE(Server.SendValues(FClient, values)) << line;
}

void ProgramTest::WriteSoundFiles(const std::vector<std::pair<std::string, double>>& files, double firstFrequency,
                                  double step, const std::set<std::string>& missing) {
    fs::create_directories(FSounds);
    double frequency = firstFrequency;
    for (const auto& [name, seconds] : files) {
        frequency += step;
        if (missing.count(name)) continue;
        std::string message;
        ASSERT_TRUE(soundgen::WriteSoundFile((FSounds / name).string(), soundgen::TFileKind::Wav16,
                                             soundgen::Sine(22050, 1, seconds, frequency, 0.1), message))
            << message;
    }
    SoundFolderOverride = FSounds.string() + "/";
}

void ProgramTest::ExpectCaptionsFit(TForm* window, const char* picture) {
    const std::vector<std::string> problems = CaptionProblems(window);
    EXPECT_TRUE(problems.empty()) << ProblemLines(problems);
    if (!picture) return;
    const std::string path = ExeDir() + "screenshots/" + picture;
    EXPECT_TRUE(SaveFormImage(window, path)) << path;
}

void ProgramTest::WalkCaptionStates(TForm* window, TButton* connectButton, const std::vector<TCaptionState>& states,
                                    const std::function<void()>& pictured, TLabel* stateLabel) {
    window->Show();
    Application->ProcessMessages();
    for (const TCaptionState& state : states) {
        SCOPED_TRACE(state.Name);
        state.Reach();
        Application->ProcessMessages();
        if (stateLabel && state.StateCaption) {
            ASSERT_EQ(stateLabel->Caption(), state.StateCaption);
        }
        ASSERT_EQ(connectButton->Caption(), state.ButtonCaption);
        ExpectCaptionsFit(window, state.Picture);
        if (state.Picture && pictured) pictured();
    }
}

void ProgramTest::ExpectNoSoundOutputToldOnce(const std::function<void()>& createWindow,
                                              const std::function<bool()>& driveTaken) {
    unsetenv("DSOUND_OUTPUT");
    setenv("SDL_AUDIODRIVER", "nosuchdriver", 1);
    createWindow();
    setenv("DSOUND_OUTPUT", "null", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    ASSERT_EQ(Boxes->Count(), 1u);
    EXPECT_EQ(Boxes->Records()[0].Text, "No sound driver is available for use.");
    EXPECT_TRUE(driveTaken()) << "a value of the drive was dropped";
    EXPECT_EQ(Boxes->Count(), 1u) << "told once only";
}

void ReadDemoDrive(const char* path, std::vector<travo::TStep>& steps) {
    std::ifstream file(path);
    ASSERT_TRUE(file) << path;
    std::string error;
    ASSERT_TRUE(travo::ParseDrive(file, steps, error)) << error;
    ASSERT_FALSE(steps.empty());
    EXPECT_GE(steps.back().AtMs, 50000);
    EXPECT_LE(steps.back().AtMs, 90000);
}

}  // namespace program_test
