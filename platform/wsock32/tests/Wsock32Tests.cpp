#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "PosixPeer.h"
#include "WaitUntil.h"
#include "WinsockTestSupport.h"

namespace {

// The thread sleeps in the system's receive call, the one a blocking recv makes.
bool BlockedInReceive(pid_t thread) {
    std::ifstream syscall("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    return syscall >> number && number == SYS_recvfrom;
}

TEST(WinsockStartup, CallsBeforeStartupFailWithNotInitialised) {
    WSASetLastError(0);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSASetLastError(0);
    EXPECT_EQ(gethostbyname("localhost"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(WinsockStartup, IsCountedAndTheLastCleanupClosesOpenSockets) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(WSACleanup(), 0);
    // Still started once: the socket lives.
    ULONG pending = 99;
    EXPECT_EQ(ioctlsocket(s, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 0u);
    EXPECT_EQ(WSACleanup(), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(WinsockStartup, NegotiatesVersionOneOne) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
    EXPECT_EQ(data.wHighVersion, MAKEWORD(1, 1));
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 0), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 0));
    EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), nullptr), WSAEFAULT);
    WSACleanup();
    WSACleanup();
}

TEST(WinsockStartup, LastErrorIsPerThread) {
    WSASetLastError(WSAECONNRESET);
    int seen = -1;
    std::thread other([&] {
        seen = WSAGetLastError();
        WSASetLastError(WSAEINTR);
    });
    other.join();
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

using WinsockStream = WinsockTest;

TEST_F(WinsockStream, CarriesBytesBothWaysAndKnowsBothEnds) {
    USHORT port = 0;
    const SOCKET listening = Listener(&port);
    ASSERT_NE(port, 0);
    const SOCKET client = Connected(port);
    sockaddr_in peer{};
    int length = sizeof peer;
    const SOCKET server = accept(listening, reinterpret_cast<sockaddr*>(&peer), &length);
    ASSERT_NE(server, INVALID_SOCKET);
    EXPECT_EQ(length, 16);
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_STREQ(inet_ntoa(peer.sin_addr), "127.0.0.1");
    EXPECT_EQ(ntohs(peer.sin_port), LocalPort(client));

    sockaddr_in serverEnd{};
    length = sizeof serverEnd;
    ASSERT_EQ(getpeername(client, reinterpret_cast<sockaddr*>(&serverEnd), &length), 0);
    EXPECT_EQ(ntohs(serverEnd.sin_port), port);

    EXPECT_EQ(SendText(client, "greeting"), 8);
    EXPECT_EQ(ReceiveText(server, 8), "greeting");
    EXPECT_EQ(SendText(server, std::string("\0\x02\x00", 3)), 3);
    EXPECT_EQ(ReceiveText(client, 3), std::string("\0\x02\x00", 3));
    closesocket(client);
    closesocket(server);
    closesocket(listening);
}

TEST_F(WinsockStream, ShortAddressesAreFaults) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(0);
    EXPECT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&address), 15), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    sockaddr_in out{};
    int length = 8;
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&out), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    closesocket(s);
}

TEST_F(WinsockStream, RefusedConnectionIs10061) {
    USHORT port = 0;
    closesocket(Listener(&port));
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(port);
    EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    closesocket(s);
}

TEST_F(WinsockStream, UnconnectedReceiveIs10057) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    char byte;
    EXPECT_EQ(recv(s, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    closesocket(s);
}

TEST_F(WinsockStream, UnknownAndClosedHandlesAreNotSockets) {
    char byte;
    EXPECT_EQ(recv(static_cast<SOCKET>(12345), &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    // A new socket never takes the handle of a closed one.
    const SOCKET next = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(next, s);
    closesocket(next);
}

TEST_F(WinsockStream, GracefulShutdownReadsAsEndOfStream) {
    SOCKET client, server;
    Pair(&client, &server);
    EXPECT_EQ(SendText(client, "last"), 4);
    EXPECT_EQ(shutdown(client, SD_SEND), 0);
    EXPECT_EQ(ReceiveText(server, 4), "last");
    char byte;
    EXPECT_EQ(recv(server, &byte, 1, 0), 0);
    EXPECT_EQ(shutdown(client, 7), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(client);
    closesocket(server);
}

TEST_F(WinsockStream, LingerWithZeroTimeoutResetsThePeer) {
    SOCKET client, server;
    Pair(&client, &server);
    const linger abortive{1, 0};
    ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive), 0);
    closesocket(server);
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    closesocket(client);
}

TEST_F(WinsockStream, SendToAClosedPeerFailsWithoutEndingTheProcess) {
    SOCKET client, server;
    Pair(&client, &server);
    const linger abortive{1, 0};
    setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
    closesocket(server);
    // Sends go out until the reset has come back over the loopback.
    int result = 0;
    EXPECT_TRUE(WaitUntil([&] { return (result = SendText(client, "more")) == SOCKET_ERROR; }))
        << "the peer's reset never came";
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    closesocket(client);
}

TEST_F(WinsockStream, OptionsTakeWindowsNumbersAndCheckTheirLength) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    const int on = -1;
    const char* value = reinterpret_cast<const char*>(&on);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, value, sizeof on), 0);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, value, sizeof on), 0);
    EXPECT_EQ(setsockopt(s, IPPROTO_TCP, TCP_NODELAY, value, sizeof on), 0);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, value, 2), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, 0x7777, value, sizeof on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    EXPECT_EQ(setsockopt(s, 1234, SO_REUSEADDR, value, sizeof on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(s);
}

TEST_F(WinsockStream, IoctlCountsPendingBytesAndSwitchesBlocking) {
    SOCKET client, server;
    Pair(&client, &server);
    ULONG on = 1;
    ASSERT_EQ(ioctlsocket(server, FIONBIO, &on), 0);
    char buffer[16];
    EXPECT_EQ(recv(server, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    ASSERT_EQ(SendText(client, "12345"), 5);
    ULONG pending = 0;
    EXPECT_TRUE(WaitUntil([&] { return ioctlsocket(server, FIONREAD, &pending) == 0 && pending >= 5; }))
        << "the bytes never arrived over the loopback";
    EXPECT_EQ(pending, 5u);
    EXPECT_EQ(ioctlsocket(server, 0x1234, &pending), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(client);
    closesocket(server);
}

// The peer sees the end that the socket's linger asks for, not the wake-up's.
TEST_F(WinsockStream, CloseFromAnotherThreadInterruptsABlockingReceive) {
    for (const bool abortive : {false, true}) {
        SOCKET client, server;
        Pair(&client, &server);
        std::atomic<int> result{1}, error{0};
        std::atomic<pid_t> readerThread{0};
        std::thread reader([&] {
            readerThread = static_cast<pid_t>(::syscall(SYS_gettid));
            char byte;
            result = recv(client, &byte, 1, 0);
            error = WSAGetLastError();
        });
        // A close that came before the receive had begun would find no socket to interrupt.
        EXPECT_TRUE(WaitUntil([&] { return readerThread != 0 && BlockedInReceive(readerThread); }))
            << "the reader never blocked in its receive";
        const linger reset{1, 0};
        if (abortive) setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
        EXPECT_EQ(closesocket(client), 0);
        reader.join();
        EXPECT_EQ(result, SOCKET_ERROR);
        EXPECT_EQ(error, WSAEINTR);
        char byte;
        EXPECT_EQ(recv(server, &byte, 1, 0), abortive ? SOCKET_ERROR : 0) << "abortive: " << abortive;
        closesocket(server);
    }
}

TEST_F(WinsockStream, NonBlockingConnectWouldBlockAndCompletesLater) {
    USHORT port = 0;
    const SOCKET listening = Listener(&port);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ULONG on = 1;
    ASSERT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
    const sockaddr_in address = Loopback(port);
    EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    const timeval patient{5, 0};
    EXPECT_EQ(select(0, nullptr, &writable, nullptr, &patient), 1);
    int error = -1, length = sizeof error;
    EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length), 0);
    EXPECT_EQ(error, 0);
    closesocket(s);
    closesocket(listening);
}

TEST_F(WinsockStream, OptionsReadBackInWindowsNumbering) {
    USHORT port = 0;
    const SOCKET listening = Listener(&port);
    const SOCKET stream = socket(AF_INET, SOCK_STREAM, 0);
    const SOCKET datagram = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = -1, buffer = 32768;
    const linger lingering{1, 7};
    setsockopt(stream, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(stream, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(stream, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
    setsockopt(stream, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingering), sizeof lingering);
    struct TCase {
        SOCKET Socket;
        int Level, Name;
        int Expected;  // -1: any positive value
    };
    const TCase cases[] = {
        {stream, SOL_SOCKET, SO_TYPE, SOCK_STREAM},     {datagram, SOL_SOCKET, SO_TYPE, SOCK_DGRAM},
        {listening, SOL_SOCKET, SO_ACCEPTCONN, 1},      {stream, SOL_SOCKET, SO_ACCEPTCONN, 0},
        {stream, SOL_SOCKET, SO_KEEPALIVE, 1},          {datagram, SOL_SOCKET, SO_KEEPALIVE, 0},
        {stream, IPPROTO_TCP, TCP_NODELAY, 1},          {stream, SOL_SOCKET, SO_ERROR, 0},
        {stream, SOL_SOCKET, SO_RCVBUF, -1},            {stream, SOL_SOCKET, SO_SNDBUF, -1},
        {stream, SOL_SOCKET, SO_LINGER, MAKELONG(1, 7)}, {datagram, SOL_SOCKET, SO_LINGER, 0},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(testing::Message() << "level " << test.Level << " option " << test.Name);
        int value = -99, length = sizeof value;
        ASSERT_EQ(getsockopt(test.Socket, test.Level, test.Name, reinterpret_cast<char*>(&value), &length), 0);
        EXPECT_EQ(length, 4);
        if (test.Expected < 0)
            EXPECT_GT(value, 0);
        else
            EXPECT_EQ(value, test.Expected);
    }
    int value, length = 2;
    EXPECT_EQ(getsockopt(stream, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&value), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    length = sizeof value;
    EXPECT_EQ(getsockopt(stream, SOL_SOCKET, 0x7777, reinterpret_cast<char*>(&value), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    closesocket(stream);
    closesocket(datagram);
    closesocket(listening);
}

TEST_F(WinsockStream, SendAfterShutdownOfTheSendingSideIs10058) {
    SOCKET client, server;
    Pair(&client, &server);
    ASSERT_EQ(shutdown(client, SD_SEND), 0);
    EXPECT_EQ(SendText(client, "late"), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
    EXPECT_EQ(SendText(server, "still open"), 10);  // the other direction is
    EXPECT_EQ(ReceiveText(client, 10), "still open");
    closesocket(client);
    closesocket(server);
}

// The peer reads nothing, so a lingering close would wait for its whole time-out.
TEST_F(WinsockStream, LingeringCloseReturnsAtOnceAndFinishesInTheBackground) {
    SOCKET client, server;
    Pair(&client, &server);
    ULONG on = 1;
    ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
    const std::string chunk(65536, 'l');
    for (int i = 0; i < 1000 && SendText(client, chunk) != SOCKET_ERROR; ++i) {
    }
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    const linger lingering{1, 30};
    ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingering), sizeof lingering), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(closesocket(client), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // The bytes still go out after the close.
    EXPECT_GT(ReceiveText(server, 4 * chunk.size()).size(), chunk.size());
    closesocket(server);
}

// socket() and accept() on another thread while the last WSACleanup runs, at varying moments:
// whatever they returned before or while it ran is gone after it.
TEST_F(WinsockStream, NoSocketOutlivesTheLastCleanupThatRacesItsCreation) {
    int survivors = 0;
    for (int round = 0; round < 300; ++round) {
        USHORT port = 0;
        const SOCKET listening = Listener(&port);
        ULONG on = 1;
        ioctlsocket(listening, FIONBIO, &on);
        std::vector<int> peers;
        for (int i = 0; i < 4; ++i) peers.push_back(PosixPeer::Connect(port));
        std::vector<SOCKET> made;
        std::atomic<int> calls{0};
        std::thread maker([&] {
            for (int i = 0;; ++i, ++calls) {
                const SOCKET s = i % 2 ? accept(listening, nullptr, nullptr) : socket(AF_INET, SOCK_STREAM, 0);
                if (s != INVALID_SOCKET) made.push_back(s);
                else if (WSAGetLastError() == WSANOTINITIALISED) return;
            }
        });
        while (calls < round % 16) std::this_thread::yield();
        EXPECT_EQ(WSACleanup(), 0);
        maker.join();
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
        for (const SOCKET s : made) {
            int type, length = sizeof type;
            if (getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0) ++survivors;
            closesocket(s);
        }
        for (const int fd : peers) PosixPeer::Close(fd);
    }
    EXPECT_EQ(survivors, 0);
}

// Lingering closes to peers whose buffers are full. The caller never waits and no thread is
// made per close; the peer that reads gets everything and the graceful end, the one that does
// not gets a reset once the time is up.
TEST_F(WinsockStream, LingeringClosesShareOneCloserAndEndGracefullyOrWithAReset) {
    auto threads = [] {
        const std::filesystem::directory_iterator tasks("/proc/self/task");
        return std::distance(begin(tasks), end(tasks));
    };
    constexpr int kCloses = 100;
    USHORT port = 0;
    const int listener = PosixPeer::Listener(&port, kCloses);
    PosixPeer::SetOption(listener, PosixPeer::kSoRcvBuf, 4096);
    std::vector<int> peers;
    std::vector<long> sent;
    const auto before = threads();
    for (int i = 0; i < kCloses; ++i) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        const int small = 4096;
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
        const sockaddr_in address = Loopback(port);
        ASSERT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        peers.push_back(PosixPeer::Accept(listener));
        ULONG on = 1;
        ioctlsocket(s, FIONBIO, &on);
        sent.push_back(SendUntilWouldBlock(s));
        const linger lingering{1, static_cast<USHORT>(i % 2 ? 1 : 60)};
        setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingering), sizeof lingering);
        EXPECT_EQ(closesocket(s), 0);
    }
    // The closer, and room for a thread of the runtime's own (a sanitizer's).
    EXPECT_LE(threads(), before + 3) << "a thread per lingering close";
    const auto watchdog = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int i = 0; i < kCloses; ++i) {
        SCOPED_TRACE(i % 2 ? "unread until reset" : "read");
        if (i % 2) {
            pollfd reset{peers[i], POLLERR, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(watchdog - std::chrono::steady_clock::now());
            EXPECT_EQ(::poll(&reset, 1, static_cast<int>(std::max<long>(0, left.count()))), 1)
                << "no reset when the linger time ran out";
        } else {
            EXPECT_EQ(static_cast<long>(PosixPeer::ReadExactly(peers[i], sent[i]).size()), sent[i]);
        }
        char buffer[4096];
        long last;
        while ((last = PosixPeer::Read(peers[i], buffer, sizeof buffer)) > 0) {
        }
        EXPECT_EQ(last, i % 2 ? -ECONNRESET : 0);
        PosixPeer::Close(peers[i]);
    }
    PosixPeer::Close(listener);
}

TEST_F(WinsockStream, DatagramsCarryTheirSender) {
    const SOCKET receiver = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const sockaddr_in any = Loopback(0);
    ASSERT_EQ(bind(receiver, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(bind(sender, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    const sockaddr_in to = Loopback(LocalPort(receiver));
    ASSERT_EQ(sendto(sender, "ping", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 4);
    char buffer[16];
    sockaddr_in from{};
    int length = sizeof from;
    ASSERT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    EXPECT_EQ(ntohs(from.sin_port), LocalPort(sender));
    // A datagram longer than the buffer fills it and fails; the rest is gone.
    ASSERT_EQ(sendto(sender, "0123456789", 10, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 10);
    ASSERT_EQ(sendto(sender, "next", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 4);
    EXPECT_EQ(recv(receiver, buffer, 4, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");
    EXPECT_EQ(listen(receiver, 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    closesocket(receiver);
    closesocket(sender);
}

}  // namespace
