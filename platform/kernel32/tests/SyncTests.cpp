// Events and unnamed mutexes.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/eventfd.h>
#include <unistd.h>

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
    Waiter first{event, INFINITE}, second{event, INFINITE};
    HANDLE threads[] = {Start(first), Start(second)};
    // Whether the waits have begun or not, the one signal is for one of them.
    ASSERT_TRUE(SetEvent(event));
    const DWORD one = WaitForMultipleObjects(2, threads, FALSE, kHangMs);
    ASSERT_LT(one, WAIT_OBJECT_0 + 2) << "no wait ended";
    HANDLE other = threads[1 - (one - WAIT_OBJECT_0)];
    EXPECT_EQ(WaitForSingleObject(other, 100), WAIT_TIMEOUT) << "the one signal ended both waits";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the ended wait reset the event";
    ASSERT_TRUE(SetEvent(event));
    Join(threads[0]);
    Join(threads[1]);
    EXPECT_EQ(first.result, WAIT_OBJECT_0);
    EXPECT_EQ(second.result, WAIT_OBJECT_0);
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
    EXPECT_LT(took, kHangMs) << "the 250 ms wait hung";
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

TEST(Kernel32Wait, MultipleObjectsEndOnTheFirstSignalledInHandleOrder) {
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    const HANDLE objects[] = {manual, automatic, mutex};

    HANDLE holder = CreateThread(
        nullptr, 0, [](LPVOID m) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(m), 0); }, mutex, 0, nullptr);
    Join(holder);  // ended holding the mutex
    EXPECT_EQ(WaitForMultipleObjects(3, objects, FALSE, 0), WAIT_ABANDONED_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, objects, FALSE, 0), WAIT_OBJECT_0 + 2) << "held again by this thread";
    ReleaseMutex(mutex);
    ReleaseMutex(mutex);

    struct TTaker {
        HANDLE mutex, taken, release;
    } taker{mutex, CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE holding = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* t = static_cast<TTaker*>(p);
            WaitForSingleObject(t->mutex, INFINITE);
            SetEvent(t->taken);
            WaitForSingleObject(t->release, INFINITE);
            ReleaseMutex(t->mutex);
            return 0;
        },
        &taker, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(taker.taken, 5000), WAIT_OBJECT_0);
    DWORD result = 0;
    const DWORD took = ElapsedMs([&] { result = WaitForMultipleObjects(3, objects, FALSE, 120); });
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_GE(took, 115u);

    // A later signal ends a wait that is under way; the auto-reset event is consumed by it.
    HANDLE signaller = CreateThread(
        nullptr, 0,
        [](LPVOID e) -> DWORD {
            Sleep(50);
            SetEvent(static_cast<HANDLE>(e));
            return 0;
        },
        automatic, 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, objects, FALSE, 5000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    Join(signaller);
    SetEvent(taker.release);  // the mutex frees up while this thread waits on all three
    EXPECT_EQ(WaitForMultipleObjects(3, objects, FALSE, 5000), WAIT_OBJECT_0 + 2);
    ReleaseMutex(mutex);
    Join(holding);
    SetEvent(manual);
    SetEvent(automatic);
    EXPECT_EQ(WaitForMultipleObjects(3, objects, FALSE, 0), WAIT_OBJECT_0) << "the first in handle order";
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0) << "a later one is left signalled";

    const HANDLE bad[] = {manual, reinterpret_cast<HANDLE>(0x7777)};
    const struct {
        DWORD count;
        const HANDLE* handles;
        BOOL waitAll;
        DWORD error;
    } refused[] = {{2, bad, FALSE, ERROR_INVALID_HANDLE},
                   {0, objects, FALSE, ERROR_INVALID_PARAMETER},
                   {MAXIMUM_WAIT_OBJECTS + 1, objects, FALSE, ERROR_INVALID_PARAMETER},
                   {3, objects, TRUE, ERROR_INVALID_PARAMETER}};
    for (const auto& call : refused) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(call.count, call.handles, call.waitAll, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), call.error);
    }
    for (HANDLE handle : {manual, automatic, mutex, taker.taken, taker.release})
        CloseHandle(handle);
}

namespace {
int serviceDescriptor = -1;
std::atomic<int> served{0};

void ServeOne() {
    eventfd_t value;
    if (eventfd_read(serviceDescriptor, &value) == 0)
        ++served;
}
}  // namespace

// A thread with a wait service does its work while it waits, and every wait keeps its own
// time-out and result.
TEST(Kernel32Wait, AThreadsWaitsServeItsServiceAndKeepTheirTimeOuts) {
    serviceDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE held = CreateMutexA(nullptr, TRUE, nullptr);  // this thread holds it throughout
    struct TRow {
        const char* name;
        DWORD (*wait)(HANDLE never, HANDLE held);
        DWORD expected;
    };
    static const TRow rows[] = {
        {"Sleep", [](HANDLE, HANDLE) { Sleep(250); return DWORD(WAIT_TIMEOUT); }, WAIT_TIMEOUT},
        {"event", [](HANDLE never, HANDLE) { return WaitForSingleObject(never, 250); }, WAIT_TIMEOUT},
        {"mutex of another thread", [](HANDLE, HANDLE held) { return WaitForSingleObject(held, 250); }, WAIT_TIMEOUT},
        {"several objects",
         [](HANDLE never, HANDLE held) {
             const HANDLE objects[] = {never, held};
             return WaitForMultipleObjects(2, objects, FALSE, 250);
         },
         WAIT_TIMEOUT},
    };
    struct TShared {
        HANDLE never, held;
        const TRow* row = nullptr;
        DWORD result = 0, took = 0;
        int servedMeanwhile = 0;
    } shared{never, held};
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.name);
        shared.row = &row;
        // The work is there before the wait begins, so it falls inside the wait however late the
        // waiter runs; the wait still keeps its time-out.
        eventfd_write(serviceDescriptor, 1);
        HANDLE waiter = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto& s = *static_cast<TShared*>(p);
                Kernel32SetWaitService(serviceDescriptor, ServeOne);
                const int before = served;
                s.took = ElapsedMs([&] { s.result = s.row->wait(s.never, s.held); });
                s.servedMeanwhile = served - before;
                return 0;
            },
            &shared, 0, nullptr);
        Join(waiter);
        EXPECT_EQ(shared.result, row.expected);
        EXPECT_EQ(shared.servedMeanwhile, 1);
        EXPECT_GE(shared.took, 245u);
    }
    ReleaseMutex(held);
    for (HANDLE handle : {never, held})
        CloseHandle(handle);
    close(serviceDescriptor);
}
