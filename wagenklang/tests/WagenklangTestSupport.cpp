#include "WagenklangTestSupport.h"

namespace wagenklang_test {

std::set<int> PlayingChannels() {
    std::set<int> playing;
    for (int n = 1; n <= ChannelCount; ++n)
        if (Channels[n] && Channels[n]->Playing()) playing.insert(n);
    return playing;
}

void StopAllChannels() {
    for (int n = 1; n <= ChannelCount; ++n)
        if (Channels[n]) Channels[n]->Stop();
}

namespace {

// A test sound that ended by itself would make the channels a rule leaves playing depend on how
// soon the test looks at them; each plays on until it is stopped. Loading a file resets it.
void KeepPlayedSoundsPlaying() {
    for (int n = 1; n <= ChannelCount; ++n)
        if (Channels[n]) Channels[n]->SetLooping(true);
}

}  // namespace

void WagenklangTest::TearDown() {
    if (Main) Main->Free();
    ProgramTest::TearDown();
}

void WagenklangTest::WriteTestSounds(const std::set<std::string>& missing) {
    std::vector<std::pair<std::string, double>> files;
    for (const char* name : ChannelFiles)
        if (name) files.emplace_back(name, 3.0);
    for (const char* name : DoorSoundFiles) files.emplace_back(name, 3.0);
    WriteSoundFiles(files, 200, 20, missing);
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
    KeepPlayedSoundsPlaying();
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
    KeepPlayedSoundsPlaying();
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
