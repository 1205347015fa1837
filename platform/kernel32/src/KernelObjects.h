#pragma once
// The objects behind kernel handles, shared by the parts of the library.

#include "kernel32.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <vector>

namespace k32 {

// Deadline arithmetic for time-outs in milliseconds (INFINITE never expires).
using Clock = std::chrono::steady_clock;
inline Clock::time_point DeadlineAfter(DWORD milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // One of WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT, WAIT_FAILED.
    virtual DWORD Wait(DWORD milliseconds) = 0;
    // While watched, the object makes the descriptor (an eventfd) readable whenever it may have
    // become signalled. False when it cannot tell (a lock that other processes release); whoever
    // waits for it must then look again now and then.
    virtual bool Watch(int) { return false; }
    virtual void Unwatch(int) {}
};

// An object whose state changes under its own lock: waits block on a condition variable, and
// waits that watch other descriptors too are told through theirs.
class SignalledObject : public KernelObject {
public:
    bool Watch(int descriptor) override {
        std::lock_guard guard(lock_);
        watchers_.push_back(descriptor);
        return true;
    }
    void Unwatch(int descriptor) override {
        std::lock_guard guard(lock_);
        const auto found = std::find(watchers_.begin(), watchers_.end(), descriptor);
        if (found != watchers_.end())
            watchers_.erase(found);
    }

protected:
    // Needs the lock; false when the time ran out before ready() held.
    template <class Ready>
    bool WaitUntil(std::unique_lock<std::mutex>& guard, DWORD milliseconds, Ready ready) {
        if (milliseconds != INFINITE)
            return changed_.wait_until(guard, DeadlineAfter(milliseconds), ready);
        changed_.wait(guard, ready);
        return true;
    }
    // Needs the lock. Every watching wait is told: each looks for itself whether it may go on.
    void Signal(bool everyWaiter) {
        if (everyWaiter)
            changed_.notify_all();
        else
            changed_.notify_one();
        for (const int descriptor : watchers_)
            eventfd_write(descriptor, 1);
    }

    std::mutex lock_;
    std::condition_variable changed_;

private:
    std::vector<int> watchers_;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// The object that stands for the calling thread (GetCurrentThread's pseudo handle).
std::shared_ptr<KernelObject> CurrentThreadObject();

// A thread-specific value whose destructor runs when a thread ends, after the thread's
// thread_local destructors (which may still use the library).
template <void (*Destructor)(void*)>
pthread_key_t ThreadEndKey() {
    static const pthread_key_t key = [] {
        pthread_key_t made;
        pthread_key_create(&made, Destructor);
        return made;
    }();
    return key;
}

// The mutexes that the ending thread still holds pass on as abandoned. Runs when the thread
// ends (also by itself, for threads this library did not start), before its handle is signalled.
void ReleaseMutexesOfEndingThread();

}  // namespace k32
