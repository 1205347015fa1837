#include "WagenklangTestSupport.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "AudioFileRead.h"
#include "SoundWriter.h"

namespace wagenklang_test {

std::set<int> PlayingChannels() {
    std::set<int> playing;
    for (int n = 1; n <= ChannelCount; ++n)
        if (Channels[n] && Channels[n]->Playing()) playing.insert(n);
    return playing;
}

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

void StopAllChannels() {
    for (int n = 1; n <= ChannelCount; ++n)
        if (Channels[n]) Channels[n]->Stop();
}

void WagenklangTest::SetUp() {
    FDir = fs::temp_directory_path() /
           ("wagenklang-" + std::to_string(::getpid()) + "-" +
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

void WagenklangTest::TearDown() {
    if (Main) Main->Free();
    Server.Stop();
    SoundFolderOverride.clear();
    FinalizeDeviceLists();
    FinalizeCom();
    Boxes.reset();
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
}

void WagenklangTest::WriteTestSounds(const std::set<std::string>& missing) {
    fs::create_directories(FSounds);
    std::vector<std::string> names;
    for (const char* name : ChannelFiles)
        if (name) names.push_back(name);
    names.insert(names.end(), DoorSoundFiles.begin(), DoorSoundFiles.end());
    double frequency = 200;
    for (const std::string& name : names) {
        frequency += 20;
        if (missing.count(name)) continue;
        std::string message;
        ASSERT_TRUE(soundgen::WriteSoundFile((FSounds / name).string(), soundgen::TFileKind::Wav16,
                                             soundgen::Sine(22050, 1, 3.0, frequency, 0.1), message))
            << message;
    }
    SoundFolderOverride = FSounds.string() + "/";
}

void WagenklangTest::CreateMain() {
    Application->CreateForm(&Main);
    ASSERT_NE(Main, nullptr);
    Main->edTCPPort->SetText(std::to_string(Server.Port()));
}

void WagenklangTest::Connect() {
    const std::size_t before = Server.ClientCount();
    // The stand-in notes the end of the request once its reply is written, which tells nothing
    // of the client having read that reply. The script's step, a sentinel whose channel plays,
    // tells that the receive loop reads data.
    FSentinel = FSentinel == 0 ? 1 : 0;
    travo::TStep ready;
    ready.Values = {{IdDynamicBrake, static_cast<double>(FSentinel)}};
    Server.SetScript({ready});
    StopAllChannels();
    Main->btnTCPConnection->Click();
    ASSERT_TRUE(Connected);
    ASSERT_TRUE(Server.WaitForClients(before + 1, 10000));
    FClient = before;
    ASSERT_TRUE(ProcessUntil([] { return Channels[chDynBrRaste]->Playing(); })) << "no data after connecting";
    Channels[chDynBrRaste]->Stop();
}

void WagenklangTest::Disconnect() {
    Main->btnTCPConnection->Click();
    ASSERT_FALSE(Connected);
    ASSERT_TRUE(Server.WaitForClientClosed(FClient, 10000));
}

std::set<int> WagenklangTest::Step(const std::vector<travo::TValue>& values, bool stopFirst) {
    if (stopFirst) StopAllChannels();
    FSentinel = FSentinel == 0 ? 1 : 0;
    EXPECT_TRUE(Server.SendValues(FClient, values));
    EXPECT_TRUE(Server.SendValues(FClient, {{IdDynamicBrake, static_cast<double>(FSentinel)}}));
    EXPECT_TRUE(ProcessUntil([] { return Channels[chDynBrRaste]->Playing(); }))
        << "the sentinel never arrived";
    // The next step's sentinel must be seen to start anew.
    Channels[chDynBrRaste]->Stop();
    std::set<int> playing = PlayingChannels();
    playing.erase(chDynBrRaste);
    return playing;
}

}  // namespace wagenklang_test
