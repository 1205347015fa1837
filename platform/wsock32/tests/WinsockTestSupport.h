#pragma once
// Loopback sockets made through the layer itself, for the layer's tests.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wsock32.h"

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    }
    void TearDown() override { WSACleanup(); }

    static sockaddr_in Loopback(USHORT port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        return address;
    }

    static USHORT LocalPort(SOCKET s) {
        sockaddr_in address{};
        int length = sizeof address;
        EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&address), &length), 0);
        return ntohs(address.sin_port);
    }

    // A listening TCP socket on a free loopback port.
    static SOCKET Listener(USHORT* port) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(s, INVALID_SOCKET);
        const sockaddr_in address = Loopback(0);
        EXPECT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(s, 5), 0);
        *port = LocalPort(s);
        return s;
    }

    static SOCKET Connected(USHORT port) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = Loopback(port);
        EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
            << WSAGetLastError();
        return s;
    }

    // A connected pair: client and the server's accepted end.
    static void Pair(SOCKET* client, SOCKET* server) {
        USHORT port = 0;
        const SOCKET listening = Listener(&port);
        *client = Connected(port);
        *server = accept(listening, nullptr, nullptr);
        EXPECT_NE(*server, INVALID_SOCKET);
        closesocket(listening);
    }

    static int SendText(SOCKET s, const std::string& text) {
        return send(s, text.data(), static_cast<int>(text.size()), 0);
    }

    // On a non-blocking socket: sends until the buffers are full; returns what went.
    static long SendUntilWouldBlock(SOCKET s) {
        const std::string chunk(65536, 'f');
        long total = 0;
        for (int sent; (sent = SendText(s, chunk)) > 0;) total += sent;
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        return total;
    }

    // Reads until count bytes are there or the stream ends.
    static std::string ReceiveText(SOCKET s, std::size_t count) {
        std::string text;
        char buffer[256];
        while (text.size() < count) {
            const int got = recv(s, buffer, static_cast<int>(std::min(sizeof buffer, count - text.size())), 0);
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
};
