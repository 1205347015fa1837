// Host, service and protocol lookups with their per-thread entries, address texts, byte order.

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "Names.h"
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

// The reserved top-level name never exists (RFC 6761): it is refused here without asking a name
// server, so a lookup meant to fail fails at once and the same way everywhere.
bool IsReservedInvalid(const std::string& name) {
    static constexpr char kInvalid[] = "invalid";
    const std::size_t length = sizeof kInvalid - 1;
    std::string last = name;
    if (!last.empty() && last.back() == '.') last.pop_back();
    if (last.size() < length) return false;
    const std::size_t start = last.size() - length;
    return (start == 0 || last[start - 1] == '.') && strcasecmp(last.c_str() + start, kInvalid) == 0;
}

hostent* Answer(long result, WinsockSys::THostEntry& found) {
    if (result < 0) {
        WSASetLastError(static_cast<int>(-result));
        return nullptr;
    }
    return FillHost(std::move(found));
}

}  // namespace

long ResolveHostName(const char* name, WinsockSys::THostEntry& entry) {
    const std::string query = (name && *name) ? name : WinsockSys::LocalHostName();
    if (IsReservedInvalid(query)) return -WSAHOST_NOT_FOUND;
    return WinsockSys::LookupHost(query, entry);
}

int ReadHostAddress(const char* addr, int len, int type, std::uint32_t* address) {
    if (type != AF_INET) return WSAEAFNOSUPPORT;
    if (!addr || len < 4) return WSAEFAULT;
    std::memcpy(address, addr, sizeof *address);
    return 0;
}

hostent* gethostbyname(const char* name) {
    if (!WinsockStarted()) return nullptr;
    WinsockSys::THostEntry found;
    return Answer(ResolveHostName(name, found), found);
}

hostent* gethostbyaddr(const char* addr, int len, int type) {
    if (!WinsockStarted()) return nullptr;
    std::uint32_t address = 0;
    if (const int error = ReadHostAddress(addr, len, type, &address)) {
        WSASetLastError(error);
        return nullptr;
    }
    WinsockSys::THostEntry found;
    return Answer(WinsockSys::LookupAddress(address, found), found);
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
