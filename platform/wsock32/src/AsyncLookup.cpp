// Asynchronous host lookups: a few worker threads resolve, pack the host entry into the
// caller's buffer and post the reply to the caller's window.

#include "AsyncLookup.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "Names.h"
#include "Winsock.h"
#include "user32.h"

namespace {

// Enough for the lookups of a few windows at once; more would only queue at the name server.
constexpr std::size_t kWorkerCount = 4;
// Task handles travel in places that keep 31 bits; they are never handed out twice.
constexpr UINT_PTR kLastHandle = 0x7FFFFFFF;
// As many addresses as a host entry of Windows Sockets carries; with this layer's entries
// (one name, no aliases) the entry then always fits MAXGETHOSTSTRUCT.
constexpr std::size_t kMaxAddresses = 35;

struct TLookupQuery {
    bool ByAddress = false;
    std::string Name;
    std::uint32_t Address = 0;
};

struct TLookupTask {
    TLookupQuery Query;
    HWND Window;
    UINT Message;
    char* Buffer;
    int BufferLength;
};

// One lock over the queue, the tasks and the workers. A task is in Live from its start until
// its reply has been written and posted, or until it is cancelled; the worker writes and posts
// under the lock, so a cancel that finds the task in Live is sure to come before both.
struct TLookupPool {
    std::mutex Lock;
    std::condition_variable Work;
    std::deque<UINT_PTR> Queue;  // may still hold handles of cancelled tasks
    std::unordered_map<UINT_PTR, TLookupTask> Live;
    UINT_PTR NextHandle = 1;
    std::size_t Workers = 0;
    std::size_t Idle = 0;
};

// Never destroyed: detached workers wait on it until the process ends.
TLookupPool& Pool() {
    static auto* pool = new TLookupPool;
    return *pool;
}

template <typename T>
void Put(char* at, const T& value) {
    std::memcpy(at, &value, sizeof value);
}

// The host entry at the start of the buffer, then its null-terminated pointer lists, the
// addresses and the texts, each part aligned for what it holds.
struct THostLayout {
    explicit THostLayout(const WinsockSys::THostEntry& entry) {
        AddressCount = std::min(entry.Addresses.size(), kMaxAddresses);
        AliasList = sizeof(hostent);
        AddressList = AliasList + (entry.Aliases.size() + 1) * sizeof(char*);
        Addresses = AddressList + (AddressCount + 1) * sizeof(char*);
        Texts = Addresses + AddressCount * sizeof(std::uint32_t);
        Size = Texts + entry.Name.size() + 1;
        for (const std::string& alias : entry.Aliases) Size += alias.size() + 1;
    }

    std::size_t AddressCount, AliasList, AddressList, Addresses, Texts, Size;
};
static_assert(sizeof(hostent) % alignof(char*) == 0 && alignof(char*) % alignof(std::uint32_t) == 0);

void PackHost(const WinsockSys::THostEntry& entry, const THostLayout& layout, char* buffer) {
    char* text = buffer + layout.Texts;
    auto putText = [&text](const std::string& value) {
        char* at = text;
        std::memcpy(at, value.c_str(), value.size() + 1);
        text += value.size() + 1;
        return at;
    };
    hostent host{};
    host.h_name = putText(entry.Name);
    host.h_aliases = reinterpret_cast<char**>(buffer + layout.AliasList);
    host.h_addrtype = AF_INET;
    host.h_length = sizeof(std::uint32_t);
    host.h_addr_list = reinterpret_cast<char**>(buffer + layout.AddressList);
    Put(buffer, host);

    char* slot = buffer + layout.AliasList;
    for (const std::string& alias : entry.Aliases) {
        Put(slot, putText(alias));
        slot += sizeof(char*);
    }
    Put(slot, static_cast<char*>(nullptr));

    slot = buffer + layout.AddressList;
    char* address = buffer + layout.Addresses;
    for (std::size_t i = 0; i < layout.AddressCount; ++i) {
        Put(address, entry.Addresses[i]);
        Put(slot, address);
        address += sizeof(std::uint32_t);
        slot += sizeof(char*);
    }
    Put(slot, static_cast<char*>(nullptr));
}

long Resolve(const TLookupQuery& query, WinsockSys::THostEntry& entry) {
    return query.ByAddress ? WinsockSys::LookupAddress(query.Address, entry)
                           : ResolveHostName(query.Name.c_str(), entry);
}

// Runs under the pool's lock. A refused post (a full queue, a window gone) still completes
// the task: nobody is left to tell.
void Complete(const TLookupTask& task, UINT_PTR handle, long result,
              const WinsockSys::THostEntry& entry) {
    std::size_t size = 0;
    int error = result < 0 ? static_cast<int>(-result) : 0;
    if (!error) {
        const THostLayout layout(entry);
        size = layout.Size;
        if (size > static_cast<std::size_t>(task.BufferLength))
            error = WSAENOBUFS;
        else
            PackHost(entry, layout, task.Buffer);
    }
    PostMessageA(task.Window, task.Message, static_cast<WPARAM>(handle),
                 WSAMAKEASYNCREPLY(static_cast<WORD>(size), static_cast<WORD>(error)));
}

void Serve() {
    TLookupPool& pool = Pool();
    std::unique_lock lock(pool.Lock);
    for (;;) {
        ++pool.Idle;
        pool.Work.wait(lock, [&pool] { return !pool.Queue.empty(); });
        --pool.Idle;
        const UINT_PTR handle = pool.Queue.front();
        pool.Queue.pop_front();
        auto task = pool.Live.find(handle);
        if (task == pool.Live.end()) continue;
        const TLookupQuery query = task->second.Query;

        lock.unlock();
        WinsockSys::THostEntry entry;
        const long result = Resolve(query, entry);
        lock.lock();

        task = pool.Live.find(handle);
        if (task == pool.Live.end()) continue;
        Complete(task->second, handle, result, entry);
        pool.Live.erase(task);
    }
}

// Under the pool's lock. False when no worker exists and none can be started.
bool EnsureWorker(TLookupPool& pool) {
    if (pool.Idle >= pool.Queue.size() || pool.Workers >= kWorkerCount) return true;
    try {
        std::thread(Serve).detach();
        ++pool.Workers;
    } catch (const std::system_error&) {
        return pool.Workers > 0;
    }
    return true;
}

HANDLE Start(TLookupTask task) {
    if (!WinsockStarted()) return nullptr;
    if (!task.Buffer || task.BufferLength < 0 ||
        reinterpret_cast<std::uintptr_t>(task.Buffer) % alignof(hostent) != 0) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    TLookupPool& pool = Pool();
    std::lock_guard lock(pool.Lock);
    if (pool.NextHandle > kLastHandle) {
        WSASetLastError(WSAENOBUFS);
        return nullptr;
    }
    const UINT_PTR handle = pool.NextHandle;
    pool.Queue.push_back(handle);
    if (!EnsureWorker(pool)) {
        pool.Queue.pop_back();
        WSASetLastError(WSAENOBUFS);
        return nullptr;
    }
    ++pool.NextHandle;
    pool.Live.emplace(handle, std::move(task));
    pool.Work.notify_one();
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

void CancelAllLookups() {
    TLookupPool& pool = Pool();
    std::lock_guard lock(pool.Lock);
    pool.Live.clear();
    pool.Queue.clear();
}

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
    if (!WinsockStarted()) return nullptr;
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    return Start(TLookupTask{TLookupQuery{false, name, 0}, hwnd, msg, buf, buflen});
}

HANDLE WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf,
                             int buflen) {
    if (!WinsockStarted()) return nullptr;
    std::uint32_t address = 0;
    if (const int error = ReadHostAddress(addr, len, type, &address)) {
        WSASetLastError(error);
        return nullptr;
    }
    return Start(TLookupTask{TLookupQuery{true, {}, address}, hwnd, msg, buf, buflen});
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    if (!WinsockStarted()) return SOCKET_ERROR;
    const auto handle = reinterpret_cast<UINT_PTR>(asyncTaskHandle);
    TLookupPool& pool = Pool();
    std::lock_guard lock(pool.Lock);
    if (handle == 0 || handle >= pool.NextHandle) return WinsockFail(WSAEINVAL);
    // A task that is no longer live has posted its reply, or was cancelled before.
    if (pool.Live.erase(handle) == 0) return WinsockFail(WSAEALREADY);
    return 0;
}
