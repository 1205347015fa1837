#include "TestSupport.h"

namespace {
const char* const SinkClass = "FormsTestSink";
}

TMessageSink::TMessageSink(TProc proc) : FProc(std::move(proc)) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = SinkClass;
    RegisterClassA(&windowClass);  // already there from an earlier test is fine
    FHandle = CreateWindowExA(0, SinkClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(FHandle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TMessageSink::~TMessageSink() { DestroyWindow(FHandle); }

LRESULT CALLBACK TMessageSink::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* sink = reinterpret_cast<TMessageSink*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (sink && message >= WM_USER) return sink->FProc(message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}
