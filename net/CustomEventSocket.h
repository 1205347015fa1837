#pragma once
// TCustomEventSocket: a non-blocking TCP or UDP endpoint driven by window messages. Each socket
// owns a hidden window of its thread; the platform's asynchronous select posts the network
// events there, and the window's procedure turns them into the socket's events. Every event
// handler runs on that thread, inside the dispatch of a message or inside a call the owner made.
//
// C++ runs no override from a base constructor or destructor, so the steps of construction
// and destruction that call virtual operations run from the most derived class: its Create
// calls AfterConstruction once the object is complete, and its destructor calls
// DestroySocket first.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Classes.h"
#include "EventSockBuf.h"
#include "EventSocketBinding.h"
#include "StoredHandler.h"
#include "user32.h"
#include "wsock32.h"

enum TSocketState : BYTE {
    wsInvalidState, wsOpened, wsBound, wsConnecting, wsSocksConnected, wsConnected, wsAccepting,
    wsListening, wsClosed
};

// The members of TEventSocketOptions, a set kept as bits.
enum TEventSocketOption : unsigned { wsoNoReceiveLoop = 1, wsoTcpNoDelay = 2, wsoSIO_RCVALL = 4 };
using TEventSocketOptions = unsigned;

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// The hidden window's messages.
inline constexpr UINT WM_SOCKET_EVENT = WM_USER + 1;        // WParam socket, LParam event | error << 16
inline constexpr UINT WM_HOST_BY_NAME_REPLY = WM_USER + 2;  // WParam task handle, error in LParam's high word
inline constexpr UINT WM_HOST_BY_ADDR_REPLY = WM_USER + 3;
inline constexpr UINT WM_CLOSE_LATER = WM_USER + 4;
inline constexpr UINT WM_RELEASE_SOCKET = WM_USER + 5;
inline constexpr UINT WM_TEST_EXCEPTION = WM_USER + 6;      // nothing posts it but a test
inline constexpr UINT WM_QUEUE_ROOM = WM_USER + 7;          // the thread's queue has room again
// Beside the event bit of a socket event that the socket posted itself: such events are
// counted while they are on their way.
inline constexpr LONG OwnEventMark = 0x4000;

struct TSocketMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

// The events; Sender is always the socket.
using TSocketEvent = std::function<void(TObject* Sender, WORD ErrCode)>;
using TDataAvailable = TSocketEvent;
using TDataSent = TSocketEvent;
using TSessionClosed = TSocketEvent;
using TSessionAvailable = TSocketEvent;
using TSessionConnected = TSocketEvent;
using TDnsLookupDone = TSocketEvent;
using TSendData = std::function<void(TObject* Sender, int BytesSent)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, Exception& E, bool& CanClose)>;

class TCustomEventSocket : public TComponent {
public:
    ~TCustomEventSocket() override;

    TSocketState State() const { return FState; }
    SOCKET HSocket() const { return FHSocket; }
    HWND Handle() const { return FWindowHandle; }
    const std::string& Addr() const { return FAddrStr; }
    const std::string& Port() const { return FPortStr; }
    const std::string& Proto() const { return FProtoStr; }
    const std::string& LocalAddr() const { return FLocalAddr; }
    const std::string& LocalPort() const { return FLocalPortStr; }
    // Remote and local addressing; every setter refuses a change unless the socket is closed.
    void SetAddr(const std::string& Value) { ChangeAddr(Value); }
    void SetPort(const std::string& Value) { ChangePort(Value); }
    void SetProto(const std::string& Value) { ChangeProto(Value); }
    void SetLocalAddr(const std::string& Value) { ChangeLocalAddr(Value); }
    void SetLocalPort(const std::string& Value) { ChangeLocalPort(Value); }
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string PeerPort() { return GetPeerPort(); }
    // The handle that the last successful Accept returned.
    SOCKET AcceptedHandle() const { return FASocket; }
    // A 32-bit count, as designed, that wraps round (past 2 GiB of one connection it reads
    // negative) instead of overflowing.
    int ReadCount() const { return static_cast<int>(FReadCount); }
    int LastError() const { return FLastError; }
    const std::string& DnsResult() const { return FDnsResult; }
    const TStrings& DnsResultList() const { return *FDnsResultList; }
    int RcvdCount() { return QueryRcvdCount(); }
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags Value) { ChangeSendFlags(Value); }
    // Set when the socket's own message pump removed a WM_QUIT message.
    bool Terminated() const { return FTerminated; }

    // Plain stored values: they take effect at the next connect, listen or close.
    bool MultiThreaded = false;
    bool MultiCast = false;
    std::string MultiCastAddrStr;
    int MultiCastIpTTL = 1;
    bool ReuseAddr = false;
    TEventSocketOptions ComponentOptions = 0;
    int ListenBacklog = 5;
    int FlushTimeout = 60;  // seconds
    TSocketLingerOnOff LingerOnOff = wsLingerOn;
    int LingerTimeout = 0;  // seconds

    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    // ---- life cycle and dispatch ----
    // Every message of the hidden window comes here: HandleMessage, then what the message
    // left due (a release, posts the thread's queue refused).
    void WindowMessage(TSocketMessage& Message);
    virtual void HandleMessage(TSocketMessage& Message);
    virtual void ResetDefaults();
    void EnterState(TSocketState NewState);
    // Adopts an open handle (one that Accept returned): selects its events and counts it as
    // connected; fires no connection event.
    virtual void Dup(SOCKET NewHandle);

    // ---- errors ----
    // With OnError assigned only that handler fires; otherwise ESocketException is raised.
    virtual void ReportError(const std::string& Msg);
    void ReportErrorFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
    // Names the platform's last error and the failed step, then ReportError. A reset or a
    // not-connected error also closes the handle and ends the session.
    void ReportSocketError(const std::string& Name);

    // ---- data ----
    virtual int RecvData(void* Buffer, int BufferSize, int Flags);
    virtual int ReceiveBytes(void* Buffer, int BufferSize);
    virtual std::string ReceiveText();
    // Queues Len bytes and sends what the platform takes; OnDataSent follows from the message
    // loop once all is sent. -1 when not connected.
    virtual int Send(const void* Data, int Len);
    virtual int SendText(const std::string& Str);
    void QueueData(const void* Data, int Len);
    virtual int RecvFromData(SOCKET Handle, void* Buffer, int BufferSize, int Flags, sockaddr_in& From, int& FromLen);
    virtual int ReceiveDatagram(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
    // One sendto call to Dest, past the queue; its result, nothing reported.
    virtual int SendDatagram(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    virtual void PumpMessages();
    void PumpThreadMessages();
    bool PumpOneMessage();

    // ---- connecting and listening ----
    // The outcome of a stream connect arrives later as the connect event; a datagram socket is
    // connected before Connect returns.
    virtual void Connect();
    virtual void Listen();
    virtual SOCKET Accept();
    virtual void SuspendEvents();
    virtual void ResumeEvents();
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual int QueryPeerName(sockaddr_in& Name, int NameLen);
    virtual int QueryLocalName(sockaddr_in& Name, int& NameLen);
    virtual std::string GetBoundPort();
    virtual std::string GetBoundAddr();

    // ---- closing ----
    virtual void Disconnect();
    virtual void AbortConnection();
    // Post the close, resp. the release, to the hidden window and return at once; after
    // ReleaseLater the object must not be touched once the message loop has run. A release
    // that arrives while the socket's own code is running (a handler that opened a box) is
    // carried out once that code has returned.
    virtual void CloseLater();
    virtual void ReleaseLater();
    // Sends until the queue is empty, resp. delivers data until the peer has closed (or its
    // close waits for a handler below that holds it back); both serve the thread's messages.
    virtual void FlushSendQueue();
    virtual void DrainUntilClosed();
    virtual void ShutdownSocket(int How);

    // ---- lookups: the results arrive in DnsResult, DnsResultList and OnDnsLookupDone ----
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelLookup();

    virtual bool TimevalIsSet(const timeval& Tv);
    virtual void TimevalClear(timeval& Tv);
    virtual bool TimevalCompare(const timeval& A, const timeval& B, bool IsEqual);

protected:
    // A stretch of the socket's own code during which an event handler or a message pump runs:
    // a release that the pump dispatches meanwhile waits until the outermost stretch has ended.
    class TSocketHold {
    public:
        explicit TSocketHold(TCustomEventSocket& Socket) : FSocket(Socket) { ++FSocket.FHolds; }
        ~TSocketHold();
        TSocketHold(const TSocketHold&) = delete;
        TSocketHold& operator=(const TSocketHold&) = delete;

    private:
        TCustomEventSocket& FSocket;
    };
    // How a run of the receive loop ended.
    enum class TReceiveEnd {
        Drained,   // nothing pending, the session ended, or an error
        Declined,  // the handler took nothing of what is pending
        Sliced,    // its share of the thread's time is used; bytes are still pending
    };

    explicit TCustomEventSocket(TComponent* AOwner);
    // The virtual steps of construction: hidden window, closed defaults, socket count.
    void AfterConstruction();
    // The destruction steps, once; they never throw and fire no event.
    void DestroySocket();
    bool Destroying() const { return FDestroying; }

    virtual void CreateHiddenWindow();
    virtual void DestroyHiddenWindow();
    virtual void TryToSend();
    virtual void ShutAndClose(bool Shut, WORD ErrCode);
    virtual void AbortWithError(WORD ErrCode);
    void ChangeAddr(const std::string& Value);
    virtual void ChangePort(const std::string& Value);
    virtual void ChangeProto(const std::string& Value);
    void ChangeLocalAddr(const std::string& Value);
    void ChangeLocalPort(const std::string& Value);
    virtual void BindLocal();
    virtual int QueryRcvdCount();
    virtual int SendChunk(const void* Data, int Len);
    virtual void HandleEventException(Exception& E);
    virtual bool FireDataAvailable(WORD ErrCode);
    virtual void FireSessionAvailable(WORD ErrCode);
    virtual void FireSessionConnectedFirst(WORD ErrCode);
    virtual void FireSessionConnected(WORD ErrCode);
    virtual void FireSessionClosed(WORD ErrCode);
    virtual void FireDataSent(WORD ErrCode);
    virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
    virtual void FireDnsLookupDone(WORD ErrCode);
    virtual void FireError();
    void FireSendData(int BytesSent);
    virtual void HandleConnectEvent(TSocketMessage& Message);
    virtual void HandleReadEvent(TSocketMessage& Message);
    virtual void HandleWriteEvent(TSocketMessage& Message);
    virtual void HandleAcceptEvent(TSocketMessage& Message);
    virtual void HandleCloseEvent(TSocketMessage& Message);
    // The peer's close has come and waits for the socket's own code that holds it back.
    virtual bool PeerEndKeptBack() const { return false; }
    virtual void AfterDup();
    virtual void ChangeSendFlags(TSocketSendFlags Value);

    void HandleSelectEvent(TSocketMessage& Message);
    void HandleCloseLater();
    void HandleRelease();
    void HandleHostByNameReply(TSocketMessage& Message);
    void HandleHostByAddrReply(TSocketMessage& Message);
    // Hands one read event's bytes to OnDataAvailable while the platform has some, for one
    // slice of the thread's time at most.
    TReceiveEnd ReceiveLoop(WORD ErrCode, TEventSocketOptions Options);
    // The receive loop's slice is used up: what is pending waits for the next read event.
    bool ReceiveSliceUsed() const;
    // A read event of the socket's own, so that what is pending or held is offered again from
    // the message loop; one at a time.
    void ReadLater();
    // Posts a socket event of the socket's own (FD_READ, FD_WRITE, FD_CLOSE) unless Limit of
    // that kind are on their way already.
    void PostOwnEvent(LONG Event, int Limit, WORD ErrCode = 0);
    // Posts a message to the hidden window; one that the thread's queue refuses is kept and
    // posted again once the socket's next message has been handled.
    void PostLater(UINT Msg, WPARAM WParam, LPARAM LParam);
    void ApplyLinger();
    void ClearSendQueue();

    TSocketState FState = wsClosed;
    SOCKET FHSocket = INVALID_SOCKET;
    HWND FWindowHandle = nullptr;
    std::deque<std::unique_ptr<TBuffer>> FBufList;
    static constexpr int FBufSize = 1460;  // every block of the send queue
    static constexpr int MaxBlocksPerRun = 45;  // about 64 KiB end to end
    bool FAllSent = true;
    bool FCloseInvoked = false;  // OnSessionClosed has fired for this connection
    bool FPaused = false;
    bool FTerminated = false;
    LONG FSelectEvent = 0;
    sockaddr_in FSin{};
    int FAddrFormat = AF_INET;
    int FProto = IPPROTO_TCP;
    int FType = SOCK_STREAM;
    std::string FAddrStr;
    std::string FPortStr;
    std::string FProtoStr;
    std::string FLocalAddr;
    std::string FLocalPortStr;
    bool FAddrAssigned = false;
    bool FPortAssigned = false;
    bool FProtoAssigned = false;
    bool FAddrResolved = false;
    bool FPortResolved = false;
    bool FProtoResolved = false;
    bool FLocalPortResolved = false;
    int FSendFlags = 0;
    std::uint32_t FReadCount = 0;
    int FLastError = 0;
    USHORT FLocalPortNum = 0;  // host order; after a bind the port actually bound
    SOCKET FASocket = INVALID_SOCKET;
    HANDLE FDnsLookupHandle = nullptr;
    // The layer writes a host entry at the buffer's start, so it is aligned for one.
    alignas(hostent) char FDnsLookupBuffer[1025] = {};
    bool FEarlyReply = false;
    TSocketMessage FSavedReply{};
    std::string FDnsResult;
    std::unique_ptr<TStringList> FDnsResultList = std::make_unique<TStringList>();

    // Calls Event when it is assigned; false when it is not. The stored handler runs, held for
    // the call: one that assigns its own event, as a state machine does, keeps its closure.
    template <class TEvent, class... TArgs>
    bool Fire(TEvent& Event, TArgs&&... Args) {
        if (!Event || FDestroying) return false;
        TSocketHold hold(*this);
        CallStoredHandler(Event, this, std::forward<TArgs>(Args)...);
        return true;
    }

private:
    // Names the platform's last error; MayEndSession false keeps the handle whatever the code
    // (a failed accept must not close the listening socket).
    void ReportSocketFailure(const std::string& Name, bool MayEndSession);
    // After an event handler ran: false when it closed the session or began another one.
    bool SameSession(SOCKET Handle) const { return FHSocket == Handle && FHSocket != INVALID_SOCKET; }
    void WaitForMessages();
    bool ClosesGracefully() const;
    // The end of ShutAndClose: the closed defaults, unless a handler began a new session.
    void FinishClose();
    // TryToSend while serving messages, until all is sent, an error is reported, the session
    // ends or TimeLimit milliseconds (INFINITE: none) have passed.
    void SendQueued(DWORD TimeLimit);
    void StartLookup();
    // One pattern for Addr, Port and Proto: unchanged text is no change; trimmed; assigned
    // when not empty.
    void ChangeRemote(const std::string& Value, const char* Name, std::string& Text, bool& Assigned, bool& Resolved);
    // Resolves what is not resolved yet; raises the resolvers' exceptions.
    void ResolveRemote(bool ForListen);
    // Resolves, empties the queue and creates the socket; false after reporting a failure.
    bool OpenSocket(bool ForListen, const char* ResolveFailure, const char* SocketFailure);
    bool SetOption(int Level, int Name, int Value, const char* Failure);
    bool JoinMultiCastGroup();
    bool PeerName(sockaddr_in& Name, const char* Failure);
    bool BoundName(sockaddr_in& Name);
    int& OwnEventsOnTheirWay(LONG Event) { return FOwnEvents[Event == FD_READ ? 0 : Event == FD_WRITE ? 1 : 2]; }
    // Those of an earlier handle are dropped as they come.
    void ForgetOwnEvents() {
        FOwnEvents[0] = FOwnEvents[1] = FOwnEvents[2] = 0;
        FPausedOwnEvents = 0;
    }
    // Ends the handling of a window message: a release that came meanwhile is carried out once
    // nothing of the socket's code is on the stack, else what the queue refused is posted again.
    void LeaveMessage();
    // After the close event's data: the session ends unless a handler ended or replaced it.
    void EndClosedSession(SOCKET Handle);
    // Asks the platform to report the conditions that hold: the socket then has a message of
    // the platform's coming, which the platform posts again until the queue takes it.
    void AskForEvents();
    // Posts again what the queue refused.
    void RetryUnposted();
    // Appends the blocks for Len more bytes (runs of end-to-end blocks), all or none.
    void AppendBlocks(int Len);
    // The pending bytes of the blocks after First that lie end to end with it.
    int FollowingUnsent(const TBuffer& First) const;
    // Count bytes sent, from the first block on.
    void MarkQueueSent(int Count);

    bool FDestroying = false;
    bool FCounted = false;  // the socket count includes this socket
    bool FSendFailed = false;  // the last TryToSend ended in an error
    bool FFlushing = false;    // SendQueued is waiting
    unsigned long long FBytesTaken = 0;  // bytes taken from the platform by RecvData, for the loops
    int FHolds = 0;               // stretches of the socket's own code on the stack (TSocketHold)
    bool FReleaseDue = false;     // the release message came while FHolds was above 0
    int FOwnEvents[3] = {};       // read, write and close events of the socket's own on their way
    // Events of the socket's own that came while it was paused: they stand for what the
    // socket holds, which the platform cannot report at the resume.
    LONG FPausedOwnEvents = 0;
    WORD FPausedCloseError = 0;
    std::vector<TSocketMessage> FUnposted;  // posts the thread's queue refused
    DWORD FSliceStart = 0;  // when the running run of the receive loop began
};

// How PumpMessages processes the application's pending messages when MultiThreaded is off:
// the program installs its application's processing at start; without one, the calling
// thread's own queue is pumped.
using TEventSocketApplicationPump = void (*)();
void SetEventSocketApplicationPump(TEventSocketApplicationPump Pump);

// The English text of a Windows Sockets error code.
std::string WinsockErrorText(int Code);
