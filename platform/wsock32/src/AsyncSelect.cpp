// WSAAsyncSelect: one watcher thread per process waits on a poller for every registered
// socket and posts one message per event, following the re-enabling rules of Windows Sockets.
//
// Each descriptor is armed one-shot for exactly the readiness that could lead to a post now;
// a report disarms it, the watcher posts what the socket's state allows and arms it again.
// The socket calls re-enable events (AsyncSelect.h), which arms the descriptor again; arming
// reports a condition that already holds at once, which is how a re-registration or a recv
// that left data behind gets its message.
//
// One lock guards every registration, and the watcher posts while holding it: closesocket,
// mask 0 and the last WSACleanup take the same lock to drop a registration, so once they
// return no post for that socket can still be under way.
//
// A post that the window's full queue refuses waits, merged with the socket's other waiting
// events, until the queue tells that it has room again; nothing polls for it.

#include "AsyncSelect.h"

#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "Poller.h"
#include "Posix.h"
#include "user32.h"

namespace {

using TPhase = TSelectState::TPhase;
using namespace WinsockSys;

constexpr LONG kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
// The events that are re-enabled by a call; FD_CONNECT and FD_CLOSE come once.
constexpr LONG kReenabled = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT;

struct TWatcher {
    std::mutex Lock;
    TPollerThread Thread;  // keyed by socket handle, which starts far above the waker's key
    std::unordered_map<SOCKET, TSocketRef> Sockets;  // every registration, by handle
    std::vector<SOCKET> Kicked;                      // to be looked at without a report
    // The sockets whose posts a full queue refused, by window; while a window has any, its
    // queue has been asked to tell when it has room.
    std::unordered_map<HWND, std::unordered_set<SOCKET>> Refused;
    // Windows whose queue told it has room. A lock of its own: the queue tells under its lock,
    // which the watcher's posts take while holding the watcher's.
    std::mutex RoomLock;
    std::vector<HWND> Roomy;
};

// Never destroyed: the watcher thread uses it until the process ends.
TWatcher& Watcher() {
    static auto* watcher = new TWatcher;
    return *watcher;
}

// ---- what may be posted, and what to wait for --------------------------------------------------

// Our own shutdown of sending makes room, which is no FD_WRITE.
bool MayWrite(const TSocketRecord& record) { return (record.Select.Armed & FD_WRITE) && !record.SendShut; }

// The readiness that could lead to a post in the socket's present state.
unsigned Interest(const TSocketRecord& record) {
    const TSelectState& state = record.Select;
    if (!state.Mask) return 0;
    const bool receiving = !record.ReceiveShut;
    const unsigned read = (state.Armed & FD_READ) && receiving ? kReadable : 0u;
    const unsigned write = MayWrite(record) ? kWritable : 0u;
    if (record.Type != SOCK_STREAM) return read | write;
    switch (state.Phase) {
        case TPhase::Idle: return 0;
        case TPhase::Listening: return (state.Armed & FD_ACCEPT) ? kReadable : 0u;
        case TPhase::Connecting: return kWritable;
        case TPhase::Connected: break;
    }
    const bool closePending = (state.Mask & FD_CLOSE) && !state.CloseReported;
    const unsigned urgent = (state.Armed & FD_OOB) && receiving ? kUrgent : 0u;
    // After the end the poller reports the receiving side at every arming, and a connection down
    // in both directions is reported whatever is asked: it is armed, urgent data with it, only
    // when a receive may have changed what is pending.
    if (state.ReadEnded)
        return write | (state.Recheck && (closePending || read || urgent) ? kReadable | kPeerClosed | urgent : 0u);
    // The end of the stream is readable too; asked for with the bytes, it is told apart.
    return write | urgent | (read ? kReadable | kPeerClosed : 0u) | (closePending ? kPeerClosed : 0u);
}

// Under the lock. A descriptor that nothing could be posted for stays disarmed; one armed
// too widely before reports once more and is then armed as it should be.
void Arm(TSocketRecord& record) {
    TSelectState& state = record.Select;
    const unsigned interest = Interest(record);
    if (!interest) return;
    TWatcher& watcher = Watcher();
    if (PollerArm(watcher.Thread.Poller, record.Fd, interest, state.Handle, !state.Watched) == 0)
        state.Watched = true;
}

void Kick(TSocketRecord& record) {
    TWatcher& watcher = Watcher();
    watcher.Kicked.push_back(record.Select.Handle);
    WakerSignal(watcher.Thread.Waker);
}

// ---- posting ---------------------------------------------------------------------------------

// Called by the window's queue, under its lock: only signals.
void QueueHasRoom(void* window) {
    TWatcher& watcher = Watcher();
    {
        std::lock_guard lock(watcher.RoomLock);
        watcher.Roomy.push_back(static_cast<HWND>(window));
    }
    WakerSignal(watcher.Thread.Waker);
}

// Under the lock. False when the window's queue can never take the post.
bool WaitForRoom(TSelectState& state) {
    if (state.WaitingForRoom) return true;
    auto& refused = Watcher().Refused;
    auto& waiting = refused[state.Window];
    if (waiting.empty() && !User32WakeWhenQueueHasRoom(state.Window, QueueHasRoom, state.Window)) {
        refused.erase(state.Window);
        return false;
    }
    waiting.insert(state.Handle);
    state.WaitingForRoom = true;
    return true;
}

// The posts of a registration that ends while they wait for room. An FD_CONNECT among them
// never reached the window: it is still to be reported, to the next registration.
void DropUnposted(TSelectState& state) {
    for (const auto& waiting : state.Unposted) {
        if (waiting.first == FD_CONNECT) state.ConnectReported = false;
    }
    state.Unposted.clear();
}

// Posts what is waiting, in order. A post that a full queue refused waits for its room.
void Deliver(TSocketRecord& record) {
    TSelectState& state = record.Select;
    while (!state.Unposted.empty()) {
        const auto [event, error] = state.Unposted.front();
        if (!PostMessageA(state.Window, state.Message, state.Handle, WSAMAKESELECTREPLY(event, error))) {
            if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA || !WaitForRoom(state)) state.Unposted.clear();
            return;
        }
        state.Unposted.erase(state.Unposted.begin());
    }
}

// Not to be posted again until a call re-enables it.
void Outstanding(TSocketRecord& record, LONG event) {
    if (!(event & kReenabled)) return;
    record.Select.Armed &= ~event;
    record.Reenable.fetch_or(event);
}

// The event is outstanding from here on, whether its message went out now or waits; one that
// waits already is not queued again.
void Post(TSocketRecord& record, LONG event, int error) {
    TSelectState& state = record.Select;
    Outstanding(record, event);
    for (const auto& waiting : state.Unposted) {
        if (waiting.first == event) return;
    }
    state.Unposted.emplace_back(static_cast<WORD>(event), static_cast<WORD>(error));
    if (!state.WaitingForRoom) Deliver(record);
}

// ---- the rules -------------------------------------------------------------------------------

void ReportConnect(TSocketRecord& record) {
    TSelectState& state = record.Select;
    if (!state.ConnectIssued || state.ConnectReported || !(state.Mask & FD_CONNECT)) return;
    state.ConnectReported = true;
    Post(record, FD_CONNECT, state.ConnectResult);
}

// After the end of the stream only the count tells. A look past an urgent mark may take the
// error that ended the connection from the system; it is kept, as a receive keeps it.
bool DataLeft(TSocketRecord& record) {
    const long left = WinsockSys::BytesLeft(record.Fd);
    if (left < 0 && left != -WSAEWOULDBLOCK && !record.ConnectionError)
        record.ConnectionError = static_cast<int>(-left);
    return left > 0;
}

// 0 graceful, WSAECONNRESET for a reset, WSAECONNABORTED for any other end by error.
int CloseError(TSocketRecord& record) {
    int error = record.ConnectionError.load();
    if (!error) {
        const long pending = TakePendingError(record.Fd);
        if (pending > 0) record.ConnectionError = error = static_cast<int>(pending);
    }
    return error == 0 || error == WSAECONNRESET ? error : WSAECONNABORTED;
}

// Out-of-band data kept in line is read as data and told by FD_READ: FD_OOB then waits for
// the receive that takes it.
void ReportUrgent(TSocketRecord& record) {
    if (GetIntOption(record.Fd, TOption::OobInline) > 0)
        Outstanding(record, FD_OOB);
    else
        Post(record, FD_OOB, 0);
}

void EvaluateConnection(TSocketRecord& record, unsigned ready) {
    TSelectState& state = record.Select;
    // The peer's FIN ends the receiving side only: FD_WRITE goes on while the connection lets
    // us send.
    if (ready & (kPeerClosed | kHangup | kFailed)) state.ReadEnded = true;
    // A connected or accepted socket may write before it has anything to read. A connection
    // that is down counts as writable: the send tells how it ended.
    if ((ready & (kWritable | kHangup | kFailed)) && MayWrite(record)) Post(record, FD_WRITE, 0);
    if ((ready & kUrgent) && (state.Armed & FD_OOB)) ReportUrgent(record);
    const bool receiving = !record.ReceiveShut;
    const bool closePending = state.ReadEnded && (state.Mask & FD_CLOSE) && !state.CloseReported;
    // FD_CLOSE comes after the bytes before it. A receive that takes the last of them while
    // they are counted must look again, so it is asked to before they are counted.
    if (closePending && receiving) record.Reenable.fetch_or(FD_READ);
    // Before the end, readable means bytes; after it, only the count tells.
    const bool wanted = receiving && (closePending || (state.Armed & FD_READ));
    const bool data = wanted && (state.ReadEnded ? DataLeft(record) : (ready & kReadable) != 0);
    state.Recheck = false;
    if (data && (state.Armed & FD_READ)) Post(record, FD_READ, 0);
    if (!closePending || data) return;
    state.CloseReported = true;
    Post(record, FD_CLOSE, CloseError(record));
}

// Under the lock: what the socket's state and the reported readiness (0: none) call for.
void Evaluate(TSocketRecord& record, unsigned ready) {
    TSelectState& state = record.Select;
    if (record.Type != SOCK_STREAM) {
        // An error report of an earlier datagram is no event of Windows Sockets.
        if (ready & kFailed) TakePendingError(record.Fd);
        if ((ready & kReadable) && (state.Armed & FD_READ)) Post(record, FD_READ, 0);
        if ((ready & kWritable) && MayWrite(record)) Post(record, FD_WRITE, 0);
        return;
    }
    switch (state.Phase) {
        case TPhase::Listening:
            if ((ready & kReadable) && (state.Armed & FD_ACCEPT)) Post(record, FD_ACCEPT, 0);
            return;
        case TPhase::Idle:
            ReportConnect(record);  // a connect that failed, not yet reported
            return;
        case TPhase::Connecting:
            if (state.ConnectResult < 0) {
                if (!(ready & (kWritable | kHangup | kFailed))) return;
                const long error = TakePendingError(record.Fd);
                state.ConnectResult = static_cast<int>(error < 0 ? -error : error);
                if (state.ConnectResult == 0) record.ConnectionStands();
            }
            state.Phase = state.ConnectResult == 0 ? TPhase::Connected : TPhase::Idle;
            ReportConnect(record);
            if (state.Phase == TPhase::Idle) return;
            break;
        case TPhase::Connected:
            ReportConnect(record);
            break;
    }
    EvaluateConnection(record, ready);
}

// ---- the watcher -----------------------------------------------------------------------------

TSocketRecord* Registered(TWatcher& watcher, SOCKET handle) {
    const auto found = watcher.Sockets.find(handle);
    return found == watcher.Sockets.end() ? nullptr : found->second.get();
}

// Under the lock: the window's queue has room for the posts it refused.
void RetryRefused(TWatcher& watcher, HWND window) {
    const auto found = watcher.Refused.find(window);
    if (found == watcher.Refused.end()) return;
    const std::unordered_set<SOCKET> waiting = std::move(found->second);
    watcher.Refused.erase(found);
    for (const SOCKET handle : waiting) {
        if (TSocketRecord* record = Registered(watcher, handle)) {
            record->Select.WaitingForRoom = false;
            Deliver(*record);
        }
    }
}

void Watch() {
    TWatcher& watcher = Watcher();
    constexpr int kBatch = 256;
    TReady ready[kBatch];
    for (;;) {
        const long count = PollerWait(watcher.Thread.Poller, ready, kBatch, -1);
        std::lock_guard lock(watcher.Lock);
        for (long i = 0; i < count; ++i) {
            if (ready[i].Key == kWakerKey) {
                WakerDrain(watcher.Thread.Waker);
                continue;
            }
            // A socket dropped since the wait began has no registration any more.
            if (TSocketRecord* record = Registered(watcher, static_cast<SOCKET>(ready[i].Key))) {
                Evaluate(*record, ready[i].Readiness);
                Arm(*record);
            }
        }
        std::vector<SOCKET> kicked;
        kicked.swap(watcher.Kicked);
        for (const SOCKET handle : kicked) {
            if (TSocketRecord* record = Registered(watcher, handle)) {
                Evaluate(*record, 0);
                Arm(*record);
            }
        }
        std::vector<HWND> roomy;
        {
            std::lock_guard roomLock(watcher.RoomLock);
            roomy.swap(watcher.Roomy);
        }
        for (const HWND window : roomy) RetryRefused(watcher, window);
    }
}

// ---- registrations ---------------------------------------------------------------------------

void Unregister(TSocketRecord& record) {
    TWatcher& watcher = Watcher();
    TSelectState& state = record.Select;
    if (state.Watched) PollerRemove(watcher.Thread.Poller, record.Fd);
    state.Watched = false;
    if (state.WaitingForRoom) {
        const auto found = watcher.Refused.find(state.Window);
        found->second.erase(state.Handle);
        if (found->second.empty()) watcher.Refused.erase(found);
        state.WaitingForRoom = false;
    }
    state.Mask = 0;
    state.Armed = 0;
    DropUnposted(state);
    record.Reenable = 0;
    watcher.Sockets.erase(state.Handle);  // may drop the last reference: the lock stays held
}

// A new registration reports what already holds: every event is enabled and looked at.
void Register(const TSocketRef& record, SOCKET handle, HWND window, UINT message, LONG mask) {
    TSelectState& state = record->Select;
    state.Handle = handle;
    state.Window = window;
    state.Message = message;
    state.Mask = mask;
    state.Armed = mask & kReenabled;
    state.CloseReported = false;
    state.Unposted.clear();
    state.Recheck = true;
    record->Reenable = 0;
    Watcher().Sockets[handle] = record;
    Arm(*record);
    Kick(*record);
}

// Under the lock: enables the event again (when it is outstanding) and arms for it.
void Reenable(TSocketRecord& record, LONG event) {
    record.Reenable.fetch_and(~event);
    TSelectState& state = record.Select;
    if (!state.Mask) return;
    state.Armed |= state.Mask & event & kReenabled;
    if (state.ReadEnded && (event & FD_READ)) state.Recheck = true;
    Arm(record);
}

void ReenableIfOutstanding(TSocketRecord& record, LONG event) {
    if (!(record.Reenable.load() & event)) return;
    std::lock_guard lock(Watcher().Lock);
    Reenable(record, event);
}

bool IsConnectOutcome(int error) {
    switch (error) {
        case WSAECONNREFUSED: case WSAETIMEDOUT: case WSAENETUNREACH: case WSAEHOSTUNREACH:
        case WSAENETDOWN: case WSAEHOSTDOWN:
            return true;
        default:
            return false;
    }
}

}  // namespace

namespace AsyncSelect {

void Received(TSocketRecord& record) { ReenableIfOutstanding(record, FD_READ | FD_OOB); }

void ReceiveShut(TSocketRecord& record) {
    std::lock_guard lock(Watcher().Lock);
    if (!record.Select.Mask) return;
    record.Select.Recheck = true;
    Arm(record);
}

void SentShort(TSocketRecord& record) { ReenableIfOutstanding(record, FD_WRITE); }

void AcceptCalled(TSocketRecord& listener) { ReenableIfOutstanding(listener, FD_ACCEPT); }

void Accepted(TSocketRecord& listener, SOCKET handle, const TSocketRef& accepted) {
    std::lock_guard lock(Watcher().Lock);
    accepted->Select.Phase = TPhase::Connected;
    const TSelectState& from = listener.Select;
    // Either may have been closed by the last WSACleanup since accept took the connection.
    if (!from.Mask || listener.Closed || accepted->Closed) return;
    Register(accepted, handle, from.Window, from.Message, from.Mask);
}

void Listening(TSocketRecord& record) {
    std::lock_guard lock(Watcher().Lock);
    record.Select.Phase = TPhase::Listening;
    Arm(record);
}

long Connecting(TSocketRecord& record, long result) {
    const bool inProgress = result == -WSAEWOULDBLOCK;
    if (record.Type != SOCK_STREAM || !(result == 0 || inProgress || IsConnectOutcome(static_cast<int>(-result))))
        return result;
    std::lock_guard lock(Watcher().Lock);
    TSelectState& state = record.Select;
    state.ConnectIssued = true;
    state.ConnectReported = false;
    state.ReadEnded = false;
    state.CloseReported = false;
    record.ConnectionError = 0;
    const int outcome = static_cast<int>(inProgress ? -1 : -result);
    if (inProgress || state.Mask) {
        state.Phase = TPhase::Connecting;
        state.ConnectResult = outcome;
        if (inProgress)
            Arm(record);
        else
            Kick(record);
        return -WSAEWOULDBLOCK;
    }
    // Told to the caller at once; a success is still reported to a later registration.
    state.ConnectResult = outcome;
    state.Phase = outcome == 0 ? TPhase::Connected : TPhase::Idle;
    state.ConnectReported = outcome != 0;
    return result;
}

bool Registered(TSocketRecord& record) {
    std::lock_guard lock(Watcher().Lock);
    return record.Select.Mask != 0;
}

void Forget(TSocketRecord& record) {
    std::lock_guard lock(Watcher().Lock);
    if (record.Select.Mask) Unregister(record);
}

}  // namespace AsyncSelect

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, LONG event) {
    if (!WinsockStarted()) return SOCKET_ERROR;
    const TSocketRef record = SocketTable::Find(s);
    if (!record) return WinsockFail(WSAENOTSOCK);
    // A window without a thread (the desktop) has no queue that could ever take a post.
    if ((event & ~kAllEvents) || (event && !GetWindowThreadProcessId(hwnd, nullptr))) return WinsockFail(WSAEINVAL);
    if (const long result = SetNonBlocking(record->Fd, true); result < 0)
        return WinsockFail(static_cast<int>(-result));
    TWatcher& watcher = Watcher();
    std::lock_guard lock(watcher.Lock);
    // Checked under the lock that closesocket takes after setting it: a registration made
    // now cannot outlive the close.
    if (record->Closed) return WinsockFail(WSAENOTSOCK);
    if (const int error = event ? StartPollerThread(watcher.Thread, Watch) : 0) return WinsockFail(error);
    if (record->Select.Mask) Unregister(*record);
    if (event) Register(record, s, hwnd, msg, event);
    return 0;
}
