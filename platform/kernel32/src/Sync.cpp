// Events and mutexes.

#include "KernelObjects.h"
#include "SharedNames.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace k32 {
namespace {

class Event final : public SignalledObject {
public:
    Event(bool manualReset, bool initialState, std::unique_ptr<NameAttachment> name)
        : manualReset_(manualReset), signalled_(initialState), name_(std::move(name)) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock guard(lock_);
        if (!WaitUntil(guard, milliseconds, [this] { return signalled_; }))
            return WAIT_TIMEOUT;
        if (!manualReset_)
            signalled_ = false;
        return WAIT_OBJECT_0;
    }

    void Set() {
        std::lock_guard guard(lock_);
        signalled_ = true;
        // An auto-reset event ends exactly one wait; the waiter that gets in first resets it.
        Signal(manualReset_);
    }

    void Reset() {
        std::lock_guard guard(lock_);
        signalled_ = false;
    }

private:
    const bool manualReset_;
    bool signalled_;
    std::unique_ptr<NameAttachment> name_;  // named events are shared inside the process only
};

// The calling thread's token as a mutex knows its holder: drawn at random once per thread (and
// again in a forked child), so that it is unique on the machine, whatever PID namespace the
// thread runs in and whatever number it has there.
thread_local std::uint64_t threadToken = 0;

std::uint64_t NewToken() {
    std::uint64_t token = 0;
    if (getrandom(&token, sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token)) {
        // Without the kernel's randomness: the thread's place in memory and time, mixed.
        token = reinterpret_cast<std::uintptr_t>(&threadToken) ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
                static_cast<std::uint64_t>(Clock::now().time_since_epoch().count());
        token ^= token >> 31;
        token *= 0x9e3779b97f4a7c15ULL;
    }
    return token != 0 ? token : 1;
}

std::uint64_t ThisThreadToken() {
    if (threadToken == 0)
        threadToken = NewToken();
    return threadToken;
}

// A wall-clock step during a timed wait moves at most one slice.
constexpr std::chrono::milliseconds kLockSlice{50};

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's timed lock counts only a plain success as taking the lock; a lock taken
// over from a process that ended holding it is announced to it here, as its plain and try
// locks do themselves.
void NoteTakenOver(pthread_mutex_t* mutex) {
    __tsan_mutex_pre_lock(mutex, 0);
    __tsan_mutex_post_lock(mutex, 0, 0);
}
#else
void NoteTakenOver(pthread_mutex_t*) {}
#endif

// The lock and its records. A thread that holds the lock keeps them alive, also when the
// last handle closes meanwhile.
struct MutexCore {
    // Unnamed: a lock of this process only.
    MutexCore() : state(&privateState) { InitializeKernelMutex(state, false); }
    // Named: the lock in the name's shared record.
    explicit MutexCore(std::unique_ptr<NameAttachment> attachment)
        : name(std::move(attachment)), state(&name->Record()->mutex) {}
    ~MutexCore() {
        if (!name)
            pthread_mutex_destroy(&state->lock);
    }
    MutexCore(const MutexCore&) = delete;
    MutexCore& operator=(const MutexCore&) = delete;

    KernelMutex privateState{};
    std::unique_ptr<NameAttachment> name;
    KernelMutex* const state;
};

// The mutexes the calling thread holds, kept with a thread-specific value so that they are
// let go when the thread ends, before its handle is signalled. One entry per lock, whichever
// object of its name took it.
using HeldMutexes = std::vector<std::shared_ptr<MutexCore>>;

// The records change while the lock is still held, so whoever takes it next finds them true.
void Unlock(KernelMutex& mutex) {
    mutex.depth = 0;
    mutex.owner.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex.lock);
}

void LetGoOf(void* value) {
    const std::unique_ptr<HeldMutexes> held(static_cast<HeldMutexes*>(value));
    for (const auto& core : *held) {
        // Set, under the lock, by a thread of this process that ended holding it; the next
        // holder (in any process) takes it as abandoned.
        core->state->abandoned = 1;
        Unlock(*core->state);
    }
}

pthread_key_t HeldKey() { return ThreadEndKey<LetGoOf>(); }

HeldMutexes& HeldByThisThread() {
    auto* held = static_cast<HeldMutexes*>(pthread_getspecific(HeldKey()));
    if (!held) {
        held = new HeldMutexes;
        pthread_setspecific(HeldKey(), held);
    }
    return *held;
}

class Mutex final : public KernelObject {
public:
    Mutex() : core_(std::make_shared<MutexCore>()) {}
    explicit Mutex(std::unique_ptr<NameAttachment> name) : core_(std::make_shared<MutexCore>(std::move(name))) {}

    DWORD Wait(DWORD milliseconds) override {
        KernelMutex& mutex = *core_->state;
        // Only the holder ever finds its own token there, so this look needs no lock.
        if (mutex.owner.load(std::memory_order_relaxed) == ThisThreadToken()) {
            ++mutex.depth;
            return WAIT_OBJECT_0;
        }
        int result;
        if (milliseconds == INFINITE)
            result = pthread_mutex_lock(&mutex.lock);
        else if (milliseconds == 0)
            result = pthread_mutex_trylock(&mutex.lock);
        else
            result = LockBefore(DeadlineAfter(milliseconds));
        switch (result) {
        case 0:
            return NoteAcquired(false);
        case EOWNERDEAD:
            // The holding process ended without releasing: the lock passes to this waiter, marked.
            pthread_mutex_consistent(&mutex.lock);
            return NoteAcquired(true);
        case EBUSY:
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }

    bool Release() {
        KernelMutex& mutex = *core_->state;
        if (mutex.owner.load(std::memory_order_relaxed) != ThisThreadToken())
            return false;
        if (--mutex.depth > 0)
            return true;
        auto& held = HeldByThisThread();
        const auto found = std::find_if(held.begin(), held.end(), [&](const auto& core) { return core->state == &mutex; });
        // Kept until the lock is let go: the last reference to the lock's records may be this one.
        std::shared_ptr<MutexCore> holding;
        if (found != held.end()) {
            holding = std::move(*found);
            held.erase(found);
        }
        Unlock(mutex);
        return true;
    }

private:
    // pthread_mutex_timedlock measures against the wall clock, which may be set while the
    // thread waits; the deadline is kept on the steady clock, and each slice of the wait is
    // recomputed from it. (ThreadSanitizer understands this call, unlike the clock-taking one.)
    int LockBefore(Clock::time_point deadline) {
        for (;;) {
            const auto remaining = deadline - Clock::now();
            if (remaining <= Clock::duration::zero())
                return pthread_mutex_trylock(&core_->state->lock);
            const auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<Clock::duration>(remaining, kLockSlice));
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            const long long nanoseconds = until.tv_nsec + slice.count();
            until.tv_sec += static_cast<time_t>(nanoseconds / 1000000000LL);
            until.tv_nsec = static_cast<long>(nanoseconds % 1000000000LL);
            const int result = pthread_mutex_timedlock(&core_->state->lock, &until);
            if (result == EOWNERDEAD)
                NoteTakenOver(&core_->state->lock);
            if (result != ETIMEDOUT && result != EINTR)
                return result;
        }
    }

    DWORD NoteAcquired(bool ownerDied) {
        KernelMutex& mutex = *core_->state;
        mutex.owner.store(ThisThreadToken(), std::memory_order_relaxed);
        mutex.depth = 1;
        HeldByThisThread().push_back(core_);
        const bool abandoned = ownerDied || mutex.abandoned != 0;
        mutex.abandoned = 0;
        return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    }

    const std::shared_ptr<MutexCore> core_;
};

}  // namespace

void ForgetMutexesInForkedChild() {
    threadToken = 0;
    // The parent's thread holds these, not the child's copy of it.
    delete static_cast<HeldMutexes*>(pthread_getspecific(HeldKey()));
    pthread_setspecific(HeldKey(), nullptr);
}

void ReleaseMutexesOfEndingThread() {
    void* held = pthread_getspecific(HeldKey());
    if (!held)
        return;
    pthread_setspecific(HeldKey(), nullptr);
    LetGoOf(held);
}

namespace {

// A handle to the object of that name: this process's own, or one made on the shared record
// (whenCreated runs on an object whose record this call made, before anyone else can see it).
template <class Make, class Created>
HANDLE NamedObjectHandle(LPCSTR name, NameKind kind, bool mayCreate, Make make, Created whenCreated) {
    NamespaceLock scope(IsGlobalName(name));
    if (scope.Error() != ERROR_SUCCESS) {
        SetLastError(scope.Error());
        return nullptr;
    }
    auto lookup = LookUpName(name, kind, mayCreate);
    if (!lookup.existing && !lookup.attachment) {
        SetLastError(lookup.error);
        return nullptr;
    }
    const bool created = lookup.created;
    std::shared_ptr<KernelObject> object = lookup.existing;
    if (!object) {
        auto made = make(std::move(lookup.attachment));
        RegisterNamedObject(name, made);
        if (created)
            whenCreated(*made);
        object = std::move(made);
    }
    SetLastError(created || !mayCreate ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return InsertHandle(std::move(object));
}

}  // namespace
}  // namespace k32

using k32::Event;
using k32::Mutex;

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_SUCCESS);
        return k32::InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE, nullptr));
    }
    return k32::NamedObjectHandle(
        name, k32::NameKind::Event, true,
        [&](std::unique_ptr<k32::NameAttachment> attachment) {
            return std::make_shared<Event>(manualReset != FALSE, initialState != FALSE, std::move(attachment));
        },
        [](Event&) {});
}

BOOL SetEvent(HANDLE event) {
    const auto object = k32::LookupAs<Event>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    const auto object = k32::LookupAs<Event>(event);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Reset();
    return TRUE;
}

namespace {
std::shared_ptr<Mutex> MakeNamedMutex(std::unique_ptr<k32::NameAttachment> attachment) {
    return std::make_shared<Mutex>(std::move(attachment));
}
}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    if (name && *name) {
        // An existing mutex is opened, not taken. A new one is taken before the name is
        // released to others, so no process gets in first.
        return k32::NamedObjectHandle(name, k32::NameKind::Mutex, true, MakeNamedMutex, [&](Mutex& mutex) {
            if (initialOwner)
                mutex.Wait(0);
        });
    }
    auto mutex = std::make_shared<Mutex>();
    if (initialOwner)
        mutex->Wait(INFINITE);
    SetLastError(ERROR_SUCCESS);
    return k32::InsertHandle(std::move(mutex));
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return k32::NamedObjectHandle(name, k32::NameKind::Mutex, false, MakeNamedMutex, [](Mutex&) {});
}

BOOL ReleaseMutex(HANDLE mutex) {
    const auto object = k32::LookupAs<Mutex>(mutex);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!object->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}
