// The binding's life in one process, from its start: this executable holds this one test,
// since the library's state belongs to the whole process.

#include <gtest/gtest.h>

#include <string>

#include "EventSocket.h"
#include "EventSocketResolve.h"
#include "EventSocketTestSupport.h"
#include "SysUtils.h"

namespace {

// The layer's own start count, seen without the binding: its functions fail with
// WSANOTINITIALISED once the last clean-up ran. The module stays mapped after FreeLibrary.
int LayerErrorOfASocketCall() {
    const HMODULE module = GetModuleHandleA("wsock32.dll");
    if (!module) return -1;
    const auto socketCall = reinterpret_cast<decltype(&::socket)>(GetProcAddress(module, "socket"));
    const auto closeCall = reinterpret_cast<decltype(&::closesocket)>(GetProcAddress(module, "closesocket"));
    const auto lastError = reinterpret_cast<decltype(&::WSAGetLastError)>(GetProcAddress(module, "WSAGetLastError"));
    if (!socketCall || !closeCall || !lastError) return -2;
    const SOCKET s = socketCall(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return lastError();
    closeCall(s);
    return 0;
}

TEST(EventSocketBinding, LoadsAtTheFirstCallAndUnloadsAfterTheLastSocket) {
    // Sockets that never touch the network load nothing.
    TComponent owner(nullptr);
    TEventSocket* first = TEventSocket::Create(&owner);
    TEventSocket* second = TEventSocket::Create(&owner);
    first->LingerTimeout = 5;
    EXPECT_EQ(first->State(), wsClosed);
    EXPECT_FALSE(WinsockLoaded());
    EXPECT_EQ(GetModuleHandleA("wsock32.dll"), nullptr);
    EXPECT_EQ(SocketInstanceCount(), 2);

    // The first socket call loads and starts the library.
    EXPECT_EQ(EventSocketResolveHost("127.0.0.1"), IPv4(127, 0, 0, 1));
    EXPECT_TRUE(WinsockLoaded());
    ASSERT_NE(GetModuleHandleA("wsock32.dll"), nullptr);
    EXPECT_EQ(LayerErrorOfASocketCall(), 0);
    EXPECT_EQ(InetNtoaGuarded(IPv4(127, 0, 0, 1)), "127.0.0.1");
    EXPECT_EQ(SocketInstanceCount(), 2);  // raised only for the duration of the call
    EXPECT_TRUE(BoundWinsock::WSAIoctl(INVALID_SOCKET, SIO_RCVALL, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr) ==
                SOCKET_ERROR);
    EXPECT_NE(GetModuleHandleA("ws2_32.dll"), nullptr);
    EXPECT_EQ(SocketError([] { GetWinsockProc("NoSuchProc"); }),
              Format("Procedure NoSuchProc not found in wsock32.dll Error #%u", ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(SocketError([] { GetWinsock2Proc("socket"); }),
              Format("Procedure socket not found in ws2_32.dll Error #%u", ERROR_PROC_NOT_FOUND));

    // The version cannot change while the library is loaded; the same value is no change.
    second->SetReqVerLow(1);
    EXPECT_EQ(SocketError([&] { second->SetReqVerHigh(2); }),
              "Error 10022 in function SetReqVerHigh: WinSock version can't be changed now\r\nInvalid argument");
    EXPECT_EQ(second->ReqVerHigh(), 1);

    // One socket left keeps it; the last one cleans up and unloads.
    delete first;
    EXPECT_TRUE(WinsockLoaded());
    delete second;
    EXPECT_EQ(SocketInstanceCount(), 0);
    EXPECT_FALSE(WinsockLoaded());
    EXPECT_EQ(LayerErrorOfASocketCall(), WSANOTINITIALISED);

    // A fresh start on the next use.
    TEventSocket* third = TEventSocket::Create(&owner);
    EXPECT_FALSE(WinsockLoaded());
    const SOCKET s = BoundWinsock::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(BoundWinsock::closesocket(s), 0);
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_EQ(LayerErrorOfASocketCall(), 0);

    // A version the library refuses: the library stays loaded, later calls fail as not started.
    delete third;
    ASSERT_FALSE(WinsockLoaded());
    TEventSocket* fourth = TEventSocket::Create(&owner);
    fourth->SetReqVerLow(0);
    EXPECT_EQ(fourth->ReqVerLow(), 0);
    EXPECT_EQ(SocketError([] { BoundWinsock::socket(AF_INET, SOCK_STREAM, 0); }),
              Format("wsock32.dll: WSAStartup error #%d", WSAVERNOTSUPPORTED));
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_EQ(BoundWinsock::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(BoundWinsock::WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(SocketError([] { EventSocketResolveHost("localhost"); }),
              Format("EventSocketResolveHost: Cannot convert host address 'localhost', Error #%d", WSANOTINITIALISED));
    EXPECT_NE(SocketError([&] { fourth->SetReqVerLow(1); }), "");
    delete fourth;
    EXPECT_FALSE(WinsockLoaded());
    TEventSocket* fifth = TEventSocket::Create(&owner);
    fifth->SetReqVerLow(1);
    EXPECT_NE(BoundWinsock::inet_addr("1.2.3.4"), INADDR_NONE);
    EXPECT_EQ(EventSocketResolveHost("localhost"), IPv4(127, 0, 0, 1));
    EXPECT_EQ(owner.ComponentCount(), 1);
}

}  // namespace
