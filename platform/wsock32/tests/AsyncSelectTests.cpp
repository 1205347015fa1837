// WSAAsyncSelect through a real message queue: a hidden window on the test thread, pumped as
// a program's message loop does, with loopback peers on plain system sockets.

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "PosixPeer.h"
#include "WaitUntil.h"
#include "WinsockTestSupport.h"
#include "user32.h"

namespace {

namespace peer = PosixPeer;
using Clock = std::chrono::steady_clock;

constexpr UINT kSocketMessage = WM_USER + 1;
constexpr UINT kMarkerMessage = WM_USER + 50;
// What the socket component selects for a connect.
constexpr LONG kConnectMask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
constexpr char kClassName[] = "AsyncSelectTestWindow";

struct TNote {
    WORD Event;
    WORD Error;
    bool operator==(const TNote&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TNote& note) {
    return out << "{event " << note.Event << ", error " << note.Error << "}";
}

class AsyncSelectTest;
AsyncSelectTest* gRunning = nullptr;

class AsyncSelectTest : public WinsockTest {
protected:
    void SetUp() override {
        WinsockTest::SetUp();
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = Instance();
        windowClass.lpszClassName = kClassName;
        WNDCLASSA known;
        if (!GetClassInfoA(Instance(), kClassName, &known)) RegisterClassA(&windowClass);
        Window = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 Instance(), nullptr);
        ASSERT_NE(Window, nullptr);
        gRunning = this;
    }

    void TearDown() override {
        gRunning = nullptr;
        DestroyWindow(Window);
        WinsockTest::TearDown();
    }

    static HINSTANCE Instance() { return reinterpret_cast<HINSTANCE>(0x7100); }

    static LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (gRunning && message == kSocketMessage) {
            gRunning->Heard(static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
            return 0;
        }
        if (gRunning && message == kMarkerMessage) {
            gRunning->MarkerSeen = true;
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    void Heard(SOCKET s, WORD event, WORD error) {
        if (MarkerSeen) ++HeardAfterMarker[s];
        Notes[s].push_back({event, error});
        ++Totals[event];
        if (OnEvent) OnEvent(s, event, error);
    }

    // Dispatches the thread's messages until done() holds; false after the time-out.
    bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageA(&msg);
                if (done()) return true;
            }
            if (done()) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd wake{User32QueueWakeDescriptor(), POLLIN, 0};
            ::poll(&wake, 1, static_cast<int>(std::min<long long>(left, 50)));
        }
    }

    // Long enough for a message that should not come to come.
    void Settle(int ms = 150) { PumpUntil([] { return false; }, ms); }

    int Count(SOCKET s, WORD event) {
        return static_cast<int>(std::count_if(Notes[s].begin(), Notes[s].end(),
                                              [event](const TNote& note) { return note.Event == event; }));
    }

    std::vector<WORD> Events(SOCKET s) {
        std::vector<WORD> events;
        for (const TNote& note : Notes[s]) events.push_back(note.Event);
        return events;
    }

    bool Select(SOCKET s, LONG mask) { return WSAAsyncSelect(s, Window, kSocketMessage, mask) == 0; }

    // A registered stream socket whose connect is under way.
    SOCKET ConnectTo(USHORT port) { return ConnectTo(Loopback(port)); }
    SOCKET ConnectTo(const sockaddr_in& address) {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_TRUE(Select(s, kConnectMask));
        EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        return s;
    }

    // A registered socket connected to a peer, after its FD_WRITE; the peer's end in *peerFd.
    SOCKET ConnectedPair(int* peerFd) {
        USHORT port = 0;
        const int listener = peer::Listener(&port);
        const SOCKET s = ConnectTo(port);
        *peerFd = peer::Accept(listener);
        peer::Close(listener);
        EXPECT_TRUE(PumpUntil([&] { return Count(s, FD_WRITE) == 1; }));
        return s;
    }

    static void RaiseFileLimit(rlim_t files) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur >= files) return;
        limit.rlim_cur = std::min(limit.rlim_max, files);
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    // Fills the window's queue to its limit; false when it has none.
    bool FillQueue() {
        int posted = 0;
        while (posted < 20000 && PostMessageA(Window, WM_USER + 60, 0, 0)) ++posted;
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
        return posted < 20000;
    }

    HWND Window = nullptr;
    std::map<SOCKET, std::vector<TNote>> Notes;
    std::map<WORD, int> Totals;
    std::map<SOCKET, int> HeardAfterMarker;
    bool MarkerSeen = false;
    // Runs inside the dispatch of each socket message, as a component's handler does.
    std::function<void(SOCKET, WORD, WORD)> OnEvent;
};

// No thread but the caller runs or waits to run: none spins.
bool OthersAsleep() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string stat(std::istreambuf_iterator<char>(std::ifstream(task.path() / "stat").rdbuf()), {});
        if (stat[stat.rfind(')') + 2] == 'R' && task.path().filename() != std::to_string(gettid())) return false;
    }
    return true;
}

std::string Receive(SOCKET s, int size, int flags = 0) {
    std::string data(static_cast<std::size_t>(size), '\0');
    const int got = recv(s, data.data(), size, flags);
    return got > 0 ? data.substr(0, static_cast<std::size_t>(got)) : std::string();
}

TEST_F(AsyncSelectTest, ConnectIsReportedOnceAndFirstWithItsError) {
    struct TCase {
        const char* Name;
        bool PeerListens;
        bool SelectFirst;  // else a blocking connect ends before the registration
        bool Broadcast;    // a stream to the broadcast address fails inside connect
        std::vector<TNote> Expected;
    };
    const TCase cases[] = {
        {"accepted", true, true, false, {{FD_CONNECT, 0}, {FD_WRITE, 0}}},
        {"refused", false, true, false, {{FD_CONNECT, WSAECONNREFUSED}}},
        {"failed at once", false, true, true, {{FD_CONNECT, WSAENETUNREACH}}},
        {"completed before the registration", true, false, false, {{FD_CONNECT, 0}, {FD_WRITE, 0}}},
        {"failed before the registration", false, false, false, {}},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        USHORT port = 0;
        int listener = peer::Listener(&port);
        if (!test.PeerListens) {
            peer::Close(listener);
            listener = -1;
        }
        SOCKET s;
        if (test.Broadcast) {
            sockaddr_in broadcast = Loopback(port);
            broadcast.sin_addr.s_addr = INADDR_BROADCAST;
            s = ConnectTo(broadcast);
        } else if (test.SelectFirst) {
            s = ConnectTo(port);
        } else {
            s = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in address = Loopback(port);
            EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0, test.PeerListens);
            ASSERT_TRUE(Select(s, kConnectMask));
        }
        PumpUntil([&] { return Notes[s].size() >= test.Expected.size(); });
        Settle();
        EXPECT_EQ(Notes[s], test.Expected);
        closesocket(s);
        peer::Close(listener);
    }
}

// A listener whose accept queue is full drops the attempts, as a firewall or a machine that is
// off does: a notified, a polled and a blocking connect end as on Windows, after about 21 s,
// where the system by itself gives up after two minutes.
TEST_F(AsyncSelectTest, AnUnansweredConnectEndsTimedOutHoweverItIsWaitedFor) {
    USHORT port = 0;
    const int listener = peer::Listener(&port, 0);
    const int queued = peer::Connect(port);  // takes the queue's one place
    const sockaddr_in address = Loopback(port);
    const auto name = reinterpret_cast<const sockaddr*>(&address);
    const SOCKET notified = ConnectTo(port), polled = socket(AF_INET, SOCK_STREAM, 0),
                 blocking = socket(AF_INET, SOCK_STREAM, 0);
    ULONG on = 1;
    ioctlsocket(polled, FIONBIO, &on);
    EXPECT_EQ(connect(polled, name, sizeof address), SOCKET_ERROR);
    std::atomic<int> blockingError{-1};
    std::thread waiting([&] { blockingError = connect(blocking, name, sizeof address) == 0 ? 0 : WSAGetLastError(); });
    EXPECT_TRUE(PumpUntil([&] { return !Notes[notified].empty() && blockingError >= 0; }, 60000));
    closesocket(blocking);  // ends a connect that is still waiting
    waiting.join();
    EXPECT_EQ(Notes[notified], (std::vector<TNote>{{FD_CONNECT, WSAETIMEDOUT}}));
    EXPECT_EQ(blockingError, WSAETIMEDOUT);
    fd_set failed{1, {polled}};
    const timeval patient{10, 0};
    int error = -1, length = sizeof error;
    EXPECT_EQ(select(0, nullptr, nullptr, &failed, &patient), 1);
    EXPECT_EQ(getsockopt(polled, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length), 0);
    EXPECT_EQ(error, WSAETIMEDOUT);
    for (const SOCKET s : {notified, polled}) closesocket(s);
    for (const int fd : {queued, listener}) peer::Close(fd);
}

TEST_F(AsyncSelectTest, ReadIsPostedAgainAfterEachRecvWhileBytesRemain) {
    const std::string message = "split at every byte";
    for (const bool writeBytewise : {false, true}) {
        SCOPED_TRACE(writeBytewise ? "the peer writes byte by byte" : "the peer writes all at once");
        int peerFd;
        const SOCKET s = ConnectedPair(&peerFd);
        std::string received;
        OnEvent = [&](SOCKET from, WORD event, WORD) {
            if (from == s && event == FD_READ) received += Receive(s, 1);
        };
        if (writeBytewise) {
            for (std::size_t i = 0; i < message.size(); ++i) {
                peer::Write(peerFd, message.substr(i, 1));
                ASSERT_TRUE(PumpUntil([&] { return received.size() == i + 1; }));
            }
        } else {
            peer::Write(peerFd, message);
        }
        PumpUntil([&] { return received.size() == message.size(); });
        Settle();
        EXPECT_EQ(received, message);
        // One read event per byte taken: never two outstanding, never one too few.
        EXPECT_EQ(Count(s, FD_READ), static_cast<int>(message.size()));
        for (const TNote& note : Notes[s]) EXPECT_EQ(note.Error, 0);
        closesocket(s);
        peer::Close(peerFd);
    }
}

TEST_F(AsyncSelectTest, CloseComesOnceAfterTheDataWithHowTheConnectionEnded) {
    struct TCase {
        const char* Name;
        bool Reset;
        WORD CloseError;
    };
    for (const TCase& test : {TCase{"graceful", false, 0}, TCase{"reset", true, WSAECONNRESET}}) {
        SCOPED_TRACE(test.Name);
        int peerFd;
        const SOCKET s = ConnectedPair(&peerFd);
        const std::string sent(100, 'd');
        std::string received;
        std::size_t receivedAtClose = 0;
        int recvAfterClose = 1, errorAfterClose = 0;
        OnEvent = [&](SOCKET from, WORD event, WORD) {
            if (from != s) return;
            if (event == FD_READ) received += Receive(s, 7);
            if (event == FD_CLOSE) {
                receivedAtClose = received.size();
                char byte;
                recvAfterClose = recv(s, &byte, 1, 0);
                errorAfterClose = WSAGetLastError();
            }
        };
        peer::Write(peerFd, sent.substr(0, 50));
        peer::Write(peerFd, "u", peer::kMsgOob);  // the bytes past its mark come before FD_CLOSE too
        peer::Write(peerFd, sent.substr(50));
        if (test.Reset) {
            peer::Reset(peerFd);
        } else {
            peer::ShutdownWrite(peerFd);
            peer::Close(peerFd);
        }
        ASSERT_TRUE(PumpUntil([&] { return Count(s, FD_CLOSE) == 1; }));
        Settle();
        EXPECT_EQ(Count(s, FD_CLOSE), 1);
        EXPECT_EQ(Notes[s].back(), (TNote{FD_CLOSE, test.CloseError}));
        EXPECT_EQ(receivedAtClose, sent.size());
        if (test.Reset) {
            EXPECT_EQ(recvAfterClose, SOCKET_ERROR);
            EXPECT_EQ(errorAfterClose, WSAECONNRESET);
        } else {
            EXPECT_EQ(recvAfterClose, 0);
        }
        closesocket(s);
    }
}

TEST_F(AsyncSelectTest, WriteComesBackOnceAfterShortSendsAndWouldBlock) {
    int peerFd;
    USHORT port = 0;
    const int listener = peer::Listener(&port);
    peer::SetOption(listener, peer::kSoRcvBuf, 4096);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small), 0);
    ASSERT_TRUE(Select(s, kConnectMask));
    const sockaddr_in address = Loopback(port);
    connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    peerFd = peer::Accept(listener);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, FD_WRITE) == 1; }));

    const std::string chunk(65536, 'b');  // more than both buffers hold
    long total = 0;
    bool sawShort = false, sawWouldBlock = false;
    for (int i = 0; i < 1000 && !sawWouldBlock; ++i) {
        const int sent = send(s, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (sent == SOCKET_ERROR) {
            EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            sawWouldBlock = true;
        } else {
            sawShort = sawShort || sent < static_cast<int>(chunk.size());
            total += sent;
        }
    }
    EXPECT_TRUE(sawShort);
    EXPECT_TRUE(sawWouldBlock);
    Settle();
    EXPECT_EQ(Count(s, FD_WRITE), 1);  // no room yet

    // The slow reader catches up: room is back, and it is said once.
    EXPECT_EQ(static_cast<long>(peer::ReadExactly(peerFd, static_cast<std::size_t>(total)).size()), total);
    ASSERT_TRUE(PumpUntil([&] { return Count(s, FD_WRITE) == 2; }));
    EXPECT_EQ(send(s, "x", 1, 0), 1);
    EXPECT_EQ(peer::ReadExactly(peerFd, 1), "x");
    Settle();
    EXPECT_EQ(Count(s, FD_WRITE), 2);
    closesocket(s);
    peer::Close(peerFd);
    peer::Close(listener);
}

TEST_F(AsyncSelectTest, ListenerReportsAcceptOnlyAndAcceptedSocketsInheritTheRegistration) {
    USHORT port = 0;
    const SOCKET listening = Listener(&port);
    ASSERT_TRUE(Select(listening, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE));
    const int first = peer::Connect(port), second = peer::Connect(port);
    ASSERT_TRUE(PumpUntil([&] { return Count(listening, FD_ACCEPT) == 1; }));
    Settle();
    EXPECT_EQ(Count(listening, FD_ACCEPT), 1);  // outstanding until accept

    std::vector<SOCKET> accepted;
    accepted.push_back(accept(listening, nullptr, nullptr));
    ASSERT_TRUE(PumpUntil([&] { return Count(listening, FD_ACCEPT) == 2; }));
    accepted.push_back(accept(listening, nullptr, nullptr));
    EXPECT_EQ(accept(listening, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    for (const SOCKET a : accepted) {
        ASSERT_NE(a, INVALID_SOCKET);
        char byte;
        EXPECT_EQ(recv(a, &byte, 1, 0), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        ULONG blocking = 0;
        EXPECT_EQ(ioctlsocket(a, FIONBIO, &blocking), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    }
    peer::Write(first, "1");
    peer::Write(second, "2");
    ASSERT_TRUE(PumpUntil([&] { return Count(accepted[0], FD_READ) == 1 && Count(accepted[1], FD_READ) == 1; }));
    Settle();
    for (const SOCKET a : accepted) EXPECT_EQ(Events(a), (std::vector<WORD>{FD_WRITE, FD_READ}));
    EXPECT_EQ(Events(listening), (std::vector<WORD>{FD_ACCEPT, FD_ACCEPT}));
    for (const SOCKET a : accepted) closesocket(a);
    closesocket(listening);
    peer::Close(first);
    peer::Close(second);
}

TEST_F(AsyncSelectTest, DatagramsGetWriteAtOnceOneReadEachAndNoClose) {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const sockaddr_in local = Loopback(0);
    ASSERT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    ASSERT_TRUE(Select(s, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE));
    ASSERT_TRUE(PumpUntil([&] { return Count(s, FD_WRITE) == 1; }));

    std::vector<std::string> received;
    OnEvent = [&](SOCKET from, WORD event, WORD) {
        if (from != s || event != FD_READ) return;
        char buffer[8];
        const int got = recvfrom(s, buffer, sizeof buffer, 0, nullptr, nullptr);
        received.push_back(got >= 0 ? std::string(buffer, static_cast<std::size_t>(got))
                                    : "error " + std::to_string(WSAGetLastError()));
    };
    const int sender = peer::Socket(SOCK_DGRAM);
    for (const char* datagram : {"one", "two", "longer than eight"}) peer::SendTo(sender, LocalPort(s), datagram);
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 3; }));
    peer::Close(sender);
    Settle();
    EXPECT_EQ(received, (std::vector<std::string>{"one", "two", "error 10040"}));
    EXPECT_EQ(Events(s), (std::vector<WORD>{FD_WRITE, FD_READ, FD_READ, FD_READ}));
    closesocket(s);
}

TEST_F(AsyncSelectTest, NewRegistrationReportsWhatAlreadyHoldsAndMaskZeroStops) {
    struct TCase {
        const char* Name;
        // Brings the socket into its condition with its first registration; returns it.
        std::function<SOCKET(int* peerFd)> Prepare;
        LONG NewMask;
        std::vector<WORD> Expected;  // after the new registration
    };
    const TCase cases[] = {
        {"unread bytes",
         [&](int* peerFd) {
             const SOCKET s = ConnectedPair(peerFd);
             peer::Write(*peerFd, "unread");
             PumpUntil([&] { return Count(s, FD_READ) == 1; });
             return s;
         },
         kConnectMask, {FD_WRITE, FD_READ}},
        {"pending connection",
         [&](int* peerFd) {
             USHORT port = 0;
             const SOCKET s = Listener(&port);
             Select(s, kConnectMask);
             *peerFd = peer::Connect(port);
             PumpUntil([&] { return Count(s, FD_ACCEPT) == 1; });
             return s;
         },
         kConnectMask, {FD_ACCEPT}},
        {"closed by the peer",
         [&](int* peerFd) {
             const SOCKET s = ConnectedPair(peerFd);
             peer::Close(*peerFd);
             *peerFd = -1;
             PumpUntil([&] { return Count(s, FD_CLOSE) == 1; });
             return s;
         },
         // Its FIN ends only our receiving: we may still send.
         kConnectMask, {FD_WRITE, FD_CLOSE}},
        {"mask 0",
         [&](int* peerFd) { return ConnectedPair(peerFd); },
         0, {}},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        int peerFd = -1;
        const SOCKET s = test.Prepare(&peerFd);
        Settle();
        const std::size_t before = Notes[s].size();
        ASSERT_TRUE(Select(s, test.NewMask));
        if (test.NewMask == 0) {
            peer::Write(peerFd, "unheard");
            ULONG blocking = 0;
            EXPECT_EQ(ioctlsocket(s, FIONBIO, &blocking), 0);
        }
        PumpUntil([&] { return Notes[s].size() >= before + test.Expected.size(); });
        Settle();
        const std::vector<WORD> all = Events(s);
        EXPECT_EQ(std::vector<WORD>(all.begin() + static_cast<long>(before), all.end()), test.Expected);
        closesocket(s);
        peer::Close(peerFd);
    }
}

// A full queue refuses the watcher's posts; the events stay outstanding and arrive, in their
// order, once the queue has room again. Meanwhile another thread takes a byte at each
// re-enable: the socket's FD_READ waits once, however often it came.
TEST_F(AsyncSelectTest, PostsThatAFullQueueRefusedArriveLaterInOrder) {
    if (!FillQueue()) GTEST_SKIP() << "this queue takes any number of posts";
    for (const bool selectAgain : {false, true}) {  // registered again before the room came
        if (selectAgain) FillQueue();
        USHORT port = 0;
        const int listener = peer::Listener(&port);
        const SOCKET s = ConnectTo(port);
        const int peerFd = peer::Accept(listener);
        // Once the watcher rests, FD_CONNECT has been refused.
        EXPECT_TRUE(!selectAgain || (WaitUntil(OthersAsleep) && Select(s, kConnectMask)));
        constexpr int kBytes = 20000;
        peer::Write(peerFd, std::string(kBytes, 'r'));
        std::thread reader([&] {
            char byte;
            for (int got = 0; got < kBytes;) got += recv(s, &byte, 1, 0) == 1 ? 1 : 0;
        });
        reader.join();
        peer::Write(peerFd, "x");  // FD_READ is due whatever the watcher saw meanwhile
        ASSERT_TRUE(PumpUntil([&] { return Count(s, FD_READ) > 0; }, 60000));
        Settle();
        EXPECT_EQ(Events(s), (std::vector<WORD>{FD_CONNECT, FD_WRITE, FD_READ})) << selectAgain;
        closesocket(s);
        peer::Close(peerFd);
        peer::Close(listener);
    }
}

TEST_F(AsyncSelectTest, AWindowWithoutAQueueIsRefused) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(WSAAsyncSelect(s, GetDesktopWindow(), kSocketMessage, kConnectMask), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(s);
}

// The ends of either side. The peer's half-close and our shutdown of receiving leave sending
// on, with its FD_WRITE once the peer has read; our own shutdowns post nothing; the end of a
// stream is no FD_READ; the peer's close comes once as FD_CLOSE; then the watcher rests.
TEST_F(AsyncSelectTest, EachEndOfEitherSidePostsOnlyWhatItShould) {
    constexpr int kPeerHalfCloses = -1, kNoShutdown = -2;
    struct TCase {
        const char* Name;
        LONG Mask;
        int How;  // of our shutdown
        std::vector<WORD> Expected;  // after it
    };
    const TCase cases[] = {
        {"the peer's half-close", kConnectMask, kPeerHalfCloses, {FD_CLOSE, FD_WRITE}},
        {"our shutdown of receiving", kConnectMask, SD_RECEIVE, {FD_WRITE, FD_CLOSE}},
        {"our shutdown of sending", kConnectMask, SD_SEND, {FD_READ, FD_CLOSE}},
        {"our shutdown of both", kConnectMask, SD_BOTH, {FD_CLOSE}},
        {"the end of a stream without FD_CLOSE in the mask", FD_READ, kNoShutdown, {FD_READ}},
        {"both directions down, FD_OOB in the mask", FD_READ | FD_OOB | FD_CLOSE, SD_SEND, {FD_READ, FD_CLOSE}},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        int peerFd;
        const SOCKET s = ConnectedPair(&peerFd);
        if (test.Mask != kConnectMask) {
            ASSERT_TRUE(Select(s, test.Mask));
        }
        std::vector<std::string> received;
        OnEvent = [&](SOCKET from, WORD event, WORD) {
            if (from == s && event == FD_READ) received.push_back(Receive(s, 16));
        };
        const std::size_t before = Notes[s].size();
        if (test.How >= 0) {
            ASSERT_EQ(shutdown(s, test.How), 0);
            Settle();
            EXPECT_EQ(Notes[s].size(), before) << "posted by our own shutdown";
        }
        if (test.How == kPeerHalfCloses) {
            peer::ShutdownWrite(peerFd);
            // Else the room and the FIN may come in one report, FD_WRITE first.
            ASSERT_TRUE(PumpUntil([&] { return Count(s, FD_CLOSE) == 1; }));
        }
        if (test.How == kPeerHalfCloses || test.How == SD_RECEIVE) {
            const long sent = SendUntilWouldBlock(s);
            EXPECT_EQ(static_cast<long>(peer::ReadExactly(peerFd, static_cast<std::size_t>(sent)).size()), sent);
        } else {
            peer::Write(peerFd, "last");
        }
        peer::Close(peerFd);
        PumpUntil([&] { return Notes[s].size() >= before + test.Expected.size(); });
        Settle();
        const std::vector<WORD> all = Events(s);
        EXPECT_EQ(std::vector<WORD>(all.begin() + static_cast<long>(before), all.end()), test.Expected);
        for (const std::string& data : received) EXPECT_EQ(data, "last");
        EXPECT_TRUE(WaitUntil(OthersAsleep)) << "the watcher spins";
        if (test.How == SD_RECEIVE) {
            char byte;
            EXPECT_EQ(recv(s, &byte, 1, 0), SOCKET_ERROR);
            EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
        }
        OnEvent = nullptr;
        closesocket(s);
    }
}

TEST_F(AsyncSelectTest, OutOfBandDataIsToldByOobOrInLineByRead) {
    for (const bool inLine : {false, true}) {
        SCOPED_TRACE(inLine ? "in line" : "out of band");
        int peerFd;
        const SOCKET s = ConnectedPair(&peerFd);
        const int option = inLine;
        ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&option), sizeof option), 0);
        ASSERT_TRUE(Select(s, kConnectMask | FD_OOB));
        std::string received;
        OnEvent = [&](SOCKET from, WORD event, WORD) {
            if (from == s && (event == FD_OOB || event == FD_READ)) received += Receive(s, 8, event == FD_OOB ? MSG_OOB : 0);
        };
        peer::Write(peerFd, "u", peer::kMsgOob);
        ASSERT_TRUE(PumpUntil([&] { return received == "u"; }));
        Settle();
        EXPECT_EQ(Events(s), (std::vector<WORD>{FD_CONNECT, FD_WRITE, FD_WRITE, WORD(inLine ? FD_READ : FD_OOB)}));
        closesocket(s);
        peer::Close(peerFd);
    }
}

// The peer writes a byte and closes while other threads take each byte as soon as it is there,
// racing the watcher's look at the end of the stream: FD_CLOSE comes every time. The readers
// outnumber the cores, so that the watcher is often preempted in the middle of its look.
TEST_F(AsyncSelectTest, CloseComesWhenAnotherThreadTakesTheLastByteMeanwhile) {
    constexpr int kRounds = 100, kReaders = 16, kBatch = 8 * kReaders;
    RaiseFileLimit(kRounds * kBatch + 2 * kBatch + 100);
    USHORT port = 0;
    const int listener = peer::Listener(&port, kBatch);
    std::vector<SOCKET> all;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<SOCKET> sockets;
        std::vector<int> peers;
        for (int i = 0; i < kBatch; ++i) {
            sockets.push_back(socket(AF_INET, SOCK_STREAM, 0));
            ASSERT_TRUE(Select(sockets.back(), FD_CONNECT | FD_CLOSE));
            const sockaddr_in address = Loopback(port);
            connect(sockets.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
            peers.push_back(peer::Accept(listener));
        }
        std::vector<std::thread> readers;
        for (int r = 0; r < kReaders; ++r) {
            readers.emplace_back([&, r] {
                char byte;
                for (int i = r; i < kBatch;) i += recv(sockets[i], &byte, 1, 0) == 1 ? kReaders : 0;
            });
        }
        for (const int fd : peers) {
            peer::Write(fd, "b");
            peer::Close(fd);
        }
        for (std::thread& reader : readers) reader.join();
        PumpUntil([] { return false; }, 0);
        all.insert(all.end(), sockets.begin(), sockets.end());
    }
    PumpUntil([&] { return Totals[FD_CLOSE] == kRounds * kBatch; }, 30000);
    const long missing = std::count_if(all.begin(), all.end(), [&](SOCKET s) { return Count(s, FD_CLOSE) != 1; });
    EXPECT_EQ(missing, 0) << "sockets whose FD_CLOSE never came";
    for (const SOCKET s : all) closesocket(s);
    peer::Close(listener);
}

// A peer keeps writing while the socket is closed (or the library cleaned up) at varying
// moments; a marker posted right after shows that nothing for the socket was posted later.
TEST_F(AsyncSelectTest, NothingIsPostedAfterCloseOrTheLastCleanup) {
    for (const bool cleanup : {false, true}) {
        SCOPED_TRACE(cleanup ? "WSACleanup" : "closesocket");
        for (int round = 0; round < 30; ++round) {
            int peerFd;
            const SOCKET s = ConnectedPair(&peerFd);
            OnEvent = [&](SOCKET from, WORD event, WORD) {
                char buffer[4096];
                if (from == s && event == FD_READ) recv(s, buffer, sizeof buffer, 0);
            };
            std::atomic<bool> stop{false};
            std::thread writer([&] {
                while (!stop && peer::Write(peerFd, std::string(512, 'w')) > 0) std::this_thread::yield();
            });
            const auto until = Clock::now() + std::chrono::microseconds(200 * (round % 10));
            PumpUntil([&] { return Clock::now() >= until; });
            if (cleanup) {
                EXPECT_EQ(WSACleanup(), 0);
            } else {
                EXPECT_EQ(closesocket(s), 0);
            }
            MarkerSeen = false;
            PostMessageA(Window, kMarkerMessage, 0, 0);
            PumpUntil([&] { return MarkerSeen; });
            Settle(30);
            EXPECT_EQ(HeardAfterMarker[s], 0);
            stop = true;
            peer::Reset(peerFd);
            writer.join();
            MarkerSeen = false;
            OnEvent = nullptr;
            if (cleanup) {
                WSADATA data;
                ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
            }
        }
    }
}

TEST_F(AsyncSelectTest, TwoThousandSocketsEachGetTheirEvents) {
    constexpr int kSockets = 2000;
    RaiseFileLimit(3 * kSockets);
    USHORT port = 0;
    const int listener = peer::Listener(&port, 4096);
    std::vector<int> peers;
    std::thread acceptor([&] {
        while (peers.size() < kSockets) {
            const int fd = peer::Accept(listener);
            if (fd < 0) break;
            peers.push_back(fd);
        }
    });
    std::vector<SOCKET> sockets;
    for (int i = 0; i < kSockets; ++i) sockets.push_back(ConnectTo(port));
    EXPECT_TRUE(PumpUntil([&] { return Totals[FD_WRITE] == kSockets; }, 60000));
    acceptor.join();
    ASSERT_EQ(peers.size(), static_cast<std::size_t>(kSockets));

    OnEvent = [](SOCKET from, WORD event, WORD) {
        char byte;
        if (event == FD_READ) recv(from, &byte, 1, 0);
    };
    for (const int fd : peers) peer::Write(fd, "r");
    EXPECT_TRUE(PumpUntil([&] { return Totals[FD_READ] == kSockets; }, 60000));
    for (const int fd : peers) peer::Close(fd);
    EXPECT_TRUE(PumpUntil([&] { return Totals[FD_CLOSE] == kSockets; }, 60000));
    Settle();
    const std::vector<TNote> expected{{FD_CONNECT, 0}, {FD_WRITE, 0}, {FD_READ, 0}, {FD_CLOSE, 0}};
    int matching = 0;
    for (const SOCKET s : sockets) matching += Notes[s] == expected ? 1 : 0;
    EXPECT_EQ(matching, kSockets);
    for (const SOCKET s : sockets) closesocket(s);
    peer::Close(listener);
}

}  // namespace
