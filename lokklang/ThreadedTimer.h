#pragma once
// TThreadedTimer: a non-visual timer whose ticks are timed by a worker thread of its own and
// delivered in the main thread. The worker hands each tick over and waits until the main thread
// has run it before it times the next one, so ticks never pile up behind a slow handler.

#include <atomic>
#include <memory>

#include "Classes.h"
#include "kernel32.h"

class TThreadedTimer;

class TTimerThread : public TThread {
public:
    explicit TTimerThread(TThreadedTimer* AOwner);

    DWORD Interval() const { return FInterval.load(); }
    void SetInterval(DWORD Value) { FInterval = Value; }

protected:
    void Execute() override;

private:
    friend class TThreadedTimer;
    TThreadedTimer* FOwner;
    std::atomic<DWORD> FInterval{1000};
    HANDLE FStopEvent = nullptr;  // the timer's; it closes it
};

class TThreadedTimer : public TComponent {
public:
    explicit TThreadedTimer(TComponent* AOwner);
    ~TThreadedTimer() override;

    bool AllowZero = false;
    TNotifyEvent OnTimer;

    bool Enabled() const { return FEnabled.load(); }
    void SetEnabled(bool Value) { ChangeEnabled(Value); }
    DWORD Interval() const { return QueryInterval(); }
    void SetInterval(DWORD Value) { ChangeInterval(Value); }
    TThreadPriority ThreadPriority() const { return QueryThreadPriority(); }
    void SetThreadPriority(TThreadPriority Value) { ChangeThreadPriority(Value); }

    // Published: AllowZero, Enabled, Interval, OnTimer, ThreadPriority.
    void DefinePublished(TPublishedTable& table) override;

private:
    friend class TTimerThread;
    // Runs in the main thread. Generation is the enabling that the worker's wait belonged to:
    // a tick of an earlier enabling, or one that arrives once destruction has begun, calls
    // nothing.
    void DoTimer(unsigned Generation);
    unsigned Generation() const { return FGeneration.load(); }

    void ChangeEnabled(bool Value);
    DWORD QueryInterval() const;
    void ChangeInterval(DWORD Value);
    TThreadPriority QueryThreadPriority() const;
    void ChangeThreadPriority(TThreadPriority Value);
    // The worker stops at its own safe point (never inside a wait's bookkeeping or a lock) and
    // is never asked twice, so one resume always wakes it.
    void PauseWorker();
    void ResumeWorker();

    std::unique_ptr<TTimerThread> FTimerThread;
    std::atomic<bool> FEnabled{false};
    std::atomic<unsigned> FGeneration{0};
    std::atomic<bool> FDestroying{false};
};
