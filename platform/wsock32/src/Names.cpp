// Host, service and protocol lookups with their per-thread entries, address texts, byte order.

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Posix.h"
#include "Winsock.h"

namespace {

// Keeps the strings an entry points at, and the null-terminated pointer lists.
struct TNameList {
    std::vector<std::string> Texts;
    std::vector<char*> Pointers;

    char** Assign(std::vector<std::string> texts) {
        Texts = std::move(texts);
        Pointers.clear();
        for (std::string& text : Texts) Pointers.push_back(text.data());
        Pointers.push_back(nullptr);
        return Pointers.data();
    }
};

struct THostStorage {
    std::string Name;
    TNameList Aliases;
    std::vector<std::array<char, 4>> Addresses;
    std::vector<char*> AddressPointers;
    hostent Entry{};
};

struct TServiceStorage {
    std::string Name;
    TNameList Aliases;
    std::string Protocol;
    servent Entry{};
};

struct TProtocolStorage {
    std::string Name;
    TNameList Aliases;
    protoent Entry{};
};

thread_local THostStorage tHost;
thread_local TServiceStorage tService;
thread_local TProtocolStorage tProtocol;
thread_local char tAddressText[16];

hostent* FillHost(WinsockSys::THostEntry found) {
    THostStorage& storage = tHost;
    storage.Name = std::move(found.Name);
    storage.Addresses.clear();
    for (std::uint32_t address : found.Addresses) {
        std::array<char, 4> bytes;
        static_assert(sizeof bytes == sizeof address);
        std::memcpy(bytes.data(), &address, sizeof address);
        storage.Addresses.push_back(bytes);
    }
    storage.AddressPointers.clear();
    for (auto& bytes : storage.Addresses) storage.AddressPointers.push_back(bytes.data());
    storage.AddressPointers.push_back(nullptr);
    storage.Entry.h_name = storage.Name.data();
    storage.Entry.h_aliases = storage.Aliases.Assign(std::move(found.Aliases));
    storage.Entry.h_addrtype = AF_INET;
    storage.Entry.h_length = 4;
    storage.Entry.h_addr_list = storage.AddressPointers.data();
    return &storage.Entry;
}

}  // namespace

hostent* gethostbyname(const char* name) {
    if (!WinsockStarted()) return nullptr;
    // No name, or an empty one, means this machine.
    const std::string query = (name && *name) ? name : WinsockSys::LocalHostName();
    WinsockSys::THostEntry found;
    const long result = WinsockSys::LookupHost(query, found);
    if (result < 0) {
        WSASetLastError(static_cast<int>(-result));
        return nullptr;
    }
    return FillHost(std::move(found));
}

servent* getservbyname(const char* name, const char* proto) {
    if (!WinsockStarted()) return nullptr;
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    WinsockSys::TServiceEntry found;
    const long result = WinsockSys::LookupService(name, proto, found);
    if (result < 0) {
        WSASetLastError(static_cast<int>(-result));
        return nullptr;
    }
    TServiceStorage& storage = tService;
    storage.Name = std::move(found.Name);
    storage.Protocol = std::move(found.Protocol);
    storage.Entry.s_name = storage.Name.data();
    storage.Entry.s_aliases = storage.Aliases.Assign(std::move(found.Aliases));
    storage.Entry.s_port = static_cast<SHORT>(found.Port);
    storage.Entry.s_proto = storage.Protocol.data();
    return &storage.Entry;
}

protoent* getprotobyname(const char* name) {
    if (!WinsockStarted()) return nullptr;
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    WinsockSys::TProtocolEntry found;
    const long result = WinsockSys::LookupProtocol(name, found);
    if (result < 0) {
        WSASetLastError(static_cast<int>(-result));
        return nullptr;
    }
    TProtocolStorage& storage = tProtocol;
    storage.Name = std::move(found.Name);
    storage.Entry.p_name = storage.Name.data();
    storage.Entry.p_aliases = storage.Aliases.Assign(std::move(found.Aliases));
    storage.Entry.p_proto = static_cast<SHORT>(found.Number);
    return &storage.Entry;
}

// The address conversions and byte order need no started library, as on Windows.
ULONG inet_addr(const char* cp) {
    std::uint32_t address = 0;
    return WinsockSys::ParseAddress(cp, &address) ? address : INADDR_NONE;
}

char* inet_ntoa(in_addr in) {
    unsigned char bytes[4];
    std::memcpy(bytes, &in.s_addr, sizeof bytes);
    std::snprintf(tAddressText, sizeof tAddressText, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return tAddressText;
}

USHORT htons(USHORT hostshort) {
    if constexpr (std::endian::native == std::endian::big) return hostshort;
    return static_cast<USHORT>((hostshort >> 8) | (hostshort << 8));
}

USHORT ntohs(USHORT netshort) { return htons(netshort); }
