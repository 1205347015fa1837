// epoll and eventfd behind Poller.h.

#include "Poller.h"

#include <cerrno>
#include <climits>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <system_error>
#include <thread>

#include "Posix.h"

namespace WinsockSys {
namespace {

long Failed() { return -MapErrno(errno); }

std::uint32_t ToEpoll(unsigned interest) {
    return ((interest & kReadable) ? EPOLLIN : 0u) | ((interest & kWritable) ? EPOLLOUT : 0u) |
           ((interest & kPeerClosed) ? EPOLLRDHUP : 0u) | ((interest & kUrgent) ? EPOLLPRI : 0u) |
           ((interest & kEdge) ? EPOLLET : EPOLLONESHOT);
}

unsigned FromEpoll(std::uint32_t events) {
    return ((events & EPOLLIN) ? kReadable : 0u) | ((events & EPOLLOUT) ? kWritable : 0u) |
           ((events & EPOLLRDHUP) ? kPeerClosed : 0u) | ((events & EPOLLHUP) ? kHangup : 0u) |
           ((events & EPOLLERR) ? kFailed : 0u) | ((events & EPOLLPRI) ? kUrgent : 0u);
}

}  // namespace

long PollerCreate() {
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    return poller < 0 ? Failed() : poller;
}

long PollerArm(int poller, int fd, unsigned interest, std::uint64_t key, bool add) {
    epoll_event event{};
    event.events = ToEpoll(interest);
    event.data.u64 = key;
    return ::epoll_ctl(poller, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event) < 0 ? Failed() : 0;
}

long PollerRemove(int poller, int fd) {
    epoll_event unused{};
    return ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, &unused) < 0 ? Failed() : 0;
}

long PollerWait(int poller, TReady* ready, int capacity, long timeoutMs) {
    constexpr int kBatch = 256;
    epoll_event events[kBatch];
    const int wait = timeoutMs < 0 ? -1 : (timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs));
    const int count = ::epoll_wait(poller, events, capacity < kBatch ? capacity : kBatch, wait);
    if (count < 0) return errno == EINTR ? 0 : Failed();
    for (int i = 0; i < count; ++i) ready[i] = TReady{events[i].data.u64, FromEpoll(events[i].events)};
    return count;
}

long WakerCreate() {
    const int waker = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return waker < 0 ? Failed() : waker;
}

void WakerSignal(int waker) { ::eventfd_write(waker, 1); }

void WakerDrain(int waker) {
    eventfd_t value;
    ::eventfd_read(waker, &value);
}

int StartPollerThread(TPollerThread& thread, void (*run)()) {
    if (thread.Running) return 0;
    if (thread.Poller < 0) {
        const long poller = PollerCreate();
        if (poller < 0) return static_cast<int>(-poller);
        thread.Poller = static_cast<int>(poller);
    }
    if (thread.Waker < 0) {
        const long waker = WakerCreate();
        if (waker < 0) return static_cast<int>(-waker);
        thread.Waker = static_cast<int>(waker);
        PollerArm(thread.Poller, thread.Waker, kReadable | kEdge, kWakerKey, true);
    }
    try {
        std::thread(run).detach();
    } catch (const std::system_error&) {
        return 10055;  // WSAENOBUFS
    }
    thread.Running = true;
    return 0;
}

}  // namespace WinsockSys
