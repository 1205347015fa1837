// Threads: starting, pausing, ending, priorities, and calls handed to the main thread.

#include "SysUtils.h"
#include "WaitUntil.h"
#include "user32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

namespace {

using namespace std::chrono_literals;

// Generous: the suite runs in parallel and under sanitizers.
constexpr auto kPatience = 20s;

// Pumps the main thread's user32 queue, as a window program's loop does, until done holds.
bool PumpMessagesUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(1);
    }
    return true;
}


bool WaitPatiently(const std::function<bool()>& done) { return WaitUntil(done, kPatience); }

// Runs a body given by the test. Created suspended, so the body is set before it starts.
class TBodyThread : public TThread {
public:
    explicit TBodyThread(std::function<void(TBodyThread&)> body) : TThread(true), FBody(std::move(body)) {}
    // Ending here, not in ~TThread, keeps FBody alive for as long as the body runs.
    ~TBodyThread() override {
        Terminate();
        try {
            WaitFor();
        } catch (const EThread&) {
            // never started: ~TThread lets it go without running the body
        }
    }
    using TThread::Synchronize;
    void SetReturnValue(DWORD value) { ReturnValue = value; }
    std::atomic<int> Passes{0};

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(TBodyThread&)> FBody;
};

void LoopUntilTerminated(TBodyThread& self) {
    while (!self.Terminated()) {
        ++self.Passes;
        Sleep(1);
    }
}

TEST(ThreadStart, SuspendedThreadDoesNotRunUntilResumed) {
    TBodyThread thread([](TBodyThread& self) { ++self.Passes; });
    EXPECT_TRUE(thread.Suspended());
    Sleep(100);
    EXPECT_EQ(thread.Passes, 0);
    EXPECT_FALSE(thread.Finished());
    thread.Resume();
    EXPECT_FALSE(thread.Suspended());
    thread.WaitFor();
    EXPECT_EQ(thread.Passes, 1);
    EXPECT_TRUE(thread.Finished());
}

TEST(ThreadStart, ThreadFreedBeforeItStartedNeverRuns) {
    static std::atomic<int> runs{0};
    class TNeverStarted : public TThread {
    public:
        TNeverStarted() : TThread(true) {}

    protected:
        void Execute() override { ++runs; }
    };
    delete new TNeverStarted;
    Sleep(50);
    EXPECT_EQ(runs, 0);
}

// The usual way to have a thread run at once: resume it when the object is complete.
class TRunningThread : public TThread {
public:
    TRunningThread() : TThread(true), FAnswer(42) { Resume(); }

protected:
    void Execute() override { ReturnValue = FAnswer; }

private:
    DWORD FAnswer;
};

TEST(ThreadStart, ResumedAtTheEndOfItsConstructorItRunsAtOnce) {
    TRunningThread thread;
    EXPECT_FALSE(thread.Suspended());
    EXPECT_EQ(thread.WaitFor(), 42u);
    EXPECT_NE(thread.ThreadID(), GetCurrentThreadId());
}

TEST(ThreadStart, CreatingRunningIsRefusedRatherThanRacingTheConstructor) {
    class TStartsEarly : public TThread {
    public:
        TStartsEarly() : TThread(false) {}

    protected:
        void Execute() override {}
    };
    EXPECT_THROW(TStartsEarly(), EThread);
}

TEST(ThreadEnd, TerminateAndWaitForEndALoopingThread) {
    TBodyThread thread([](TBodyThread& self) {
        LoopUntilTerminated(self);
        self.SetReturnValue(7);
    });
    thread.Resume();
    ASSERT_TRUE(WaitPatiently([&] { return thread.Passes > 0; }));
    EXPECT_FALSE(thread.Finished());
    thread.Terminate();
    EXPECT_EQ(thread.WaitFor(), 7u);
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(WaitForSingleObject(thread.Handle(), 0), WAIT_OBJECT_0);
}

TEST(ThreadEnd, DestructorEndsARunningThread) {
    static std::atomic<int> state{0};
    // Leaves the ending to ~TThread, so its body uses nothing of its own class.
    class TLooping : public TThread {
    public:
        TLooping() : TThread(true) { Resume(); }

    protected:
        void Execute() override {
            state = 1;
            while (!Terminated())
                Sleep(1);
            state = 2;
        }
    };
    auto* thread = new TLooping;
    ASSERT_TRUE(WaitPatiently([] { return state == 1; }));
    delete thread;
    EXPECT_EQ(state, 2);
}

TEST(ThreadEnd, ExceptionLeavingExecuteIsKept) {
    TBodyThread thread([](TBodyThread&) { throw ERangeError(); });
    thread.Resume();
    thread.WaitFor();
    ASSERT_TRUE(thread.FatalException());
    try {
        std::rethrow_exception(thread.FatalException());
    } catch (const ERangeError& e) {
        EXPECT_EQ(e.Message(), "Range check error");
    }
}

TEST(ThreadEnd, OnTerminateRunsOnTheMainThreadAfterExecute) {
    std::atomic<bool> executed{false};
    DWORD terminateThread = 0;
    TObject* sender = nullptr;
    bool executedBefore = false;
    TBodyThread thread([&](TBodyThread&) { executed = true; });
    thread.OnTerminate = [&](TObject* s) {
        terminateThread = GetCurrentThreadId();
        sender = s;
        executedBefore = executed;
    };
    thread.Resume();
    thread.WaitFor();  // on the main thread it runs the queued OnTerminate
    EXPECT_EQ(terminateThread, MainThreadID());
    EXPECT_EQ(sender, &thread);
    EXPECT_TRUE(executedBefore);
}

TEST(ThreadEnd, WaitForRefusesWaitsThatWouldNeverEnd) {
    TBodyThread neverStarted([](TBodyThread&) {});
    EXPECT_THROW(neverStarted.WaitFor(), EThread);

    DWORD selfWait = 0;
    TBodyThread waitsForItself([&](TBodyThread& self) {
        try {
            self.WaitFor();
        } catch (const EThread&) {
            selfWait = 1;
        }
    });
    waitsForItself.Resume();
    waitsForItself.WaitFor();
    EXPECT_EQ(selfWait, 1u);
}

TEST(ThreadPause, SuspendedRunningThreadPausesUntilResumed) {
    TBodyThread thread(LoopUntilTerminated);
    thread.Resume();
    ASSERT_TRUE(WaitPatiently([&] { return thread.Passes > 0; }));
    thread.Suspend();
    EXPECT_TRUE(thread.Suspended());
    Sleep(50);  // lets it reach its pause
    const int paused = thread.Passes;
    Sleep(100);
    EXPECT_LE(thread.Passes - paused, 1);  // at most the pass it was in
    EXPECT_THROW(thread.WaitFor(), EThread);
    thread.Resume();
    EXPECT_TRUE(WaitPatiently([&] { return thread.Passes > paused + 5; }));
}

TEST(ThreadPause, TerminateEndsAPausedThread) {
    TBodyThread thread(LoopUntilTerminated);
    thread.Resume();
    ASSERT_TRUE(WaitPatiently([&] { return thread.Passes > 0; }));
    thread.Suspend();
    Sleep(20);
    thread.Terminate();
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
}

TEST(ThreadPause, ThreadCanPauseItself) {
    TBodyThread thread([](TBodyThread& self) {
        self.Suspend();
        ++self.Passes;
    });
    thread.Resume();
    ASSERT_TRUE(WaitPatiently([&] { return thread.Suspended(); }));
    Sleep(50);
    EXPECT_EQ(thread.Passes, 0);
    thread.Resume();
    thread.WaitFor();
    EXPECT_EQ(thread.Passes, 1);
}

TEST(ThreadPriority, SevenValuesMapToThePlatformPriorities) {
    TBodyThread thread(LoopUntilTerminated);
    EXPECT_EQ(thread.Priority(), tpNormal);
    const std::pair<TThreadPriority, int> mapping[] = {
        {tpIdle, THREAD_PRIORITY_IDLE},       {tpLowest, THREAD_PRIORITY_LOWEST},
        {tpLower, THREAD_PRIORITY_BELOW_NORMAL}, {tpNormal, THREAD_PRIORITY_NORMAL},
        {tpHigher, THREAD_PRIORITY_ABOVE_NORMAL}, {tpHighest, THREAD_PRIORITY_HIGHEST},
        {tpTimeCritical, THREAD_PRIORITY_TIME_CRITICAL}};
    for (const auto& [priority, platform] : mapping) {
        thread.SetPriority(priority);
        EXPECT_EQ(thread.Priority(), priority);
        EXPECT_EQ(GetThreadPriority(thread.Handle()), platform);
    }
    // A raise that Linux refuses is no error: the thread runs all the same.
    thread.Resume();
    EXPECT_TRUE(WaitPatiently([&] { return thread.Passes > 0; }));
    EXPECT_THROW(thread.SetPriority(static_cast<TThreadPriority>(7)), EThread);
    EXPECT_EQ(thread.Priority(), tpTimeCritical);
}

TEST(ThreadSynchronize, RunsOnTheMainThreadWhileItPumpsItsQueue) {
    std::atomic<DWORD> ranOn{0};
    std::atomic<bool> returned{false};
    TBodyThread thread([&](TBodyThread& self) {
        self.Synchronize([&] { ranOn = GetCurrentThreadId(); });
        returned = true;
    });
    thread.Resume();
    ASSERT_TRUE(PumpMessagesUntil([&] { return returned.load(); }));
    EXPECT_EQ(ranOn, MainThreadID());
    EXPECT_EQ(MainThreadID(), GetCurrentThreadId());
    thread.WaitFor();
}

TEST(ThreadSynchronize, WorkerWaitsUntilTheMainThreadRanTheCall) {
    std::atomic<bool> called{false};
    std::atomic<bool> returned{false};
    TBodyThread thread([&](TBodyThread& self) {
        self.Synchronize([&] { called = true; });
        returned = true;
    });
    thread.Resume();
    Sleep(100);  // the main thread does not look at its queue meanwhile
    EXPECT_FALSE(called);
    EXPECT_FALSE(returned);
    ASSERT_TRUE(WaitPatiently([&] {
        CheckSynchronize();
        return returned.load();
    }));
    EXPECT_TRUE(called);
}

TEST(ThreadSynchronize, ExceptionIsRaisedAgainInTheWorker) {
    std::string caught;
    std::atomic<bool> returned{false};
    TBodyThread thread([&](TBodyThread& self) {
        try {
            self.Synchronize([] { throw EConvertError("'x' ist kein gültiger Integerwert"); });
        } catch (const EConvertError& e) {
            caught = e.ClassName() + " " + e.Message();
        }
        returned = true;
    });
    thread.Resume();
    ASSERT_TRUE(PumpMessagesUntil([&] { return returned.load(); }));
    thread.WaitFor();
    EXPECT_EQ(caught, "EConvertError 'x' ist kein gültiger Integerwert");
}

TEST(ThreadSynchronize, OnTheMainThreadItRunsDirectly) {
    TBodyThread thread([](TBodyThread&) {});
    bool ran = false;
    thread.Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(CheckSynchronize());
}

TEST(ThreadSynchronize, CheckSynchronizeOffTheMainThreadDoesNothing) {
    std::atomic<int> result{-1};
    TBodyThread thread([&](TBodyThread&) { result = CheckSynchronize() ? 1 : 0; });
    thread.Resume();
    thread.WaitFor();
    EXPECT_EQ(result, 0);
}

// A timer-like worker: each pass hands a tick to the main thread and waits for it; the main
// thread frees the worker while a tick is pending and must not deadlock.
TEST(ThreadSynchronize, FreeingAThreadThatWaitsInSynchronizeEnds) {
    std::atomic<int> ticks{0};
    auto* thread = new TBodyThread([&](TBodyThread& self) {
        while (!self.Terminated())
            self.Synchronize([&] { ++ticks; });
    });
    thread->Resume();
    ASSERT_TRUE(PumpMessagesUntil([&] { return ticks > 3; }));
    delete thread;
    const int afterFree = ticks;
    PumpMessagesUntil([] { return true; });
    Sleep(20);
    CheckSynchronize();
    EXPECT_EQ(ticks, afterFree);
}

TEST(ThreadSynchronize, ManyWorkersAtOnce) {
    constexpr int workers = 8;
    constexpr int callsEach = 50;
    int total = 0;  // touched on the main thread only
    std::vector<std::unique_ptr<TBodyThread>> threads;
    for (int i = 0; i < workers; ++i) {
        threads.push_back(std::make_unique<TBodyThread>([&](TBodyThread& self) {
            for (int n = 0; n < callsEach; ++n)
                self.Synchronize([&] { ++total; });
        }));
        threads.back()->Resume();
    }
    ASSERT_TRUE(PumpMessagesUntil([&] {
        for (auto& t : threads)
            if (!t->Finished())
                return false;
        return true;
    }));
    EXPECT_EQ(total, workers * callsEach);
}

}  // namespace
