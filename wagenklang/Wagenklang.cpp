// Wagenklang: the cab, door and departure sounds of a control car, played from the simulator's
// values.

#include "ProgramEntry.h"
#include "uMain.h"

int main() { return RunProgram("Wagenklang", Main); }
