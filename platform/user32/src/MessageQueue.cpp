// One message queue per thread: posted messages, messages sent from other threads, the quit
// request, and a descriptor that is readable while any of them waits.

#include "User32State.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace u32 {

struct SentMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<Queue> sender;  // whose lock guards result and done
    LRESULT result = 0;
    bool done = false;
};

// A thread's posted messages beyond this many wait for nobody: the post is refused.
constexpr std::size_t kPostedLimit = 10000;
// A poster whose post was refused is told of room at this many, not at every message taken.
constexpr std::size_t kRoomAgain = kPostedLimit / 2;

// A descriptor that is readable exactly while a condition holds.
class WakeDescriptor {
public:
    WakeDescriptor() : descriptor_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~WakeDescriptor() {
        if (descriptor_ >= 0)
            close(descriptor_);
    }
    WakeDescriptor(const WakeDescriptor&) = delete;
    WakeDescriptor& operator=(const WakeDescriptor&) = delete;

    int Descriptor() const { return descriptor_; }
    void Follow(bool condition) {
        if (condition == signalled_ || descriptor_ < 0)
            return;
        eventfd_t value = 0;
        if (condition)
            eventfd_write(descriptor_, 1);
        else
            eventfd_read(descriptor_, &value);
        signalled_ = condition;
    }

private:
    const int descriptor_;
    bool signalled_ = false;
};

struct Queue {
    explicit Queue(DWORD owner) : threadId(owner) {}

    const DWORD threadId;
    std::mutex lock;
    // Signalled on every new message and every answer to a message this thread sent.
    std::condition_variable changed;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> incoming;
    bool quitPending = false;
    int quitCode = 0;
    bool closed = false;
    WakeDescriptor wake;      // readable while any message waits
    WakeDescriptor sentWake;  // readable while a message sent by another thread waits
    std::vector<std::pair<void (*)(void*), void*>> roomWanted;  // User32WakeWhenQueueHasRoom

    // The following need the lock.
    bool HasMessages() const { return !posted.empty() || !incoming.empty() || quitPending; }

    void UpdateWake() {
        wake.Follow(HasMessages());
        sentWake.Follow(!incoming.empty());
        if (!roomWanted.empty() && (closed || posted.size() <= kRoomAgain)) {
            for (const auto& [wakeUp, context] : roomWanted)
                wakeUp(context);
            roomWanted.clear();
        }
    }

    void Changed() {
        UpdateWake();
        changed.notify_all();
    }
};

namespace {

struct QueueRegistry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<Queue>> queues;
};

QueueRegistry& Registry() {
    static auto* registry = new QueueRegistry;
    return *registry;
}

// The process's first thread.
bool IsMainThread() { return GetCurrentThreadId() == static_cast<DWORD>(getpid()); }

void Complete(SentMessage& sent, LRESULT result) {
    std::lock_guard guard(sent.sender->lock);
    sent.result = result;
    sent.done = true;
    sent.sender->changed.notify_all();
}

// The end of a thread: its windows go, and whoever waits on a message sent to it is let go.
void CloseQueue(const std::shared_ptr<Queue>& queue) {
    {
        std::lock_guard guard(Registry().lock);
        Registry().queues.erase(queue->threadId);
    }
    if (IsMainThread())
        Kernel32SetWaitService(-1, nullptr);
    ForgetWindowsOfThread(queue->threadId);
    std::deque<std::shared_ptr<SentMessage>> unanswered;
    {
        std::lock_guard guard(queue->lock);
        queue->closed = true;
        unanswered.swap(queue->incoming);
        queue->posted.clear();
        queue->quitPending = false;
        queue->Changed();
    }
    for (const auto& sent : unanswered)
        Complete(*sent, 0);
}

struct QueueOwner {
    std::shared_ptr<Queue> queue;
    ~QueueOwner() {
        if (queue)
            CloseQueue(queue);
    }
};

thread_local QueueOwner currentQueue;

// Handles one message sent by another thread, if one waits; the lock is let go meanwhile.
bool ServeIncoming(Queue& queue, std::unique_lock<std::mutex>& guard) {
    if (queue.incoming.empty())
        return false;
    auto sent = std::move(queue.incoming.front());
    queue.incoming.pop_front();
    queue.UpdateWake();
    guard.unlock();
    Complete(*sent, CallWindowProcedure(sent->window, sent->message, sent->wParam, sent->lParam));
    guard.lock();
    return true;
}

inline const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));

bool Matches(const MSG& message, HWND window, UINT filterMin, UINT filterMax) {
    if (window == kThreadMessagesOnly ? message.hwnd != nullptr : (window && message.hwnd != window))
        return false;
    return (filterMin == 0 && filterMax == 0) || (message.message >= filterMin && message.message <= filterMax);
}

// Finds the first posted message that passes the filter (a message for a window that is gone
// is dropped on the way), else the quit request. Needs the queue's lock.
bool TakeMessage(Queue& queue, LPMSG msg, HWND window, UINT filterMin, UINT filterMax, bool remove) {
    for (auto it = queue.posted.begin(); it != queue.posted.end();) {
        if (!Matches(*it, window, filterMin, filterMax)) {
            ++it;
        } else if (it->hwnd && !IsLiveWindow(it->hwnd)) {
            it = queue.posted.erase(it);
        } else {
            *msg = *it;
            if (remove)
                queue.posted.erase(it);
            queue.UpdateWake();
            return true;
        }
    }
    queue.UpdateWake();
    const bool quitPasses = (filterMin == 0 && filterMax == 0) || (WM_QUIT >= filterMin && WM_QUIT <= filterMax);
    if (!queue.quitPending || !quitPasses)
        return false;
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, GetTickCount(), {0, 0}};
    if (remove) {
        queue.quitPending = false;
        queue.UpdateWake();
    }
    return true;
}

// A queue that is missing or closed fails with missingError, a full one with
// ERROR_NOT_ENOUGH_QUOTA.
BOOL Post(const std::shared_ptr<Queue>& queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam,
          DWORD missingError) {
    DWORD error = missingError;
    if (queue) {
        std::lock_guard guard(queue->lock);
        if (!queue->closed && queue->posted.size() < kPostedLimit) {
            queue->posted.push_back(MSG{window, message, wParam, lParam, GetTickCount(), {0, 0}});
            queue->Changed();
            return TRUE;
        }
        if (!queue->closed)
            error = ERROR_NOT_ENOUGH_QUOTA;
    }
    SetLastError(error);
    return FALSE;
}

// The main thread's waits in kernel32 (for threads, events, time) handle the messages that
// other threads send it: those threads carry out message boxes and window calls there and
// wait, and the main thread may well be waiting for one of them. Posted messages stay queued.
void ServeSentMessages() {
    const auto queue = CurrentQueue();
    std::unique_lock guard(queue->lock);
    while (ServeIncoming(*queue, guard)) {
    }
}

bool FilterWindowValid(HWND window) { return !window || window == kThreadMessagesOnly || IsLiveWindow(window); }

}  // namespace

std::shared_ptr<Queue> CurrentQueue() {
    if (!currentQueue.queue) {
        currentQueue.queue = std::make_shared<Queue>(GetCurrentThreadId());
        {
            std::lock_guard guard(Registry().lock);
            Registry().queues[currentQueue.queue->threadId] = currentQueue.queue;
        }
        if (IsMainThread())
            Kernel32SetWaitService(currentQueue.queue->sentWake.Descriptor(), ServeSentMessages);
    }
    return currentQueue.queue;
}

std::shared_ptr<Queue> QueueOfThread(DWORD threadId) {
    std::lock_guard guard(Registry().lock);
    const auto found = Registry().queues.find(threadId);
    return found == Registry().queues.end() ? nullptr : found->second;
}

}  // namespace u32

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto queue = window ? u32::QueueOfWindow(window) : u32::CurrentQueue();
    return u32::Post(queue, window, message, wParam, lParam, ERROR_INVALID_WINDOW_HANDLE);
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    return u32::Post(u32::QueueOfThread(threadId), nullptr, message, wParam, lParam, ERROR_INVALID_THREAD_ID);
}

void PostQuitMessage(int exitCode) {
    const auto queue = u32::CurrentQueue();
    std::lock_guard guard(queue->lock);
    queue->quitPending = true;
    queue->quitCode = exitCode;
    queue->Changed();
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto target = u32::QueueOfWindow(window);
    if (!target) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (target->threadId == GetCurrentThreadId())
        return u32::CallWindowProcedure(window, message, wParam, lParam);

    const auto mine = u32::CurrentQueue();
    auto sent = std::make_shared<u32::SentMessage>(u32::SentMessage{window, message, wParam, lParam, mine});
    {
        std::lock_guard guard(target->lock);
        if (target->closed)
            return 0;
        target->incoming.push_back(sent);
        target->Changed();
    }
    // While waiting, messages sent to this thread are handled, so two threads that send to
    // each other both get on.
    std::unique_lock guard(mine->lock);
    while (!sent->done) {
        if (!u32::ServeIncoming(*mine, guard))
            mine->changed.wait(guard);
    }
    return sent->result;
}

BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    if (!msg || !u32::FilterWindowValid(window)) {
        SetLastError(msg ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return -1;
    }
    const auto queue = u32::CurrentQueue();
    std::unique_lock guard(queue->lock);
    for (;;) {
        if (u32::ServeIncoming(*queue, guard))
            continue;
        if (u32::TakeMessage(*queue, msg, window, filterMin, filterMax, true))
            return msg->message == WM_QUIT ? FALSE : TRUE;
        queue->changed.wait(guard);
    }
}

BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg) {
    if (!msg || !u32::FilterWindowValid(window)) {
        SetLastError(msg ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto queue = u32::CurrentQueue();
    std::unique_lock guard(queue->lock);
    while (u32::ServeIncoming(*queue, guard)) {
    }
    return u32::TakeMessage(*queue, msg, window, filterMin, filterMax, (removeMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }  // no keyboard input reaches these windows

LRESULT DispatchMessageA(const MSG* msg) {
    if (!msg || !msg->hwnd)
        return 0;
    return u32::CallWindowProcedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

int User32QueueWakeDescriptor() { return u32::CurrentQueue()->wake.Descriptor(); }

BOOL User32WakeWhenQueueHasRoom(HWND window, void (*wake)(void*), void* context) {
    const auto queue = wake ? u32::QueueOfWindow(window) : nullptr;
    if (queue) {
        std::lock_guard guard(queue->lock);
        if (!queue->closed) {
            // A poster that asks again before its call came is still waiting for that call:
            // the list holds each poster once, however often its posts are refused meanwhile.
            const std::pair<void (*)(void*), void*> wanted(wake, context);
            if (std::find(queue->roomWanted.begin(), queue->roomWanted.end(), wanted) == queue->roomWanted.end())
                queue->roomWanted.push_back(wanted);
            queue->UpdateWake();
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

BOOL User32QueueHasMessages() {
    const auto queue = u32::CurrentQueue();
    std::lock_guard guard(queue->lock);
    return queue->HasMessages() ? TRUE : FALSE;
}
