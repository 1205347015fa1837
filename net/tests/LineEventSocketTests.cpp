// Line mode against loopback peers: lines cut at their end however the bytes arrive, a handler
// taking a line piecemeal, the limit, the mode switched mid-line, the close with bytes held,
// editing and echo, SendTextLine; handlers that close, change LineEnd, throw or pump inside a
// delivery; and the waits.

#include <stdexcept>

#include "EventSocketFixture.h"
#include "SocksTestSupport.h"

namespace {

class LineTest : public TEventSocketFixture {
protected:
    void SetUp() override {
        Socket->OnSessionClosed = [this](TObject*, WORD) { Log.push_back("closed"); };
    }
    // Line mode on a connection of a peer of the test; each delivery's text into Lines.
    int Start(const std::string& lineEnd = "\r\n") {
        Socket->LineEnd = lineEnd;
        Socket->SetLineMode(true);
        Socket->OnDataAvailable = [this](TObject*, WORD) {
            Counts.push_back(Socket->RcvdCount());
            Lines.push_back(Socket->ReceiveText());
        };
        return Adopt(Socket);
    }
    void Send(int peer, const std::string& data) { ASSERT_EQ(PosixPeer::Write(peer, data), static_cast<long>(data.size())); }
    bool WaitLines(std::size_t count) {
        return PumpUntil([&] { return Lines.size() >= count; });
    }

    Strings Lines;
    std::vector<int> Counts;
};

TEST_F(LineTest, LinesAreCutAtTheirEndHoweverTheBytesArrive) {
    const struct {
        const char* Name;
        std::string LineEnd;
        Strings Writes;
        Strings Lines;
        int Held;
    } cases[] = {
        {"two lines in one read", "\r\n", {"ab\r\ncd\r\nef"}, {"ab\r\n", "cd\r\n"}, 2},
        {"CR and LF apart", "\r\n", {"xy\r", "\n"}, {"xy\r\n"}, 0},
        {"an end of three bytes", "<=>", {"a<", "=", ">b<=>"}, {"a<=>", "b<=>"}, 0},
        {"no line end: plain", "", {"raw"}, {"raw"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Lines.clear();
        const int peer = Start(c.LineEnd);
        for (const std::string& write : c.Writes) {
            Send(peer, write);
            PumpFor(30);
        }
        EXPECT_TRUE(WaitLines(c.Lines.size()));
        PumpFor(20);
        EXPECT_EQ(Lines, c.Lines);
        EXPECT_EQ(Socket->LineHeld(), c.Held);
        Socket->OnDataAvailable = nullptr;
        Socket->Disconnect();
    }
}

TEST_F(LineTest, AHandlerMayTakeALineByteByByte) {
    const int peer = Start();
    std::string taken;
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        Counts.push_back(Socket->RcvdCount());
        char byte;
        char nothing[1];
        EXPECT_EQ(Socket->ReceiveBytes(nothing, -5), 0);  // a negative size takes nothing
        if (Socket->ReceiveBytes(&byte, 1) == 1) taken += byte;
    };
    Send(peer, "abc\r\n");
    ASSERT_TRUE(PumpUntil([&] { return taken.size() == 5; }));
    EXPECT_EQ(taken, "abc\r\n");
    EXPECT_EQ(Counts, (std::vector<int>{5, 4, 3, 2, 1}));
}

TEST_F(LineTest, TheLimitDiscardsOrKeepsAsTheHandlerSays) {
    const struct {
        int Limit;
        bool Clear;
        std::vector<int> Events;  // RcvdLength of each limit event
        int Held;
        int HeldFirst;  // after the first piece
    } cases[] = {{10, true, {11}, 1, 0}, {10, false, {11, 12}, 12, 11}, {0, true, {}, 12, 11}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Limit);
        std::vector<int> events;
        Socket->LineLimit = c.Limit;
        Socket->OnLineLimitExceeded = [&](TObject*, int length, bool& clear) {
            events.push_back(length);
            EXPECT_TRUE(clear);
            clear = c.Clear;
        };
        const int peer = Start();
        // Each piece is taken whole before the next is sent, however late the loopback delivers.
        Send(peer, std::string(11, 'x'));
        ASSERT_TRUE(PumpUntil([&] { return Socket->LineHeld() == c.HeldFirst && events.size() == (c.Limit ? 1u : 0u); }));
        Send(peer, "y");
        ASSERT_TRUE(PumpUntil([&] { return Socket->LineHeld() == c.Held; }));
        EXPECT_EQ(events, c.Events);
        EXPECT_EQ(Socket->LineHeld(), c.Held);
        EXPECT_TRUE(Lines.empty());
        Socket->OnDataAvailable = nullptr;
        Socket->Disconnect();
    }
}

TEST_F(LineTest, SwitchingTheModeOffMidLineHandsTheRestOverAsPlainData) {
    const int peer = Start();
    std::string plain;
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        if (!Socket->LineMode()) {
            plain += Socket->ReceiveText();
            return;
        }
        char two[2];
        ASSERT_EQ(Socket->ReceiveBytes(two, 2), 2);
        Lines.emplace_back(two, 2);
        Socket->SetLineMode(false);
    };
    Send(peer, "abcd\r\nXY");
    ASSERT_TRUE(PumpUntil([&] { return plain == "cd\r\nXY"; }));
    EXPECT_EQ(Lines, Strings{"ab"});
    EXPECT_EQ(Socket->LineHeld(), 0);
    Send(peer, "more");
    ASSERT_TRUE(PumpUntil([&] { return plain == "cd\r\nXYmore"; }));

    // And on again: the held bytes are searched for lines from their start.
    Socket->OnDataAvailable = [&](TObject*, WORD) { Lines.push_back(Socket->ReceiveText()); };
    Socket->SetLineMode(true);
    Send(peer, "p\r\nq");
    ASSERT_TRUE(WaitLines(2));
    EXPECT_EQ(Lines.back(), "p\r\n");
}

TEST_F(LineTest, HeldBytesAreDeliveredBeforeTheClose) {
    // In line mode as one last line.
    const auto logged = [this](TObject*, WORD) {
        Log.push_back("data " + IntToStr(Socket->RcvdCount()));
        Lines.push_back(Socket->ReceiveText());
    };
    int peer = Start();
    Socket->OnDataAvailable = logged;
    Send(peer, "abc");
    PumpFor(30);
    PosixPeer::Close(peer);
    FPeers.erase(std::find(FPeers.begin(), FPeers.end(), peer));
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    EXPECT_EQ(Log, (Strings{"data 3", "closed"}));
    EXPECT_EQ(Lines, Strings{"abc"});

    // With the mode switched off and the socket closed before the refire came, as plain data.
    Log.clear();
    Lines.clear();
    Socket->SetLineMode(false);
    peer = Start();
    Socket->OnDataAvailable = logged;
    Send(peer, "de");
    ASSERT_TRUE(PumpUntil([&] { return Socket->LineHeld() == 2; }));
    Socket->SetLineMode(false);
    Socket->Disconnect();
    EXPECT_EQ(Log, (Strings{"data 2", "closed"}));
    EXPECT_EQ(Lines, Strings{"de"});
}

TEST_F(LineTest, EditingDeletesAndExpandsAndTheEchoShowsIt) {
    const struct {
        const char* Name;
        std::string LineEnd;
        bool Echo;
        std::string Input;
        std::string Line;
        std::string Echoed;
    } cases[] = {
        {"backspace", "\r\n", true, "ab\bc\r\n", "ac\r\n", "ab\b \bc\r\n"},
        {"backspace at the start", "\r\n", true, "\bx\r\n", "x\r\n", "x\r\n"},
        {"tab after 3", "|", false, "abc\t|", "abc     |", ""},
        {"tab after 8", "|", true, "abcdefgh\t|", "abcdefgh        |", "abcdefgh        |"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Lines.clear();
        Socket->LineEdit = true;
        Socket->LineEcho = c.Echo;
        const int peer = Start(c.LineEnd);
        Send(peer, c.Input);
        ASSERT_TRUE(WaitLines(1));
        EXPECT_EQ(Lines, Strings{c.Line});
        if (c.Echo) {
            EXPECT_EQ(ReadWhilePumping(peer, c.Echoed.size()), c.Echoed);
        }
        Socket->Disconnect();
    }
    // Backspaces reach back into bytes held from an earlier read.
    Lines.clear();
    const int peer = Start();
    Send(peer, "abc");
    PumpFor(30);
    Send(peer, "\b\bz\r\n");
    ASSERT_TRUE(WaitLines(1));
    EXPECT_EQ(Lines, Strings{"az\r\n"});
}

TEST_F(LineTest, SendTextLineSendsTheTextAndItsEnd) {
    const int peer = Start();
    EXPECT_EQ(Socket->SendTextLine(""), 0);
    EXPECT_EQ(Socket->SendTextLine("abc"), 5);
    EXPECT_EQ(ReadWhilePumping(peer, 5), "abc\r\n");
    // Without a line end the text still goes at once, not with some later write event.
    PumpFor(20);
    Socket->LineEnd.clear();
    EXPECT_EQ(Socket->SendTextLine("xyz"), 3);
    std::string now;
    char buffer[8];
    SleepUntil([&] {
        const long got = PosixPeer::Read(peer, buffer, sizeof buffer, PosixPeer::kMsgDontWait);
        if (got > 0) now.append(buffer, static_cast<std::size_t>(got));
        return now.size() >= 3;
    });
    EXPECT_EQ(now, "xyz");
}

TEST_F(LineTest, HandlersThatCloseChangeTheEndOrThrowLeaveTheHeldBytesConsistent) {
    // A close inside the first line's delivery: nothing more is delivered, nothing freed is
    // written (the sanitizer builds watch).
    int peer = Start();
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        Lines.push_back(Socket->ReceiveText());
        Socket->Disconnect();
    };
    Send(peer, "ab\r\ncd\r\nef");
    ASSERT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    PumpFor(20);
    EXPECT_EQ(Lines, Strings{"ab\r\n"});
    EXPECT_EQ(Log, Strings{"closed"});

    // LineEnd changed inside a delivery: the matched end is what goes.
    Lines.clear();
    peer = Start();
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        Lines.push_back(Socket->ReceiveText());
        Socket->LineEnd = "\n";
    };
    Send(peer, "ab\r\ncd\r\n");
    ASSERT_TRUE(WaitLines(2));
    PumpFor(20);
    EXPECT_EQ(Lines, (Strings{"ab\r\n", "cd\r\n"}));
    Socket->Disconnect();

    // A handler that throws before taking its line gets it again from the loop.
    Lines.clear();
    peer = Start();
    bool thrown = false;
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("handler failed");
        }
        Lines.push_back(Socket->ReceiveText());
    };
    Send(peer, "ab\r\ncd\r\n");
    ASSERT_TRUE(WaitLines(2));
    EXPECT_TRUE(thrown);
    Send(peer, "ef\r\n");
    ASSERT_TRUE(WaitLines(3));
    EXPECT_EQ(Lines, (Strings{"ab\r\n", "cd\r\n", "ef\r\n"}));
    Socket->Disconnect();

    // A modal loop inside a handler: the bytes that come meanwhile follow as lines of their own.
    Lines.clear();
    peer = Start();
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        Lines.push_back(Socket->ReceiveText());
        if (Lines.size() == 1) {
            PosixPeer::Write(peer, "cd\r\n");
            PumpFor(40);
        }
    };
    Send(peer, "ab\r\n");
    ASSERT_TRUE(WaitLines(2));
    EXPECT_EQ(Lines, (Strings{"ab\r\n", "cd\r\n"}));
    EXPECT_EQ(Socket->LineHeld(), 0);
}

// Held bytes keep their place in the stream: a second read in the same call goes on with
// them, a peek takes none of them, and an adopted connection starts without them (and without
// the negotiation of the connection it replaces).
TEST_F(LineTest, HeldBytesKeepTheirPlaceInTheStream) {
    int peer = Start();
    std::string got;
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        got += Socket->ReceiveText();
        if (got != "ab\r\n") return;
        Send(peer, "XY\r\n");  // on the socket before the second read
        ULONG pending = 0;
        SleepUntil([&] { return BoundWinsock::ioctlsocket(Socket->HSocket(), FIONREAD, &pending) == 0 && pending > 0; });
        char more[64];
        const int n = Socket->ReceiveBytes(more, sizeof more);
        if (n > 0) got.append(more, static_cast<std::size_t>(n));
    };
    Send(peer, "ab\r\ncd\r\n");
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= 12; }));
    EXPECT_EQ(got, "ab\r\ncd\r\nXY\r\n");

    Socket->Disconnect();
    peer = Start();
    got.clear();
    Socket->OnDataAvailable = [&](TObject*, WORD) { got += Socket->ReceiveText(); };
    Send(peer, "abcd");
    ASSERT_TRUE(PumpUntil([&] { return Socket->LineHeld() == 4; }));
    Socket->SetLineMode(false);
    char first = 0;
    EXPECT_EQ(Socket->RecvData(&first, 1, MSG_PEEK), 1);
    EXPECT_EQ(first, 'a');
    PosixPeer::ShutdownWrite(peer);
    Socket->DrainUntilClosed();
    EXPECT_EQ(got, "abcd");

    Lines.clear();
    peer = Start();
    Send(peer, "abc");
    ASSERT_TRUE(PumpUntil([&] { return Socket->LineHeld() == 3; }));
    Send(Adopt(Socket), "x\r\n");
    ASSERT_TRUE(WaitLines(1));
    EXPECT_EQ(Lines, Strings{"x\r\n"});
    Socket->Disconnect();
    USHORT proxyPort = 0;
    PeerListener(proxyPort);
    ConnectThrough(*Socket, proxyPort, "5", "target", 80);
    EXPECT_EQ(Socket->SocksPhase(), socksPhaseGreeting);
    Adopt(Socket);
    EXPECT_EQ(Socket->SocksPhase(), socksPhaseNone);
}

TEST_F(LineTest, WithoutAHandlerHeldBytesAreDropped) {
    const int peer = Start();
    Send(peer, "ab\r\ncd");
    ASSERT_TRUE(WaitLines(1));
    EXPECT_EQ(Socket->LineHeld(), 2);
    Socket->OnDataAvailable = nullptr;
    Send(peer, "e\r\nfg");  // the line is dropped, fg stays
    PumpFor(40);
    EXPECT_EQ(Socket->LineHeld(), 2);
    Socket->SetLineMode(false);  // the refire finds no handler for the plain bytes
    PumpFor(40);
    EXPECT_EQ(Socket->LineHeld(), 0);
}

// A session's line state is not the next one's; all its lines come before its end, also
// behind a handler that pumps or waits for that end, and after a pause.
TEST_F(LineTest, HeldLinesGoWithTheirSessionAndOnlyWithIt) {
    enum TEnd { CloseInDelivery, CloseInLimit, PumpWhilePeerCloses, PauseWhileHeld, DrainInLine, WaitInLine };
    const struct { TEnd End; const char* First; Strings Lines; } cases[] = {
        {CloseInDelivery, "ab\r\ncd\r\nef", {"0123456789\r\n", "tail"}},  // of the next session
        {CloseInLimit, "xxxxxxxx", {"0123456789\r\n", "tail"}},
        {PumpWhilePeerCloses, "L1\r\nL2\r\nL3\r\n", {"L1\r\n", "L2\r\n", "L3\r\n"}},
        {PauseWhileHeld, "p\r\nq\r\n", {"p\r\n", "q\r\n"}},
        {DrainInLine, "L1\r\nL2\r\n", {"L1\r\n", "L2\r\n", "closed", "waited 0"}},
        {WaitInLine, "L1\r\nL2\r\n", {"L1\r\n", "L2\r\n", "closed", "waited 0"}}};
    for (const auto& c : cases) {
        TProbeSocket* socket = TProbeSocket::Create(&Owner);
        socket->SetLineMode(true);
        socket->SetWaitTimeout(20000);
        socket->LineLimit = c.End == CloseInLimit ? 4 : 0;
        socket->OnLineLimitExceeded = [&](TObject*, int, bool&) { socket->Disconnect(); };
        Strings lines;
        int offers = 0;
        bool closed = false;
        socket->OnSessionClosed = [&](TObject*, WORD) {
            closed = true;
            if (c.End >= DrainInLine) lines.push_back("closed");
        };
        socket->OnDataAvailable = [&](TObject*, WORD) {
            // The first line stays held, and its read event comes while paused.
            if (c.End == PauseWhileHeld && offers++ == 0) return socket->SuspendEvents();
            lines.push_back(socket->ReceiveText());
            if (lines.back() == "ab\r\n") socket->Disconnect();  // inside the first line's delivery
            if (c.End == PumpWhilePeerCloses) PumpUntil([&] { return socket->CloseEvents > 0; });
            if (c.End >= DrainInLine && lines.size() == 1)  // the end is seen with L2 held behind
                lines.push_back("waited " + IntToStr(c.End == WaitInLine ? socket->WaitUntilSet(closed)
                                                                         : (socket->DrainUntilClosed(), 0)));
        };
        int peer = Adopt(socket);
        Send(peer, c.First);
        if (c.End == PumpWhilePeerCloses || c.End >= DrainInLine) PosixPeer::ShutdownWrite(peer);
        MSG waiting;
        if (c.End == PauseWhileHeld && PumpUntil([&] { return offers > 0 && !PeekMessageA(&waiting, socket->Handle(), 0, 0, PM_NOREMOVE); }))
            socket->ResumeEvents();
        if (c.End <= CloseInLimit && PumpUntil([&] { return socket->State() == wsClosed; })) {
            socket->LineLimit = 0;
            lines.clear();
            peer = Adopt(socket);
            Send(peer, "01234567");  // held past where the first session's delivery ended
            PumpUntil([&] { return socket->LineHeld() == 8; });
            Send(peer, "89\r\ntail");
            PosixPeer::ShutdownWrite(peer);
        }
        EXPECT_TRUE(PumpUntil([&] { return lines.size() >= c.Lines.size(); }));
        EXPECT_EQ(lines, c.Lines) << c.End;
        EXPECT_TRUE(c.End < DrainInLine || socket->State() == wsClosed);
        delete socket;
    }
}

// The waits, with a clock the test sets.
class TWaitSocket final : public TCustomSyncEventSocket {
public:
    static TWaitSocket* Create() {
        auto* socket = new TWaitSocket();
        socket->AfterConstruction();
        return socket;
    }
    ~TWaitSocket() override { DestroySocket(); }
    DWORD ClockStart = 0;
    mutable DWORD Reads = 0;

protected:
    DWORD WaitClock() const override { return ClockStart + Reads++; }

private:
    TWaitSocket() : TCustomSyncEventSocket(nullptr) {}
};

bool terminateRequested = false;

TEST_F(LineTest, WaitsEndWhenTheFlagIsSetOrTheTimeIsUp) {
    // Already set: no message is served. CallAndWait clears it before the call.
    bool flag = true;
    EXPECT_EQ(Socket->WaitUntilSet(flag), 0);
    EXPECT_EQ(Socket->CallAndWait(flag, [&] { EXPECT_FALSE(flag); flag = true; }), 0);

    // Set by an event handler that the wait itself serves.
    const int peer = Start();
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        Lines.push_back(Socket->ReceiveText());
        flag = true;
    };
    EXPECT_EQ(Socket->CallAndWait(flag, [&] { Send(peer, "go\r\n"); }), 0);
    EXPECT_EQ(Lines, Strings{"go\r\n"});

    // The application's terminate request and the socket's quit flag end a wait without a
    // time-out.
    terminateRequested = true;
    SetEventSocketTerminateQuery([] { return terminateRequested; });
    EXPECT_EQ(Socket->CallAndWait(flag, nullptr), 12001);
    SetEventSocketTerminateQuery(nullptr);
    PostQuitMessage(0);
    EXPECT_EQ(Socket->CallAndWait(flag, nullptr), 12001);
    EXPECT_TRUE(Socket->Terminated());

    // A time-out counts elapsed ticks, also across the clock's wrap; a negative one is none.
    std::unique_ptr<TWaitSocket> clocked(TWaitSocket::Create());
    clocked->SetWaitTimeout(-5);
    EXPECT_EQ(clocked->WaitTimeout(), 0);
    clocked->SetWaitTimeout(1000);
    clocked->ClockStart = 0xFFFFFF00u;
    EXPECT_EQ(clocked->CallAndWait(flag, nullptr), 12001);
    EXPECT_GT(clocked->Reads, 1000u);
}

}  // namespace
