// Window classes and windows. Windows here only handle messages; nothing is drawn.

#include "User32State.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace u32 {
namespace {

struct WindowClass {
    WNDCLASSA info;
    std::string name;  // as registered
    WORD atom;
    int windows = 0;
};

struct Window {
    WNDPROC procedure;
    std::vector<unsigned char> extra;  // cbWndExtra bytes
    LONG_PTR userData = 0;
    DWORD threadId;
    std::shared_ptr<Queue> queue;
    HWND parent;
    WindowClass* windowClass;
    bool destroying = false;
};

using ClassKey = std::pair<HINSTANCE, std::string>;  // instance as given, name without case

struct WindowTable {
    std::mutex lock;
    std::map<ClassKey, std::unique_ptr<WindowClass>> classes;
    std::unordered_map<std::uintptr_t, Window> windows;
    // Handle values are never handed out twice, so a stale handle stays invalid.
    std::uintptr_t nextHandle = 0x10000;
    WORD nextAtom = 0xC000;
};

WindowTable& Table() {
    static auto* table = new WindowTable;  // windows may be touched while the program exits
    return *table;
}

std::uintptr_t Key(HWND window) { return reinterpret_cast<std::uintptr_t>(window); }

ClassKey MakeClassKey(HINSTANCE instance, LPCSTR name) {
    std::string lowered(name ? name : "");
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return {instance, lowered};
}

// Needs the table's lock.
Window* Find(HWND window) {
    auto& windows = Table().windows;
    const auto found = windows.find(Key(window));
    return found == windows.end() ? nullptr : &found->second;
}

bool ParentIsTopLevel(HWND parent) { return !parent || parent == HWND_MESSAGE || parent == kDesktopWindow; }

}  // namespace

std::shared_ptr<Queue> QueueOfWindow(HWND window) {
    std::lock_guard guard(Table().lock);
    const Window* found = Find(window);
    return found ? found->queue : nullptr;
}

bool IsLiveWindow(HWND window) {
    std::lock_guard guard(Table().lock);
    return Find(window) != nullptr;
}

LRESULT CallWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC procedure = nullptr;
    {
        std::lock_guard guard(Table().lock);
        if (const Window* found = Find(window))
            procedure = found->procedure;
    }
    return procedure ? procedure(window, message, wParam, lParam) : 0;
}

void ForgetWindowsOfThread(DWORD threadId) {
    auto& table = Table();
    std::vector<std::shared_ptr<Queue>> released;  // dropped after the lock
    std::lock_guard guard(table.lock);
    for (auto it = table.windows.begin(); it != table.windows.end();) {
        if (it->second.threadId == threadId) {
            --it->second.windowClass->windows;
            released.push_back(std::move(it->second.queue));
            it = table.windows.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace u32

using u32::Table;

WORD RegisterClassA(const WNDCLASSA* windowClass) {
    if (!windowClass || !windowClass->lpszClassName || !*windowClass->lpszClassName || !windowClass->lpfnWndProc ||
        windowClass->cbWndExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto key = u32::MakeClassKey(windowClass->hInstance, windowClass->lpszClassName);
    if (table.classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto entry = std::make_unique<u32::WindowClass>();
    entry->info = *windowClass;
    entry->name = windowClass->lpszClassName;
    entry->info.lpszClassName = nullptr;  // the caller's text need not outlive the call
    entry->info.lpszMenuName = nullptr;
    entry->atom = table.nextAtom++;
    if (table.nextAtom == 0)
        table.nextAtom = 0xC000;
    const WORD atom = entry->atom;
    table.classes.emplace(std::move(key), std::move(entry));
    return atom;
}

BOOL GetClassInfoA(HINSTANCE instance, LPCSTR className, WNDCLASSA* windowClass) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    const auto found = table.classes.find(u32::MakeClassKey(instance, className));
    if (found == table.classes.end() || !windowClass) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *windowClass = found->second->info;
    windowClass->lpszClassName = className;
    return TRUE;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    const auto found = table.classes.find(u32::MakeClassKey(instance, className));
    if (found == table.classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (found->second->windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    table.classes.erase(found);
    return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    auto queue = u32::CurrentQueue();
    auto& table = Table();
    HWND window;
    {
        std::lock_guard guard(table.lock);
        const auto found = table.classes.find(u32::MakeClassKey(instance, className));
        if (found == table.classes.end()) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return nullptr;
        }
        if (!u32::ParentIsTopLevel(parent) && !u32::Find(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        u32::WindowClass& windowClass = *found->second;
        window = reinterpret_cast<HWND>(table.nextHandle);
        table.nextHandle += 4;
        u32::Window entry{windowClass.info.lpfnWndProc,
                          std::vector<unsigned char>(static_cast<std::size_t>(windowClass.info.cbWndExtra)),
                          0,
                          GetCurrentThreadId(),
                          std::move(queue),
                          u32::ParentIsTopLevel(parent) ? nullptr : parent,
                          &windowClass};
        ++windowClass.windows;
        table.windows.emplace(u32::Key(window), std::move(entry));
    }
    CREATESTRUCTA create{param,  instance, menu,       parent,    height,  width,
                         y,      x,        static_cast<LONG>(style), windowName, className, exStyle};
    if (u32::CallWindowProcedure(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        DestroyWindow(window);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return window;
}

BOOL DestroyWindow(HWND window) {
    auto& table = Table();
    std::vector<HWND> children;
    {
        std::lock_guard guard(table.lock);
        u32::Window* found = u32::Find(window);
        if (!found || found->destroying) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        found->destroying = true;
        for (const auto& [key, other] : table.windows) {
            if (other.parent == window)
                children.push_back(reinterpret_cast<HWND>(key));
        }
    }
    // The window is still valid while it handles WM_DESTROY; its children go after it.
    u32::CallWindowProcedure(window, WM_DESTROY, 0, 0);
    for (HWND child : children)
        DestroyWindow(child);
    std::shared_ptr<u32::Queue> released;  // dropped after the lock
    std::lock_guard guard(table.lock);
    if (u32::Window* found = u32::Find(window)) {
        --found->windowClass->windows;
        released = std::move(found->queue);
        table.windows.erase(u32::Key(window));
    }
    return TRUE;
}

BOOL IsWindow(HWND window) { return window == u32::kDesktopWindow || u32::IsLiveWindow(window); }

HWND GetDesktopWindow() { return u32::kDesktopWindow; }

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    std::lock_guard guard(Table().lock);
    const u32::Window* found = u32::Find(window);
    if (!found) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId)
        *processId = static_cast<DWORD>(getpid());
    return found->threadId;
}

namespace {

enum class Slot { None, Extra, UserData, Procedure };

// What an index of SetWindowLongPtrA / GetWindowLongPtrA names; None sets the last error.
Slot SlotOf(const u32::Window* window, int index) {
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return Slot::None;
    }
    if (index == GWLP_USERDATA)
        return Slot::UserData;
    if (index == GWLP_WNDPROC)
        return Slot::Procedure;
    if (index >= 0 && static_cast<std::size_t>(index) + sizeof(LONG_PTR) <= window->extra.size())
        return Slot::Extra;
    SetLastError(ERROR_INVALID_INDEX);
    return Slot::None;
}

LONG_PTR Read(const u32::Window& window, Slot slot, int index) {
    switch (slot) {
    case Slot::Extra: {
        LONG_PTR value;  // the extra bytes need not be aligned for a pointer
        std::memcpy(&value, window.extra.data() + index, sizeof value);
        return value;
    }
    case Slot::UserData: return window.userData;
    case Slot::Procedure: return reinterpret_cast<LONG_PTR>(window.procedure);
    case Slot::None: break;
    }
    return 0;
}

void Write(u32::Window& window, Slot slot, int index, LONG_PTR value) {
    switch (slot) {
    case Slot::Extra: std::memcpy(window.extra.data() + index, &value, sizeof value); break;
    case Slot::UserData: window.userData = value; break;
    case Slot::Procedure: window.procedure = reinterpret_cast<WNDPROC>(value); break;
    case Slot::None: break;
    }
}

}  // namespace

LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
    std::lock_guard guard(Table().lock);
    u32::Window* found = u32::Find(window);
    const Slot slot = SlotOf(found, index);
    if (slot == Slot::None || (slot == Slot::Procedure && value == 0)) {
        if (slot != Slot::None)
            SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const LONG_PTR previous = Read(*found, slot, index);
    Write(*found, slot, index, value);
    SetLastError(ERROR_SUCCESS);
    return previous;
}

LONG_PTR GetWindowLongPtrA(HWND window, int index) {
    std::lock_guard guard(Table().lock);
    const u32::Window* found = u32::Find(window);
    const Slot slot = SlotOf(found, index);
    return slot == Slot::None ? 0 : Read(*found, slot, index);
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE)
        DestroyWindow(window);
    return 0;
}
