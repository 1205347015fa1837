// Threads: suspended start, exit codes, the signalled handle, priorities.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct Probe {
    std::atomic<bool> ran{false};
    std::atomic<DWORD> id{0};
};

DWORD Record(LPVOID p) {
    auto* probe = static_cast<Probe*>(p);
    probe->id = GetCurrentThreadId();
    probe->ran = true;
    return 7;
}

// A thread that runs until the gate opens; its exit code is the wait's result.
HANDLE StartGated(HANDLE gate) {
    return CreateThread(
        nullptr, 0, [](LPVOID g) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(g), INFINITE); }, gate, 0,
        nullptr);
}

}  // namespace

TEST(Kernel32Thread, SuspendedUntilResumed) {
    Probe probe;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, Record, &probe, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_FALSE(probe.ran);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    EXPECT_EQ(SuspendThread(thread), 1u);  // twice suspended now
    EXPECT_EQ(ResumeThread(thread), 2u);
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(probe.ran);
    EXPECT_EQ(probe.id, id) << "the id given at creation is the thread's own";
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    CloseHandle(thread);
}

TEST(Kernel32Thread, ExitThreadSetsCodeAndSignals) {
    HANDLE thread = CreateThread(
        nullptr, 64 * 1024,
        [](LPVOID) -> DWORD {
            ExitThread(42);
        },
        nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 42u);
    CloseHandle(thread);
}

TEST(Kernel32Thread, StillActiveWhileRunning) {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartGated(gate);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, STILL_ACTIVE);
    SetEvent(gate);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(gate);
}

TEST(Kernel32Thread, PriorityIsRememberedEvenWhenRaiseRefused) {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = StartGated(gate);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_FALSE(SetThreadPriority(thread, 5));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetEvent(gate);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(gate);
}

TEST(Kernel32Thread, CurrentThreadPseudoHandle) {
    HANDLE self = GetCurrentThread();
    EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(self, THREAD_PRIORITY_ABOVE_NORMAL));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_ABOVE_NORMAL);
    SetThreadPriority(self, THREAD_PRIORITY_NORMAL);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(self, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(self, 0), WAIT_TIMEOUT);
}

TEST(Kernel32Thread, BadArgumentsFail) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(ResumeThread(reinterpret_cast<HANDLE>(0x12345)), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD code;
    EXPECT_FALSE(GetExitCodeThread(reinterpret_cast<HANDLE>(0x12345), &code));
}

namespace {
std::atomic<bool> threadLocalGone{false};
struct SlowThreadLocal {
    ~SlowThreadLocal() {
        Sleep(30);
        threadLocalGone = true;
    }
};
}  // namespace

TEST(Kernel32Thread, SignalledOnlyAfterThreadLocalsAreGone) {
    threadLocalGone = false;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            thread_local SlowThreadLocal state;
            (void)state;
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(threadLocalGone) << "a message queue kept in a thread_local must be gone by then";
    CloseHandle(thread);
}
