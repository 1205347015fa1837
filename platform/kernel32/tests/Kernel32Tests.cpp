// Last error, time, critical sections and handle validity.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>

TEST(Kernel32LastError, IsPerThread) {
    SetLastError(1234);
    DWORD seenByOther = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID seen) -> DWORD {
            *static_cast<DWORD*>(seen) = GetLastError();
            SetLastError(99);
            return 0;
        },
        &seenByOther, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(seenByOther, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Kernel32Handles, ClosedOrBogusHandleIsRefused) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(event));
    // A new object does not take over the old value.
    HANDLE another = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_NE(another, event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    CloseHandle(another);
}

TEST(Kernel32Handles, KindsAreChecked) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_FALSE(SetEvent(mutex));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(ReleaseMutex(event));
    CloseHandle(mutex);
    CloseHandle(event);
}

namespace {

// Milliseconds of the system's monotonic clock; the tick count runs no faster.
long long ClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Times the thread gave up the processor to wait: a sleep does, a yield does not.
long VoluntarySwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

}  // namespace

TEST(Kernel32TickCount, AdvancesWithSleep) {
    const long long clockBefore = ClockMs();
    const DWORD before = GetTickCount();
    Sleep(50);
    const DWORD passed = GetTickCount() - before;
    const long long clockPassed = ClockMs() - clockBefore;
    EXPECT_GE(passed, 49u);
    EXPECT_LE(passed, clockPassed + 1) << "counts milliseconds";
}

TEST(Kernel32TickCount, WrapsAround) {
    Kernel32SetTickCountOffset(0);
    const DWORD unshifted = GetTickCount();
    Kernel32SetTickCountOffset(0xFFFFFFFFu - 20u - unshifted);
    const long long clockBefore = ClockMs();
    const DWORD before = GetTickCount();
    EXPECT_GT(before, 0xFFFFFF00u);
    Sleep(60);
    const DWORD after = GetTickCount();
    const long long clockPassed = ClockMs() - clockBefore;
    Kernel32SetTickCountOffset(0);
    EXPECT_LT(after, before);  // wrapped past zero
    const DWORD passed = after - before;  // unsigned difference still measures the time
    EXPECT_GE(passed, 59u);
    EXPECT_LE(passed, clockPassed + 1);
}

// However long a busy machine keeps the processor from it, a yield never waits of itself.
TEST(Kernel32Sleep, ZeroOnlyYields) {
    const long before = VoluntarySwitches();
    for (int i = 0; i < 100; ++i)
        Sleep(0);
    EXPECT_EQ(VoluntarySwitches(), before) << "Sleep(0) waited";
    Sleep(1);
    EXPECT_GT(VoluntarySwitches(), before) << "the count sees a sleep";
}

TEST(Kernel32CriticalSection, ReentrantAndExclusive) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // the holder enters again without blocking

    struct Shared {
        CRITICAL_SECTION* section;
        std::atomic<bool> entered{false};
    } shared{&section};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* s = static_cast<Shared*>(p);
            EnterCriticalSection(s->section);
            s->entered = true;
            LeaveCriticalSection(s->section);
            return 0;
        },
        &shared, 0, nullptr);
    Sleep(50);
    LeaveCriticalSection(&section);
    Sleep(50);
    EXPECT_FALSE(shared.entered) << "one Leave after two Enters must keep the section";
    LeaveCriticalSection(&section);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(shared.entered);
    CloseHandle(thread);
    DeleteCriticalSection(&section);
}

TEST(Kernel32CriticalSection, ProtectsCounter) {
    struct Shared {
        CRITICAL_SECTION section;
        long counter = 0;
    } shared;
    InitializeCriticalSection(&shared.section);
    const auto work = [](LPVOID p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        for (int i = 0; i < 20000; ++i) {
            EnterCriticalSection(&s->section);
            const long value = s->counter;
            s->counter = value + 1;
            LeaveCriticalSection(&s->section);
        }
        return 0;
    };
    HANDLE threads[4];
    for (auto& thread : threads)
        thread = CreateThread(nullptr, 0, work, &shared, 0, nullptr);
    for (auto& thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(shared.counter, 80000);
    DeleteCriticalSection(&shared.section);
}
