// Bytes from the simulator's data server, as the receive loop hands them over: through the
// client's packet buffer and record splitter into the window's value handlers, whose sound rules
// play the real channels (no sound device).
//
// Input: one byte of window settings, one byte giving the size of the pieces in which the stream
// arrives (0: all at once), then the stream itself.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "Forms.h"
#include "FormsTesting.h"
#include "SoundWriter.h"
#include "TravoTcpClient.h"
#include "uMain.h"

namespace fs = std::filesystem;

namespace {

fs::path SoundDir;
TMessageBoxRecorder* Boxes = nullptr;

// Short sounds in the smallest format keep a channel's play cheap; every file the window can
// load is there, so no box reports a missing one.
void WriteSounds() {
    std::random_device random;
    do {
        SoundDir = fs::temp_directory_path() / ("wagenklang-fuzz-" + std::to_string(random()));
    } while (!fs::create_directory(SoundDir));
    std::vector<std::string> names;
    for (const char* name : ChannelFiles)
        if (name) names.push_back(name);
    names.insert(names.end(), DoorSoundFiles.begin(), DoorSoundFiles.end());
    for (const std::string& name : names) {
        std::string message;
        if (!soundgen::WriteSoundFile((SoundDir / name).string(), soundgen::TFileKind::Wav8,
                                      soundgen::Sine(8000, 1, 0.02, 440.0, 0.3), message)) {
            std::fprintf(stderr, "cannot write %s: %s\n", name.c_str(), message.c_str());
            std::abort();
        }
    }
    SoundFolderOverride = SoundDir.string() + "/";
}

void StopAllChannels() {
    for (TDSMixerChannel* channel : Channels)
        if (channel) channel->Stop();
}

void Finish() {
    StopAllChannels();
    if (Main) Main->Free();
    FinalizeDeviceLists();
    FinalizeCom();
    delete Boxes;
    Boxes = nullptr;
    std::error_code ignored;
    fs::remove_all(SoundDir, ignored);
}

// The window's choices as a user makes them; each change runs the control's click handler.
void ApplySettings(std::uint8_t settings) {
    TRadioButton* const doors[] = {Main->rbTuerKeine, Main->rbTuerDrehfaltBn, Main->rbTuerDrehfaltBy,
                                   Main->rbTuerSchwenkschiebe};
    TRadioButton* const departures[] = {Main->rbAbfOhne, Main->rbAbfTB0, Main->rbAbfSAT, Main->rbAbfTB0};
    doors[settings & 3]->SetChecked(true);
    departures[(settings >> 2) & 3]->SetChecked(true);
    Main->cbSound->SetChecked((settings & 0x10) == 0);
}

// Every input starts from the same values, so that a finding replays alone.
void ResetReceivedValues() {
    Speed.Reset(0.0f);
    for (TValuePair<BYTE>* pair : {&MasterController, &BrakeValve, &DynamicBrake, &AuxiliaryBrake, &ToggleSwitch1,
                                   &DirectionSwitch, &DoorSwitch, &FanSwitch, &DoorState})
        pair->Reset(0);
    TB0Blocked = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("DSOUND_OUTPUT", "null", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    Application->Initialize();
    Boxes = new TMessageBoxRecorder;
    InitializeCom();
    InitializeDeviceLists();
    WriteSounds();
    Application->CreateForm(&Main);
    if (!Main || Boxes->Count() != 0) {
        std::fprintf(stderr, "the window did not open cleanly\n");
        std::abort();
    }
    std::atexit(Finish);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 2) return -1;
    ApplySettings(Data[0]);
    ResetReceivedValues();
    const std::size_t piece = Data[1] == 0 ? Size : Data[1];
    const auto* stream = reinterpret_cast<const char*>(Data + 2);
    const std::size_t length = Size - 2;

    TTravoTCP client;
    client.OnSingle = &HandleSingleValue;
    client.OnInteger = &HandleIntegerValue;
    client.OnDouble = &HandleDoubleValue;
    client.OnBytes = &HandleBytesValue;
    for (std::size_t at = 0; at < length; at += piece) {
        // A stream out of step ends the connection: nothing behind it is read.
        if (!client.TakeData(stream + at, std::min(piece, length - at))) break;
    }

    // Nothing plays into the next input; end notices of sounds that ran out are served here.
    StopAllChannels();
    Application->ProcessMessages();
    if (Boxes->Count() != 0) {
        const TMessageBoxRecord box = Boxes->Records().front();
        std::fprintf(stderr, "the stream made the window show a box: %s\n", box.Text.c_str());
        std::abort();
    }
    return 0;
}
