#include "EventSocketResolve.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#include "EventSocketBinding.h"
#include "SysUtils.h"

namespace {

std::atomic<TEventSocketNumberMode> numberMode{TEventSocketNumberMode::RaiseErrors};

bool Raises() { return numberMode.load() == TEventSocketNumberMode::RaiseErrors; }

// The name texts of the resolvers are at most this long; the port and protocol texts are
// shorter than ServiceLimit.
constexpr std::size_t HostLimit = 256;
constexpr std::size_t ServiceLimit = 32;

bool InvalidServiceText(const std::string& text) { return text.empty() || text.size() >= ServiceLimit; }

std::size_t SkipBlanks(const std::string& S, std::size_t i) {
    while (i < S.size() && S[i] == ' ') ++i;
    return i;
}

}  // namespace

void SetEventSocketNumberMode(TEventSocketNumberMode Mode) { numberMode.store(Mode); }
TEventSocketNumberMode EventSocketNumberMode() { return numberMode.load(); }

bool IsDigitChar(char C) { return C >= '0' && C <= '9'; }

int ParseDecimal(const std::string& S) {
    std::uint32_t value = 0;  // wraps in unsigned arithmetic where wrapping is asked for
    for (std::size_t i = SkipBlanks(S, 0); i < S.size() && IsDigitChar(S[i]); ++i) {
        const std::uint32_t digit = static_cast<std::uint32_t>(S[i] - '0');
        if (Raises() && value > (static_cast<std::uint32_t>(INT_MAX) - digit) / 10) throw EIntOverflow();
        value = value * 10u + digit;
    }
    return static_cast<int>(value);
}

bool IsDottedQuad(const std::string& S) {
    constexpr unsigned TooBig = 256;  // a part stays here once above 255, however long it is
    std::size_t i = SkipBlanks(S, 0);
    if (i < S.size() && S[i] == '.') return false;
    int dots = 0;
    unsigned part = 0;
    for (; i < S.size(); ++i) {
        const char c = S[i];
        if (c == '.') {
            if (++dots > 3 || part > 255 || i + 1 == S.size() || !IsDigitChar(S[i + 1])) return false;
            part = 0;
        } else if (IsDigitChar(c)) {
            part = std::min(part * 10 + static_cast<unsigned>(c - '0'), TooBig);
        } else {
            if (SkipBlanks(S, i) != S.size()) return false;
            break;
        }
    }
    return dots == 3 && part <= 255;
}

ULONG EventSocketResolveHost(const std::string& InAddr) {
    if (InAddr.empty() || InAddr.size() > HostLimit)
        throw ESocketException("EventSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    const std::string name = Trim(InAddr);
    if (IsDottedQuad(InAddr)) {
        const ULONG address = BoundWinsock::inet_addr(name.c_str());
        if (address == INADDR_NONE && name != "255.255.255.255")
            throw ESocketException("EventSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        return address;
    }
    const hostent* entry = BoundWinsock::gethostbyname(name.c_str());
    // An entry without an IPv4 address is as good as none.
    if (!entry || entry->h_length != 4 || !entry->h_addr_list || !entry->h_addr_list[0])
        throw ESocketException(Format("EventSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                      InAddr.c_str(), BoundWinsock::WSAGetLastError()));
    ULONG address;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    return address;
}

USHORT EventSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (InvalidServiceText(Port)) throw ESocketException("EventSocketResolvePort: Invalid Port.");
    if (InvalidServiceText(Proto)) throw ESocketException("EventSocketResolvePort: Invalid Proto.");
    if (IsDigitChar(Port[0])) {
        const int value = ParseDecimal(Port);
        if (Raises() && value > 65535) throw ERangeError();
        return static_cast<USHORT>(static_cast<std::uint32_t>(value) & 0xFFFFu);
    }
    const std::string service = Trim(Port);
    const std::string protocol = Trim(Proto);
    const servent* entry = BoundWinsock::getservbyname(service.c_str(), protocol.empty() ? nullptr : protocol.c_str());
    if (!entry)
        throw ESocketException(Format("EventSocketResolvePort: Cannot convert port '%s', Error #%d", Port.c_str(),
                                      BoundWinsock::WSAGetLastError()));
    return BoundWinsock::ntohs(static_cast<USHORT>(entry->s_port));
}

int EventSocketResolveProto(const std::string& Proto) {
    if (InvalidServiceText(Proto)) throw ESocketException("EventSocketResolveProto: Invalid Protocol.");
    if (IsDigitChar(Proto[0])) return ParseDecimal(Proto);
    const std::string name = LowerCase(Trim(Proto));
    if (name == "tcp") return IPPROTO_TCP;
    if (name == "udp") return IPPROTO_UDP;
    if (name == "raw") return IPPROTO_RAW;
    const protoent* entry = BoundWinsock::getprotobyname(name.c_str());
    if (!entry)
        throw ESocketException(Format("EventSocketResolveProto: Cannot convert protocol '%s', Error #%d", name.c_str(),
                                      BoundWinsock::WSAGetLastError()));
    return entry->p_proto;
}
