// Window classes, windows, their extra bytes, and the library beside the executable.
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <string>

namespace {

LRESULT CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return RecordingProc(window, message, wParam, lParam);
}

WNDCLASSA MakeClass(LPCSTR name, HINSTANCE instance, WNDPROC procedure = CountingProc) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = name;
    windowClass.cbWndExtra = sizeof(LONG_PTR);
    return windowClass;
}

}  // namespace

TEST(User32Class, RegisteredPerInstanceWithoutCase) {
    const auto a = reinterpret_cast<HINSTANCE>(0x100);
    const auto b = reinterpret_cast<HINSTANCE>(0x200);
    const auto windowClass = MakeClass("PerInstanceClass", a);
    EXPECT_NE(RegisterClassA(&windowClass), 0);
    EXPECT_EQ(RegisterClassA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    const auto sameNameOtherCase = MakeClass("PERINSTANCECLASS", a);
    EXPECT_EQ(RegisterClassA(&sameNameOtherCase), 0);
    const auto otherInstance = MakeClass("PerInstanceClass", b);
    EXPECT_NE(RegisterClassA(&otherInstance), 0);

    WNDCLASSA found{};
    ASSERT_TRUE(GetClassInfoA(a, "perinstanceclass", &found));
    EXPECT_EQ(found.lpfnWndProc, CountingProc);
    EXPECT_EQ(found.cbWndExtra, static_cast<int>(sizeof(LONG_PTR)));
    EXPECT_FALSE(GetClassInfoA(reinterpret_cast<HINSTANCE>(0x300), "PerInstanceClass", &found));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);

    EXPECT_TRUE(UnregisterClassA("PerInstanceClass", a));
    EXPECT_FALSE(GetClassInfoA(a, "PerInstanceClass", &found));
    EXPECT_TRUE(GetClassInfoA(b, "PerInstanceClass", &found));
    EXPECT_FALSE(UnregisterClassA("PerInstanceClass", a));
    EXPECT_TRUE(UnregisterClassA("PerInstanceClass", b));
}

TEST(User32Class, UnregisterRefusedWhileWindowsExist) {
    const auto instance = reinterpret_cast<HINSTANCE>(0x400);
    const auto windowClass = MakeClass("BusyClass", instance);
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    HWND window = CreateWindowExA(0, "BusyClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(UnregisterClassA("BusyClass", instance));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    DestroyWindow(window);
    EXPECT_TRUE(UnregisterClassA("BusyClass", instance));
    EXPECT_EQ(CreateWindowExA(0, "BusyClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
}

TEST(User32Window, CreateAndDestroyReachTheProcedure) {
    TheLog().Take();
    RegisterRecordingClass();
    int creationData = 7;
    HWND window = CreateWindowExA(0, kRecordingClass, "title", WS_POPUP, 1, 2, 3, 4, nullptr, nullptr, TestInstance(),
                                  &creationData);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindow(window));
    auto log = TheLog().Take();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].message, WM_CREATE);
    EXPECT_EQ(log[0].window, window);
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(log[0].lParam);
    EXPECT_NE(create, nullptr);  // valid during the call only; the pointer is kept, not read
    DWORD processId = 0;
    EXPECT_EQ(GetWindowThreadProcessId(window, &processId), GetCurrentThreadId());
    EXPECT_EQ(processId, static_cast<DWORD>(getpid()));

    EXPECT_TRUE(DestroyWindow(window));
    log = TheLog().Take();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].message, WM_DESTROY);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

namespace {
LRESULT CreateParamsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        if (create->lpCreateParams == nullptr)
            return -1;  // refuses to be made
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
}  // namespace

TEST(User32Window, CreateParamsAndRefusal) {
    const auto instance = reinterpret_cast<HINSTANCE>(0x500);
    const auto windowClass = MakeClass("ParamsClass", instance, CreateParamsProc);
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    int object = 0;
    HWND window = CreateWindowExA(0, "ParamsClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, &object);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetWindowLongPtrA(window, 0), reinterpret_cast<LONG_PTR>(&object));
    DestroyWindow(window);
    EXPECT_EQ(CreateWindowExA(0, "ParamsClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr), nullptr);
    EXPECT_TRUE(UnregisterClassA("ParamsClass", instance));
}

TEST(User32Window, StaleHandleStaysInvalid) {
    HWND first = CreateRecordingWindow();
    DestroyWindow(first);
    for (int i = 0; i < 100; ++i) {
        HWND next = CreateRecordingWindow();
        EXPECT_NE(next, first);
        DestroyWindow(next);
    }
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(GetWindowLongPtrA(first, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(User32Window, ExtraBytesUserDataAndProcedure) {
    HWND window = CreateRecordingWindow();
    SetLastError(77);
    EXPECT_EQ(SetWindowLongPtrA(window, 0, 1234), 0);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(SetWindowLongPtrA(window, sizeof(LONG_PTR), -5), 0);
    EXPECT_EQ(SetWindowLongPtrA(window, 0, 99), 1234) << "the previous value comes back";
    EXPECT_EQ(GetWindowLongPtrA(window, 0), 99);
    EXPECT_EQ(GetWindowLongPtrA(window, sizeof(LONG_PTR)), -5);
    // Past the extra bytes.
    EXPECT_EQ(SetWindowLongPtrA(window, 2 * sizeof(LONG_PTR), 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
    EXPECT_EQ(GetWindowLongPtrA(window, sizeof(LONG_PTR) + 1), 0);

    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0);
    SetWindowLongPtrA(window, GWLP_USERDATA, 42);
    EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 42);
    EXPECT_EQ(GetWindowLongPtrA(window, 0), 99) << "user data is apart from the extra bytes";

    static int replacedCalls;
    replacedCalls = 0;
    const auto replacement = [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++replacedCalls; };
    const LONG_PTR old = SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+replacement));
    EXPECT_EQ(old, reinterpret_cast<LONG_PTR>(&RecordingProc));
    EXPECT_EQ(SendMessageA(window, WM_USER + 100, 5, 0), 1);
    SetWindowLongPtrA(window, GWLP_WNDPROC, old);
    EXPECT_EQ(SendMessageA(window, WM_USER + 100, 5, 0), 6);
    DestroyWindow(window);
}

TEST(User32Window, ChildrenGoWithTheirParent) {
    TheLog().Take();
    HWND parent = CreateRecordingWindow();
    HWND child = CreateWindowExA(0, kRecordingClass, "", 0, 0, 0, 0, 0, parent, nullptr, TestInstance(), nullptr);
    ASSERT_NE(child, nullptr);
    HWND messageOnly =
        CreateWindowExA(0, kRecordingClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, TestInstance(), nullptr);
    EXPECT_NE(messageOnly, nullptr);
    HWND bogusParent = reinterpret_cast<HWND>(0x7FFF0);
    EXPECT_EQ(CreateWindowExA(0, kRecordingClass, "", 0, 0, 0, 0, 0, bogusParent, nullptr, TestInstance(), nullptr),
              nullptr);
    TheLog().Take();
    DestroyWindow(parent);
    EXPECT_FALSE(IsWindow(child));
    const auto log = TheLog().Take();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].window, parent);
    EXPECT_EQ(log[1].window, child);
    EXPECT_TRUE(IsWindow(messageOnly));
    DestroyWindow(messageOnly);
}

TEST(User32Window, DesktopWindowExists) {
    HWND desktop = GetDesktopWindow();
    EXPECT_NE(desktop, nullptr);
    EXPECT_TRUE(IsWindow(desktop));
    EXPECT_EQ(GetDesktopWindow(), desktop);
}

TEST(User32Module, LoadLibraryFindsUser32BesideTheTest) {
    HMODULE module = LoadLibraryA("USER32.DLL");
    ASSERT_NE(module, nullptr);
    char path[4096];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    EXPECT_NE(std::string(path, length).find("/libuser32.so"), std::string::npos);
    EXPECT_NE(GetProcAddress(module, "_Z8IsWindowP6HWND__"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}
