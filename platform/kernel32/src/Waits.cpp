// Blocking waits: for objects and for time. A thread that takes work from other threads
// (its wait service) keeps doing that work while it waits.

#include "KernelObjects.h"

#include <cerrno>
#include <ctime>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace k32 {
namespace {

// How often a wait looks again at an object that cannot tell it of a change (a lock that
// other processes release), and so at the service's work while it waits for such a lock.
constexpr DWORD kLookAgainMs = 10;

// Plain values only: the service must still read as absent if a wait runs in a destructor
// late in the thread's end.
thread_local int serviceDescriptor = -1;
thread_local KERNEL32_WAIT_SERVICE serviceCall = nullptr;
thread_local int threadWaker = -1;

bool Serving() { return serviceCall && serviceDescriptor >= 0; }

// The descriptor through which watched objects wake this thread; closed when the thread ends.
void CloseWaker(void*) {
    if (threadWaker >= 0)
        close(threadWaker);
    threadWaker = -1;
}

int Waker() {
    if (threadWaker < 0) {
        threadWaker = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        pthread_setspecific(ThreadEndKey<CloseWaker>(), &threadWaker);
    }
    return threadWaker;
}

class WaitDeadline {
public:
    explicit WaitDeadline(DWORD milliseconds) {
        if (milliseconds != INFINITE)
            at_ = DeadlineAfter(milliseconds);
    }
    // Milliseconds left, rounded up; INFINITE for a wait without end.
    DWORD Remaining() const {
        if (!at_)
            return INFINITE;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at_ - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<DWORD>(left);
    }
    // As a poll(2) time-out, at most limit.
    int PollTimeout(DWORD limit = INFINITE) const {
        const DWORD left = std::min(Remaining(), limit);
        return left == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(left, 0x7FFFFFFF));
    }

private:
    std::optional<Clock::time_point> at_;
};

// Waits up to timeout for the service's descriptor or the other one (-1: none); does the
// service's work when it waits.
void PollServing(int other, int timeout) {
    pollfd entries[2] = {{serviceDescriptor, POLLIN, 0}, {other, POLLIN, 0}};
    const int result = poll(entries, other >= 0 ? 2 : 1, timeout);
    if (result > 0 && (entries[0].revents & POLLIN))
        serviceCall();
}

void Drain(int descriptor) {
    eventfd_t value;
    eventfd_read(descriptor, &value);
}

// An object that cannot tell of a change is waited for in slices, with the service's work
// done between them.
DWORD WaitInSlicesServing(KernelObject& object, DWORD milliseconds) {
    const WaitDeadline deadline(milliseconds);
    for (;;) {
        const DWORD left = deadline.Remaining();
        const DWORD result = object.Wait(std::min(left, kLookAgainMs));
        if (result != WAIT_TIMEOUT || left == 0)
            return result;
        PollServing(-1, 0);
    }
}

// Any of the objects, in handle order; a thread with a service also watches its descriptor.
DWORD WaitForAny(const std::vector<std::shared_ptr<KernelObject>>& objects, DWORD milliseconds) {
    if (objects.size() == 1 && (!Serving() || milliseconds == 0))
        return objects.front()->Wait(milliseconds);
    const int waker = Waker();
    bool everyOneTells = true;
    for (const auto& object : objects)
        everyOneTells = object->Watch(waker) && everyOneTells;
    struct Unwatch {
        const std::vector<std::shared_ptr<KernelObject>>& objects;
        int waker;
        ~Unwatch() {
            for (const auto& object : objects)
                object->Unwatch(waker);
        }
    } unwatch{objects, waker};
    if (objects.size() == 1 && !everyOneTells)
        return WaitInSlicesServing(*objects.front(), milliseconds);

    const WaitDeadline deadline(milliseconds);
    for (;;) {
        // Emptied before the look, so a change after the look leaves it readable.
        Drain(waker);
        for (std::size_t index = 0; index < objects.size(); ++index) {
            const DWORD result = objects[index]->Wait(0);
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
                return result + static_cast<DWORD>(index);
            if (result == WAIT_FAILED)
                return result;
        }
        if (deadline.Remaining() == 0)
            return WAIT_TIMEOUT;
        const int timeout = deadline.PollTimeout(everyOneTells ? INFINITE : kLookAgainMs);
        if (Serving()) {
            PollServing(waker, timeout);
        } else {
            pollfd entry{waker, POLLIN, 0};
            poll(&entry, 1, timeout);
        }
    }
}

}  // namespace
}  // namespace k32

void Kernel32SetWaitService(int descriptor, KERNEL32_WAIT_SERVICE serve) {
    const bool valid = descriptor >= 0 && serve;
    k32::serviceDescriptor = valid ? descriptor : -1;
    k32::serviceCall = valid ? serve : nullptr;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const auto object = k32::LookupHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return k32::WaitForAny({object}, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (!handles || count == 0 || count > MAXIMUM_WAIT_OBJECTS || waitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<k32::KernelObject>> objects;
    for (DWORD index = 0; index < count; ++index) {
        auto object = k32::LookupHandle(handles[index]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    return k32::WaitForAny(objects, milliseconds);
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (k32::Serving()) {
        const k32::WaitDeadline deadline(milliseconds);
        while (deadline.Remaining() > 0)
            k32::PollServing(-1, deadline.PollTimeout());
        return;
    }
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
