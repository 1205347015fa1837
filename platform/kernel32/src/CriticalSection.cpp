#include "kernel32.h"

#include <mutex>

namespace {
std::recursive_mutex& Impl(LPCRITICAL_SECTION section) { return *static_cast<std::recursive_mutex*>(section->impl); }
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) { section->impl = new std::recursive_mutex; }

void EnterCriticalSection(LPCRITICAL_SECTION section) { Impl(section).lock(); }

void LeaveCriticalSection(LPCRITICAL_SECTION section) { Impl(section).unlock(); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    delete static_cast<std::recursive_mutex*>(section->impl);
    section->impl = nullptr;
}
