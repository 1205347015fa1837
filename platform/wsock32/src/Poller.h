#pragma once
// The operating system's readiness notification behind WSAAsyncSelect: an epoll set whose
// descriptors are armed one-shot (each report disarms its descriptor until it is armed
// again), and a wake-up descriptor that lets other threads interrupt the wait. Like Posix.h,
// it keeps the POSIX names to itself; results are 0 or more, or the negated Windows Sockets
// error code.

#include <cstdint>

namespace WinsockSys {

// Readiness bits, in and out.
enum : unsigned {
    kReadable = 1u << 0,
    kWritable = 1u << 1,
    kPeerClosed = 1u << 2,  // the peer has shut down its sending side
    kHangup = 1u << 3,      // both directions are down (reported even when not asked for)
    kFailed = 1u << 4,      // an error is pending (reported even when not asked for)
    kUrgent = 1u << 5,      // out-of-band data waits
    // In only: reported at every change of the descriptor's state that shows one of the asked
    // readinesses, instead of once.
    kEdge = 1u << 6,
};

struct TReady {
    std::uint64_t Key;
    unsigned Readiness;
};

long PollerCreate();
// Arms fd for the readiness in interest; one report disarms it (unless kEdge). add: first
// arming of fd.
long PollerArm(int poller, int fd, unsigned interest, std::uint64_t key, bool add);
long PollerRemove(int poller, int fd);
// timeoutMs < 0 waits without end. Returns the number of reports in ready.
long PollerWait(int poller, TReady* ready, int capacity, long timeoutMs);

// A descriptor that other threads make readable to interrupt PollerWait.
long WakerCreate();
void WakerSignal(int waker);
void WakerDrain(int waker);

// A poller, its waker (reported under kWakerKey at every signal) and the one thread that waits
// on them, started on first use; its owner's lock guards it.
constexpr std::uint64_t kWakerKey = 0;
struct TPollerThread {
    int Poller = -1;
    int Waker = -1;
    bool Running = false;
};
// 0, or the Windows Sockets error code; run is the thread's body, which never returns.
int StartPollerThread(TPollerThread& thread, void (*run)());

}  // namespace WinsockSys
