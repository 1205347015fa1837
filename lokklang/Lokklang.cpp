// Lokklang: the fan, main switch, converter and contactor sounds of an electric locomotive,
// played from the simulator's values.

#include "ClientProgram.h"
#include "uMain.h"

int main() { return RunClientProgram("Lokklang", Main); }
