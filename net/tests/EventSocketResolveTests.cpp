// The resolvers and their text functions. The cases that reach the socket library (addresses,
// host, service and protocol lookups) load it through the binding like the component does.

#include "EventSocketResolve.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>

#include "EventSocketTestSupport.h"
#include "SysUtils.h"

namespace {

class NumberMode {
public:
    explicit NumberMode(TEventSocketNumberMode mode) : FSaved(EventSocketNumberMode()) { SetEventSocketNumberMode(mode); }
    ~NumberMode() { SetEventSocketNumberMode(FSaved); }

private:
    TEventSocketNumberMode FSaved;
};

TEST(EventSocketText, DottedQuad) {
    const struct {
        const char* Text;
        bool Quad;
    } cases[] = {
        {"1.2.3.4", true},         {"001.2.3.4 ", true},      {"  10.0.0.1  ", true},   {"255.255.255.255", true},
        {"0.0.0.0", true},         {"0000000000000000000000001.2.3.4", true},         {".1.2.3", false},
        {"  .1.2.3", false},       {"1.2.3.", false},         {"1..2.3", false},        {"1.2.3.4.5", false},
        {"1.2 .3.4", false},       {"1.2.3", false},          {"", false},              {"   ", false},
        {"1.2.3.256", false},      {"256.1.2.3", false},      {"1.2.3.4x", false},      {"1.2.3.4 x", false},
        {"1.2.3.-4", false},       {"1.2.3.99999999999999999999", false},             {"1.99999999999.3.4", false},
        {"1.2.3.4\t", false},      {"1.2.3.0255", true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsDottedQuad(c.Text), c.Quad) << '"' << c.Text << '"';
}

TEST(EventSocketText, Decimal) {
    const struct {
        const char* Text;
        int Value;
    } cases[] = {
        {"  42x", 42}, {"x42", 0}, {"", 0}, {"   ", 0}, {"\t42", 0}, {"007", 7}, {"2147483647", INT_MAX}, {"12 34", 12},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.Text), c.Value) << '"' << c.Text << '"';
    for (char ch = 0; ch < 127; ++ch) EXPECT_EQ(IsDigitChar(ch), ch >= '0' && ch <= '9') << int(ch);
}

TEST(EventSocketText, OutOfRangeRaisesOrWraps) {
    const char* const tooBig[] = {"2147483648", "4294967297", "99999999999999999999"};
    {
        NumberMode mode(TEventSocketNumberMode::RaiseErrors);
        for (const char* text : tooBig) EXPECT_THROW(ParseDecimal(text), EIntOverflow) << text;
        EXPECT_THROW(EventSocketResolvePort("70000", "tcp"), ERangeError);
        EXPECT_THROW(EventSocketResolvePort("65536", "tcp"), ERangeError);
        EXPECT_EQ(EventSocketResolvePort("65535", "tcp"), 65535);
        EXPECT_THROW(EventSocketResolvePort("99999999999", "tcp"), EIntOverflow);
        EXPECT_THROW(EventSocketResolveProto("4294967296"), EIntOverflow);
    }
    {
        NumberMode mode(TEventSocketNumberMode::Wrap);
        // The decimal value modulo 2^32, read as a signed 32-bit number.
        const auto wrapped = [](std::uint64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); };
        EXPECT_EQ(ParseDecimal("2147483648"), INT_MIN);
        EXPECT_EQ(ParseDecimal("4294967297"), 1);
        EXPECT_EQ(ParseDecimal("99999999999"), wrapped(99999999999ull));
        EXPECT_EQ(EventSocketResolvePort("70000", "tcp"), 70000 & 0xFFFF);
        EXPECT_EQ(EventSocketResolvePort("99999999999", "tcp"), wrapped(99999999999ull) & 0xFFFF);
        EXPECT_EQ(EventSocketResolvePort("4294967295", "tcp"), 0xFFFF);
        EXPECT_EQ(EventSocketResolveProto("4294967296"), 0);
    }
}

TEST(EventSocketResolvers, RefuseTextsBeforeAnyLookup) {
    const std::string blanks255(255, ' ');
    const struct {
        std::function<void()> Call;
        std::string Message;
    } cases[] = {
        {[] { EventSocketResolveHost(""); }, "EventSocketResolveHost: '' Invalid Hostname."},
        {[&] { EventSocketResolveHost(blanks255 + "10"); }, "EventSocketResolveHost: '" + blanks255 + "10' Invalid Hostname."},
        {[] { EventSocketResolvePort("", "tcp"); }, "EventSocketResolvePort: Invalid Port."},
        {[] { EventSocketResolvePort(std::string(32, '1'), "tcp"); }, "EventSocketResolvePort: Invalid Port."},
        {[] { EventSocketResolvePort("80", ""); }, "EventSocketResolvePort: Invalid Proto."},
        {[] { EventSocketResolvePort("80", std::string(32, 't')); }, "EventSocketResolvePort: Invalid Proto."},
        {[] { EventSocketResolvePort("", ""); }, "EventSocketResolvePort: Invalid Port."},
        {[] { EventSocketResolveProto(""); }, "EventSocketResolveProto: Invalid Protocol."},
        {[] { EventSocketResolveProto(std::string(32, 'u')); }, "EventSocketResolveProto: Invalid Protocol."},
    };
    for (const auto& c : cases) EXPECT_EQ(SocketError(c.Call), c.Message);
}

TEST(EventSocketResolvers, NumbersAndKnownProtocolsNeedNoLookup) {
    EXPECT_EQ(EventSocketResolvePort("80abc", "tcp"), 80);
    EXPECT_EQ(EventSocketResolvePort("1435", " udp "), 1435);
    EXPECT_EQ(EventSocketResolvePort(std::string(31, '0') , "tcp"), 0);
    const struct {
        const char* Text;
        int Number;
    } protocols[] = {{" TCP ", 6}, {"tcp", 6}, {"17", 17}, {"Raw", 255}, {"uDp", 17}, {"6x", 6}, {"0", 0}};
    for (const auto& c : protocols) EXPECT_EQ(EventSocketResolveProto(c.Text), c.Number) << c.Text;
    EXPECT_EQ(EventSocketResolveProto(std::string(30, '0') + "1"), 1);
}

TEST(EventSocketResolvers, Hosts) {
    const std::string padded = std::string(247, ' ') + "127.0.0.1";  // 256 characters
    ASSERT_EQ(padded.size(), 256u);
    const struct {
        std::string Text;
        ULONG Address;
    } cases[] = {
        {"255.255.255.255", 0xFFFFFFFFu},
        {" 255.255.255.255 ", 0xFFFFFFFFu},
        {" 10.0.0.1 ", IPv4(10, 0, 0, 1)},
        {"127.0.0.1", IPv4(127, 0, 0, 1)},
        {padded, IPv4(127, 0, 0, 1)},
        {"010.0.0.1", IPv4(8, 0, 0, 1)},  // parts with a leading zero are octal
        {"0000000000000000000001.2.3.4", IPv4(1, 2, 3, 4)},
        {"localhost", IPv4(127, 0, 0, 1)},
    };
    for (const auto& c : cases) EXPECT_EQ(EventSocketResolveHost(c.Text), c.Address) << '"' << c.Text << '"';

    EXPECT_EQ(SocketError([] { EventSocketResolveHost("1.2.3.09"); }), "EventSocketResolveHost: '1.2.3.09' Invalid IP address.");
    EXPECT_EQ(SocketError([] { EventSocketResolveHost(" 09.1.1.1"); }), "EventSocketResolveHost: ' 09.1.1.1' Invalid IP address.");
    // No dotted quad: the name goes to the host lookup, which has no such host.
    EXPECT_EQ(SocketError([] { EventSocketResolveHost("1.2.3.256"); }),
              Format("EventSocketResolveHost: Cannot convert host address '%s', Error #%d", "1.2.3.256", WSAHOST_NOT_FOUND));
    EXPECT_EQ(SocketError([] { EventSocketResolveHost("no-such-host.invalid"); }),
              Format("EventSocketResolveHost: Cannot convert host address '%s', Error #%d", "no-such-host.invalid",
                     WSAHOST_NOT_FOUND));
}

TEST(EventSocketResolvers, ServicesAndProtocols) {
    EXPECT_EQ(EventSocketResolvePort("http", "tcp"), 80);
    EXPECT_EQ(EventSocketResolvePort(" domain ", " udp "), 53);
    EXPECT_EQ(EventSocketResolveProto(" ICMP "), 1);
    const std::string port31(31, 'p');  // short enough: it goes on to the lookup
    EXPECT_EQ(SocketError([&] { EventSocketResolvePort(port31, "tcp"); }),
              Format("EventSocketResolvePort: Cannot convert port '%s', Error #%d", port31.c_str(), WSANO_DATA));
    EXPECT_EQ(SocketError([] { EventSocketResolvePort(" nosuchservice", "tcp"); }),
              Format("EventSocketResolvePort: Cannot convert port '%s', Error #%d", " nosuchservice", WSANO_DATA));
    // The protocol's message names the trimmed, lower-case text.
    EXPECT_EQ(SocketError([] { EventSocketResolveProto(" NoSuchProto "); }),
              Format("EventSocketResolveProto: Cannot convert protocol '%s', Error #%d", "nosuchproto", WSANO_DATA));
}

}  // namespace
