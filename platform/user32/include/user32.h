#pragma once
// Window classes, (hidden) windows, per-thread message queues, message boxes and the
// always-in-front switch, as the system's code calls them.

#include "kernel32.h"

// ---- messages -------------------------------------------------------------------------------
inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 1024;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

// ---- window classes and windows ---------------------------------------------------------------
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};

inline constexpr DWORD WS_OVERLAPPED = 0x00000000;
inline constexpr DWORD WS_POPUP = 0x80000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_CAPTION = 0x00C00000;
inline constexpr DWORD WS_SYSMENU = 0x00080000;
inline constexpr DWORD WS_MINIMIZEBOX = 0x00020000;
// Extended style: kept with the window and otherwise without effect here (hidden windows only).
inline constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;
inline constexpr int GWLP_USERDATA = -21;
inline constexpr int GWLP_WNDPROC = -4;
inline constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);

// What WM_CREATE carries in its LPARAM: the arguments of CreateWindowExA.
struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};

// The class is registered per module instance (hInstance, compared as given).
WORD RegisterClassA(const WNDCLASSA* windowClass);
BOOL GetClassInfoA(HINSTANCE instance, LPCSTR className, WNDCLASSA* windowClass);
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);

// The window belongs to the calling thread: its messages go to that thread's queue.
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
HWND GetDesktopWindow();
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId);

// Index 0 upwards: the window's extra bytes (cbWndExtra), in steps of a pointer's size.
LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtrA(HWND window, int index);

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---- message queues -------------------------------------------------------------------------
// Every thread that owns a window or asks for messages has one queue. A message for a
// destroyed window is dropped. A queue holds at most 10,000 posted messages: a post beyond
// that fails with ERROR_NOT_ENOUGH_QUOTA.
//
// The process's main thread also handles the messages other threads send it while it waits
// in kernel32 (WaitForSingleObject, WaitForMultipleObjects, Sleep): its queue is that thread's
// wait service. Posted messages are left for its loop.
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// Same thread: a direct call of the window procedure. Another thread: waits until that
// thread has handled it (the waiting thread still handles messages sent to itself).
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);  // 0 on WM_QUIT, -1 on failure
BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);

// ---- message boxes and window placement -------------------------------------------------------
inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_OKCANCEL = 0x00000001;
inline constexpr UINT MB_YESNO = 0x00000004;
inline constexpr UINT MB_ICONERROR = 0x00000010;
inline constexpr UINT MB_ICONQUESTION = 0x00000020;
inline constexpr UINT MB_ICONWARNING = 0x00000030;
inline constexpr UINT MB_ICONINFORMATION = 0x00000040;
inline constexpr UINT MB_ICONMASK = 0x000000F0;
inline constexpr UINT MB_TYPEMASK = 0x0000000F;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

inline const HWND HWND_TOP = reinterpret_cast<HWND>(0);
inline const HWND HWND_BOTTOM = reinterpret_cast<HWND>(1);
inline const HWND HWND_TOPMOST = reinterpret_cast<HWND>(-1);
inline const HWND HWND_NOTOPMOST = reinterpret_cast<HWND>(-2);
// As a parent: a window that only handles messages (every window here is one anyway).
inline const HWND HWND_MESSAGE = reinterpret_cast<HWND>(-3);
inline constexpr UINT SWP_NOSIZE = 0x0001;
inline constexpr UINT SWP_NOMOVE = 0x0002;
inline constexpr UINT SWP_NOZORDER = 0x0004;
inline constexpr UINT SWP_NOACTIVATE = 0x0010;
inline constexpr UINT SWP_FRAMECHANGED = 0x0020;
inline constexpr UINT SWP_SHOWWINDOW = 0x0040;

BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);

// ---- platform extensions: the desktop behind message boxes and placement ---------------------
// The forms layer installs a backend; until one is installed, MessageBoxA writes caption and
// text to standard error and returns IDOK, and SetWindowPos only checks its window.
class TDesktopBackend {
public:
    virtual ~TDesktopBackend() = default;
    virtual int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) = 0;
    virtual BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) = 0;
};
// Not owned; null restores the standard-error fallback. Returns the previous backend.
TDesktopBackend* User32SetDesktopBackend(TDesktopBackend* backend);

// ---- platform extensions: servicing a queue from another event loop ---------------------------
// A descriptor that is readable while the calling thread's queue holds a message (posted or
// sent). A GUI event loop watches it and then drains the queue with PeekMessageA. The
// descriptor belongs to the queue; do not close it.
int User32QueueWakeDescriptor();
// True when the calling thread's queue holds a message, without removing one.
BOOL User32QueueHasMessages();

// ---- platform extensions: posting from a thread that must not wait ----------------------------
// For a post that a full queue refused (ERROR_NOT_ENOUGH_QUOTA): asks for one call of
// wake(context) once the window's queue has room again (half of it free) or its thread ends;
// at once when it has. Asked again with the same wake and context before that call, it is still
// one call. FALSE with ERROR_INVALID_WINDOW_HANDLE, and no call, when the window has
// no queue. The call is made under the queue's lock: wake may only signal (set a flag, write a
// descriptor), never call user32.
BOOL User32WakeWhenQueueHasRoom(HWND window, void (*wake)(void* context), void* context);
