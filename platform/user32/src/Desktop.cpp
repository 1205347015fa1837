// Message boxes and window placement, handed to the desktop the forms layer installs.

#include "User32State.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<TDesktopBackend*> desktop{nullptr};
}

TDesktopBackend* User32SetDesktopBackend(TDesktopBackend* backend) { return desktop.exchange(backend); }

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (TDesktopBackend* backend = desktop.load())
        return backend->MessageBox(owner, text, caption, type);
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    std::fflush(stderr);
    return IDOK;
}

BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    if (TDesktopBackend* backend = desktop.load())
        return backend->SetWindowPos(window, insertAfter, x, y, cx, cy, flags);
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}
