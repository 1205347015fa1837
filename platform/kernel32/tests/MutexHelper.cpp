// Second process for the named-object tests: takes a named object and reports on stdout.
//   hold NAME      lock the mutex, say "locked", release after a byte arrives on stdin
//   die NAME       lock the mutex, say "locked", end without releasing
//   try NAME MS    wait up to MS for the mutex and say the wait result
//   event NAME     create a named event, say "ready" (or "refused"), end after a byte on stdin
//   race NAME N    N processes create the mutex at once; say their answers (c, e, r), sorted
#include "kernel32.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
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

// Racers answer c(reated), e(xists) or r(efused, or died unheard) and keep the mutex until all have.
int Race(const char* name, int racers) {
    int start[2], answers[2], done[2];
    if (pipe(start) != 0 || pipe(answers) != 0 || pipe(done) != 0) return 2;
    for (int i = 0; i < racers; ++i) {
        if (fork() != 0)
            continue;
        char answer;
        close(start[1]);
        close(done[1]);
        (void)!read(start[0], &answer, 1);  // all at once, when the start closes
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        answer = !mutex ? 'r' : GetLastError() == ERROR_ALREADY_EXISTS ? 'e' : 'c';
        (void)!write(answers[1], &answer, 1);
        (void)!read(done[0], &answer, 1);
        _exit(0);
    }
    close(start[1]);
    close(answers[1]);
    std::string heard(racers, 'r');
    for (char& answer : heard) (void)!read(answers[0], &answer, 1);
    close(done[1]);
    while (wait(nullptr) > 0) continue;
    std::sort(heard.begin(), heard.end());
    Say(heard.c_str());
    return 0;
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
    if (std::strcmp(mode, "race") == 0 && argc > 3)
        return Race(name, std::atoi(argv[3]));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (!mutex) {
        std::printf("refused %u\n", static_cast<unsigned>(GetLastError()));
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
