#pragma once
// State that the whole library shares: the start-up count, the per-thread last error and the
// table of sockets it has handed out.

#include <atomic>
#include <memory>
#include <vector>

#include "wsock32.h"

// True while WSAStartup's count is above 0; otherwise sets WSANOTINITIALISED.
bool WinsockStarted();
// Sets the thread's error and returns SOCKET_ERROR, the failure result of most calls.
int WinsockFail(int error);

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
};
using TSocketRef = std::shared_ptr<TSocketRecord>;

namespace SocketTable {
// Handles are never handed out twice in a process, so a stale handle is WSAENOTSOCK, never
// some other socket.
SOCKET Add(int fd, int type);
TSocketRef Find(SOCKET s);
TSocketRef Remove(SOCKET s);
std::vector<TSocketRef> RemoveAll();
}  // namespace SocketTable
