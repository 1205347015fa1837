// The socket component's life cycle and event dispatch, through a real message queue on the
// test thread and loopback peers on plain system sockets.

#include "EventSocket.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "EventSocketResolve.h"
#include "EventSocketFixture.h"
#include "EventSocketTestSupport.h"
#include "EventSocketWindow.h"
#include "PosixPeer.h"
#include "SysUtils.h"

namespace {

class EventSocketTest : public TEventSocketFixture {};

// ---- life cycle -----------------------------------------------------------------------------

TEST_F(EventSocketTest, NewSocketHasTheClosedDefaultsAndAWindowOfItsOwn) {
    ExpectClosedDefaults(*Socket);
    EXPECT_EQ(Socket->Addr(), "");
    EXPECT_EQ(Socket->Port(), "");
    EXPECT_EQ(Socket->MultiCastIpTTL, 1);
    EXPECT_EQ(Socket->ListenBacklog, 5);
    EXPECT_EQ(Socket->ComponentOptions, 0u);
    EXPECT_EQ(Socket->SendFlags(), wsSendNormal);
    EXPECT_EQ(Socket->ReqVerLow(), 1);
    EXPECT_EQ(Socket->ReqVerHigh(), 1);
    EXPECT_EQ(Socket->LastError(), 0);
    EXPECT_EQ(Socket->DnsResultList().Count(), 0);
    ASSERT_TRUE(IsWindow(Socket->Handle()));
    EXPECT_EQ(GetWindowLongPtrA(Socket->Handle(), 0), reinterpret_cast<LONG_PTR>(Socket));
    WNDCLASSA info{};
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), SocketWindowClassName, &info));
    EXPECT_EQ(info.cbWndExtra, static_cast<int>(sizeof(void*)));
    EXPECT_EQ(SocketInstanceCount(), 1);
    EXPECT_FALSE(WinsockLoaded());  // nothing of the network was needed
}

TEST_F(EventSocketTest, IsCreatedByClassNameAndReadsItsPublishedValues) {
    TComponent* created = CreateComponentByClassName("TEventSocket", &Owner);
    auto* socket = dynamic_cast<TEventSocket*>(created);
    ASSERT_NE(socket, nullptr);
    EXPECT_TRUE(IsWindow(socket->Handle()));
    TPublishedTable table;
    socket->DefinePublished(table);
    const auto set = [&](const char* name, TStreamValue value) {
        const TPublishedTable::TSetter* setter = table.FindProperty(name);
        ASSERT_NE(setter, nullptr) << name;
        (*setter)(value);
    };
    const auto integer = [](std::int64_t v) { TStreamValue s; s.Integer = v; return s; };
    const auto identifier = [](const char* v) {
        TStreamValue s;
        s.Kind = TStreamValue::TKind::Identifier;
        s.Text = v;
        return s;
    };
    TStreamValue options;
    options.Kind = TStreamValue::TKind::Set;
    options.Items = {"wsoNoReceiveLoop", "wsoTcpNoDelay"};
    set("LingerOnOff", identifier("wsLingerNoSet"));
    set("LingerTimeout", integer(7));
    set("FlushTimeout", integer(30));
    set("ReqVerLow", integer(1));
    set("ReqVerHigh", integer(1));
    set("MultiCastIpTTL", integer(4));
    set("ListenBacklog", integer(9));
    set("ComponentOptions", options);
    set("SendFlags", identifier("wsSendUrgent"));
    const auto text = [](const char* v) {
        TStreamValue s;
        s.Kind = TStreamValue::TKind::String;
        s.Text = v;
        return s;
    };
    // What Lokklang's form stores for its socket.
    set("Proto", text(" udp "));
    set("LocalAddr", text(""));
    set("LocalPort", text("0"));
    set("Addr", text("host"));
    set("Port", text("23"));
    set("LineLimit", integer(4096));
    EXPECT_EQ(socket->LingerOnOff, wsLingerNoSet);
    EXPECT_EQ(socket->LingerTimeout, 7);
    EXPECT_EQ(socket->FlushTimeout, 30);
    EXPECT_EQ(socket->MultiCastIpTTL, 4);
    EXPECT_EQ(socket->ListenBacklog, 9);
    EXPECT_EQ(socket->ComponentOptions, static_cast<unsigned>(wsoNoReceiveLoop | wsoTcpNoDelay));
    EXPECT_EQ(socket->SendFlags(), wsSendUrgent);
    EXPECT_EQ(socket->Proto(), "udp");
    EXPECT_EQ(socket->LocalAddr(), "0.0.0.0");
    EXPECT_EQ(socket->LocalPort(), "0");
    EXPECT_EQ(socket->Addr(), "host");
    EXPECT_EQ(socket->Port(), "23");
    EXPECT_EQ(socket->LineLimit, 4096);
    EXPECT_THROW(set("LingerOnOff", identifier("wsLingerMaybe")), EReadError);
    EXPECT_EQ(socket->LingerOnOff, wsLingerNoSet);

    const TDataAvailable handler = [](TObject*, WORD) {};
    for (const char* name : {"OnDataAvailable", "OnSessionClosed", "OnSessionConnected", "OnDataSent",
                             "OnSessionAvailable", "OnDnsLookupDone"}) {
        ASSERT_NE(table.FindEvent(name), nullptr) << name;
        EXPECT_TRUE((*table.FindEvent(name))(std::any(handler))) << name;
    }
    EXPECT_TRUE(socket->OnDataAvailable && socket->OnSessionClosed && socket->OnSessionConnected);
    EXPECT_FALSE((*table.FindEvent("OnChangeState"))(std::any(handler)));  // another signature
    EXPECT_NE(table.FindEvent("OnBgException"), nullptr);
    EXPECT_NE(table.FindEvent("OnError"), nullptr);
    EXPECT_EQ(Owner.ComponentCount(), 1);
    delete socket;
    EXPECT_EQ(Owner.ComponentCount(), 0);
}

TEST_F(EventSocketTest, WindowClassLivesFromTheFirstSocketToTheLast) {
    TEventSocket* second = TEventSocket::Create(&Owner);
    EXPECT_TRUE(ClassRegistered());
    delete Socket;
    Socket = nullptr;
    EXPECT_TRUE(ClassRegistered());
    delete second;
    EXPECT_FALSE(ClassRegistered());

    Socket = TEventSocket::Create(nullptr);  // registered again, and its window works
    EXPECT_TRUE(ClassRegistered());
    std::string seen;
    Socket->OnBgException = [&](TObject* Sender, Exception& E, bool& CanClose) {
        EXPECT_EQ(Sender, Socket);
        seen = E.Message();
        CanClose = false;
    };
    ASSERT_TRUE(PostMessageA(Socket->Handle(), WM_TEST_EXCEPTION, 0, 0));
    EXPECT_TRUE(PumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "Test exception in EventSocket");
}

TEST_F(EventSocketTest, AWindowThatCannotHoldTheSocketFailsTheConstruction) {
    delete Socket;
    Socket = nullptr;
    // A class with room for 4 bytes only, as a 32-bit design would have it.
    WNDCLASSA narrow{};
    narrow.lpfnWndProc = DefWindowProcA;
    narrow.cbWndExtra = 4;
    narrow.hInstance = GetModuleHandleA(nullptr);
    narrow.lpszClassName = SocketWindowClassName;
    ASSERT_NE(RegisterClassA(&narrow), 0);
    EXPECT_EQ(SocketError([&] { Socket = TEventSocket::Create(&Owner); }), "Cannot create a hidden window for TEventSocket");
    EXPECT_EQ(Socket, nullptr);
    EXPECT_EQ(Owner.ComponentCount(), 0);
    EXPECT_EQ(SocketInstanceCount(), 0);
    UnregisterClassA(SocketWindowClassName, GetModuleHandleA(nullptr));
}

TEST_F(EventSocketTest, StatesChangeThroughEnterStateAndResetQuietly) {
    Record(Socket);
    Socket->EnterState(wsClosed);
    Socket->EnterState(wsConnecting);
    Socket->EnterState(wsConnecting);
    EXPECT_EQ(Log, Strings({"state 8>3"}));

    Socket->LingerOnOff = wsLingerOff;
    Socket->LingerTimeout = 9;
    Socket->FlushTimeout = 1;
    Socket->ComponentOptions = wsoTcpNoDelay;
    Socket->MultiThreaded = true;
    Socket->ListenBacklog = 2;
    Socket->ResetDefaults();
    EXPECT_EQ(Log, Strings({"state 8>3"}));  // no event for the reset
    ExpectClosedDefaults(*Socket);
    EXPECT_EQ(Socket->ComponentOptions, static_cast<unsigned>(wsoTcpNoDelay));
    EXPECT_TRUE(Socket->MultiThreaded);
    EXPECT_EQ(Socket->ListenBacklog, 2);
}

TEST_F(EventSocketTest, ErrorsRaiseOrGoToOnError) {
    EXPECT_EQ(SocketError([&] { Socket->ReportError("plain"); }), "plain");
    EXPECT_EQ(SocketError([&] { Socket->ReportErrorFmt("%s: can't start DNS lookup, error #%d", "host", 11001); }),
              "host: can't start DNS lookup, error #11001");
    int fired = 0;
    Socket->OnError = [&](TObject* Sender) {
        EXPECT_EQ(Sender, Socket);
        ++fired;
    };
    EXPECT_EQ(SocketError([&] { Socket->ReportError("plain"); }), "");
    EXPECT_EQ(SocketError([&] { Socket->ReportErrorFmt("%d", 1); }), "");
    EXPECT_EQ(fired, 2);

    const struct {
        int Code;
        const char* Text;
    } texts[] = {{0, "No Error"}, {10010, "Not a WinSock error"}, {10054, "Connection reset by peer"},
                 {10093, "WinSock not initialized"}, {11004, "No Data"}, {-1, "Not a WinSock error"}};
    for (const auto& t : texts) EXPECT_EQ(WinsockErrorText(t.Code), t.Text) << t.Code;
}

TEST_F(EventSocketTest, ExceptionsOfTheDispatchTakeTheBackgroundPath) {
    // A background handler that fails itself changes nothing: the exception stays inside.
    int calls = 0;
    Socket->OnBgException = [&](TObject*, Exception&, bool&) {
        ++calls;
        throw ESocketException("handler failed");
    };
    ASSERT_TRUE(PostMessageA(Socket->Handle(), WM_TEST_EXCEPTION, 0, 0));
    EXPECT_TRUE(PumpUntil([&] { return calls == 1; }));
    Socket->OnBgException = nullptr;
    ASSERT_TRUE(PostMessageA(Socket->Handle(), WM_TEST_EXCEPTION, 0, 0));
    PumpFor(20);
    EXPECT_EQ(Socket->State(), wsClosed);
    // Other messages go to the default procedure.
    EXPECT_EQ(SendMessageA(Socket->Handle(), WM_USER + 99, 1, 2), 0);
}

TEST_F(EventSocketTest, ReleaseLaterFreesTheSocketFromTheLoop) {
    TEventSocket* socket = TEventSocket::Create(&Owner);
    const HWND window = socket->Handle();
    int late = 0;
    socket->OnBgException = [&](TObject*, Exception&, bool&) { ++late; };
    socket->ReleaseLater();
    EXPECT_EQ(Owner.ComponentCount(), 1);  // still there until its message
    ASSERT_TRUE(PostMessageA(window, WM_TEST_EXCEPTION, 0, 0));  // queued behind the release
    EXPECT_TRUE(PumpUntil([&] { return Owner.ComponentCount() == 0; }));
    PumpFor(20);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(late, 0);
}

// ---- dispatch of network events -----------------------------------------------------------------

TEST_F(EventSocketTest, AdoptedConnectionDeliversDataAndSendsFromTheLoop) {
    Record(Socket);
    const int peer = Adopt(Socket);
    EXPECT_EQ(Socket->State(), wsConnected);
    EXPECT_EQ(Log, Strings({"state 8>5"}));  // no connection event for an adopted handle
    ASSERT_EQ(PosixPeer::Write(peer, "hello"), 5);
    EXPECT_TRUE(PumpUntil([&] { return Received == "hello"; }));
    EXPECT_EQ(Socket->ReadCount(), 5);

    EXPECT_TRUE(PumpUntil([&] { return Sent > 0; }));  // the platform's write event
    const int sentBefore = Sent;
    EXPECT_EQ(Socket->SendText("pong"), 4);
    EXPECT_EQ(Sent, sentBefore);  // OnDataSent never fires inside Send
    EXPECT_EQ(PosixPeer::ReadExactly(peer, 4), "pong");
    EXPECT_TRUE(PumpUntil([&] { return Sent > sentBefore; }));
    EXPECT_EQ(Socket->SendText(""), 0);
}

TEST_F(EventSocketTest, APeerThatClosesHasItsDataDeliveredFirstAndTheSessionClosedOnce) {
    Record(Socket);
    std::string beforeClose;
    Socket->OnDataAvailable = [&](TObject*, WORD code) {
        char piece[100];
        const int got = Socket->ReceiveBytes(piece, sizeof piece);  // less than pending each time
        if (got > 0) Received.append(piece, static_cast<std::size_t>(got));
        Log.push_back("data " + IntToStr(code));
    };
    Socket->OnSessionClosed = [&](TObject*, WORD code) {
        Log.push_back("closed " + IntToStr(code));
        beforeClose = Received;
    };
    Socket->ComponentOptions = wsoNoReceiveLoop;
    Socket->LingerOnOff = wsLingerOff;
    Socket->LingerTimeout = 3;
    Socket->FlushTimeout = 5;
    const int peer = Adopt(Socket);
    const std::string data(3000, 'q');
    ASSERT_EQ(PosixPeer::Write(peer, data), 3000);
    PosixPeer::Close(peer);
    EXPECT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    PumpFor(20);
    EXPECT_EQ(beforeClose.size(), data.size());
    int closes = 0;
    for (const std::string& entry : Log) closes += entry.rfind("closed", 0) == 0;
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(Log.back(), "state 5>8");
    // The close restored the defaults; the options are the owner's.
    ExpectClosedDefaults(*Socket);
    EXPECT_EQ(Socket->ComponentOptions, static_cast<unsigned>(wsoNoReceiveLoop));
}

TEST_F(EventSocketTest, AFailedConnectPassesThroughConnectedAndCloses) {
    Record(Socket);
    const int peer = Adopt(Socket);
    Socket->EnterState(wsConnecting);
    Log.clear();
    PostEvent(Socket->HSocket(), FD_CLOSE);  // ignored while connecting
    PostEvent(Socket->HSocket(), FD_CONNECT, WSAECONNREFUSED);
    EXPECT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    EXPECT_EQ(Log, Strings({"state 3>5", "connected 10061", "state 5>8", "closed 0"}));
    char byte;
    EXPECT_LE(PosixPeer::Read(peer, &byte, 1), 0);  // the handle is gone
}

TEST_F(EventSocketTest, AReadBeforeTheConnectEventCompletesTheConnect) {
    Record(Socket);
    const int peer = Adopt(Socket);
    Socket->EnterState(wsConnecting);
    Log.clear();
    ASSERT_EQ(PosixPeer::Write(peer, "x"), 1);
    EXPECT_TRUE(PumpUntil([&] { return Received == "x"; }));
    PostEvent(Socket->HSocket(), FD_CONNECT);
    PumpFor(20);
    EXPECT_EQ(Log, Strings({"state 3>5", "connected 0", "data 0"}));
}

TEST_F(EventSocketTest, EventsOfAnotherHandleAreDropped) {
    Record(Socket);
    const int firstPeer = Adopt(Socket);
    const SOCKET first = Socket->HSocket();
    PostEvent(first + 1, FD_READ | FD_CLOSE);
    PumpFor(20);
    EXPECT_EQ(Log, Strings({"state 8>5"}));

    // Adopting a second connection closes the first; its events are stale from then on.
    Adopt(Socket);
    EXPECT_NE(Socket->HSocket(), first);
    char byte;
    EXPECT_LE(PosixPeer::Read(firstPeer, &byte, 1), 0);
    PostEvent(first, FD_READ | FD_CLOSE);
    PumpFor(20);
    EXPECT_EQ(Log, Strings({"state 8>5", "state 5>8", "state 8>5"}));

    // The handle is checked again before each event of a message: a read handler that closes
    // makes the close event of the same message stale.
    Log.clear();
    Socket->OnDataAvailable = [&](TObject*, WORD) {
        Log.push_back("data");
        Socket->Disconnect();
    };
    PostEvent(Socket->HSocket(), FD_READ | FD_CLOSE);
    EXPECT_TRUE(PumpUntil([&] { return Socket->State() == wsClosed; }));
    PumpFor(20);
    EXPECT_EQ(Log, Strings({"data", "state 5>8", "closed 0"}));
}

TEST_F(EventSocketTest, AnExceptionInAHandlerAbortsUnlessCanCloseIsCleared) {
    const struct {
        const char* Name;
        bool Handler;
        bool CanClose;
        bool HandlerFails;
        TSocketState After;
    } cases[] = {
        {"no handler", false, true, false, wsClosed},
        {"handler keeps the connection", true, false, false, wsConnected},
        {"handler lets it close", true, true, false, wsClosed},
        {"handler fails", true, false, true, wsClosed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TEventSocket* socket = TEventSocket::Create(&Owner);
        std::string seen;
        int closed = 0;
        socket->OnSessionClosed = [&](TObject*, WORD) { ++closed; };
        socket->OnSessionConnected = [](TObject*, WORD) { throw ESocketException("boom"); };
        if (c.Handler)
            socket->OnBgException = [&](TObject*, Exception& E, bool& CanClose) {
                seen = E.Message();
                EXPECT_TRUE(CanClose);
                if (c.HandlerFails) throw ESocketException("handler failed");
                CanClose = c.CanClose;
            };
        const int peer = Adopt(socket);
        socket->EnterState(wsConnecting);
        ASSERT_EQ(PosixPeer::Write(peer, "x"), 1);
        EXPECT_TRUE(PumpUntil([&] { return socket->State() != wsConnecting; }));
        PumpFor(20);
        EXPECT_EQ(socket->State(), c.After);
        EXPECT_EQ(seen, c.Handler ? "boom" : "");
        EXPECT_EQ(closed, c.After == wsClosed ? 1 : 0);
        if (c.After == wsClosed) {
            char byte;
            EXPECT_LE(PosixPeer::Read(peer, &byte, 1), 0);
        }
        delete socket;
    }
}

TEST_F(EventSocketTest, DestroyingAConnectedSocketFiresNothingAndClosesItsHandle) {
    Record(Socket);
    int errors = 0;
    Socket->OnError = [&](TObject*) { ++errors; };
    const int peer = Adopt(Socket);
    Log.clear();
    delete Socket;
    Socket = nullptr;
    EXPECT_EQ(Log, Strings());
    EXPECT_EQ(errors, 0);
    char byte;
    EXPECT_LE(PosixPeer::Read(peer, &byte, 1), 0);
}

TEST_F(EventSocketTest, AHandleWithoutASessionIsClosedAllTheSame) {
    // A handle whose events cannot be selected stays with the closed socket (as one that a
    // failed listen leaves): the close path and the destructor close it, silently.
    for (const bool viaDisconnect : {true, false}) {
        SCOPED_TRACE(viaDisconnect ? "Disconnect" : "destruction");
        TEventSocket* socket = TEventSocket::Create(&Owner);
        Record(socket);
        DestroyWindow(socket->Handle());
        int peer = -1;
        const SOCKET accepted = Accepted(peer);
        EXPECT_EQ(SocketError([&] { socket->Dup(accepted); }).rfind("Error 10022 in function WSAAsyncSelect", 0), 0u);
        EXPECT_EQ(socket->State(), wsClosed);
        ASSERT_NE(socket->HSocket(), INVALID_SOCKET);
        if (viaDisconnect) {
            socket->Disconnect();
            EXPECT_EQ(socket->HSocket(), INVALID_SOCKET);
        }
        if (!viaDisconnect) delete socket;
        EXPECT_LE(PeerEnd(peer), 0);
        EXPECT_NE(PeerEnd(peer), -EAGAIN);
        EXPECT_EQ(Log, Strings());
        if (viaDisconnect) delete socket;
    }
}

TEST_F(EventSocketTest, VersionSettersDoNotCloseALiveConnection) {
    Record(Socket);
    Adopt(Socket);
    Log.clear();
    Socket->SetReqVerLow(1);  // the same value: accepted silently
    BoundWinsock::WSASetLastError(WSAECONNRESET);  // a stale error of the connection
    EXPECT_EQ(SocketError([&] { Socket->SetReqVerLow(2); }),
              "Error 10022 in function SetReqVerLow: WinSock version can't be changed now\r\nInvalid argument");
    int errors = 0;
    Socket->OnError = [&](TObject*) { ++errors; };
    BoundWinsock::WSASetLastError(WSAENOTCONN);
    Socket->SetReqVerHigh(3);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(Socket->ReqVerLow(), 1);
    EXPECT_EQ(Socket->ReqVerHigh(), 1);
    EXPECT_EQ(Socket->State(), wsConnected);
    EXPECT_NE(Socket->HSocket(), INVALID_SOCKET);
    EXPECT_EQ(Socket->LastError(), WSAEINVAL);
    EXPECT_EQ(Log, Strings());
}

TEST_F(EventSocketTest, DupRefusesAnInvalidHandle) {
    for (const SOCKET handle : {INVALID_SOCKET, SOCKET{0}}) {
        EXPECT_EQ(SocketError([&] { Socket->Dup(handle); }), "Error 10022 in function Dup\r\nInvalid argument");
        EXPECT_EQ(Socket->State(), wsClosed);
    }
}

// ---- the binding across threads ---------------------------------------------------------------

DWORD CreateAndDestroySockets(LPVOID) {
    for (int i = 0; i < 50; ++i) {
        TEventSocket* socket = TEventSocket::Create(nullptr);
        EventSocketResolveHost("127.0.0.1");  // loads; the destruction below may unload
        delete socket;
    }
    return 0;
}

TEST_F(EventSocketTest, TheBindingIsSoundWhileAnotherThreadLoadsAndUnloads) {
    delete Socket;
    Socket = nullptr;
    const HANDLE thread = CreateThread(nullptr, 0, CreateAndDestroySockets, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    const ULONG address = IPv4(1, 2, 3, 4);
    int wrong = 0;
    for (int i = 0; i < 500; ++i) wrong += InetNtoaGuarded(address) != "1.2.3.4";
    EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(wrong, 0);
    // The guarded calls leave the library loaded with no socket: the last socket unloads it.
    delete TEventSocket::Create(nullptr);
}

}  // namespace
