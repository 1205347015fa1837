#include <chrono>
#include <thread>

#include "WinsockTestSupport.h"

namespace {

using WinsockSelect = WinsockTest;

const timeval kPoll{0, 0};

TEST_F(WinsockSelect, SetsHoldHandlesOnceAndAtMostSixtyFour) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(SOCKET{7}, &set);
    FD_SET(SOCKET{7}, &set);
    EXPECT_EQ(set.fd_count, 1u);
    EXPECT_TRUE(FD_ISSET(SOCKET{7}, &set));
    EXPECT_FALSE(FD_ISSET(SOCKET{8}, &set));
    for (SOCKET s = 100; s < 200; ++s) FD_SET(s, &set);
    EXPECT_EQ(set.fd_count, static_cast<UINT>(FD_SETSIZE));
    FD_CLR(SOCKET{7}, &set);
    EXPECT_FALSE(FD_ISSET(SOCKET{7}, &set));
    EXPECT_EQ(set.fd_count, static_cast<UINT>(FD_SETSIZE - 1));
}

TEST_F(WinsockSelect, ReportsOnlyTheReadySocketsAndCountsEverySet) {
    SOCKET client, server;
    Pair(&client, &server);
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(server, &readSet);
    EXPECT_EQ(select(0, &readSet, nullptr, nullptr, &kPoll), 0);
    EXPECT_EQ(readSet.fd_count, 0u);

    ASSERT_EQ(SendText(client, "x"), 1);
    const timeval patient{5, 0};
    fd_set writeSet;
    FD_ZERO(&readSet);
    FD_SET(server, &readSet);
    FD_SET(client, &readSet);
    FD_ZERO(&writeSet);
    FD_SET(server, &writeSet);
    EXPECT_EQ(select(0, &readSet, &writeSet, nullptr, &patient), 2);
    EXPECT_TRUE(FD_ISSET(server, &readSet));
    EXPECT_FALSE(FD_ISSET(client, &readSet));
    EXPECT_TRUE(FD_ISSET(server, &writeSet));
    closesocket(client);
    closesocket(server);
}

TEST_F(WinsockSelect, EmptySetsAreInvalidAndUnknownHandlesAreNotSockets) {
    fd_set readSet;
    FD_ZERO(&readSet);
    EXPECT_EQ(select(0, &readSet, nullptr, nullptr, &kPoll), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(select(0, nullptr, nullptr, nullptr, &kPoll), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    FD_SET(SOCKET{4242}, &readSet);
    EXPECT_EQ(select(0, &readSet, nullptr, nullptr, &kPoll), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(WinsockSelect, PendingConnectionAndClosedPeerReadAsReadable) {
    USHORT port = 0;
    const SOCKET listening = Listener(&port);
    const SOCKET client = Connected(port);
    const timeval patient{5, 0};
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(listening, &readSet);
    EXPECT_EQ(select(0, &readSet, nullptr, nullptr, &patient), 1);
    const SOCKET server = accept(listening, nullptr, nullptr);
    closesocket(client);
    FD_ZERO(&readSet);
    FD_SET(server, &readSet);
    EXPECT_EQ(select(0, &readSet, nullptr, nullptr, &patient), 1);
    char byte;
    EXPECT_EQ(recv(server, &byte, 1, 0), 0);
    closesocket(server);
    closesocket(listening);
}

TEST_F(WinsockSelect, WaitsForItsTimeout) {
    SOCKET client, server;
    Pair(&client, &server);
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(server, &readSet);
    const timeval wait{0, 100000};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(select(0, &readSet, nullptr, nullptr, &wait), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    const timeval negative{-1, 0};
    FD_SET(server, &readSet);
    EXPECT_EQ(select(0, &readSet, nullptr, nullptr, &negative), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(client);
    closesocket(server);
}

}  // namespace
