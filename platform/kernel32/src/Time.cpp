#include "kernel32.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<DWORD> tickOffset{0};
}

DWORD GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(milliseconds) + tickOffset.load(std::memory_order_relaxed);
}

void Kernel32SetTickCountOffset(DWORD offset) { tickOffset.store(offset, std::memory_order_relaxed); }
