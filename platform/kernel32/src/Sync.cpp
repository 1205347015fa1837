// Events and mutexes.

#include "KernelObjects.h"
#include "SharedNames.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <vector>

namespace k32 {
namespace {

class Event final : public KernelObject {
public:
    Event(bool manualReset, bool initialState, std::unique_ptr<NameAttachment> name)
        : manualReset_(manualReset), signalled_(initialState), name_(std::move(name)) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock guard(lock_);
        const auto isSignalled = [this] { return signalled_; };
        if (milliseconds == INFINITE)
            changed_.wait(guard, isSignalled);
        else if (!changed_.wait_until(guard, DeadlineAfter(milliseconds), isSignalled))
            return WAIT_TIMEOUT;
        if (!manualReset_)
            signalled_ = false;
        return WAIT_OBJECT_0;
    }

    void Set() {
        std::lock_guard guard(lock_);
        signalled_ = true;
        // An auto-reset event ends exactly one wait; the woken waiter resets it.
        if (manualReset_)
            changed_.notify_all();
        else
            changed_.notify_one();
    }

    void Reset() {
        std::lock_guard guard(lock_);
        signalled_ = false;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    const bool manualReset_;
    bool signalled_;
    std::unique_ptr<NameAttachment> name_;  // named events are shared inside the process only
};

struct PrivateMutex {
    pthread_mutex_t mutex;
};

// Memory of mutexes whose last handle closed while a thread of this process held them. The
// thread's robust-lock list still points into it, so it must never be freed or unmapped.
std::mutex graveyardLock;
auto* graveyard = new std::vector<std::unique_ptr<NameAttachment>>;
auto* privateGraveyard = new std::vector<std::unique_ptr<PrivateMutex>>;

pid_t ThisThreadId() { return static_cast<pid_t>(GetCurrentThreadId()); }

class Mutex final : public KernelObject {
public:
    // Unnamed: a lock of this process only.
    Mutex() : private_(std::make_unique<PrivateMutex>()), mutex_(&private_->mutex) {
        InitializeKernelMutex(mutex_, false);
    }
    // Named: the lock in the name's shared record.
    explicit Mutex(std::unique_ptr<NameAttachment> name) : name_(std::move(name)), mutex_(&name_->Record()->mutex) {}

    ~Mutex() override {
        if (localOwner_.load() == 0) {
            if (private_)
                pthread_mutex_destroy(mutex_);
            return;
        }
        std::lock_guard guard(graveyardLock);
        if (name_)
            graveyard->push_back(std::move(name_));
        if (private_)
            privateGraveyard->push_back(std::move(private_));
    }

    DWORD Wait(DWORD milliseconds) override {
        int result;
        if (milliseconds == INFINITE) {
            result = pthread_mutex_lock(mutex_);
        } else if (milliseconds == 0) {
            result = pthread_mutex_trylock(mutex_);
        } else {
            timespec deadline{};
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += milliseconds / 1000;
            deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_nsec -= 1000000000L;
                ++deadline.tv_sec;
            }
            do {
                result = pthread_mutex_clocklock(mutex_, CLOCK_MONOTONIC, &deadline);
            } while (result == EINTR);
        }
        switch (result) {
        case 0:
            NoteAcquired();
            return WAIT_OBJECT_0;
        case EOWNERDEAD:
            // The holder ended without releasing: the lock passes to this waiter, marked.
            pthread_mutex_consistent(mutex_);
            localOwner_ = ThisThreadId();
            depth_ = 1;
            return WAIT_ABANDONED;
        case EBUSY:
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }

    bool Release() {
        if (pthread_mutex_unlock(mutex_) != 0)
            return false;
        if (localOwner_.load() == ThisThreadId() && --depth_ == 0)
            localOwner_ = 0;
        return true;
    }

private:
    void NoteAcquired() {
        if (localOwner_.load() == ThisThreadId()) {
            ++depth_;
        } else {
            localOwner_ = ThisThreadId();
            depth_ = 1;
        }
    }

    std::unique_ptr<PrivateMutex> private_;
    std::unique_ptr<NameAttachment> name_;
    pthread_mutex_t* mutex_;
    // Which thread of this process holds the lock (0: none here); changed only by the holder.
    std::atomic<pid_t> localOwner_{0};
    int depth_ = 0;
};

// A handle to the object of that name: this process's own, or one made on the shared record
// (whenCreated runs on an object whose record this call made, before anyone else can see it).
template <class Make, class Created>
HANDLE NamedObjectHandle(LPCSTR name, NameKind kind, bool mayCreate, Make make, Created whenCreated) {
    NamespaceLock scope;
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
