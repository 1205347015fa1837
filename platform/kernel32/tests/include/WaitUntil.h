#pragma once
// A test's wait for a state that another thread or process brings about: polled every
// millisecond, ended by a watchdog that only a genuine hang reaches, however busy the machine.

#include <chrono>
#include <functional>
#include <thread>

// True once done holds; false when the watchdog ran out first.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds watchdog = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
