// Message queues: posting, sending across threads, filters, quit and the wake descriptor.
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Runs a function on a thread of its own (started through the platform's CreateThread).
class Worker {
public:
    explicit Worker(std::function<void()> body) : body_(std::move(body)) {
        handle_ = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                static_cast<Worker*>(p)->body_();
                return 0;
            },
            this, 0, &id_);
    }
    ~Worker() { Join(); }
    bool Join(DWORD timeout = 10000) {
        if (!handle_)
            return true;
        const bool ended = WaitForSingleObject(handle_, timeout) == WAIT_OBJECT_0;
        if (ended) {
            CloseHandle(handle_);
            handle_ = nullptr;
        }
        return ended;
    }
    DWORD Id() const { return id_; }

private:
    std::function<void()> body_;
    HANDLE handle_ = nullptr;
    DWORD id_ = 0;
};

bool Readable(int descriptor) {
    pollfd entry{descriptor, POLLIN, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN);
}

// Pumps until the predicate holds or the time runs out.
template <class P>
bool PumpUntil(P done, DWORD timeout = 5000) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeout)
            return false;
        PumpPending();
        Sleep(1);
    }
    return true;
}

}  // namespace

TEST(User32Queue, PostedFromOtherThreadDispatchedInOrderOnOwner) {
    HWND window = CreateRecordingWindow();
    TheLog().Take();
    Worker poster([window] {
        for (UINT i = 0; i < 50; ++i)
            PostMessageA(window, WM_USER + i, i, 0);
    });
    ASSERT_TRUE(poster.Join());
    ASSERT_TRUE(PumpUntil([] { return TheLog().Messages().size() >= 50; }));
    const auto log = TheLog().Take();
    ASSERT_EQ(log.size(), 50u);
    for (UINT i = 0; i < 50; ++i) {
        EXPECT_EQ(log[i].message, WM_USER + i);
        EXPECT_EQ(log[i].threadId, GetCurrentThreadId()) << "handled on the window's own thread";
    }
    DestroyWindow(window);
}

TEST(User32Queue, MessageForDestroyedWindowIsDropped) {
    HWND doomed = CreateRecordingWindow();
    HWND survivor = CreateRecordingWindow();
    PostMessageA(doomed, WM_USER + 1, 0, 0);
    PostMessageA(survivor, WM_USER + 2, 0, 0);
    DestroyWindow(doomed);
    TheLog().Take();
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, survivor);
    EXPECT_EQ(msg.message, WM_USER + 2u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(PostMessageA(doomed, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    // Dispatching a kept message of a gone window calls nobody.
    MSG stale{doomed, WM_USER + 3, 0, 0, 0, {0, 0}};
    EXPECT_EQ(DispatchMessageA(&stale), 0);
    EXPECT_TRUE(TheLog().Messages().empty());
    DestroyWindow(survivor);
}

TEST(User32Queue, SendAcrossThreadsWaitsForTheAnswer) {
    HWND window = CreateRecordingWindow();
    TheLog().Take();
    std::atomic<LRESULT> answer{0};
    std::atomic<bool> answered{false};
    Worker sender([&] {
        answer = SendMessageA(window, WM_USER + 100, 41, 0);
        answered = true;
    });
    // Not kernel32's Sleep: on the main thread that answers sent messages.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(answered) << "the answer needs the window's thread";
    ASSERT_TRUE(PumpUntil([&] { return answered.load(); }));
    ASSERT_TRUE(sender.Join());
    EXPECT_EQ(answer, 42);
    const auto log = TheLog().Take();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].threadId, GetCurrentThreadId());
    // On the own thread it is a direct call.
    EXPECT_EQ(SendMessageA(window, WM_USER + 100, 1, 0), 2);
    DestroyWindow(window);
}

TEST(User32Queue, TwoThreadsSendingToEachOtherDoNotDeadlock) {
    // The worker's window answers by sending to the main window first.
    static HWND mainWindow = nullptr;
    mainWindow = CreateRecordingWindow();
    const auto instance = reinterpret_cast<HINSTANCE>(0x600);
    WNDCLASSA forwarding{};
    forwarding.lpfnWndProc = [](HWND, UINT message, WPARAM wParam, LPARAM) -> LRESULT {
        if (message == WM_USER + 1)
            return SendMessageA(mainWindow, WM_USER + 100, wParam * 10, 0);
        return 0;
    };
    forwarding.hInstance = instance;
    forwarding.lpszClassName = "ForwardingWindow";
    ASSERT_NE(RegisterClassA(&forwarding), 0);

    std::atomic<HWND> workerWindow{nullptr};
    std::atomic<bool> stop{false};
    Worker worker([&] {
        workerWindow = CreateWindowExA(0, "ForwardingWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
        MSG msg;
        while (!stop) {
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&msg);
            Sleep(1);
        }
        DestroyWindow(workerWindow);
    });
    while (!workerWindow)
        Sleep(1);
    // Main sends to the worker, which sends back while main still waits for its answer.
    EXPECT_EQ(SendMessageA(workerWindow, WM_USER + 1, 4, 0), 41);
    stop = true;
    ASSERT_TRUE(worker.Join());
    DestroyWindow(mainWindow);
    EXPECT_TRUE(UnregisterClassA("ForwardingWindow", instance));
}

TEST(User32Queue, SenderIsLetGoWhenTheWindowThreadEnds) {
    std::atomic<HWND> window{nullptr};
    HANDLE proceed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Worker owner([&] {
        window = CreateRecordingWindow();
        WaitForSingleObject(proceed, INFINITE);  // ends without handling its messages
    });
    while (!window)
        Sleep(1);
    std::atomic<bool> returned{false};
    Worker sender([&] {
        SendMessageA(window, WM_USER + 100, 1, 0);
        returned = true;
    });
    Sleep(50);
    EXPECT_FALSE(returned);
    SetEvent(proceed);
    ASSERT_TRUE(sender.Join());
    EXPECT_TRUE(returned);
    ASSERT_TRUE(owner.Join());
    EXPECT_FALSE(IsWindow(window)) << "the thread's windows end with it";
    CloseHandle(proceed);
}

TEST(User32Queue, PeekFiltersByWindowAndRange) {
    HWND a = CreateRecordingWindow();
    HWND b = CreateRecordingWindow();
    PostMessageA(a, WM_USER + 1, 0, 0);
    PostMessageA(b, WM_USER + 2, 0, 0);
    PostMessageA(nullptr, WM_USER + 3, 0, 0);  // a thread message
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, b, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 2u);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 3, WM_USER + 10, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 3u);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 3, WM_USER + 10, PM_REMOVE));
    EXPECT_FALSE(PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) << "no thread message is left";
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1u) << "PM_NOREMOVE kept order";
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 2u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(a);
    DestroyWindow(b);
}

TEST(User32Queue, GetMessageBlocksUntilPostAndEndsOnQuit) {
    std::atomic<DWORD> workerId{0};
    std::atomic<int> received{0};
    std::atomic<BOOL> last{-2};
    std::atomic<WPARAM> quitCode{0};
    Worker worker([&] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // asks for a queue
        workerId = GetCurrentThreadId();
        BOOL result;
        while ((result = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
            if (msg.message == WM_USER + 5)
                ++received;
            if (msg.message == WM_CLOSE)
                PostQuitMessage(3);
        }
        last = result;
        quitCode = msg.wParam;
    });
    while (!workerId)
        Sleep(1);
    EXPECT_TRUE(PostThreadMessageA(workerId, WM_USER + 5, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(workerId, WM_USER + 5, 0, 0));
    EXPECT_TRUE(PostThreadMessageA(workerId, WM_CLOSE, 0, 0));
    ASSERT_TRUE(worker.Join());
    EXPECT_EQ(received, 2);
    EXPECT_EQ(last, FALSE);
    EXPECT_EQ(quitCode, 3u);
    EXPECT_FALSE(PostThreadMessageA(workerId, WM_USER, 0, 0)) << "the ended thread has no queue";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(User32Queue, QuitComesAfterPostedMessages) {
    PostQuitMessage(0);
    PostMessageA(nullptr, WM_USER + 9, 0, 0);
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_USER + 9u);
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(User32Queue, WakeDescriptorFollowsTheQueue) {
    PumpPending();
    const int wake = User32QueueWakeDescriptor();
    ASSERT_GE(wake, 0);
    EXPECT_FALSE(Readable(wake));
    EXPECT_FALSE(User32QueueHasMessages());

    HWND window = CreateRecordingWindow();
    Worker poster([window] { PostMessageA(window, WM_USER, 0, 0); });
    ASSERT_TRUE(poster.Join());
    EXPECT_TRUE(Readable(wake));
    EXPECT_TRUE(User32QueueHasMessages());
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_TRUE(Readable(wake)) << "a message left in the queue keeps it readable";
    PumpPending();
    EXPECT_FALSE(Readable(wake));
    EXPECT_FALSE(User32QueueHasMessages());

    // A message sent from another thread wakes the loop too, and is answered by a peek.
    std::atomic<bool> answered{false};
    Worker sender([&] {
        SendMessageA(window, WM_USER + 100, 0, 0);
        answered = true;
    });
    pollfd entry{wake, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 5000), 1);
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(sender.Join());
    EXPECT_TRUE(answered);
    EXPECT_FALSE(Readable(wake));
    DestroyWindow(window);
}

TEST(User32Queue, BadArgumentsFail) {
    MSG msg;
    HWND gone = CreateRecordingWindow();
    DestroyWindow(gone);
    EXPECT_EQ(GetMessageA(&msg, gone, 0, 0), -1);
    EXPECT_EQ(SendMessageA(gone, WM_USER, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostThreadMessageA(0xFFFFFFF0u, WM_USER, 0, 0));
}

TEST(User32Queue, PostsBeyondTenThousandPendingAreRefused) {
    PumpPending();
    HWND window = CreateRecordingWindow();
    for (UINT i = 0; i < 10000; ++i)
        ASSERT_TRUE(PostMessageA(i % 2 ? window : nullptr, WM_USER + i % 2, i, 0)) << i;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    const DWORD self = GetCurrentThreadId();
    std::atomic<BOOL> fromWorker{TRUE};
    std::atomic<DWORD> workerError{0};
    Worker poster([&] {
        fromWorker = PostThreadMessageA(self, WM_USER, 0, 0);
        workerError = GetLastError();
    });
    ASSERT_TRUE(poster.Join());
    EXPECT_FALSE(fromWorker);
    EXPECT_EQ(workerError, ERROR_NOT_ENOUGH_QUOTA);
    int roomCalls = 0;  // a poster refused again and again waits for one call, not one per refusal
    for (int refusal = 0; refusal < 3; ++refusal)
        User32WakeWhenQueueHasRoom(window, [](void* calls) { ++*static_cast<int*>(calls); }, &roomCalls);

    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_TRUE(PostMessageA(window, WM_USER + 1, 10000, 0)) << "room again for one";
    EXPECT_FALSE(PostMessageA(window, WM_USER + 1, 10001, 0));
    for (WPARAM expected = 1; expected <= 10000; ++expected) {
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        ASSERT_EQ(msg.wParam, expected) << "the refused posts left the queue as it was";
    }
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(roomCalls, 1);
    DestroyWindow(window);
}

// The main thread's waits in kernel32 answer what other threads send it, and leave what they
// post for its loop. The worker holds a mutex and the event while it waits for its answer.
TEST(User32Queue, TheMainThreadsWaitsAnswerSentMessagesAndKeepPostedOnes) {
    ASSERT_EQ(GetCurrentThreadId(), static_cast<DWORD>(getpid())) << "runs on the main thread";
    struct TShared {
        HWND window;
        HANDLE holding, go, done, mutex, never;
        std::atomic<LRESULT> answer{0};
    };
    using TWait = std::function<bool(TShared&, HANDLE worker)>;
    const std::vector<std::pair<const char*, TWait>> waits = {
        {"Sleep loop",
         [](TShared& s, HANDLE) {
             for (DWORD start = GetTickCount(); s.answer == 0 && GetTickCount() - start < 10000;)
                 Sleep(5);
             return s.answer != 0;
         }},
        {"WaitForSingleObject on the thread",
         [](TShared&, HANDLE worker) { return WaitForSingleObject(worker, 10000) == WAIT_OBJECT_0; }},
        {"WaitForSingleObject on an event",
         [](TShared& s, HANDLE) { return WaitForSingleObject(s.done, 10000) == WAIT_OBJECT_0; }},
        {"WaitForSingleObject on a mutex",
         [](TShared& s, HANDLE) {
             const bool taken = WaitForSingleObject(s.mutex, 10000) == WAIT_OBJECT_0;
             return taken && ReleaseMutex(s.mutex);
         }},
        {"WaitForMultipleObjects",
         [](TShared& s, HANDLE worker) {
             const HANDLE objects[] = {s.never, worker};
             return WaitForMultipleObjects(2, objects, FALSE, 10000) == WAIT_OBJECT_0 + 1;
         }},
    };
    for (const auto& [name, wait] : waits) {
        SCOPED_TRACE(name);
        PumpPending();
        TheLog().Take();
        const auto event = [] { return CreateEventA(nullptr, TRUE, FALSE, nullptr); };
        TShared shared{CreateRecordingWindow(), event(), event(), event(), CreateMutexA(nullptr, FALSE, nullptr), event()};
        HANDLE worker = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                auto& s = *static_cast<TShared*>(p);
                WaitForSingleObject(s.mutex, INFINITE);
                SetEvent(s.holding);
                WaitForSingleObject(s.go, INFINITE);  // so the message reaches the wait under test
                PostMessageA(s.window, WM_USER + 7, 0, 0);
                s.answer = SendMessageA(s.window, WM_USER + 100, 41, 0);
                SetEvent(s.done);
                ReleaseMutex(s.mutex);
                return 0;
            },
            &shared, 0, nullptr);
        ASSERT_NE(worker, nullptr);
        ASSERT_EQ(WaitForSingleObject(shared.holding, 10000), WAIT_OBJECT_0);
        SetEvent(shared.go);
        EXPECT_TRUE(wait(shared, worker));
        EXPECT_EQ(shared.answer, 42);
        EXPECT_EQ(TheLog().Messages(), std::vector<UINT>{WM_USER + 100}) << "the posted message waits";
        PumpUntil([&] { return shared.answer != 0; });
        PumpPending();
        EXPECT_EQ(TheLog().Messages(), (std::vector<UINT>{WM_USER + 100, WM_USER + 7}));
        EXPECT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
        for (HANDLE handle : {worker, shared.holding, shared.go, shared.done, shared.mutex, shared.never})
            CloseHandle(handle);
        DestroyWindow(shared.window);
    }
}
