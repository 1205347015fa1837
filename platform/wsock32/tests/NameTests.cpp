#include <thread>

#include "WinsockTestSupport.h"

namespace {

using WinsockNames = WinsockTest;

std::string FirstAddress(const hostent* entry) {
    in_addr address;
    std::memcpy(&address.s_addr, entry->h_addr_list[0], 4);
    return inet_ntoa(address);
}

TEST_F(WinsockNames, HostEntryHasTheWindowsLayout) {
    const hostent* entry = gethostbyname("localhost");
    ASSERT_NE(entry, nullptr) << WSAGetLastError();
    EXPECT_EQ(entry->h_addrtype, AF_INET);
    EXPECT_EQ(entry->h_length, 4);
    ASSERT_NE(entry->h_name, nullptr);
    ASSERT_NE(entry->h_aliases, nullptr);
    ASSERT_NE(entry->h_addr_list[0], nullptr);
    EXPECT_EQ(FirstAddress(entry), "127.0.0.1");

    entry = gethostbyname("127.0.0.2");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(FirstAddress(entry), "127.0.0.2");
    EXPECT_EQ(entry->h_addr_list[1], nullptr);
}

TEST_F(WinsockNames, NoHostNameIsHostNotFound) {
    // The reserved top-level name is never asked for: it fails the same way everywhere.
    for (const char* bad : {"no..such.host", "with blank", ".leading", "x/y", "host.invalid", "INVALID."}) {
        WSASetLastError(0);
        EXPECT_EQ(gethostbyname(bad), nullptr) << bad;
        EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND) << bad;
    }
}

TEST_F(WinsockNames, HostByAddress) {
    const ULONG loopback = inet_addr("127.0.0.1");
    const char* address = reinterpret_cast<const char*>(&loopback);
    const hostent* entry = gethostbyaddr(address, 4, AF_INET);
    ASSERT_NE(entry, nullptr) << WSAGetLastError();
    EXPECT_STREQ(entry->h_name, "localhost");
    EXPECT_EQ(entry->h_addrtype, AF_INET);
    EXPECT_EQ(entry->h_length, 4);
    ASSERT_NE(entry->h_aliases, nullptr);
    EXPECT_EQ(FirstAddress(entry), "127.0.0.1");
    EXPECT_EQ(entry->h_addr_list[1], nullptr);

    const struct {
        const char* Address;
        int Length, Type, Error;
    } refused[] = {
        {address, 4, AF_UNSPEC, WSAEAFNOSUPPORT},
        {address, 3, AF_INET, WSAEFAULT},
        {nullptr, 4, AF_INET, WSAEFAULT},
    };
    for (const auto& test : refused) {
        WSASetLastError(0);
        EXPECT_EQ(gethostbyaddr(test.Address, test.Length, test.Type), nullptr);
        EXPECT_EQ(WSAGetLastError(), test.Error) << test.Length << " " << test.Type;
    }
}

TEST_F(WinsockNames, EachThreadKeepsItsOwnEntries) {
    const hostent* mine = gethostbyname("127.0.0.1");
    const char* myText = inet_ntoa(in_addr{inet_addr("10.1.2.3")});
    const hostent* theirs = nullptr;
    std::string theirText;
    std::thread other([&] {
        theirs = gethostbyname("127.0.0.5");
        theirText = inet_ntoa(in_addr{inet_addr("10.9.9.9")});
    });
    other.join();
    EXPECT_STREQ(myText, "10.1.2.3");
    EXPECT_EQ(theirText, "10.9.9.9");
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(theirs, nullptr);
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(FirstAddress(mine), "127.0.0.1");
}

TEST_F(WinsockNames, ServicesAndProtocolsComeFromTheSystemTables) {
    const servent* http = getservbyname("http", "tcp");
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(ntohs(static_cast<USHORT>(http->s_port)), 80);
    EXPECT_STREQ(http->s_proto, "tcp");
    EXPECT_EQ(getservbyname("no-such-service", "tcp"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANO_DATA);

    const protoent* udp = getprotobyname("udp");
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp->p_proto, 17);
    EXPECT_EQ(getprotobyname("no-such-protocol"), nullptr);
}

TEST(WinsockConversions, AddressTextsAndByteOrder) {
    const ULONG address = inet_addr("1.2.3.4");
    unsigned char bytes[4];
    std::memcpy(bytes, &address, 4);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(inet_addr("255.255.255.255"), INADDR_NONE);
    EXPECT_EQ(inet_addr("1.2.3.256"), INADDR_NONE);
    EXPECT_EQ(inet_addr("host"), INADDR_NONE);
    EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
    EXPECT_STREQ(inet_ntoa(in_addr{address}), "1.2.3.4");

    EXPECT_EQ(htons(0x1234), 0x3412);
    EXPECT_EQ(ntohs(htons(1435)), 1435);
    const USHORT net = htons(4464);
    std::memcpy(bytes, &net, 2);
    EXPECT_EQ(bytes[0], 0x11);
    EXPECT_EQ(bytes[1], 0x70);
}

}  // namespace
