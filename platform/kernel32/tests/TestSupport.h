#pragma once
// Helpers shared by the kernel32 tests.

#include "kernel32.h"

#include <chrono>
#include <string>
#include <unistd.h>

inline std::string UniqueName(const std::string& stem) {
    return "k32test-" + stem + "-" + std::to_string(getpid());
}

// A wait that lasts this long has hung: only a genuine hang reaches it, however busy the machine.
inline constexpr DWORD kHangMs = 10000;

// Milliseconds spent in the call.
template <class F>
DWORD ElapsedMs(F&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}
