#include "EventSocketWindow.h"

#include <set>
#include <vector>

#include "CustomEventSocket.h"
#include "EventSocketBinding.h"

namespace {

HINSTANCE ProgramInstance() { return GetModuleHandleA(nullptr); }

bool RegisterSocketWindowClass() {
    TCriticalSectionGuard lock(SocketWindowClassLock());
    WNDCLASSA registered{};
    if (GetClassInfoA(ProgramInstance(), SocketWindowClassName, &registered)) return true;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = SocketWindowProc;
    windowClass.cbWndExtra = sizeof(TCustomEventSocket*);  // the owning socket at index 0
    windowClass.hInstance = ProgramInstance();
    windowClass.lpszClassName = SocketWindowClassName;
    return RegisterClassA(&windowClass) != 0;
}

// The windows waiting for room. The queue calls Wake under its own lock, so it only signals;
// the thread posts. The lock is never held across a call of user32, whose queue lock the
// queue holds when it calls Wake.
struct TRoomWaiter {
    CRITICAL_SECTION Lock{};
    HANDLE Room = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::set<HWND> Waiting;
    bool Running = false;  // the thread runs while a window waits

    TRoomWaiter() { InitializeCriticalSection(&Lock); }
};

TRoomWaiter& RoomWaiter() {
    // Never destroyed: the thread may still wait for a queue while the process ends.
    static TRoomWaiter* waiter = new TRoomWaiter();
    return *waiter;
}

void Wake(void*) { SetEvent(RoomWaiter().Room); }

// False when Window has no queue any more.
bool AskForRoom(HWND Window) { return User32WakeWhenQueueHasRoom(Window, Wake, nullptr) != FALSE; }

// A window without a queue waits no more; the thread looks again whether any is left.
void Forget(HWND Window) {
    TRoomWaiter& waiter = RoomWaiter();
    {
        TCriticalSectionGuard lock(waiter.Lock);
        waiter.Waiting.erase(Window);
    }
    SetEvent(waiter.Room);
}

DWORD NudgeWhenRoom(LPVOID) {
    TRoomWaiter& waiter = RoomWaiter();
    for (;;) {
        WaitForSingleObject(waiter.Room, INFINITE);
        std::set<HWND> windows;
        {
            TCriticalSectionGuard lock(waiter.Lock);
            windows.swap(waiter.Waiting);
        }
        // A queue that has filled up again is asked once more; a window that is gone is not.
        std::vector<HWND> refused;
        for (const HWND window : windows)
            if (!PostMessageA(window, WM_QUEUE_ROOM, 0, 0) && GetLastError() == ERROR_NOT_ENOUGH_QUOTA)
                refused.push_back(window);
        std::vector<HWND> askAgain;
        {
            TCriticalSectionGuard lock(waiter.Lock);
            for (const HWND window : refused)
                if (waiter.Waiting.insert(window).second) askAgain.push_back(window);
            if (waiter.Waiting.empty()) {
                waiter.Running = false;
                return 0;
            }
        }
        for (const HWND window : askAgain)
            if (!AskForRoom(window)) Forget(window);
    }
}

}  // namespace

void PostWhenQueueHasRoom(HWND Window) {
    TRoomWaiter& waiter = RoomWaiter();
    {
        TCriticalSectionGuard lock(waiter.Lock);
        // Asked once while it waits, however often its posts are refused meanwhile.
        if (!waiter.Waiting.insert(Window).second) return;
        if (!waiter.Running) {
            const HANDLE thread = CreateThread(nullptr, 0, NudgeWhenRoom, nullptr, 0, nullptr);
            if (!thread) {
                waiter.Waiting.erase(Window);
                return;
            }
            CloseHandle(thread);
            waiter.Running = true;
        }
    }
    if (!AskForRoom(Window)) Forget(Window);
}

HWND AllocateSocketWindow(TCustomEventSocket* Socket) {
    if (!RegisterSocketWindowClass()) return nullptr;
    const HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, SocketWindowClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                                        nullptr, ProgramInstance(), nullptr);
    if (!window || !Socket) return window;
    // A window whose word cannot hold the socket would send every event to the default
    // procedure unnoticed.
    const LONG_PTR stored = reinterpret_cast<LONG_PTR>(Socket);
    SetWindowLongPtrA(window, 0, stored);
    if (GetWindowLongPtrA(window, 0) != stored) {
        DestroyWindow(window);
        return nullptr;
    }
    return window;
}

bool DestroySocketWindow(HWND Window) {
    SetWindowLongPtrA(Window, 0, 0);
    return DestroyWindow(Window) != FALSE;
}

void UnregisterSocketWindowClass() {
    TCriticalSectionGuard lock(SocketWindowClassLock());
    UnregisterClassA(SocketWindowClassName, ProgramInstance());
}

LRESULT SocketWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* socket = reinterpret_cast<TCustomEventSocket*>(GetWindowLongPtrA(Window, 0));
    if (!socket) return DefWindowProcA(Window, Msg, WParam, LParam);
    TSocketMessage message{Msg, WParam, LParam, 0};
    socket->WindowMessage(message);  // which may have freed the socket
    return message.Result;
}
