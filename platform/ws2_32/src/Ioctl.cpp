// WSAIoctl on the sockets that wsock32 hands out, and the table GetProcAddress reads.

#include "Winsock.h"
#include "ws2_32.h"

int WSAIoctl(SOCKET s, DWORD ioControlCode, LPVOID, DWORD, LPVOID, DWORD, LPDWORD bytesReturned,
             LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine) {
    if (bytesReturned) *bytesReturned = 0;  // no command returns anything here
    if (!WinsockStarted()) return SOCKET_ERROR;
    if (!SocketTable::Find(s)) return WinsockFail(WSAENOTSOCK);
    if (overlapped || completionRoutine) return WinsockFail(WSAEINVAL);
    // The one command the system's code sends is known but has no counterpart on this
    // platform; anything else is no command at all.
    return WinsockFail(ioControlCode == SIO_RCVALL ? WSAEOPNOTSUPP : WSAEINVAL);
}

extern "C" const TModuleExport KLANG_MODULE_EXPORTS(ws2_32)[] = {
    KLANG_EXPORT(WSAIoctl),
    {nullptr, nullptr},
};
