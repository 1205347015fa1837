#include "EventSocketWindow.h"

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

}  // namespace

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
