// The entry points that the socket transport fetches by name from "wsock32.dll", with the
// layer's own signatures.

#include "ModuleExports.h"
#include "wsock32.h"

extern "C" const TModuleExport KLANG_MODULE_EXPORTS(wsock32)[] = {
    KLANG_EXPORT(WSAStartup),
    KLANG_EXPORT(WSACleanup),
    KLANG_EXPORT(WSASetLastError),
    KLANG_EXPORT(WSAGetLastError),
    KLANG_EXPORT(WSACancelAsyncRequest),
    KLANG_EXPORT(WSAAsyncGetHostByName),
    KLANG_EXPORT(WSAAsyncGetHostByAddr),
    KLANG_EXPORT(WSAAsyncSelect),
    KLANG_EXPORT(getservbyname),
    KLANG_EXPORT(getprotobyname),
    KLANG_EXPORT(gethostbyname),
    KLANG_EXPORT(gethostbyaddr),
    KLANG_EXPORT(socket),
    KLANG_EXPORT(shutdown),
    KLANG_EXPORT(setsockopt),
    KLANG_EXPORT(getsockopt),
    KLANG_EXPORT(sendto),
    KLANG_EXPORT(send),
    KLANG_EXPORT(ntohs),
    KLANG_EXPORT(htons),
    KLANG_EXPORT(listen),
    KLANG_EXPORT(ioctlsocket),
    KLANG_EXPORT(inet_ntoa),
    KLANG_EXPORT(inet_addr),
    KLANG_EXPORT(getsockname),
    KLANG_EXPORT(getpeername),
    KLANG_EXPORT(connect),
    KLANG_EXPORT(closesocket),
    KLANG_EXPORT(bind),
    KLANG_EXPORT(accept),
    KLANG_EXPORT(recv),
    KLANG_EXPORT(recvfrom),
    KLANG_EXPORT_TYPED(select, int (*)(int, TFDSet*, TFDSet*, TFDSet*, const timeval*)),
    {nullptr, nullptr},
};
