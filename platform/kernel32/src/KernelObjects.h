#pragma once
// The objects behind kernel handles, shared by the parts of the library.

#include "kernel32.h"

#include <chrono>
#include <memory>
#include <string>

namespace k32 {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // One of WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT, WAIT_FAILED.
    virtual DWORD Wait(DWORD milliseconds) = 0;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// The object that stands for the calling thread (GetCurrentThread's pseudo handle).
std::shared_ptr<KernelObject> CurrentThreadObject();

// Deadline arithmetic for time-outs in milliseconds (INFINITE never expires).
using Clock = std::chrono::steady_clock;
inline Clock::time_point DeadlineAfter(DWORD milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

}  // namespace k32
