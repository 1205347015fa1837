#include "CustomEventSocket.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "EventSocketWindow.h"
#include "SysUtils.h"

TCustomEventSocket::TCustomEventSocket(TComponent* AOwner) : TComponent(AOwner) {}

void TCustomEventSocket::AfterConstruction() {
    CreateHiddenWindow();
    ResetDefaults();
    IncSocketInstanceCount();
    FCounted = true;
}

TCustomEventSocket::~TCustomEventSocket() { DestroySocket(); }

void TCustomEventSocket::DestroySocket() {
    if (FDestroying) return;
    FDestroying = true;
    try {
        CancelLookup();
    } catch (...) {
        // A lookup that cannot be cancelled does not stop the destruction.
    }
    if (FState != wsClosed) {
        try {
            Disconnect();
        } catch (...) {
            // A close that fails still ends here; the handle goes below.
        }
    }
    if (FHSocket != INVALID_SOCKET) {
        // A handle without a session (a failed listen leaves one) would keep its port bound.
        try {
            BoundWinsock::closesocket(FHSocket);
        } catch (...) {
        }
        FHSocket = INVALID_SOCKET;
    }
    if (FCounted) {
        FCounted = false;
        ReleaseSocketInstance();
    }
    ClearSendQueue();
    FDnsResultList->Clear();
    DestroyHiddenWindow();
    TCriticalSectionGuard lock(WinsockLibraryLock());
    if (SocketInstanceCount() <= 0) UnregisterSocketWindowClass();
}

void TCustomEventSocket::CreateHiddenWindow() {
    FWindowHandle = AllocateSocketWindow(this);
    if (!FWindowHandle) ReportError("Cannot create a hidden window for TEventSocket");
}

void TCustomEventSocket::DestroyHiddenWindow() {
    if (FWindowHandle && DestroySocketWindow(FWindowHandle)) FWindowHandle = nullptr;
}

void TCustomEventSocket::ResetDefaults() {
    FSin = sockaddr_in{};
    FSin.sin_family = AF_INET;
    FAddrFormat = AF_INET;
    FPortAssigned = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FProtoAssigned = true;
    FProto = IPPROTO_TCP;
    FProtoStr = "tcp";
    FType = SOCK_STREAM;
    FLocalPortStr = "0";
    FLocalAddr = "0.0.0.0";
    LingerOnOff = wsLingerOn;
    LingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    FSelectEvent = 0;
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FlushTimeout = 60;
    ForgetOwnEvents();
}

void TCustomEventSocket::EnterState(TSocketState NewState) {
    const TSocketState oldState = FState;
    FState = NewState;
    if (oldState != NewState) FireChangeState(oldState, NewState);
}

// ---- errors ------------------------------------------------------------------------------------

void TCustomEventSocket::ReportError(const std::string& Msg) {
    if (OnError) {
        FireError();
        return;
    }
    throw ESocketException(Msg);
}

void TCustomEventSocket::ReportErrorFmt(const char* Fmt, ...) {
    va_list args;
    va_start(args, Fmt);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, Fmt, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, Fmt, args);
    va_end(args);
    ReportError(text);
}

// ---- events ------------------------------------------------------------------------------------

bool TCustomEventSocket::FireDataAvailable(WORD ErrCode) { return Fire(OnDataAvailable, ErrCode); }

void TCustomEventSocket::FireSessionAvailable(WORD ErrCode) { Fire(OnSessionAvailable, ErrCode); }
void TCustomEventSocket::FireSessionConnectedFirst(WORD ErrCode) { FireSessionConnected(ErrCode); }
void TCustomEventSocket::FireSessionConnected(WORD ErrCode) { Fire(OnSessionConnected, ErrCode); }
void TCustomEventSocket::FireSessionClosed(WORD ErrCode) { Fire(OnSessionClosed, ErrCode); }
void TCustomEventSocket::FireDataSent(WORD ErrCode) { Fire(OnDataSent, ErrCode); }
void TCustomEventSocket::FireChangeState(TSocketState OldState, TSocketState NewState) {
    Fire(OnChangeState, OldState, NewState);
}
void TCustomEventSocket::FireDnsLookupDone(WORD ErrCode) { Fire(OnDnsLookupDone, ErrCode); }
void TCustomEventSocket::FireError() { Fire(OnError); }
void TCustomEventSocket::FireSendData(int BytesSent) { Fire(OnSendData, BytesSent); }

// ---- dispatch ----------------------------------------------------------------------------------

TCustomEventSocket::TSocketHold::~TSocketHold() {
    if (--FSocket.FHolds > 0) return;
    // The release came from a pump inside the socket's own code called by the owner (a handler
    // of Send that opened a box, FlushSendQueue): it is carried out from the message loop.
    if (FSocket.FReleaseDue) {
        FSocket.FReleaseDue = false;
        FSocket.PostLater(WM_RELEASE_SOCKET, 0, 0);
    }
    if (!FSocket.FUnposted.empty()) FSocket.RetryUnposted();
}

void TCustomEventSocket::WindowMessage(TSocketMessage& Message) {
    ++FHolds;
    try {
        HandleMessage(Message);
    } catch (...) {
        // What passes the dispatch (no exception of the framework's) still leaves the release
        // that was due.
        LeaveMessage();
        throw;
    }
    LeaveMessage();
}

void TCustomEventSocket::LeaveMessage() {
    if (--FHolds > 0) return;
    // Nothing of the socket's code is on the stack any more.
    if (FReleaseDue) {
        delete this;
        return;
    }
    if (!FUnposted.empty()) RetryUnposted();
}

void TCustomEventSocket::PostLater(UINT Msg, WPARAM WParam, LPARAM LParam) {
    if (PostMessageA(FWindowHandle, Msg, WParam, LParam)) return;
    // The thread's queue is full: kept, and posted again after the socket's next message,
    // which the platform is asked for.
    const auto same = [&](const TSocketMessage& m) { return m.Msg == Msg && m.WParam == WParam && m.LParam == LParam; };
    if (std::none_of(FUnposted.begin(), FUnposted.end(), same)) FUnposted.push_back({Msg, WParam, LParam, 0});
    AskForEvents();
}

void TCustomEventSocket::RetryUnposted() {
    std::vector<TSocketMessage> waiting;
    waiting.swap(FUnposted);
    for (const TSocketMessage& m : waiting)
        if (!PostMessageA(FWindowHandle, m.Msg, m.WParam, m.LParam)) FUnposted.push_back(m);
    if (!FUnposted.empty()) AskForEvents();
}

void TCustomEventSocket::AskForEvents() {
    // A connected stream socket has at least its write event to report; the platform posts it
    // again until the queue takes it. (A listener is left alone: an accept event reported twice
    // would make the second Accept fail.) Any other hears of the room from the queue itself.
    if (FHSocket != INVALID_SOCKET && FState == wsConnected && FType == SOCK_STREAM && FSelectEvent != 0 && !FPaused)
        BoundWinsock::WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent);
    else
        PostWhenQueueHasRoom(FWindowHandle);
}

void TCustomEventSocket::PostOwnEvent(LONG Event, int Limit, WORD ErrCode) {
    int& onTheirWay = OwnEventsOnTheirWay(Event);
    if (onTheirWay >= Limit) return;
    ++onTheirWay;
    PostLater(WM_SOCKET_EVENT, FHSocket, WSAMAKESELECTREPLY(Event | OwnEventMark, ErrCode));
}

void TCustomEventSocket::HandleMessage(TSocketMessage& Message) {
    try {
        switch (Message.Msg) {
        case WM_SOCKET_EVENT: HandleSelectEvent(Message); break;
        case WM_HOST_BY_NAME_REPLY: HandleHostByNameReply(Message); break;
        case WM_HOST_BY_ADDR_REPLY: HandleHostByAddrReply(Message); break;
        case WM_CLOSE_LATER: HandleCloseLater(); break;
        case WM_RELEASE_SOCKET: HandleRelease(); break;
        case WM_TEST_EXCEPTION: throw ESocketException("Test exception in EventSocket");
        case WM_QUEUE_ROOM: break;  // what waits for room goes once this message is handled
        default: Message.Result = DefWindowProcA(FWindowHandle, Message.Msg, Message.WParam, Message.LParam);
        }
    } catch (Exception& E) {
        HandleEventException(E);
    }
}

void TCustomEventSocket::HandleEventException(Exception& E) {
    bool CanClose = true;
    try {
        Fire(OnBgException, E, CanClose);
    } catch (...) {
        // The handler's own failure changes nothing of the way out.
    }
    if (!CanClose) return;
    try {
        AbortConnection();
    } catch (...) {
    }
}

void TCustomEventSocket::HandleSelectEvent(TSocketMessage& Message) {
    // Left over from an earlier handle, or posted for none.
    if (Message.WParam != FHSocket || FHSocket == INVALID_SOCKET) return;
    // One of the socket's own is no longer on its way: the next one may go.
    const LONG events = WSAGETSELECTEVENT(Message.LParam);
    if ((events & OwnEventMark) != 0)
        for (const LONG event : {FD_READ, FD_WRITE, FD_CLOSE})
            if ((events & event) != 0 && OwnEventsOnTheirWay(event) > 0) --OwnEventsOnTheirWay(event);
    if (FPaused) {
        if ((events & OwnEventMark) != 0) {
            FPausedOwnEvents |= events & (FD_READ | FD_WRITE | FD_CLOSE);
            if ((events & FD_CLOSE) != 0) FPausedCloseError = WSAGETSELECTERROR(Message.LParam);
        }
        return;
    }
    using THandler = void (TCustomEventSocket::*)(TSocketMessage&);
    static constexpr struct {
        LONG Event;
        THandler Handler;
    } Order[] = {
        {FD_CONNECT, &TCustomEventSocket::HandleConnectEvent}, {FD_READ, &TCustomEventSocket::HandleReadEvent},
        {FD_WRITE, &TCustomEventSocket::HandleWriteEvent},     {FD_ACCEPT, &TCustomEventSocket::HandleAcceptEvent},
        {FD_CLOSE, &TCustomEventSocket::HandleCloseEvent},
    };
    for (const auto& step : Order) {
        // A handler before this one may have closed or replaced the handle.
        if ((events & step.Event) == 0) continue;
        if (Message.WParam != FHSocket) return;
        (this->*step.Handler)(Message);
    }
}

void TCustomEventSocket::HandleConnectEvent(TSocketMessage& Message) {
    if (FState == wsConnected) return;
    const WORD ErrCode = WSAGETSELECTERROR(Message.LParam);
    EnterState(wsConnected);
    FireSessionConnectedFirst(ErrCode);
    if (ErrCode != 0 && FState != wsClosed) Disconnect();
}

void TCustomEventSocket::HandleReadEvent(TSocketMessage& Message) {
    const WORD ErrCode = WSAGETSELECTERROR(Message.LParam);
    if (FState != wsConnected) {  // a read event may come before the connect event
        EnterState(wsConnected);
        FireSessionConnectedFirst(ErrCode);
    }
    const SOCKET handle = FHSocket;
    // What is left (the slice is used, or the handler declined) is offered again from the
    // message loop: the platform reports no more until a receive takes something.
    if (ReceiveLoop(ErrCode, ComponentOptions) != TReceiveEnd::Drained && SameSession(handle)) ReadLater();
}

void TCustomEventSocket::HandleWriteEvent(TSocketMessage& Message) {
    const SOCKET handle = FHSocket;
    TryToSend();
    if (FAllSent && SameSession(handle)) FireDataSent(WSAGETSELECTERROR(Message.LParam));
}

void TCustomEventSocket::HandleAcceptEvent(TSocketMessage& Message) {
    FireSessionAvailable(WSAGETSELECTERROR(Message.LParam));
}

void TCustomEventSocket::HandleCloseEvent(TSocketMessage& Message) {
    if (FState == wsConnecting) return;
    const SOCKET handle = FHSocket;
    // Whatever is still pending is delivered before the session ends, slice by slice: the
    // close comes again, as an event of the socket's own, until all is delivered (or the
    // handler declines what is left, which goes with the session).
    const TReceiveEnd end = ReceiveLoop(0, ComponentOptions & ~static_cast<TEventSocketOptions>(wsoNoReceiveLoop));
    // A data handler that closed has reported the session already, and one that connected
    // again owns the new one.
    if (!SameSession(handle) || FState == wsClosed) return;
    if (end == TReceiveEnd::Sliced) {
        PostOwnEvent(FD_CLOSE, 1, WSAGETSELECTERROR(Message.LParam));
        return;
    }
    if (!FCloseInvoked) {
        FCloseInvoked = true;
        try {
            FireSessionClosed(WSAGETSELECTERROR(Message.LParam));
        } catch (Exception&) {
            throw;  // the background path decides, as for every handler
        } catch (...) {
            // No background path takes it: the session ends here all the same.
            try {
                EndClosedSession(handle);
            } catch (...) {
            }
            throw;
        }
    }
    EndClosedSession(handle);
}

void TCustomEventSocket::EndClosedSession(SOCKET Handle) {
    if (SameSession(Handle) && FState != wsClosed) Disconnect();
}

// ---- adopting a handle -------------------------------------------------------------------------

void TCustomEventSocket::Dup(SOCKET NewHandle) {
    if (NewHandle == 0 || NewHandle == INVALID_SOCKET) {
        BoundWinsock::WSASetLastError(WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (FState != wsClosed) {
        const int result = BoundWinsock::closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        if (result != 0) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        EnterState(wsClosed);
    } else if (FHSocket != INVALID_SOCKET) {
        // A closed socket may still hold a handle (a failed listen): it goes, not leaks.
        BoundWinsock::closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
    }
    // The queue's bytes were meant for the old session's peer.
    ClearSendQueue();
    FAllSent = true;
    ForgetOwnEvents();
    FHSocket = NewHandle;
    ApplyLinger();
    FSelectEvent = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (BoundWinsock::WSAAsyncSelect(FHSocket, FWindowHandle, WM_SOCKET_EVENT, FSelectEvent) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    AfterDup();
}

void TCustomEventSocket::AfterDup() { EnterState(wsConnected); }
