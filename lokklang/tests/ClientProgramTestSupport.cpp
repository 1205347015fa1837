#include "ClientProgramTestSupport.h"

#include <fstream>

#include <unistd.h>

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "DriveFile.h"
#include "SoundWriter.h"
#include "SysUtils.h"

namespace client_program_test {

void ClientProgramTest::SetUp() {
    FDir = fs::temp_directory_path() /
           (FProgram + "-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FDir);
    FSounds = FDir / "Sounds";
    Boxes = std::make_unique<TMessageBoxRecorder>();
    Application->Initialize();
    ResetApplicationTerminated();
    SetEventSocketApplicationPump([] { Application->ProcessMessages(); });
    InitializeCom();
    InitializeDeviceLists();
    ASSERT_TRUE(Server.Start());
}

void ClientProgramTest::TearDown() {
    Server.Stop();
    SoundFolderOverride.clear();
    FinalizeDeviceLists();
    FinalizeCom();
    Boxes.reset();
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
}

void ClientProgramTest::WriteSoundFiles(const std::vector<std::pair<std::string, double>>& files,
                                        double firstFrequency, double step, const std::set<std::string>& missing) {
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

void ClientProgramTest::PointAtServer(TTravoClientForm* window) {
    window->cbPort->SetText(std::to_string(Server.Port()));
}

void ClientProgramTest::ConnectWindow(TTravoClientForm* window) {
    const std::size_t before = Server.ClientCount();
    window->btnConnect->Click();
    ASSERT_TRUE(Server.WaitForClients(before + 1, 10000));
    FClient = before;
    ASSERT_TRUE(ProcessUntil([this] { return Server.Client(FClient).EndRequested; })) << "no end of request";
    ASSERT_EQ(window->btnConnect->Caption(), "Trennen");
}

void ClientProgramTest::ExpectCaptionsFit(TForm* window, const char* picture) {
    const std::vector<std::string> problems = CaptionProblems(window);
    EXPECT_TRUE(problems.empty()) << ProblemLines(problems);
    if (!picture) return;
    const std::string path = ExeDir() + "screenshots/" + picture;
    EXPECT_TRUE(SaveFormImage(window, path)) << path;
}

void ClientProgramTest::WalkCaptionStates(TTravoClientForm* window, const std::vector<TCaptionState>& states,
                                          const std::function<void()>& pictured) {
    window->Show();
    Application->ProcessMessages();
    for (const TCaptionState& state : states) {
        SCOPED_TRACE(state.Name);
        state.Reach();
        Application->ProcessMessages();
        ASSERT_EQ(window->btnConnect->Caption(), state.ButtonCaption);
        ExpectCaptionsFit(window, state.Picture);
        if (state.Picture && pictured) pictured();
    }
}

void ClientProgramTest::ExpectOneLoadErrorBox() {
    ASSERT_EQ(Boxes->Count(), 1u) << "the failed load is reported";
    EXPECT_EQ(Boxes->Records()[0].Icon(), static_cast<UINT>(MB_ICONERROR));
    EXPECT_FALSE(Boxes->Records()[0].Text.empty());
}

void ClientProgramTest::ExpectSocketUnbound(TTravoClientForm* window) {
    EXPECT_FALSE(window->CliSocket->OnDataAvailable);
    EXPECT_FALSE(window->CliSocket->OnSessionClosed);
    EXPECT_EQ(window->CliSocket->State(), wsClosed);
}

std::vector<travo::TStep> DriveOf(const std::vector<std::pair<int, std::vector<travo::TValue>>>& timeline) {
    std::vector<travo::TStep> drive;
    for (const auto& [at, values] : timeline) {
        travo::TStep step;
        step.AtMs = at;
        step.Values = values;
        drive.push_back(step);
    }
    return drive;
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

}  // namespace client_program_test
