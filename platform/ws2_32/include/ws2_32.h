#pragma once
// Windows Sockets 2 as far as the system's code uses it: WSAIoctl on the sockets of wsock32.

#include "ModuleExports.h"
#include "wsock32.h"

// The entry points GetProcAddress finds by name in "ws2_32.dll".
extern "C" const TModuleExport KLANG_MODULE_EXPORTS(ws2_32)[];

// Receive every packet of the interface on a raw socket. Packet capture of that kind has no
// counterpart here: the command fails with WSAEOPNOTSUPP.
inline constexpr DWORD SIO_RCVALL = 0x98000001u;

// Overlapped calls are not offered; the types are there for the signature.
struct WSAOVERLAPPED;
using LPWSAOVERLAPPED = WSAOVERLAPPED*;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD transferred,
                                                    LPWSAOVERLAPPED overlapped, DWORD flags);

// Fails with WSANOTINITIALISED before WSAStartup, WSAENOTSOCK for a handle that is no socket,
// WSAEINVAL for an overlapped call and WSAEOPNOTSUPP for every command.
int WSAIoctl(SOCKET s, DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
             DWORD outSize, LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine);
