#pragma once
// State shared by the parts of user32: the window table and the per-thread queues.
//
// Lock order: a queue's lock may be held while the window table's lock is taken, never the
// other way round; no lock is held while a window procedure runs.

#include "user32.h"

#include <memory>

namespace u32 {

struct Queue;

// The calling thread's queue, made on first use.
std::shared_ptr<Queue> CurrentQueue();
// The queue of a thread that has one, else null.
std::shared_ptr<Queue> QueueOfThread(DWORD threadId);

// The window's queue (null when the window is not alive).
std::shared_ptr<Queue> QueueOfWindow(HWND window);
bool IsLiveWindow(HWND window);
// Calls the window's procedure without any lock held; 0 when the window is gone.
LRESULT CallWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// A thread that ends takes its windows with it (its procedures are not called any more).
void ForgetWindowsOfThread(DWORD threadId);

inline const HWND kDesktopWindow = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x10));

}  // namespace u32
