#pragma once
// The host lookups behind gethostbyname and gethostbyaddr, shared with their asynchronous
// forms. Each returns 0 or the negated Windows Sockets error code.

#include <cstdint>

#include "Posix.h"

// No name, or an empty one, means this machine.
long ResolveHostName(const char* name, WinsockSys::THostEntry& entry);

// 0 when addr, len and type ask for an IPv4 address the layer can look up (its 4 bytes are then
// in *address, network byte order); otherwise the error code. The lookup itself is
// WinsockSys::LookupAddress.
int ReadHostAddress(const char* addr, int len, int type, std::uint32_t* address);
