#pragma once
// A window class for the tests whose procedure records what reaches it.

#include "user32.h"

#include <mutex>
#include <utility>
#include <vector>

struct RecordedMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD threadId;
};

class MessageLog {
public:
    void Add(const RecordedMessage& message) {
        std::lock_guard guard(lock_);
        messages_.push_back(message);
    }
    std::vector<RecordedMessage> Take() {
        std::lock_guard guard(lock_);
        return std::exchange(messages_, {});
    }
    std::vector<UINT> Messages(UINT from = WM_USER) {
        std::lock_guard guard(lock_);
        std::vector<UINT> result;
        for (const auto& m : messages_)
            if (m.message >= from)
                result.push_back(m.message);
        return result;
    }

private:
    std::mutex lock_;
    std::vector<RecordedMessage> messages_;
};

// Messages WM_USER + 100 and up answer with wParam + 1; every message is logged.
inline MessageLog& TheLog() {
    static MessageLog log;
    return log;
}

inline LRESULT RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TheLog().Add({window, message, wParam, lParam, GetCurrentThreadId()});
    if (message >= WM_USER + 100)
        return static_cast<LRESULT>(wParam + 1);
    return DefWindowProcA(window, message, wParam, lParam);
}

inline HINSTANCE TestInstance() { return reinterpret_cast<HINSTANCE>(0x5000); }

inline constexpr char kRecordingClass[] = "RecordingWindow";

// Registers the class once per process (with two pointers of extra bytes).
inline void RegisterRecordingClass() {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.cbWndExtra = 2 * sizeof(LONG_PTR);
    windowClass.hInstance = TestInstance();
    windowClass.lpszClassName = kRecordingClass;
    WNDCLASSA existing;
    if (!GetClassInfoA(TestInstance(), kRecordingClass, &existing))
        RegisterClassA(&windowClass);
}

inline HWND CreateRecordingWindow() {
    RegisterRecordingClass();
    return CreateWindowExA(0, kRecordingClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, TestInstance(), nullptr);
}

// Drains the calling thread's queue, dispatching every message.
inline int PumpPending() {
    int count = 0;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        ++count;
    }
    return count;
}
