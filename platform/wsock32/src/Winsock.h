#pragma once
// State that the whole library shares: the start-up count, the per-thread last error and the
// table of sockets it has handed out.

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "wsock32.h"

// True while WSAStartup's count is above 0; otherwise sets WSANOTINITIALISED.
bool WinsockStarted();
// Sets the thread's error and returns SOCKET_ERROR, the failure result of most calls.
int WinsockFail(int error);

// What WSAAsyncSelect knows of one socket, guarded by the watcher's lock (AsyncSelect.cpp).
struct TSelectState {
    enum class TPhase { Idle, Connecting, Connected, Listening };

    // The registration; Mask 0: none.
    SOCKET Handle = INVALID_SOCKET;
    HWND Window = nullptr;
    UINT Message = 0;
    LONG Mask = 0;
    LONG Armed = 0;  // of FD_READ, FD_WRITE, FD_OOB, FD_ACCEPT: those that may be posted now
    bool CloseReported = false;
    // Event and error the queue refused, in order, each event at most once.
    std::vector<std::pair<WORD, WORD>> Unposted;
    bool WaitingForRoom = false;  // the window's queue tells when it has room again

    // Facts of the stream that outlive a registration.
    TPhase Phase = TPhase::Idle;
    bool ConnectIssued = false;
    bool ConnectReported = false;
    int ConnectResult = -1;  // Windows code of the outcome, -1 while unknown
    // The receiving side has ended (the peer's FIN, a reset or an error): only a receive changes
    // what is pending. Sending goes on while the connection lets it.
    bool ReadEnded = false;
    bool Recheck = false;  // look again at the pending bytes since the end

    bool Watched = false;  // the descriptor is in the watcher's poller
};

// What the library knows of one socket it handed out. The descriptor is closed when the last
// holder lets go, so a call still running on another thread never sees its descriptor reused.
struct TSocketRecord {
    TSocketRecord(int fd, int type) : Fd(fd), Type(type) {}
    ~TSocketRecord();
    TSocketRecord(const TSocketRecord&) = delete;
    TSocketRecord& operator=(const TSocketRecord&) = delete;

    const int Fd;
    const int Type;
    // Set by closesocket; a call that was running then fails with WSAEINTR.
    std::atomic<bool> Closed{false};
    // Set by shutdown of the sending side: send then fails with WSAESHUTDOWN.
    std::atomic<bool> SendShut{false};
    // Set by shutdown of the receiving side: recv then fails with WSAESHUTDOWN. The system's
    // side stays open, so that the poller goes on telling the peer's close apart.
    std::atomic<bool> ReceiveShut{false};
    // The reset or abort that ended the connection, once seen (Windows code): the receives
    // after it keep reporting it where the system reports the end of the stream.
    std::atomic<int> ConnectionError{0};
    // A connect under way keeps the limit of an unanswered attempt (Posix.h) until the connection
    // stands: the first send that takes bytes or the watcher's look at the outcome lifts it.
    std::atomic<bool> ConnectLimited{false};
    void ConnectionStands();
    // Events that the socket calls must re-enable under the watcher's lock; 0 lets them pass.
    std::atomic<LONG> Reenable{0};
    TSelectState Select;
};
using TSocketRef = std::shared_ptr<TSocketRecord>;

namespace SocketTable {
// Handles are never handed out twice in a process, so a stale handle is WSAENOTSOCK, never
// some other socket. Add takes the descriptor: while the library is not started it closes it
// and returns INVALID_SOCKET with WSANOTINITIALISED, checked under the lock that the last
// WSACleanup empties the table under, so no socket outlives the clean-up.
SOCKET Add(int fd, int type);
TSocketRef Find(SOCKET s);
TSocketRef Remove(SOCKET s);
// Marks the library stopped and takes every socket, at once for Add.
std::vector<TSocketRef> RemoveAll();
}  // namespace SocketTable
