// Close behind Posix.h: a close that lingers (SO_LINGER on with a time-out) without blocking
// its caller or holding a thread. The sending side is shut at once, so the FIN follows the
// data, and one closer thread waits on a poller of its own for the peer to acknowledge it,
// then closes gracefully. A time-out that runs out first resets the connection, as Windows
// Sockets ends a lingering close whose time is up. At most kMostLingering descriptors wait so;
// beyond that, or without the thread, the close is a plain graceful one that the system
// finishes in the background.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include "Poller.h"
#include "Posix.h"

namespace WinsockSys {
namespace {

using Clock = std::chrono::steady_clock;

// Each holds a descriptor until the peer acknowledges or its time is up.
constexpr std::size_t kMostLingering = 1024;

struct TCloser {
    std::mutex Lock;
    TPollerThread Thread;  // a lingering descriptor's key is fd + 1
    std::unordered_map<int, Clock::time_point> Lingering;  // descriptor, its deadline
};

// Never destroyed: the closer thread uses it until the process ends.
TCloser& Closer() {
    static auto* closer = new TCloser;
    return *closer;
}

int TcpState(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? info.tcpi_state : -1;
}

// The states in which the system's own lingering close would wait.
bool FinUnacknowledged(int fd) {
    const int state = TcpState(fd);
    return state == TCP_FIN_WAIT1 || state == TCP_CLOSING || state == TCP_LAST_ACK;
}

// Never waits: linger off closes gracefully in the background, on with no time resets.
void CloseNow(int fd, bool reset) {
    const ::linger value{reset ? 1 : 0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
    ::close(fd);
}

// Under the closer's lock.
void Finish(TCloser& closer, int fd, bool reset) {
    PollerRemove(closer.Thread.Poller, fd);
    closer.Lingering.erase(fd);
    CloseNow(fd, reset);
}

void Run() {
    TCloser& closer = Closer();
    constexpr int kBatch = 64;
    TReady ready[kBatch];
    long timeoutMs = -1;
    for (;;) {
        const long count = PollerWait(closer.Thread.Poller, ready, kBatch, timeoutMs);
        std::lock_guard lock(closer.Lock);
        for (long i = 0; i < count; ++i) {
            if (ready[i].Key == kWakerKey) {
                WakerDrain(closer.Thread.Waker);
                continue;
            }
            const int fd = static_cast<int>(ready[i].Key - 1);
            if (closer.Lingering.count(fd) && !FinUnacknowledged(fd)) Finish(closer, fd, false);
        }
        const auto now = Clock::now();
        timeoutMs = -1;
        for (auto it = closer.Lingering.begin(); it != closer.Lingering.end();) {
            const auto [fd, deadline] = *it++;
            if (deadline <= now) {
                Finish(closer, fd, FinUnacknowledged(fd));
                continue;
            }
            const long left = static_cast<long>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            timeoutMs = timeoutMs < 0 ? left : std::min(timeoutMs, left);
        }
    }
}

// After the shutdown of sending, every change of the connection's state reports the
// descriptor, the peer's acknowledgement of the FIN among them.
bool HandOver(int fd, int seconds) {
    TCloser& closer = Closer();
    std::lock_guard lock(closer.Lock);
    if (closer.Lingering.size() >= kMostLingering || StartPollerThread(closer.Thread, Run) != 0) return false;
    const std::uint64_t key = static_cast<std::uint64_t>(fd) + 1;
    if (PollerArm(closer.Thread.Poller, fd, kWritable | kPeerClosed | kEdge, key, true) < 0) return false;
    closer.Lingering[fd] = Clock::now() + std::chrono::seconds(seconds);
    WakerSignal(closer.Thread.Waker);  // for its deadline
    return true;
}

}  // namespace

void Close(int fd) {
    if (fd < 0) return;
    ::linger value{};
    socklen_t length = sizeof value;
    const bool lingers = ::getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &length) == 0 && value.l_onoff &&
                         value.l_linger > 0;
    if (!lingers) {
        ::close(fd);
        return;
    }
    // Bytes that were never read reset the connection at once, whatever the linger.
    if (BytesReadable(fd) == 0) {
        const int state = TcpState(fd);
        if (state == TCP_ESTABLISHED || state == TCP_CLOSE_WAIT) ::shutdown(fd, SHUT_WR);
        if (FinUnacknowledged(fd) && HandOver(fd, value.l_linger)) return;
    }
    CloseNow(fd, false);
}

}  // namespace WinsockSys
