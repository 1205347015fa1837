// Wagenklang: the cab, door and departure sounds of a control car, played from the simulator's
// values.

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
        // Without a device list the window still opens; the channels report nothing and stay
        // silent.
        Application->HandleException(nullptr);
    }
    Application->SetTitle("Wagenklang");
    Application->CreateForm(&Main);
    Application->Run();
    FinalizeDeviceLists();
    FinalizeCom();
    return 0;
}
