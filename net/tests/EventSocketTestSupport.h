#pragma once
// What the socket unit's tests share: the message of a raised socket error, an address.

#include <cstring>
#include <functional>
#include <string>

#include "EventSocketBinding.h"

// The message of the ESocketException that call raises; empty when it raises none.
inline std::string SocketError(const std::function<void()>& call) {
    try {
        call();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return std::string();
}

// The network-order value of the address a.b.c.d.
inline ULONG IPv4(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[4] = {a, b, c, d};
    ULONG address;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}
