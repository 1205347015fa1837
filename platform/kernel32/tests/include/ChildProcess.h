#pragma once
// The end of a helper process that a test started, in bounded time: asked with SIGTERM (or by
// closing its input), it gets a few seconds; one that does not end then is killed, and the
// test learns that it was stuck, so it can say which helper hung instead of hanging itself.

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

inline constexpr int kChildGraceMs = 5000;

// Waits up to ms for the child to end and reaps it; false while it is still running.
inline bool WaitForChild(pid_t pid, int ms, int* status = nullptr) {
    int ignored = 0;
    int* result = status ? status : &ignored;
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (ended >= 0) {
        pollfd watch{ended, POLLIN, 0};
        while (poll(&watch, 1, ms) < 0 && errno == EINTR) {
        }
        close(ended);
    } else {
        // Without process descriptors: look again every few milliseconds.
        for (int waited = 0; waited < ms && waitpid(pid, result, WNOHANG) == 0; waited += 5) {
            const timespec step{0, 5'000'000};
            nanosleep(&step, nullptr);
        }
    }
    const pid_t reaped = waitpid(pid, result, WNOHANG);
    return reaped == pid || (reaped < 0 && errno == ECHILD);
}

// Ends a child that was asked to end already (its input closed, say); false when it had to be
// killed.
inline bool AwaitChildOrKill(pid_t pid, bool group, int* status = nullptr) {
    if (WaitForChild(pid, kChildGraceMs, status)) return true;
    kill(group ? -pid : pid, SIGKILL);
    WaitForChild(pid, kChildGraceMs, status);
    return false;
}

// SIGTERM to the child (and its process group when it leads one), then as above.
inline bool StopChild(pid_t pid, bool group, int* status = nullptr) {
    kill(group ? -pid : pid, SIGTERM);
    return AwaitChildOrKill(pid, group, status);
}
