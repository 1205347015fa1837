#include "LokklangTestSupport.h"

#include <cstring>

#include <unistd.h>

#include "AudioFileRead.h"
#include "SoundWriter.h"

namespace lokklang_test {

std::string ValuesPayload(const std::vector<std::pair<int, float>>& records) {
    std::string payload = Bytes({0, 0x0A});
    for (const auto& [id, value] : records) {
        payload.push_back(static_cast<char>(id));
        char bytes[4];
        std::memcpy(bytes, &value, 4);
        payload.append(bytes, 4);
    }
    return payload;
}

std::vector<std::pair<std::string, TDSMixerChannel*>> NamedChannels() {
    return {{"FML_Anfang.wav", Main->FSndFMLAnfang},   {"FML_Loop.wav", Main->FSndFMLLoop},
            {"FML_Ende.wav", Main->FSndFMLEnde},       {"MTS.wav", Main->FSndMTS},
            {"MTS_abreissen.wav", Main->FSndMTSAbreissen}, {"HSein.wav", Main->FSndHSein},
            {"HSaus.wav", Main->FSndHSaus},            {"Umformer.wav", Main->FSndUmformer}};
}

std::set<std::string> PlayingSounds() {
    std::set<std::string> playing;
    for (const auto& [name, channel] : NamedChannels())
        if (channel && channel->Playing()) playing.insert(name);
    return playing;
}

void StopAllSounds() {
    for (const auto& [name, channel] : NamedChannels())
        if (channel) channel->Stop();
}

void LokklangTest::SetUp() {
    FDir = fs::temp_directory_path() /
           ("lokklang-" + std::to_string(::getpid()) + "-" +
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

void LokklangTest::TearDown() {
    if (Main) Main->Free();
    Server.Stop();
    SoundFolderOverride.clear();
    FinalizeDeviceLists();
    FinalizeCom();
    Boxes.reset();
    DecimalSeparator = '.';
    std::error_code ignored;
    fs::remove_all(FDir, ignored);
}

void LokklangTest::WriteTestSounds(const std::set<std::string>& missing) {
    fs::create_directories(FSounds);
    const std::vector<std::string> names = {"FML_Anfang.wav", "FML_Loop.wav", "FML_Ende.wav", "MTS.wav",
                                            "MTS_abreissen.wav", "HSein.wav", "HSaus.wav", "Umformer.wav"};
    double frequency = 200;
    for (const std::string& name : names) {
        frequency += 20;
        if (missing.count(name)) continue;
        const double seconds = name == "FML_Ende.wav" ? 0.4 : 3.0;
        std::string message;
        ASSERT_TRUE(soundgen::WriteSoundFile((FSounds / name).string(), soundgen::TFileKind::Wav16,
                                             soundgen::Sine(22050, 1, seconds, frequency, 0.1), message))
            << message;
    }
    SoundFolderOverride = FSounds.string() + "/";
}

void LokklangTest::CreateMain() {
    Application->CreateForm(&Main);
    ASSERT_NE(Main, nullptr);
    Main->cbPort->SetText(std::to_string(Server.Port()));
}

void LokklangTest::Connect() {
    const std::size_t before = Server.ClientCount();
    Main->btnConnect->Click();
    ASSERT_TRUE(Server.WaitForClients(before + 1, 10000));
    FClient = before;
    ASSERT_TRUE(ProcessUntil([this] { return Server.Client(FClient).EndRequested; })) << "no end of request";
    ASSERT_EQ(Main->btnConnect->Caption(), "Trennen");
}

}  // namespace lokklang_test
