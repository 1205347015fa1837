#pragma once
// The entry of each program: the application, COM and the sound devices on the main thread
// before the window builds its channels, then the main window until it closes.

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "Forms.h"

// Tells at start-up, once, that there is no sound output: the device opens at the first sound,
// on the data path, where its failure could not be told and would end the handling of the
// values. The window then starts as it does with a device, its mixer playing nothing.
inline void CheckSoundDevice(TDSMixer* Mixer, TObject* Sender) {
    try {
        Mixer->CheckDevice();
    } catch (const Exception&) {
        Application->HandleException(Sender);
    }
}

// prepare runs once the application stands, before the window is made.
template <class TMainForm>
int RunProgram(const char* Title, TMainForm*& MainForm, void (*prepare)() = nullptr) {
    Application->Initialize();
    InitializeCom();
    try {
        InitializeDeviceLists();
    } catch (...) {
        // Without a device list the window still opens; the channels stay silent.
        Application->HandleException(nullptr);
    }
    if (prepare) prepare();
    Application->SetTitle(Title);
    Application->CreateForm(&MainForm);
    Application->Run();
    FinalizeDeviceLists();
    FinalizeCom();
    return 0;
}
