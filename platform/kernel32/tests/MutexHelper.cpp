// Second process for the named-object tests: takes a named object and reports on stdout.
//   hold NAME      lock the mutex, say "locked", release after a byte arrives on stdin
//   die NAME       lock the mutex, say "locked", end without releasing
//   try NAME MS    wait up to MS for the mutex and say the wait result
//   event NAME     create a named event, say "ready" (or "refused"), end after a byte on stdin
#include "kernel32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

void Say(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

void AwaitByte() {
    char byte;
    while (read(0, &byte, 1) < 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const char* mode = argv[1];
    const char* name = argv[2];
    if (std::strcmp(mode, "event") == 0) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name);
        Say(event ? "ready" : "refused");
        AwaitByte();
        return 0;
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (!mutex) {
        Say("refused");
        return 1;
    }
    if (std::strcmp(mode, "try") == 0 && argc > 3) {
        std::printf("%u\n", static_cast<unsigned>(WaitForSingleObject(mutex, static_cast<DWORD>(std::atoi(argv[3])))));
        std::fflush(stdout);
        return 0;
    }
    if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0)
        return 1;
    Say("locked");
    if (std::strcmp(mode, "die") == 0)
        _exit(3);
    AwaitByte();
    ReleaseMutex(mutex);
    Say("released");
    AwaitByte();
    return 0;
}
