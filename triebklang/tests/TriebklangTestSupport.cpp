#include "TriebklangTestSupport.h"


#include "AudioFileRead.h"
#include "EventSocketResolve.h"

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
    // As the program sets it at its start.
    SetEventSocketNumberMode(TEventSocketNumberMode::Wrap);
    ClientProgramTest::SetUp();
}

void TriebklangTest::TearDown() {
    if (Main) Main->Free();
    ClientProgramTest::TearDown();
}

void TriebklangTest::WriteTestSounds(const std::set<std::string>& missing) {
    std::vector<std::pair<std::string, double>> files;
    for (const TMain::TChannelSlot& slot : TMain::ChannelSlots) files.emplace_back(slot.FileName, 3.0);
    WriteSoundFiles(files, 300, 25, missing);
}

void TriebklangTest::CreateMain() {
    Application->CreateForm(&Main);
    ASSERT_NE(Main, nullptr);
    PointAtServer(Main);
}

void TriebklangTest::Connect() { ConnectWindow(Main); }

std::set<std::string> TriebklangTest::Packet(const std::vector<std::pair<int, float>>& records) {
    return RawPacket(ValuesPayload(records));
}

std::set<std::string> TriebklangTest::RawPacket(const std::string& payload) {
    StopAllSounds();
    Main->HandleDataPacket(payload);
    return PlayingSounds();
}

}  // namespace triebklang_test
