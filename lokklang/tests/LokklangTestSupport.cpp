#include "LokklangTestSupport.h"

#include <cstring>


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

void LokklangTest::TearDown() {
    if (Main) Main->Free();
    ClientProgramTest::TearDown();
    DecimalSeparator = '.';
}

void LokklangTest::WriteTestSounds(const std::set<std::string>& missing) {
    std::vector<std::pair<std::string, double>> files;
    for (const char* name : {"FML_Anfang.wav", "FML_Loop.wav", "FML_Ende.wav", "MTS.wav", "MTS_abreissen.wav",
                             "HSein.wav", "HSaus.wav", "Umformer.wav"})
        files.emplace_back(name, std::string(name) == "FML_Ende.wav" ? 0.4 : 3.0);
    WriteSoundFiles(files, 200, 20, missing);
}

void LokklangTest::CreateMain() {
    Application->CreateForm(&Main);
    ASSERT_NE(Main, nullptr);
    PointAtServer(Main);
}

void LokklangTest::Connect() { ConnectWindow(Main); }

}  // namespace lokklang_test
