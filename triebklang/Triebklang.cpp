// Triebklang: the brake valve, direction switch, door, toggle-switch and magnetic-brake sounds
// of a diesel railcar, played from the simulator's values.

#include "ClientProgram.h"
#include "EventSocketResolve.h"
#include "uMain.h"

int main() {
    // This program keeps the low 16 bits of a port typed too large, and wraps long decimals.
    SetEventSocketNumberMode(TEventSocketNumberMode::Wrap);
    return RunClientProgram("Triebklang", Main);
}
