// Triebklang: the brake valve, direction switch, door, toggle-switch and magnetic-brake sounds
// of a diesel railcar, played from the simulator's values.

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "EventSocketResolve.h"
#include "Forms.h"
#include "uMain.h"

int main() {
    // This program keeps the low 16 bits of a port typed too large, and wraps long decimals.
    SetEventSocketNumberMode(TEventSocketNumberMode::Wrap);
    Application->Initialize();
    // COM and the sound devices belong to the main thread and must be there before the window
    // builds its channels.
    InitializeCom();
    try {
        InitializeDeviceLists();
    } catch (...) {
        // Without a device list the window still opens; the channels stay silent.
        Application->HandleException(nullptr);
    }
    // The socket's waits serve the application's events, not only the thread's queue.
    SetEventSocketApplicationPump([] { Application->ProcessMessages(); });
    Application->SetTitle("Triebklang");
    Application->CreateForm(&Main);
    Application->Run();
    FinalizeDeviceLists();
    FinalizeCom();
    return 0;
}
