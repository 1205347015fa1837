// Events and unnamed mutexes.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct Waiter {
    HANDLE object;
    DWORD timeout;
    std::atomic<DWORD> result{0xDEADu};
};

DWORD WaitOnce(LPVOID p) {
    auto* waiter = static_cast<Waiter*>(p);
    waiter->result = WaitForSingleObject(waiter->object, waiter->timeout);
    return 0;
}

HANDLE Start(Waiter& waiter) { return CreateThread(nullptr, 0, WaitOnce, &waiter, 0, nullptr); }

void Join(HANDLE thread) {
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
}

}  // namespace

TEST(Kernel32Event, AutoResetEndsExactlyOneWait) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Waiter first{event, 1500}, second{event, 1500};
    HANDLE a = Start(first), b = Start(second);
    Sleep(100);  // both are waiting
    ASSERT_TRUE(SetEvent(event));
    Join(a);
    Join(b);
    const int ended = (first.result == WAIT_OBJECT_0) + (second.result == WAIT_OBJECT_0);
    const int timedOut = (first.result == WAIT_TIMEOUT) + (second.result == WAIT_TIMEOUT);
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(timedOut, 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the ended wait reset the event";
    CloseHandle(event);
}

TEST(Kernel32Event, AutoResetSetBeforeWaitIsKept) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(event);
    SetEvent(event);  // does not count
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Kernel32Event, ManualResetReleasesAllUntilReset) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Waiter first{event, 5000}, second{event, 5000};
    HANDLE a = Start(first), b = Start(second);
    Sleep(50);
    SetEvent(event);
    Join(a);
    Join(b);
    EXPECT_EQ(first.result, WAIT_OBJECT_0);
    EXPECT_EQ(second.result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Kernel32Event, InitialStateAndTimeout) {
    HANDLE set = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(set, 0), WAIT_OBJECT_0);
    HANDLE unset = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD result = 0;
    const DWORD took = ElapsedMs([&] { result = WaitForSingleObject(unset, 250); });
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_GE(took, 245u);
    EXPECT_LT(took, 1000u);
    CloseHandle(set);
    CloseHandle(unset);
}

TEST(Kernel32Event, NamedEventIsSharedInProcess) {
    const auto name = UniqueName("event");
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE second = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    CloseHandle(first);
    CloseHandle(second);
}

TEST(Kernel32Mutex, ReentrantForHolderExclusiveForOthers) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // second hold by the owner

    Waiter other{mutex, 100};
    Join(Start(other));
    EXPECT_EQ(other.result, WAIT_TIMEOUT);

    EXPECT_TRUE(ReleaseMutex(mutex));
    Waiter stillHeld{mutex, 100};
    Join(Start(stillHeld));
    EXPECT_EQ(stillHeld.result, WAIT_TIMEOUT) << "one release of two holds keeps the mutex";

    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    CloseHandle(mutex);
}

TEST(Kernel32Mutex, OnlyTheHolderReleases) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    struct Attempt {
        HANDLE mutex;
        std::atomic<BOOL> released{TRUE};
    } attempt{mutex};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* a = static_cast<Attempt*>(p);
            a->released = ReleaseMutex(a->mutex);
            return 0;
        },
        &attempt, 0, nullptr);
    Join(thread);
    EXPECT_FALSE(attempt.released);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST(Kernel32Mutex, AbandonedByEndedThread) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID m) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(m), 0); },
        mutex, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    ASSERT_EQ(code, WAIT_OBJECT_0);  // the thread took the mutex and ended holding it
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex)) << "an abandoned mutex passes to the waiter";
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // and is sound again
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}
