// Asynchronous notifications (WSAAsyncSelect): not built yet.
#include "wsock32.h"

int WSAAsyncSelect(SOCKET, HWND, UINT, LONG) {
    WSASetLastError(WSAEOPNOTSUPP);
    return SOCKET_ERROR;
}

int getsockopt(SOCKET, int, int, char*, int*) {
    WSASetLastError(WSAEOPNOTSUPP);
    return SOCKET_ERROR;
}
