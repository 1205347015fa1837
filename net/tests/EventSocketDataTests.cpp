// The socket component's data path: the send queue and its flow control, the receive loop, and
// datagrams, through the test thread's queue and loopback peers.

#include <stdexcept>

#include "EventSocketFixture.h"
#include "cCiaBuffer.h"

namespace {

class EventSocketDataTest : public TEventSocketFixture {};

TEST_F(EventSocketDataTest, TheQueueFillsBlocksOf1460AndASendOfNothingPushesIt) {
    TProbeSocket* socket = TProbeSocket::Create(&Owner);
    int dataSent = 0;
    socket->OnDataSent = [&](TObject*, WORD) { ++dataSent; };
    const int peer = Connected(socket);
    PumpUntil([&] { return dataSent > 0; });  // the platform's first write event
    dataSent = 0;
    const long filled = FillPlatform(socket->HSocket(), peer);

    const std::string data = Pattern(3100, 1);
    EXPECT_EQ(socket->Send(data.data(), 3000), 3000);  // the count queued, not the count sent
    EXPECT_EQ(socket->QueuedBlocks(), std::vector<int>({1460, 1460, 80}));
    EXPECT_EQ(socket->Send(data.data() + 3000, 100), 100);
    EXPECT_EQ(socket->QueuedBlocks(), std::vector<int>({1460, 1460, 180}));
    EXPECT_EQ(dataSent, 0);

    // The peer makes room; nothing of the queue moves until a send or a write event.
    EXPECT_EQ(PosixPeer::ReadExactly(peer, static_cast<std::size_t>(filled)).size(), static_cast<std::size_t>(filled));
    char byte;
    EXPECT_EQ(PosixPeer::Read(peer, &byte, 1, PosixPeer::kMsgDontWait), -EAGAIN);
    EXPECT_EQ(socket->Send(nullptr, 0), 0);
    EXPECT_EQ(ReadWhilePumping(peer, data.size()), data);
    EXPECT_TRUE(PumpUntil([&] { return dataSent > 0; }));
    EXPECT_EQ(socket->QueuedBlocks(), std::vector<int>({0}));  // the last block stays for reuse
    EXPECT_EQ(socket->SendText(""), 0);
    delete socket;
}

// Each case sends total bytes against a slow reader with small buffers; every byte must arrive
// once and in order, whatever the handlers do.
TEST_F(EventSocketDataTest, BackPressureDeliversEveryByteOnceInOrder) {
    constexpr std::size_t total = 1 << 19;
    const std::string data = Pattern(total);
    enum TFeed { AllAtOnce, FromOnDataSent, FromOnSendData };
    const struct {
        const char* Name;
        TFeed Feed;
        int Piece;
    } cases[] = {
        {"one send of everything", AllAtOnce, 0},
        {"pieces from OnDataSent", FromOnDataSent, 7000},
        {"pieces from OnSendData, inside the sending", FromOnSendData, 3333},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TEventSocket* socket = TEventSocket::Create(&Owner);
        std::size_t queued = 0;
        long reported = 0;
        const auto feed = [&] {
            if (queued >= total) return;
            const int piece = static_cast<int>(std::min<std::size_t>(c.Piece, total - queued));
            queued += piece;  // before Send: a nested send continues from here
            socket->Send(data.data() + queued - piece, piece);
        };
        socket->OnSendData = [&](TObject*, int sent) {
            reported += sent;
            if (c.Feed == FromOnSendData) feed();
        };
        bool allSent = false;
        socket->OnDataSent = [&](TObject*, WORD) {
            if (c.Feed == FromOnDataSent) feed();
            allSent = queued >= total;
        };
        socket->LingerOnOff = wsLingerOff;  // graceful: the peer reads to the end
        const int peer = Connected(socket);
        PosixPeer::SetOption(peer, PosixPeer::kSoRcvBuf, 16384);
        const int size = 8192;
        BoundWinsock::setsockopt(socket->HSocket(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
        TPeerReader reader(peer, 1);
        if (c.Feed == AllAtOnce) {
            queued = total;
            EXPECT_EQ(socket->Send(data.data(), static_cast<int>(total)), static_cast<int>(total));
        } else {
            feed();
        }
        EXPECT_TRUE(PumpUntil([&] { return allSent; }, 60000));
        socket->Disconnect();
        long end = -1;
        const std::string got = reader.Finish(&end);
        EXPECT_EQ(got.size(), total);
        EXPECT_TRUE(got == data) << "the stream differs";
        EXPECT_EQ(end, 0);
        EXPECT_EQ(reported, static_cast<long>(total));
        delete socket;
    }
}

// A handler of OnSendData that ends the session inside the sending: the sending stops without
// touching the freed queue, and the session is reported closed once.
TEST_F(EventSocketDataTest, AnOnSendDataHandlerThatEndsTheSessionStopsTheSending) {
    for (const bool abort : {true, false}) {
        SCOPED_TRACE(abort ? "AbortConnection" : "Disconnect");
        TProbeSocket* socket = TProbeSocket::Create(&Owner);
        Record(socket);
        int sendData = 0;
        socket->OnSendData = [&](TObject*, int) {
            ++sendData;
            if (abort)
                socket->AbortConnection();
            else
                socket->Disconnect();
        };
        const int peer = Connected(socket);
        Log.clear();
        const std::string data = Pattern(5000);
        EXPECT_EQ(socket->Send(data.data(), static_cast<int>(data.size())), 5000);
        EXPECT_EQ(sendData, 1);
        EXPECT_EQ(socket->State(), wsClosed);
        PumpFor(30);
        EXPECT_EQ(Log, Strings({"state 5>8", "closed 0"}));  // no OnDataSent for the gone session
        EXPECT_EQ(socket->QueuedBlocks().size(), abort ? 0u : 4u);
        std::string got;
        char buffer[8192];
        long read;
        while ((read = PosixPeer::Read(peer, buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<std::size_t>(read));
        EXPECT_EQ(got, data.substr(0, got.size()));  // a prefix, each byte once
        delete socket;
    }
}

TEST_F(EventSocketDataTest, APeerResetWhileSendingClosesTheSessionOnceWith10054) {
    for (const TSocketLingerOnOff linger : {wsLingerOn, wsLingerOff}) {
        SCOPED_TRACE(linger == wsLingerOn ? "abortive close" : "graceful close");
        TEventSocket* socket = TEventSocket::Create(&Owner);
        Record(socket);
        socket->LingerOnOff = linger;
        const int peer = Connected(socket);
        PumpUntil([&] { return Sent > 0; });
        Log.clear();
        Sent = 0;
        FillPlatform(socket->HSocket(), peer);  // the queue holds bytes when the reset comes
        PosixPeer::Reset(peer);
        const std::string data = Pattern(20000);
        // Until the platform has seen the reset, sends are queued; then the send path ends the
        // session.
        SleepUntil([&] {
            if (socket->State() != wsConnected) return true;
            EXPECT_EQ(socket->Send(data.data(), 1000), 1000);
            return false;
        });
        EXPECT_EQ(socket->State(), wsClosed);
        PumpFor(50);
        EXPECT_EQ(Log, Strings({"state 5>8", "closed 10054"}));
        EXPECT_EQ(Sent, 0);  // no OnDataSent on the closed socket
        EXPECT_EQ(socket->HSocket(), INVALID_SOCKET);
        delete socket;
    }
}

TEST_F(EventSocketDataTest, WithoutAHandlerDataIsDiscardedInPiecesOfAtMost1024) {
    TProbeSocket* socket = TProbeSocket::Create(&Owner);
    const int peer = Adopt(socket);
    ASSERT_EQ(PosixPeer::Write(peer, Pattern(5000)), 5000);
    EXPECT_TRUE(PumpUntil([&] {
        int taken = 0;
        for (int size : socket->ReceiveSizes) taken += size;
        return taken >= 5000 && socket->RcvdCount() == 0;
    }));
    for (int size : socket->ReceiveSizes) EXPECT_EQ(size, 1024);
    EXPECT_EQ(socket->ReadCount(), 0);  // discarded bytes are not counted
    delete socket;
}

TEST_F(EventSocketDataTest, TheReceiveLoopCallsAgainWhileBytesArePendingAndOnlyThen) {
    const struct {
        const char* Name;
        TEventSocketOptions Options;
        int Take;  // bytes the handler takes per call
        int MostCallsOfAnEvent;  // the loop: at least; it calls again for a slice of time
        std::size_t MinEvents;
    } cases[] = {
        {"loop", 0, 100, 2, 1},
        {"no receive loop", wsoNoReceiveLoop, 100, 1, 10},
        // A handler that takes nothing is not called again at once, but from the loop, until
        // it takes the bytes.
        {"handler takes nothing", 0, 0, 1, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TProbeSocket* socket = TProbeSocket::Create(&Owner);
        socket->ComponentOptions = c.Options;
        int received = 0;
        int take = c.Take;
        socket->OnDataAvailable = [&](TObject*, WORD) {
            char buffer[100];
            if (take > 0) received += std::max(socket->ReceiveBytes(buffer, take), 0);
        };
        const int peer = Adopt(socket);
        ASSERT_EQ(PosixPeer::Write(peer, Pattern(1000)), 1000);
        Sleep(20);  // all of it pending before the first event
        PumpUntil([&] { return received >= 1000; }, c.Take > 0 ? 5000 : 100);
        PumpFor(30);
        ASSERT_GE(socket->CallsPerReadEvent.size(), c.MinEvents);
        const int most = *std::max_element(socket->CallsPerReadEvent.begin(), socket->CallsPerReadEvent.end());
        if (c.Options == 0 && c.Take > 0) {
            EXPECT_GE(most, c.MostCallsOfAnEvent);
        } else {
            EXPECT_EQ(most, c.MostCallsOfAnEvent);
        }
        EXPECT_EQ(socket->ReadCount(), received);
        EXPECT_EQ(socket->RcvdCount(), 1000 - received);
        if (c.Take == 0) {
            int offers = 0;
            for (int calls : socket->CallsPerReadEvent) offers += calls;
            EXPECT_GE(offers, 2);  // the declined bytes came back
            take = 100;
            EXPECT_TRUE(PumpUntil([&] { return received == 1000; }));
        }
        delete socket;
    }
}

// A flood: the handler keeps the peer's bytes pending (it has the peer write more whenever
// less than 32 KiB wait), so the socket never runs dry, however late the loopback delivers.
// The thread's other messages are served during the flood, and every byte arrives once, in
// order.
TEST_F(EventSocketDataTest, AFloodLeavesTheThreadItsTurnAndLosesNothing) {
    constexpr UINT Ping = WM_USER + 100;  // a message of the thread's own, queued behind
    constexpr std::size_t FloodBytes = 32u << 20;  // the flood ends by itself after this
    const int peer = Adopt(Socket);
    std::size_t written = 0, got = 0;
    bool answered = false, answeredDuringFlood = false, inOrder = true;
    const auto feed = [&] {
        ULONG pending = 0;
        BoundWinsock::ioctlsocket(Socket->HSocket(), FIONREAD, &pending);
        while (!answered && written < FloodBytes && pending < 32768) {
            const long n = PosixPeer::Write(peer, Pattern(4096, written), PosixPeer::kMsgDontWait);
            if (n <= 0) break;
            written += static_cast<std::size_t>(n);
            pending += static_cast<ULONG>(n);
        }
    };
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        if (got == 0) PostThreadMessageA(GetCurrentThreadId(), Ping, 0, 0);
        feed();
        char piece[1024];
        const int n = Socket->ReceiveBytes(piece, sizeof piece);
        if (n <= 0) return;
        inOrder = inOrder && std::string(piece, static_cast<std::size_t>(n)) == Pattern(static_cast<std::size_t>(n), got);
        got += static_cast<std::size_t>(n);
    };
    feed();
    MSG msg;
    while (!answered && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message != Ping) {
            DispatchMessageA(&msg);
            continue;
        }
        answered = true;
        answeredDuringFlood = written < FloodBytes;
    }
    EXPECT_TRUE(answeredDuringFlood) << "the ping waited until the flood of " << written << " bytes had ended";
    EXPECT_TRUE(PumpUntil([&] { return got == written; })) << got << " of " << written;
    EXPECT_TRUE(inOrder);
}

// Sends share the write events that are on their way (10,500 of them do not fill the queue);
// a post that the full queue refuses (CloseLater, ReleaseLater, the line refire) is carried
// out all the same.
TEST_F(EventSocketDataTest, SendsShareTheirWriteEventsAndRefusedPostsAreNotLost) {
    enum TPost { AfterManySends, CloseLater, ReleaseLater, LineRefire };
    for (const TPost post : {AfterManySends, CloseLater, ReleaseLater, LineRefire}) {
        SCOPED_TRACE(post);
        TEventSocket* socket = TEventSocket::Create(&Owner);
        std::string plain;
        socket->OnDataAvailable = [&](TObject*, WORD) { plain += socket->ReceiveText(); };
        socket->SetLineMode(post == LineRefire);
        const int peer = Connected(socket);
        ASSERT_EQ(PosixPeer::Write(peer, "ab"), 2);
        EXPECT_TRUE(PumpUntil([&] { return post == LineRefire ? socket->LineHeld() == 2 : plain == "ab"; }));
        for (int i = 0; i < 10500 && post == AfterManySends; ++i) socket->SendText("x");
        while (post != AfterManySends && PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0)) {
        }
        if (post == ReleaseLater) socket->ReleaseLater();
        else if (post == LineRefire) socket->SetLineMode(false);
        else socket->CloseLater();
        EXPECT_TRUE(PumpUntil([&] {
            return post == ReleaseLater ? Owner.ComponentCount() == 0
                                        : post == LineRefire ? plain == "ab" : socket->State() == wsClosed;
        }));
        if (post != ReleaseLater) delete socket;
    }
}

// Nothing is lost at the queue's edges: a release refused on a socket with no event coming, a
// send of nothing, a handler that replaces itself, a close handler's foreign exception.
TEST_F(EventSocketDataTest, AtTheQueuesEdgesNoEventOrReleaseIsLost) {
    enum TEdge { ReleaseClosed, ReleaseListening, CloseThrows, CloseReleasesAndThrows };
    for (const TEdge edge : {ReleaseClosed, ReleaseListening, CloseThrows, CloseReleasesAndThrows}) {
        TEventSocket* socket = TEventSocket::Create(&Owner);
        int dataSent = 0;
        socket->OnDataSent = [&](TObject*, WORD) { ++dataSent; };
        std::string got, mark(64, 'm');  // a closure too large to be kept in place
        socket->OnDataAvailable = [&, mark](TObject*, WORD) {
            socket->OnDataAvailable = [&](TObject*, WORD) { got += socket->ReceiveText(); };
            got += mark.substr(0, 1) + socket->ReceiveText();
        };
        socket->OnSessionClosed = [&](TObject*, WORD) {
            if (edge == CloseReleasesAndThrows) socket->ReleaseLater();
            PumpUntil([] { return !User32QueueHasMessages(); });
            throw std::runtime_error("close handler failed");
        };
        socket->SetAddr("127.0.0.1");
        socket->SetPort("0");
        if (edge == ReleaseListening) socket->Listen();
        while (edge <= ReleaseListening && PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0)) continue;
        if (edge <= ReleaseListening) socket->ReleaseLater();  // refused by the full queue
        if (edge <= ReleaseListening) continue;
        const int peer = Connected(socket);
        ASSERT_TRUE(PumpUntil([&] { return dataSent > 0; }));  // the platform's first write event
        EXPECT_EQ(socket->Send(nullptr, 0), 0);
        ASSERT_TRUE(PumpUntil([&] { return dataSent > 1; }));
        socket->FlushSendQueue();  // nothing is unsent: at once
        ASSERT_EQ(PosixPeer::Write(peer, "ab"), 2);
        EXPECT_TRUE(PumpUntil([&] { return got == "mab"; }));
        PosixPeer::ShutdownWrite(peer);
        EXPECT_THROW(PumpUntil([] { return false; }), std::runtime_error);
        EXPECT_EQ(PeerEnd(peer), 0) << edge;  // the session has ended
        if (edge == CloseThrows) delete socket;
    }
    EXPECT_TRUE(PumpUntil([&] { return Owner.ComponentCount() == 0; }));
}

// The stored handler runs, with its state: the socket's data event and the buffer's packets.
TEST_F(EventSocketDataTest, HandlersKeepTheirOwnStateFromEventToEvent) {
    TCiaBuffer buffer(nullptr);
    int events = 0, packets = 0;
    Socket->OnDataAvailable = [&, count = 0](TObject*, WORD) mutable {
        EXPECT_EQ(++count, ++events);
        buffer.Commit(Socket->ReceiveBytes(buffer.WritePointer(), buffer.FreeSpace()));
    };
    buffer.OnReceived = [&, count = 0](TObject*) mutable { EXPECT_EQ(buffer.GetPacket() + IntToStr(++count), "x" + IntToStr(++packets)); };
    const int peer = Adopt(Socket);
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(PosixPeer::Write(peer, std::string("\1\0\0\0x", 5)), 5);
        ASSERT_TRUE(PumpUntil([&] { return packets == i; }));
    }
}

TEST_F(EventSocketDataTest, ReceiveTextTakesWhatIsPendingOr255) {
    const int peer = Adopt(Socket);
    EXPECT_EQ(Socket->ReceiveText(), "");  // nothing there: the receive fails
    EXPECT_EQ(Socket->LastError(), WSAEWOULDBLOCK);
    const std::string data = Pattern(600);
    ASSERT_EQ(PosixPeer::Write(peer, data), 600);
    Sleep(20);
    EXPECT_EQ(Socket->ReceiveText(), data);
    EXPECT_EQ(Socket->ReadCount(), 600);
}

// A datagram socket that listens sees each sender's address and answers it; one that connects
// sends from the local port it was given.
TEST_F(EventSocketDataTest, DatagramsCarryTheirSourcePort) {
    Record(Socket);
    std::vector<std::pair<std::string, USHORT>> got;
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        char buffer[100];
        sockaddr_in from{};
        int length = sizeof from;
        const int n = Socket->ReceiveDatagram(buffer, sizeof buffer, from, length);
        if (n < 0) return;
        got.emplace_back(std::string(buffer, static_cast<std::size_t>(n)), BoundWinsock::ntohs(from.sin_port));
        Socket->SendDatagram(from, length, "ack", 3);
    };
    Socket->SetProto("udp");
    Socket->SetAddr("127.0.0.1");
    Socket->SetPort("0");
    Socket->Listen();
    EXPECT_EQ(Log, Strings({"state 8>2", "state 2>7", "state 7>5", "connected 0"}));
    const USHORT port = static_cast<USHORT>(StrToInt(Socket->GetBoundPort()));
    const int peer = PosixPeer::Socket(SOCK_DGRAM);
    FPeers.push_back(peer);
    PosixPeer::Bind(peer, 0);
    ASSERT_EQ(PosixPeer::SendTo(peer, port, "one"), 3);
    EXPECT_TRUE(PumpUntil([&] { return !got.empty(); }));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], std::make_pair(std::string("one"), PosixPeer::PortOf(peer)));
    char answer[10];
    EXPECT_EQ(PosixPeer::Read(peer, answer, sizeof answer), 3);
    EXPECT_EQ(Socket->ReadCount(), 3);

    // The other way: a connected datagram socket from a given local port.
    const SOCKET receiver = BoundWinsock::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = PosixPeer::Loopback(0);
    ASSERT_EQ(BoundWinsock::bind(receiver, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    int length = sizeof address;
    BoundWinsock::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
    TEventSocket* client = TEventSocket::Create(&Owner);
    const USHORT localPort = FreePort();
    client->SetLocalAddr("127.0.0.1");
    client->SetLocalPort(IntToStr(localPort));
    StartConnect(client, BoundWinsock::ntohs(address.sin_port), "udp");
    EXPECT_EQ(client->State(), wsConnected);  // before Connect returned
    EXPECT_EQ(client->SendText("two"), 3);
    sockaddr_in from{};
    length = sizeof from;
    char buffer[10];
    EXPECT_EQ(BoundWinsock::recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length), 3);
    EXPECT_EQ(BoundWinsock::ntohs(from.sin_port), localPort);
    EXPECT_EQ(client->LocalPort(), IntToStr(localPort));
    BoundWinsock::closesocket(receiver);
    delete client;
}

}  // namespace
