#include "TriebklangTestSupport.h"

#include <unistd.h>

#include "AudioFileRead.h"
#include "EventSocketResolve.h"
#include "SoundWriter.h"

namespace triebklang_test {

const std::string Greeting = Bytes({0x0F, 0, 0, 0, 0, 1, 1, 2, 10}) + "Triebklang";
const std::string Request = Bytes({0x10, 0, 0, 0, 0, 3, 0, 0x0A, 0x40, 0x43, 0x34, 0x39, 0x3C, 0x3E, 0x42, 0x44,
                                   0x4E, 0x29, 0x2F, 0x11});
const std::string EndOfRequest = Bytes({4, 0, 0, 0, 0, 3, 0, 0});

std::string ValuesPayload(const std::vector<std::pair<int, float>>& records) {
    std::vector<travo::TValue> values;
    for (const auto& [id, value] : records) values.push_back({static_cast<std::uint8_t>(id), value});
    return travo::CabValuesPayload(values);
}

std::string DateTimeRecord(double value) { return travo::Record({IdDateTime, value}); }

std::string ShortName(const char* fileName) {
    std::string name = fileName;
    return name.substr(4, name.size() - 8);
}

std::set<std::string> PlayingSounds() {
    std::set<std::string> playing;
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots)
        if (TDSMixerChannel* channel = Main->*slot.Channel; channel && channel->Playing())
            playing.insert(ShortName(slot.FileName));
    return playing;
}

void StopAllSounds() {
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots)
        if (TDSMixerChannel* channel = Main->*slot.Channel) channel->Stop();
}

void TriebklangTest::SetUp() {
    FDir = fs::temp_directory_path() /
           ("triebklang-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FDir);
    FSounds = FDir / "Sounds";
    Boxes = std::make_unique<TMessageBoxRecorder>();
    // As the program sets it at its start.
    SetEventSocketNumberMode(TEventSocketNumberMode::Wrap);
    Application->Initialize();
    ResetApplicationTerminated();
    SetEventSocketApplicationPump([] { Application->ProcessMessages(); });
    InitializeCom();
    InitializeDeviceLists();
    ASSERT_TRUE(Server.Start());
}

void TriebklangTest::TearDown() {
    if (Main) Main->Free();
    Server.Stop();
    SoundFolderOverride.clear();
    FinalizeDeviceLists();
    FinalizeCom();
    Boxes.reset();
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
}

void TriebklangTest::WriteTestSounds(const std::set<std::string>& missing) {
    fs::create_directories(FSounds);
    double frequency = 300;
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots) {
        frequency += 25;
        if (missing.count(slot.FileName)) continue;
        std::string message;
        ASSERT_TRUE(soundgen::WriteSoundFile((FSounds / slot.FileName).string(), soundgen::TFileKind::Wav16,
                                             soundgen::Sine(22050, 1, 3.0, frequency, 0.1), message))
            << message;
    }
    SoundFolderOverride = FSounds.string() + "/";
}

void TriebklangTest::CreateMain() {
    Application->CreateForm(&Main);
    ASSERT_NE(Main, nullptr);
    Main->cbPort->SetText(std::to_string(Server.Port()));
}

void TriebklangTest::Connect() {
    const std::size_t before = Server.ClientCount();
    Main->btnConnect->Click();
    ASSERT_TRUE(Server.WaitForClients(before + 1, 10000));
    FClient = before;
    ASSERT_TRUE(ProcessUntil([this] { return Server.Client(FClient).EndRequested; })) << "no end of request";
    ASSERT_EQ(Main->btnConnect->Caption(), "Trennen");
}

std::set<std::string> TriebklangTest::Packet(const std::vector<std::pair<int, float>>& records) {
    return RawPacket(ValuesPayload(records));
}

std::set<std::string> TriebklangTest::RawPacket(const std::string& payload) {
    StopAllSounds();
    Main->HandleDataPacket(payload);
    return PlayingSounds();
}

}  // namespace triebklang_test
