#pragma once
// The entry of a program on the window-side simulator client: the application, COM and the
// sound devices on the main thread before the window builds its channels, the socket's waits
// serving the application's events, then the main window until it closes.

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "EventSocket.h"
#include "Forms.h"

template <class TMainForm>
int RunClientProgram(const char* Title, TMainForm*& MainForm) {
    Application->Initialize();
    InitializeCom();
    try {
        InitializeDeviceLists();
    } catch (...) {
        // Without a device list the window still opens; the channels stay silent.
        Application->HandleException(nullptr);
    }
    // The socket's waits serve the application's events, not only the thread's queue.
    SetEventSocketApplicationPump([] { Application->ProcessMessages(); });
    Application->SetTitle(Title);
    Application->CreateForm(&MainForm);
    Application->Run();
    FinalizeDeviceLists();
    FinalizeCom();
    return 0;
}
