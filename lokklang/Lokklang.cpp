// Lokklang: the fan, main switch, converter and contactor sounds of an electric locomotive,
// played from the simulator's values.

#include "AudioFileRead.h"
#include "DSMixer.h"
#include "Forms.h"
#include "uMain.h"

int main() {
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
    Application->SetTitle("Lokklang");
    Application->CreateForm(&Main);
    Application->Run();
    FinalizeDeviceLists();
    FinalizeCom();
    return 0;
}
