// Asynchronous host lookups: not built yet.
#include "AsyncLookup.h"
#include "wsock32.h"

void CancelAllLookups() {}

HANDLE WSAAsyncGetHostByName(HWND, UINT, const char*, char*, int) {
    WSASetLastError(WSAEOPNOTSUPP);
    return nullptr;
}

HANDLE WSAAsyncGetHostByAddr(HWND, UINT, const char*, int, int, char*, int) {
    WSASetLastError(WSAEOPNOTSUPP);
    return nullptr;
}

int WSACancelAsyncRequest(HANDLE) {
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
}

hostent* gethostbyaddr(const char*, int, int) {
    WSASetLastError(WSANO_RECOVERY);
    return nullptr;
}
