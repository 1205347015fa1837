// Threads of the class library, and the hand-over of calls to the main thread.

#include "SysUtils.h"
#include "user32.h"

#include <cxxabi.h>
#include <deque>

namespace {

// Private to the library's own window; no other window sees it.
constexpr UINT WM_RTL_SYNCHRONIZE = WM_USER + 0x7C00;
constexpr char kSyncWindowClass[] = "TRtlSynchronizeWindow";

struct TSyncCall {
    const TThreadMethod* method;
    std::exception_ptr error;
    bool done = false;
};

struct TSyncQueue {
    std::mutex lock;
    // Signalled when a call is done.
    std::condition_variable changed;
    std::deque<TSyncCall*> calls;
    HWND window = nullptr;
    // Set when a call is queued: the main thread's waits for threads wake on it.
    HANDLE callQueued = CreateEventA(nullptr, FALSE, FALSE, nullptr);
};

// Never freed: threads may still queue calls while the program exits.
TSyncQueue& SyncQueue() {
    static TSyncQueue* queue = new TSyncQueue;
    return *queue;
}

bool OnMainThread() { return GetCurrentThreadId() == MainThreadID(); }

LRESULT SyncWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_RTL_SYNCHRONIZE)
        return DefWindowProcA(window, message, wParam, lParam);
    CheckSynchronize();
    return 0;
}

void CreateSyncWindow() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = SyncWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kSyncWindowClass;
    RegisterClassA(&windowClass);
    SyncQueue().window = CreateWindowExA(0, kSyncWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                         windowClass.hInstance, nullptr);
}

// Without the window (user32 refused it) the thread message still wakes the forms layer's
// loop, which calls CheckSynchronize.
void WakeMainThread() {
    const HWND window = SyncQueue().window;
    if (!window || !PostMessageA(window, WM_RTL_SYNCHRONIZE, 0, 0))
        PostThreadMessageA(MainThreadID(), WM_RTL_SYNCHRONIZE, 0, 0);
}

struct TMainThreadInit {
    TMainThreadInit() {
        MainThreadID();
        CreateSyncWindow();
    }
} mainThreadInit;

// Until the thread has ended. The main thread keeps running queued calls meanwhile (the
// thread may be blocked in Synchronize), and kernel32's wait handles the messages that other
// threads send it (a thread's message box is carried out there).
void AwaitEnd(HANDLE thread) {
    if (!OnMainThread()) {
        WaitForSingleObject(thread, INFINITE);
        return;
    }
    const HANDLE objects[] = {thread, SyncQueue().callQueued};
    do
        CheckSynchronize();
    while (WaitForMultipleObjects(2, objects, FALSE, INFINITE) == WAIT_OBJECT_0 + 1);
}

int PlatformPriority(TThreadPriority priority) {
    static const int table[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                                THREAD_PRIORITY_NORMAL,       THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                THREAD_PRIORITY_TIME_CRITICAL};
    return table[priority];
}

}  // namespace

DWORD MainThreadID() {
    static const DWORD id = GetCurrentThreadId();
    return id;
}

bool CheckSynchronize() {
    if (!OnMainThread())
        return false;
    TSyncQueue& queue = SyncQueue();
    bool ran = false;
    for (;;) {
        TSyncCall* call = nullptr;
        {
            std::lock_guard guard(queue.lock);
            if (queue.calls.empty())
                return ran;
            call = queue.calls.front();
            queue.calls.pop_front();
        }
        try {
            (*call->method)();
        } catch (...) {
            call->error = std::current_exception();
        }
        {
            std::lock_guard guard(queue.lock);
            call->done = true;
            queue.changed.notify_all();
        }
        ran = true;
    }
}

// ---- TThread ----------------------------------------------------------------------------------
TThread::TThread(bool CreateSuspended) {
    if (!CreateSuspended)
        throw EThread("A thread is created suspended and resumed once its object is complete");
    MainThreadID();
    FSuspended = true;
    FHandle = CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &FThreadID);
    if (!FHandle)
        throw EThread(Format("Thread creation error: %u", static_cast<unsigned>(GetLastError())));
}

TThread::~TThread() {
    if (!FHandle)
        return;
    if (!FStarted) {
        FCancelled = true;
        Start();
    } else if (!FFinished) {
        Terminate();
    }
    if (GetCurrentThreadId() != FThreadID)
        AwaitEnd(FHandle);
    CloseHandle(FHandle);
}

void TThread::Start() {
    FStarted = true;
    ResumeThread(FHandle);
}

DWORD TThread::ThreadProc(LPVOID parameter) {
    auto* self = static_cast<TThread*>(parameter);
    // Finished turns true whatever way the body ends, even by ExitThread.
    struct TFinish {
        TThread* thread;
        ~TFinish() { thread->FFinished = true; }
    };
    DWORD result = 0;
    {
        TFinish finish{self};
        if (!self->FCancelled) {
            try {
                self->Execute();
            } catch (abi::__forced_unwind&) {
                throw;
            } catch (...) {
                self->FFatalException = std::current_exception();
            }
            if (self->OnTerminate) {
                try {
                    self->Synchronize([self] { self->OnTerminate(self); });
                } catch (abi::__forced_unwind&) {
                    throw;
                } catch (...) {
                    // The thread has ended already; there is no one left to report it to.
                }
            }
        }
        result = self->ReturnValue;
    }
    return result;
}

void TThread::Resume() {
    if (!FStarted) {
        FSuspended = false;
        Start();
        return;
    }
    std::lock_guard guard(FPauseLock);
    FSuspended = false;
    FPauseChanged.notify_all();
}

void TThread::Suspend() {
    if (!FStarted || FFinished)
        return;
    {
        std::lock_guard guard(FPauseLock);
        FSuspended = true;
    }
    if (GetCurrentThreadId() == FThreadID)
        PauseWhileSuspended();
}

void TThread::Terminate() {
    std::lock_guard guard(FPauseLock);
    FTerminated = true;
    FPauseChanged.notify_all();
}

bool TThread::Terminated() const {
    if (FSuspended && GetCurrentThreadId() == FThreadID)
        PauseWhileSuspended();
    return FTerminated;
}

void TThread::PauseWhileSuspended() const {
    std::unique_lock guard(FPauseLock);
    FPauseChanged.wait(guard, [this] { return !FSuspended || FTerminated; });
}

DWORD TThread::WaitFor() {
    if (GetCurrentThreadId() == FThreadID)
        throw EThread("A thread cannot wait for itself");
    if (!FFinished && !FStarted)
        throw EThread("Cannot wait for a thread that has not been started");
    if (!FFinished && FSuspended && !FTerminated)
        throw EThread("Cannot wait for a suspended thread");
    AwaitEnd(FHandle);
    return ReturnValue;
}

void TThread::SetPriority(TThreadPriority value) {
    if (value < tpIdle || value > tpTimeCritical)
        throw EThread(Format("Invalid thread priority %d", static_cast<int>(value)));
    FPriority = value;
    SetThreadPriority(FHandle, PlatformPriority(value));
}

void TThread::Synchronize(const TThreadMethod& method) {
    if (!method)
        return;
    if (OnMainThread()) {
        method();
        return;
    }
    TSyncCall call{&method, nullptr};
    TSyncQueue& queue = SyncQueue();
    {
        std::lock_guard guard(queue.lock);
        queue.calls.push_back(&call);
    }
    SetEvent(queue.callQueued);
    WakeMainThread();
    {
        std::unique_lock guard(queue.lock);
        queue.changed.wait(guard, [&] { return call.done; });
    }
    if (call.error)
        std::rethrow_exception(call.error);
}
