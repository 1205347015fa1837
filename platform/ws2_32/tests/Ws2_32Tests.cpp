// Binding by name of wsock32 and ws2_32, and WSAIoctl on wsock32's sockets.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Privileges.h"
#include "kernel32.h"
#include "ws2_32.h"

namespace {

template <typename F>
FARPROC Proc(F* function) {
    return reinterpret_cast<FARPROC>(function);
}

struct TExpected {
    const char* Name;
    FARPROC Proc;
};

// Everything the socket transport fetches from "wsock32.dll", and what else the layer offers.
const TExpected kWsock32[] = {
    {"WSAStartup", Proc(&WSAStartup)},
    {"WSACleanup", Proc(&WSACleanup)},
    {"WSASetLastError", Proc(&WSASetLastError)},
    {"WSAGetLastError", Proc(&WSAGetLastError)},
    {"WSACancelAsyncRequest", Proc(&WSACancelAsyncRequest)},
    {"WSAAsyncGetHostByName", Proc(&WSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", Proc(&WSAAsyncGetHostByAddr)},
    {"WSAAsyncSelect", Proc(&WSAAsyncSelect)},
    {"getservbyname", Proc(&getservbyname)},
    {"getprotobyname", Proc(&getprotobyname)},
    {"gethostbyname", Proc(&gethostbyname)},
    {"gethostbyaddr", Proc(&gethostbyaddr)},
    {"socket", Proc(&socket)},
    {"shutdown", Proc(&shutdown)},
    {"setsockopt", Proc(&setsockopt)},
    {"getsockopt", Proc(&getsockopt)},
    {"sendto", Proc(&sendto)},
    {"send", Proc(&send)},
    {"ntohs", Proc(&ntohs)},
    {"htons", Proc(&htons)},
    {"listen", Proc(&listen)},
    {"ioctlsocket", Proc(&ioctlsocket)},
    {"inet_ntoa", Proc(&inet_ntoa)},
    {"inet_addr", Proc(&inet_addr)},
    {"getsockname", Proc(&getsockname)},
    {"getpeername", Proc(&getpeername)},
    {"connect", Proc(&connect)},
    {"closesocket", Proc(&closesocket)},
    {"bind", Proc(&bind)},
    {"accept", Proc(&accept)},
    {"recv", Proc(&recv)},
    {"recvfrom", Proc(&recvfrom)},
    {"select", Proc(static_cast<int (*)(int, TFDSet*, TFDSet*, TFDSet*, const timeval*)>(&select))},
};

void ExpectMissing(HMODULE module, const char* name) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, name), nullptr) << name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << name;
}

TEST(BindingByName, EveryEntryPointResolvesToTheLayersFunction) {
    HMODULE wsock32 = LoadLibraryA("WSOCK32.DLL");
    ASSERT_NE(wsock32, nullptr);
    for (const TExpected& expected : kWsock32)
        EXPECT_EQ(GetProcAddress(wsock32, expected.Name), expected.Proc) << expected.Name;
    // Names compare with case; the C library's functions are never the module's.
    for (const char* name : {"Socket", "SOCKET", "wsastartup", "WSAIoctl", "poll", "getaddrinfo", "malloc", ""})
        ExpectMissing(wsock32, name);

    HMODULE ws2_32 = LoadLibraryA("ws2_32.dll");
    ASSERT_NE(ws2_32, nullptr);
    EXPECT_EQ(GetProcAddress(ws2_32, "WSAIoctl"), Proc(&WSAIoctl));
    for (const char* name : {"wsaioctl", "socket", "WSAStartup"}) ExpectMissing(ws2_32, name);

    // Called through the fetched pointers as the binding calls them.
    const auto startup = reinterpret_cast<decltype(&WSAStartup)>(GetProcAddress(wsock32, "WSAStartup"));
    const auto cleanup = reinterpret_cast<decltype(&WSACleanup)>(GetProcAddress(wsock32, "WSACleanup"));
    const auto ioctl = reinterpret_cast<decltype(&WSAIoctl)>(GetProcAddress(ws2_32, "WSAIoctl"));
    WSADATA data;
    ASSERT_EQ(startup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(ioctl(INVALID_SOCKET, SIO_RCVALL, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(cleanup(), 0);

    EXPECT_TRUE(FreeLibrary(ws2_32));
    EXPECT_TRUE(FreeLibrary(wsock32));
    // Their worker threads may still run their code: the libraries never leave the process.
    EXPECT_TRUE(StaysMapped("/libwsock32.so"));
    EXPECT_TRUE(StaysMapped("/libws2_32.so"));
}

class Ws2Ioctl : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    }
    void TearDown() override { WSACleanup(); }

    static int Ioctl(SOCKET s, DWORD code, LPWSAOVERLAPPED overlapped = nullptr) {
        DWORD on = 1, out = 0, returned = 99;
        const int result = WSAIoctl(s, code, &on, sizeof on, &out, sizeof out, &returned, overlapped, nullptr);
        EXPECT_EQ(returned, 0u);
        return result == SOCKET_ERROR ? WSAGetLastError() : 0;
    }
};

TEST_F(Ws2Ioctl, ReceiveAllHasNoCounterpart) {
    const SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
    const SOCKET tcp = socket(AF_INET, SOCK_STREAM, 0);
    const SOCKET closed = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(udp, INVALID_SOCKET);
    ASSERT_NE(tcp, INVALID_SOCKET);
    ASSERT_EQ(closesocket(closed), 0);
    // Raw sockets need the capability; where the process has it, the command is refused too.
    const SOCKET raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (raw == INVALID_SOCKET) {
        EXPECT_EQ(WSAGetLastError(), WSAEACCES);
    }
    alignas(8) char overlappedRecord[32] = {};
    auto* overlapped = reinterpret_cast<LPWSAOVERLAPPED>(overlappedRecord);

    const struct {
        SOCKET Socket;
        DWORD Code;
        LPWSAOVERLAPPED Overlapped;
        int Error;
    } cases[] = {
        {udp, SIO_RCVALL, nullptr, WSAEOPNOTSUPP},
        {tcp, SIO_RCVALL, nullptr, WSAEOPNOTSUPP},
        {raw, SIO_RCVALL, nullptr, raw == INVALID_SOCKET ? WSAENOTSOCK : WSAEOPNOTSUPP},
        {udp, 0x12345678u, nullptr, WSAEINVAL},
        {udp, SIO_RCVALL, overlapped, WSAEINVAL},
        {closed, SIO_RCVALL, nullptr, WSAENOTSOCK},
        {0x7777, SIO_RCVALL, nullptr, WSAENOTSOCK},
    };
    for (const auto& test : cases)
        EXPECT_EQ(Ioctl(test.Socket, test.Code, test.Overlapped), test.Error) << test.Socket << " " << test.Code;

    for (SOCKET s : {udp, tcp, raw}) closesocket(s);
    ASSERT_EQ(WSACleanup(), 0);
    EXPECT_EQ(Ioctl(udp, SIO_RCVALL), WSANOTINITIALISED);
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
}

TEST(Ws2RawSocket, WithoutTheCapabilityIsPermissionDenied) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (!DropPrivileges()) std::_Exit(1);
            WSADATA data;
            if (WSAStartup(MAKEWORD(1, 1), &data) != 0) std::_Exit(2);
            const SOCKET raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
            std::_Exit(raw == INVALID_SOCKET && WSAGetLastError() == WSAEACCES ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
