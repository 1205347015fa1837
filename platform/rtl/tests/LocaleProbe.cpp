// Prints the decimal separator the library read at start-up, and a speed as the window
// would show it.

#include "SysUtils.h"

#include <cstdio>

int main() {
    std::printf("%c|%s\n", DecimalSeparator, FloatToStrF(80.0, ffFixed, 5, 2).c_str());
    return 0;
}
