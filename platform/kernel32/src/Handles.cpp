#include "KernelObjects.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace k32 {

inline const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2));

namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    // Values are never handed out twice, so a stale handle stays invalid.
    std::uintptr_t next = 0x1000;
};

HandleTable& Table() {
    static auto* table = new HandleTable;  // outlives every static destructor that closes handles
    return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    const auto value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    if (handle == kCurrentThreadPseudoHandle)
        return CurrentThreadObject();
    auto& table = Table();
    std::lock_guard guard(table.lock);
    const auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == table.objects.end() ? nullptr : found->second;
}

bool RemoveHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> released;  // its destructor runs after the table's lock is free
    auto& table = Table();
    {
        std::lock_guard guard(table.lock);
        const auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == table.objects.end())
            return false;
        released = std::move(found->second);
        table.objects.erase(found);
    }
    return true;
}

}  // namespace k32

BOOL CloseHandle(HANDLE handle) {
    if (handle == k32::kCurrentThreadPseudoHandle || k32::RemoveHandle(handle))
        return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
