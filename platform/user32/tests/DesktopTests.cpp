// Message boxes and placement: the installed desktop, or standard error without one.
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class RecordingDesktop : public TDesktopBackend {
public:
    int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override {
        lastOwner = owner;
        lastText = text;
        lastCaption = caption;
        lastType = type;
        return IDNO;
    }
    BOOL SetWindowPos(HWND window, HWND insertAfter, int, int, int, int, UINT flags) override {
        lastWindow = window;
        lastInsertAfter = insertAfter;
        lastFlags = flags;
        return TRUE;
    }
    HWND lastOwner = nullptr, lastWindow = nullptr, lastInsertAfter = nullptr;
    std::string lastText, lastCaption;
    UINT lastType = 0, lastFlags = 0;
};

}  // namespace

TEST(User32Desktop, MessageBoxWithoutBackendWritesToStandardError) {
    ASSERT_EQ(User32SetDesktopBackend(nullptr), nullptr);
    testing::internal::CaptureStderr();
    const int result = MessageBoxA(nullptr, "Die Datei fehlt.", "Wagenklang", MB_OK | MB_ICONERROR);
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, IDOK);
    EXPECT_NE(written.find("Wagenklang"), std::string::npos);
    EXPECT_NE(written.find("Die Datei fehlt."), std::string::npos);
}

TEST(User32Desktop, InstalledBackendReceivesCalls) {
    RecordingDesktop desktop;
    EXPECT_EQ(User32SetDesktopBackend(&desktop), nullptr);
    HWND window = CreateRecordingWindow();
    EXPECT_EQ(MessageBoxA(window, "Beenden?", "Frage", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(desktop.lastOwner, window);
    EXPECT_EQ(desktop.lastText, "Beenden?");
    EXPECT_EQ(desktop.lastCaption, "Frage");
    EXPECT_EQ(desktop.lastType, MB_YESNO | MB_ICONQUESTION);
    EXPECT_TRUE(SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
    EXPECT_EQ(desktop.lastWindow, window);
    EXPECT_EQ(desktop.lastInsertAfter, HWND_TOPMOST);
    EXPECT_EQ(desktop.lastFlags, SWP_NOMOVE | SWP_NOSIZE);
    EXPECT_EQ(User32SetDesktopBackend(nullptr), &desktop);
    DestroyWindow(window);
}

TEST(User32Desktop, SetWindowPosWithoutBackendChecksTheWindow) {
    HWND window = CreateRecordingWindow();
    EXPECT_TRUE(SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
    DestroyWindow(window);
    EXPECT_FALSE(SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}
