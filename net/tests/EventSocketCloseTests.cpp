// Ending sessions as the peer sees them, the waits for the queue and the peer's end, the
// asynchronous lookups and the error texts, through the test thread's queue and loopback peers.

#include "EventSocketFixture.h"

namespace {

class EventSocketCloseTest : public TEventSocketFixture {
protected:
    void RecordLookups(TCustomEventSocket* socket) {
        socket->OnDnsLookupDone = [this, socket](TObject*, WORD code) {
            Log.push_back("lookup " + IntToStr(code) + " " + socket->DnsResult());
            Lines = socket->DnsResultList().Count();
        };
    }
    int Lines = -1;
};

TEST_F(EventSocketCloseTest, ThePeerSeesAGracefulOrAnAbortiveClose) {
    const struct {
        const char* Name;
        TSocketLingerOnOff Linger;
        int Seconds;
        bool Abort;
        bool Graceful;  // the peer reads everything and then the end; else a reset
    } cases[] = {
        {"Disconnect with the default linger", wsLingerOn, 0, false, false},
        {"Disconnect with linger off", wsLingerOff, 0, false, true},
        {"Disconnect lingering 5 s", wsLingerOn, 5, false, true},
        {"Disconnect without a linger setting", wsLingerNoSet, 0, false, true},
        {"AbortConnection with linger off", wsLingerOff, 0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TEventSocket* socket = TEventSocket::Create(&Owner);
        Record(socket);
        socket->LingerOnOff = c.Linger;
        socket->LingerTimeout = c.Seconds;
        const int peer = Connected(socket);
        // More than the platform takes at once: part of it is still queued at the close.
        const long filled = FillPlatform(socket->HSocket(), peer);
        const std::string queued = Pattern(50000, 7);
        EXPECT_EQ(socket->SendText(queued), static_cast<int>(queued.size()));
        TPeerReader reader(peer, 0);
        Log.clear();
        if (c.Abort)
            socket->AbortConnection();
        else
            socket->Disconnect();
        EXPECT_EQ(Log, Strings({"state 5>8", "closed 0"}));
        ExpectClosedDefaults(*socket);
        long end = 1;
        const std::string got = reader.Finish(&end);
        if (c.Graceful) {
            EXPECT_EQ(end, 0);
            EXPECT_EQ(got.size(), static_cast<std::size_t>(filled) + queued.size());
            EXPECT_TRUE(got.substr(static_cast<std::size_t>(filled)) == queued) << "the queue's bytes differ";
        } else {
            // The reset may overtake the data: the peer sees a reset, or the end of what came.
            EXPECT_TRUE(end == -ECONNRESET || end == 0) << end;
            EXPECT_LT(got.size(), static_cast<std::size_t>(filled) + queued.size());
        }
        delete socket;
    }
}

TEST_F(EventSocketCloseTest, AClosedSessionIsReportedOnceAndTheNextOneAgain) {
    // A data handler that closes during the close event's delivery of what is pending.
    Record(Socket);
    bool armed = false;
    int calls = 0;
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        ++calls;
        if (!armed) return;  // leaves the bytes pending
        Received += Socket->ReceiveText();
        Socket->Disconnect();
    };
    int peer = Connected(Socket);
    ASSERT_EQ(PosixPeer::Write(peer, "bye"), 3);
    EXPECT_TRUE(PumpUntil([&] { return calls == 1; }));
    armed = true;
    PostEvent(Socket->HSocket(), FD_CLOSE);
    EXPECT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    PumpFor(20);
    EXPECT_EQ(Closes(), 1);
    EXPECT_EQ(Received, "bye");

    // The next session's close is reported as well.
    Log.clear();
    Socket->OnDataAvailable = nullptr;
    peer = Connected(Socket);
    PosixPeer::Close(peer);
    EXPECT_TRUE(PumpUntil([&] { return Closes() == 1; }));
    EXPECT_EQ(Socket->State(), wsClosed);
}

TEST_F(EventSocketCloseTest, AnOnSessionClosedHandlerThatConnectsAgainKeepsTheNewSession) {
    USHORT port = 0;
    const int listener = PeerListener(port);
    int sessions = 0;
    Socket->OnSessionClosed = [&](TObject*, WORD code) {
        Log.push_back("closed " + IntToStr(code));
        if (++sessions < 3) StartConnect(Socket, port);
    };
    StartConnect(Socket, port);
    for (int session = 1; session <= 3; ++session) {
        SCOPED_TRACE(session);
        PeerAccept(listener);
        EXPECT_TRUE(PumpUntil([&] { return Socket->State() == wsConnected; }));
        Socket->Disconnect();
        EXPECT_EQ(sessions, session);  // each session's close is reported
        EXPECT_EQ(Socket->State(), session < 3 ? wsConnecting : wsClosed);
        EXPECT_EQ(Socket->HSocket() != INVALID_SOCKET, session < 3);
    }
    PumpFor(20);
    EXPECT_EQ(Log, Strings({"closed 0", "closed 0", "closed 0"}));
}

// A handler that releases the socket and then opens a box (a pump) inside the socket's own
// code: the release waits until that code has returned (the sanitizer build watches).
TEST_F(EventSocketCloseTest, AReleaseWhileTheSocketsCodeRunsWaitsUntilItHasReturned) {
    enum TRoad { InFlushSendQueue, InGracefulDisconnect, InDataHandler, InClosedHandler };
    for (const TRoad road : {InFlushSendQueue, InGracefulDisconnect, InDataHandler, InClosedHandler}) {
        SCOPED_TRACE(road);
        TEventSocket* socket = TEventSocket::Create(&Owner);
        int aliveAfterBox = -1;
        const auto releaseAndBox = [&](TObject*, WORD) {
            if (aliveAfterBox >= 0) return;
            socket->ReceiveText();
            socket->ReleaseLater();
            PumpFor(20);
            aliveAfterBox = Owner.ComponentCount();
        };
        (road == InClosedHandler ? socket->OnSessionClosed : socket->OnDataAvailable) = releaseAndBox;
        socket->LingerOnOff = wsLingerOff;
        const int peer = Connected(socket);
        if (road <= InGracefulDisconnect) {
            FillPlatform(socket->HSocket(), peer);
            socket->SendText(Pattern(50000));
        }
        ASSERT_EQ(PosixPeer::Write(peer, "x"), 1);
        TPeerReader reader(peer, 1);
        if (road == InFlushSendQueue) socket->FlushSendQueue();
        if (road == InGracefulDisconnect) socket->Disconnect();
        if (road == InClosedHandler) PosixPeer::ShutdownWrite(peer);
        EXPECT_TRUE(PumpUntil([&] { return aliveAfterBox >= 0; }));
        EXPECT_EQ(aliveAfterBox, 1);
        if (road <= InGracefulDisconnect) {
            EXPECT_EQ(Owner.ComponentCount(), 1);  // the road has returned; now it goes
        }
        EXPECT_TRUE(PumpUntil([&] { return Owner.ComponentCount() == 0; }));
    }
}

// However OnSessionClosed ends, the next session's close is reported.
TEST_F(EventSocketCloseTest, AnOnSessionClosedThatThrowsLeavesTheNextCloseReported) {
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "a refused connect, in the dispatch" : "Disconnect");
        int closes = 0;
        Socket->OnSessionClosed = [&](TObject*, WORD) {
            if (++closes == 1) throw ESocketException("handler failed");
        };
        if (refused) {
            StartConnect(Socket, FreePort());
        } else {
            Connected(Socket);
            EXPECT_EQ(SocketError([&] { Socket->Disconnect(); }), "handler failed");
        }
        EXPECT_TRUE(PumpUntil([&] { return closes == 1 && Socket->State() == wsClosed; }));
        PosixPeer::ShutdownWrite(Connected(Socket));
        EXPECT_TRUE(PumpUntil([&] { return closes == 2; }));
    }
}

// A lookup that has completed, its reply still in the queue, does not stop an abort.
TEST_F(EventSocketCloseTest, AnAbortWhileAFinishedLookupsReplyWaitsStillCloses) {
    for (const bool background : {false, true}) {
        SCOPED_TRACE(background ? "an exception of a handler" : "AbortConnection");
        const int peer = Connected(Socket);
        Socket->DnsLookup("localhost");
        MSG reply;
        for (int i = 0; i < 5000 && !PeekMessageA(&reply, Socket->Handle(), WM_HOST_BY_NAME_REPLY,
                                                  WM_HOST_BY_NAME_REPLY, PM_NOREMOVE); ++i)
            Sleep(1);
        if (background)
            SendMessageA(Socket->Handle(), WM_TEST_EXCEPTION, 0, 0);
        else
            EXPECT_EQ(SocketError([&] { Socket->AbortConnection(); }), "");
        EXPECT_EQ(Socket->State(), wsClosed);
        EXPECT_LE(PeerEnd(peer), 0);
        PumpFor(20);  // the late reply is ignored
    }
}

TEST_F(EventSocketCloseTest, FlushSendQueueReturnsWhenAllIsSentOrSendingFails) {
    TEventSocket* socket = TEventSocket::Create(&Owner);
    const int peer = Connected(socket);
    const long filled = FillPlatform(socket->HSocket(), peer);
    const std::string data = Pattern(100000, 3);
    socket->SendText(data);
    TPeerReader reader(peer, 0);
    socket->FlushSendQueue();
    socket->LingerOnOff = wsLingerOff;
    socket->ShutdownSocket(SD_SEND);
    EXPECT_EQ(reader.Finish().size(), static_cast<std::size_t>(filled) + data.size());

    // A lasting error of sending is reported once per attempt and ends the wait.
    int errors = 0;
    socket->OnError = [&](TObject*) { ++errors; };
    EXPECT_EQ(socket->SendText("after the shutdown"), 18);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(socket->LastError(), WSAESHUTDOWN);
    socket->FlushSendQueue();
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(socket->State(), wsConnected);
    delete socket;
}

TEST_F(EventSocketCloseTest, DrainUntilClosedDeliversEverythingUpToThePeersEnd) {
    Record(Socket);
    const int peer = Connected(Socket);
    const std::string data = Pattern(30000);
    ASSERT_EQ(PosixPeer::Write(peer, data), static_cast<long>(data.size()));
    PosixPeer::ShutdownWrite(peer);
    Socket->DrainUntilClosed();
    EXPECT_EQ(Received, data);
    PumpUntil([&] { return Socket->State() == wsClosed; });
    EXPECT_EQ(Closes(), 1);
}

TEST_F(EventSocketCloseTest, CloseLaterClosesFromTheLoop) {
    Record(Socket);
    Connected(Socket);
    Log.clear();
    Socket->CloseLater();
    EXPECT_EQ(Socket->State(), wsConnected);
    EXPECT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    EXPECT_EQ(Log, Strings({"state 5>8", "closed 0"}));
    Socket->Disconnect();  // closed already: nothing
    EXPECT_EQ(Closes(), 1);
}

TEST_F(EventSocketCloseTest, AResetReportFiresOnSessionClosedEveryTimeAndKeepsTheAssignments) {
    Record(Socket);
    int errors = 0;
    Socket->OnError = [&](TObject*) { ++errors; };
    const int peer = Connected(Socket);
    Log.clear();
    for (const int code : {WSAECONNRESET, WSAENOTCONN}) {
        Socket->EnterState(wsConnected);
        BoundWinsock::WSASetLastError(code);
        Socket->ReportSocketError("test");
        EXPECT_EQ(Socket->LastError(), code);
    }
    EXPECT_EQ(Log, Strings({"closed 10054", "state 5>8", "state 8>5", "closed 10057", "state 5>8"}));
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(Socket->HSocket(), INVALID_SOCKET);
    Socket->SetPort(Socket->Port());  // still assigned: the same text is no change
    EXPECT_EQ(SocketError([&] { Socket->Connect(); }), "");
    const long end = PeerEnd(peer);
    EXPECT_TRUE(end == 0 || end == -ECONNRESET) << end;
}

TEST_F(EventSocketCloseTest, DupDropsTheQueueOfTheOldSession) {
    TProbeSocket* socket = TProbeSocket::Create(&Owner);
    const int oldPeer = Connected(socket);
    FillPlatform(socket->HSocket(), oldPeer);
    socket->SendText("for the old peer only");
    EXPECT_FALSE(socket->QueuedBlocks().empty());
    const int newPeer = Adopt(socket);
    EXPECT_TRUE(socket->QueuedBlocks().empty());
    PumpFor(30);
    char byte;
    EXPECT_EQ(PosixPeer::Read(newPeer, &byte, 1, PosixPeer::kMsgDontWait), -EAGAIN);
    EXPECT_EQ(socket->SendText("new"), 3);
    EXPECT_EQ(PosixPeer::ReadExactly(newPeer, 3), "new");
    delete socket;
}

TEST_F(EventSocketCloseTest, LookupsOfNamesAndAddresses) {
    RecordLookups(Socket);
    // The dotted shortcut answers before returning, in the normal form.
    Socket->DnsLookup("127.000.000.001");
    EXPECT_EQ(Log, Strings({"lookup 0 127.0.0.1"}));
    EXPECT_EQ(Lines, 1);
    Log.clear();
    Socket->DnsLookup("localhost");
    EXPECT_EQ(Log, Strings());  // from the loop only
    EXPECT_TRUE(PumpUntil([&] { return !Log.empty(); }));
    EXPECT_EQ(Log, Strings({"lookup 0 127.0.0.1"}));
    EXPECT_GE(Lines, 1);

    // A second lookup supersedes the first without an event for it.
    Log.clear();
    Socket->DnsLookup("localhost");
    Socket->DnsLookup("localhost");
    EXPECT_TRUE(PumpUntil([&] { return !Log.empty(); }));
    PumpFor(100);
    EXPECT_EQ(Log, Strings({"lookup 0 127.0.0.1"}));

    // Cancelling: nothing without a lookup; 10004 for a running one (one that has finished
    // already cannot be cancelled, and says so).
    Log.clear();
    Socket->CancelLookup();
    EXPECT_EQ(Log, Strings());
    int notCancelled = 0;
    Socket->OnError = [&](TObject*) { ++notCancelled; };
    bool cancelled = false;
    for (int attempt = 0; attempt < 50 && !cancelled; ++attempt) {
        Log.clear();
        Socket->DnsLookup("localhost");
        Socket->CancelLookup();
        cancelled = Log == Strings({"lookup 10004 "});
        PumpFor(20);
    }
    EXPECT_TRUE(cancelled) << notCancelled;
    EXPECT_EQ(Log, Strings({"lookup 10004 "}));  // and no reply after it
    Socket->OnError = nullptr;

    Log.clear();
    Socket->ReverseDnsLookup("127.0.0.1");
    EXPECT_TRUE(PumpUntil([&] { return !Log.empty(); }));
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(Log[0].rfind("lookup 0 ", 0), 0u) << Log[0];
    EXPECT_EQ(Socket->DnsResultList().Count(), 1);
    EXPECT_FALSE(Socket->DnsResult().empty());

    // Invalid names raise, or with OnError assigned are answered with 10022.
    EXPECT_EQ(SocketError([&] { Socket->DnsLookup(""); }), "DNS lookup: invalid host name.");
    EXPECT_EQ(SocketError([&] { Socket->ReverseDnsLookup(std::string(257, '1')); }),
              "ReverseDnsLookup: Invalid host name.");
    Socket->OnError = [](TObject*) {};
    Log.clear();
    Socket->DnsLookup("");
    Socket->ReverseDnsLookup("");
    ASSERT_EQ(Log.size(), 2u);  // the results of the last lookup stay
    for (const std::string& entry : Log) EXPECT_EQ(entry.rfind("lookup 10022 ", 0), 0u) << entry;
    Log.clear();
    Socket->ReverseDnsLookup(std::string(256, '1'));  // accepted: the answer comes from the loop
    EXPECT_EQ(Log, Strings());
    EXPECT_TRUE(PumpUntil([&] { return !Log.empty(); }));
}

TEST_F(EventSocketCloseTest, TimevalsAndErrorTexts) {
    const struct {
        timeval A;
        timeval B;
        bool IsSetA;
        bool Equal;
    } cases[] = {
        {{0, 0}, {0, 0}, false, true},
        {{1, 0}, {1, 0}, true, true},
        {{0, 5}, {0, 6}, true, false},
        {{2, 5}, {3, 5}, true, false},
    };
    for (auto c : cases) {
        EXPECT_EQ(Socket->TimevalIsSet(c.A), c.IsSetA);
        EXPECT_EQ(Socket->TimevalCompare(c.A, c.B, true), c.Equal);
        EXPECT_EQ(Socket->TimevalCompare(c.A, c.B, false), !c.Equal);
        Socket->TimevalClear(c.A);
        EXPECT_FALSE(Socket->TimevalIsSet(c.A));
    }
    int known = 0;
    for (int code = -1; code < 12000; ++code) known += WinsockErrorText(code) != "Not a WinSock error";
    EXPECT_EQ(known, 51);
    BoundWinsock::WSASetLastError(WSAECONNREFUSED);
    EXPECT_EQ(SocketError([&] { Socket->ReportSocketError("Connect"); }),
              "Error 10061 in function Connect\r\nConnection refused");
}

}  // namespace
