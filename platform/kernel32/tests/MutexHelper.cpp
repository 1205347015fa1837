// Second process for the named-object tests: takes a named object and reports on stdout.
//   hold NAME      lock the mutex, say "locked", release after a byte arrives on stdin
//   die NAME [w]   lock the mutex, say "locked", end without releasing (after a byte on stdin with w)
//   try NAME MS... wait up to MS (-1: for ever) for the mutex and say the wait result, for each MS
//   event NAME     create a named event, say "ready" (or "refused"), end after a byte on stdin
//   race NAME N [w]  N processes (forked after a named call with w) create the mutex at once and
//                  try to take it; say their answers (c, e, r), sorted, and how many took it
//   fork NAME      lock the mutex; a forked child says its wait (0 ms) and release results and
//                  closes its handle; then say "locked" and release after a byte on stdin
//   busy NAME      fork a child that sleeps, make and close names in three threads, say "busy",
//                  end at once after a byte on stdin
#include "kernel32.h"

#include <algorithm>
#include <cctype>
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

// Racers answer c(reated), e(xists) or r(efused, or died unheard), in capitals when they took the
// mutex, and keep it until all have answered.
int Race(const char* name, int racers, bool warm) {
    int start[2], answers[2], done[2];
    if (pipe(start) != 0 || pipe(answers) != 0 || pipe(done) != 0 || (warm && !CreateMutexA(nullptr, FALSE, "w"))) return 2;
    for (int i = 0; i < racers; ++i) {
        if (fork() != 0)
            continue;
        char answer;
        close(start[1]);
        close(done[1]);
        (void)!read(start[0], &answer, 1);  // all at once, when the start closes
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
        answer = !mutex ? 'r' : GetLastError() == ERROR_ALREADY_EXISTS ? 'e' : 'c';
        if (mutex && WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0) answer = static_cast<char>(std::toupper(answer));
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
    const auto owners = std::count_if(heard.begin(), heard.end(), [](char c) { return std::isupper(c); });
    for (char& answer : heard) answer = static_cast<char>(std::tolower(answer));
    std::sort(heard.begin(), heard.end());
    std::printf("%s %d\n", heard.c_str(), static_cast<int>(owners));
    return 0;
}

DWORD WINAPI MakeAndClose(LPVOID name) {
    for (;;) CloseHandle(CreateMutexA(nullptr, FALSE, static_cast<const char*>(name)));
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
        return Race(name, std::atoi(argv[3]), argc > 4);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (!mutex) {
        std::printf("refused %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    for (int i = 3; std::strcmp(mode, "try") == 0 && i < argc; ++i) {
        std::printf("%u\n", static_cast<unsigned>(WaitForSingleObject(mutex, static_cast<DWORD>(std::atoi(argv[i])))));
        std::fflush(stdout);
    }
    if (std::strcmp(mode, "try") == 0)
        return 0;
    if (std::strcmp(mode, "busy") == 0) {
        static std::string other = name + std::string("x");
        if (fork() == 0) for (;;) pause();
        for (int i = 0; i < 3; ++i) CreateThread(nullptr, 0, MakeAndClose, other.data(), 0, nullptr);
        Say("busy");
        AwaitByte();
        _exit(0);
    }
    if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0 || WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0 ||
        !ReleaseMutex(mutex))
        return 1;
    if (const pid_t child = std::strcmp(mode, "fork") == 0 ? fork() : -1; child == 0) {
        const DWORD waited = WaitForSingleObject(mutex, 0);
        std::printf("%u %u\n", waited, ReleaseMutex(mutex) ? 0u : GetLastError());
        CloseHandle(mutex);
        std::fflush(stdout);
        _exit(0);
    } else if (child > 0) {
        waitpid(child, nullptr, 0);
    }
    Say("locked");
    if (std::strcmp(mode, "die") == 0 && argc > 3)
        AwaitByte();
    if (std::strcmp(mode, "die") == 0)
        _exit(3);
    AwaitByte();
    ReleaseMutex(mutex);
    Say("released");
    AwaitByte();
    return 0;
}
