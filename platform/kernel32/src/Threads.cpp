// Threads: started suspended or running, waitable until they end.

#include "KernelObjects.h"

#include <algorithm>
#include <limits.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace k32 {
namespace {

constexpr SIZE_T kMinimumStack = 256 * 1024;

bool ValidPriority(int priority) {
    switch (priority) {
    case THREAD_PRIORITY_IDLE:
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST:
    case THREAD_PRIORITY_TIME_CRITICAL:
        return true;
    default:
        return false;
    }
}

int NiceValue(int priority) {
    switch (priority) {
    case THREAD_PRIORITY_IDLE: return 19;
    case THREAD_PRIORITY_LOWEST: return 10;
    case THREAD_PRIORITY_BELOW_NORMAL: return 5;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -5;
    case THREAD_PRIORITY_HIGHEST: return -10;
    case THREAD_PRIORITY_TIME_CRITICAL: return -15;
    default: return 0;
    }
}

// Linux keeps a nice value per thread. Raising it needs a privilege the programs usually
// lack; the refusal is ignored and the thread keeps its current one.
void ApplyPriority(pid_t tid, int priority) { setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceValue(priority)); }

class Thread final : public SignalledObject {
public:
    Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD suspendCount)
        : start_(start), parameter_(parameter), suspendCount_(suspendCount) {}
    // A thread this library did not start (the main thread, or one of another library).
    explicit Thread(pid_t tid) : tid_(tid) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock guard(lock_);
        return WaitUntil(guard, milliseconds, [this] { return finished_; }) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }

    pid_t WaitForId() {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [this] { return tid_ != 0; });
        return tid_;
    }

    void Run(pid_t tid) {
        {
            std::unique_lock guard(lock_);
            tid_ = tid;
            changed_.notify_all();
            changed_.wait(guard, [this] { return suspendCount_ == 0; });
            if (priority_ != THREAD_PRIORITY_NORMAL)
                ApplyPriority(tid_, priority_);
        }
        SetExitCode(start_(parameter_));
    }

    void SetExitCode(DWORD code) {
        std::lock_guard guard(lock_);
        exitCode_ = code;
    }

    DWORD Resume() {
        std::lock_guard guard(lock_);
        const DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0)
            changed_.notify_all();
        return previous;
    }

    DWORD Suspend() {
        std::lock_guard guard(lock_);
        if (suspendCount_ == 0)
            return static_cast<DWORD>(-1);
        return suspendCount_++;
    }

    DWORD ExitCode() {
        std::lock_guard guard(lock_);
        return finished_ ? exitCode_ : STILL_ACTIVE;
    }

    void SetPriority(int priority) {
        std::lock_guard guard(lock_);
        priority_ = priority;
        if (tid_ != 0 && suspendCount_ == 0 && !finished_)
            ApplyPriority(tid_, priority);
    }

    int Priority() {
        std::lock_guard guard(lock_);
        return priority_;
    }

    void Finish() {
        std::lock_guard guard(lock_);
        finished_ = true;
        Signal(true);
    }

private:
    LPTHREAD_START_ROUTINE start_ = nullptr;
    LPVOID parameter_ = nullptr;
    DWORD suspendCount_ = 0;
    pid_t tid_ = 0;
    bool finished_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
    int priority_ = THREAD_PRIORITY_NORMAL;
};

pid_t CachedThreadId() {
    thread_local const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    return tid;
}

thread_local std::shared_ptr<Thread> currentThread;

// The handle is signalled from a thread-specific value's destructor: those run after every
// thread_local destructor (a thread's message queue, for one), so whoever sees the handle
// signalled sees a thread that is completely gone, its mutexes passed on, as on Windows.
void SignalEnd(void* value) {
    auto* thread = static_cast<std::shared_ptr<Thread>*>(value);
    ReleaseMutexesOfEndingThread();
    (*thread)->Finish();
    delete thread;
}

pthread_key_t EndKey() { return ThreadEndKey<SignalEnd>(); }

void* ThreadMain(void* argument) {
    auto* self = static_cast<std::shared_ptr<Thread>*>(argument);
    currentThread = *self;
    pthread_setspecific(EndKey(), self);  // also reached when the thread leaves by ExitThread
    currentThread->Run(CachedThreadId());
    return nullptr;
}

}  // namespace

std::shared_ptr<KernelObject> CurrentThreadObject() {
    if (!currentThread)
        currentThread = std::make_shared<Thread>(CachedThreadId());
    return currentThread;
}

}  // namespace k32

using k32::Thread;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>(start, parameter, (creationFlags & CREATE_SUSPENDED) ? 1u : 0u);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0)
        pthread_attr_setstacksize(&attributes, std::max<SIZE_T>({stackSize, k32::kMinimumStack, static_cast<SIZE_T>(PTHREAD_STACK_MIN)}));
    auto* argument = new std::shared_ptr<Thread>(thread);
    pthread_t native;
    const int result = pthread_create(&native, &attributes, k32::ThreadMain, argument);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete argument;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const pid_t tid = thread->WaitForId();
    if (threadId)
        *threadId = static_cast<DWORD>(tid);
    return k32::InsertHandle(std::move(thread));
}

DWORD ResumeThread(HANDLE thread) {
    const auto object = k32::LookupAs<Thread>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    return object->Resume();
}

DWORD SuspendThread(HANDLE thread) {
    const auto object = k32::LookupAs<Thread>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    const DWORD previous = object->Suspend();
    if (previous == static_cast<DWORD>(-1))
        SetLastError(ERROR_INVALID_PARAMETER);
    return previous;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    const auto object = k32::LookupAs<Thread>(thread);
    if (!object || !exitCode) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    const auto object = k32::LookupAs<Thread>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!k32::ValidPriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    object->SetPriority(priority);
    return TRUE;
}

int GetThreadPriority(HANDLE thread) {
    const auto object = k32::LookupAs<Thread>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return object->Priority();
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(k32::CachedThreadId()); }

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2)); }

void ExitThread(DWORD exitCode) {
    if (k32::currentThread)
        k32::currentThread->SetExitCode(exitCode);
    pthread_exit(nullptr);
}
