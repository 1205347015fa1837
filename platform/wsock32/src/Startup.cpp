// Start-up, clean-up, the last error and the socket table.

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "AsyncLookup.h"
#include "AsyncSelect.h"
#include "Posix.h"
#include "Winsock.h"

namespace {

constexpr WORD kHighestVersion = MAKEWORD(1, 1);

std::mutex gStartLock;
int gStartCount = 0;
std::atomic<bool> gStarted{false};
thread_local int tLastError = 0;

std::mutex gTableLock;
std::map<SOCKET, TSocketRef> gSockets;
SOCKET gNextHandle = 0x100;

// Closed is set before the notifications stop, so no registration can follow the close. The
// registration's hold on the record is gone by the count: a socket that no call is using
// closes as its options say (an abortive linger resets), not by the interrupt's shutdown.
void CloseRecord(const TSocketRef& record) {
    record->Closed = true;
    AsyncSelect::Forget(*record);
    if (record.use_count() > 1) WinsockSys::Interrupt(record->Fd);
}

}  // namespace

TSocketRecord::~TSocketRecord() { WinsockSys::Close(Fd); }

bool WinsockStarted() {
    if (gStarted.load()) return true;
    WSASetLastError(WSANOTINITIALISED);
    return false;
}

int WinsockFail(int error) {
    WSASetLastError(error);
    return SOCKET_ERROR;
}

int WSAGetLastError() { return tLastError; }
void WSASetLastError(int error) { tLastError = error; }

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    const BYTE major = LOBYTE(versionRequested);
    const BYTE minor = HIBYTE(versionRequested);
    if (major < 1) return WSAVERNOTSUPPORTED;
    if (!data) return WSAEFAULT;
    std::memset(data, 0, sizeof *data);
    data->wVersion = (major == 1 && minor == 0) ? MAKEWORD(1, 0) : kHighestVersion;
    data->wHighVersion = kHighestVersion;
    std::snprintf(data->szDescription, sizeof data->szDescription, "%s",
                  "Windows Sockets 1.1 over POSIX sockets");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "%s", "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    std::lock_guard<std::mutex> lock(gStartLock);
    ++gStartCount;
    gStarted = true;
    return 0;
}

int WSACleanup() {
    std::vector<TSocketRef> open;
    {
        std::lock_guard<std::mutex> lock(gStartLock);
        if (gStartCount == 0) return WinsockFail(WSANOTINITIALISED);
        if (--gStartCount > 0) return 0;
        open = SocketTable::RemoveAll();
    }
    // The last clean-up closes what the program left open and ends every lookup, as Windows
    // Sockets does.
    for (const TSocketRef& record : open) CloseRecord(record);
    CancelAllLookups();
    return 0;
}

int closesocket(SOCKET s) {
    if (!WinsockStarted()) return SOCKET_ERROR;
    TSocketRef record = SocketTable::Remove(s);
    if (!record) return WinsockFail(WSAENOTSOCK);
    CloseRecord(record);
    return 0;
}

namespace SocketTable {

SOCKET Add(int fd, int type) {
    std::unique_lock<std::mutex> lock(gTableLock);
    if (!gStarted.load()) {
        lock.unlock();
        WinsockSys::Close(fd);
        WSASetLastError(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    const SOCKET handle = gNextHandle;
    gNextHandle += 4;
    gSockets.emplace(handle, std::make_shared<TSocketRecord>(fd, type));
    return handle;
}

TSocketRef Find(SOCKET s) {
    std::lock_guard<std::mutex> lock(gTableLock);
    auto it = gSockets.find(s);
    return it == gSockets.end() ? nullptr : it->second;
}

TSocketRef Remove(SOCKET s) {
    std::lock_guard<std::mutex> lock(gTableLock);
    auto it = gSockets.find(s);
    if (it == gSockets.end()) return nullptr;
    TSocketRef record = std::move(it->second);
    gSockets.erase(it);
    return record;
}

std::vector<TSocketRef> RemoveAll() {
    std::lock_guard<std::mutex> lock(gTableLock);
    gStarted = false;
    std::vector<TSocketRef> all;
    for (auto& [handle, record] : gSockets) all.push_back(std::move(record));
    gSockets.clear();
    return all;
}

}  // namespace SocketTable
