#pragma once
// Wagenklang's own client of the simulator protocol: blocking Windows Sockets calls on one TCP
// socket, and a receive loop that the program runs on a thread of its own. Whole packets go to
// OnRawPacket, the records of data packets to the typed handlers by id.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Classes.h"
#include "PacketBuffer.h"
#include "TravoTcpConstants.h"
#include "wsock32.h"

// The packet buffer as a plain object; its lengths always come least significant byte first.
class TTravoBuffer : public TPacketBuffer<TObject> {
public:
    TTravoBuffer();
    void ChangeInitialSize(int Value);
};


using TRawPacketHandler = void (*)(const std::string& Packet);
using TSingleHandler = void (*)(WORD Group, BYTE Id, float Value);
using TIntegerHandler = void (*)(WORD Group, BYTE Id, LONG Value);
using TDoubleHandler = void (*)(WORD Group, BYTE Id, double Value);
using TBytesHandler = void (*)(WORD Group, BYTE Id, const std::vector<BYTE>& Data);

// Results of the client's operations.
inline constexpr int TravoOk = 0;
inline constexpr int TravoStartupFailed = 1;
inline constexpr int TravoUnknownHost = 2;
inline constexpr int TravoConnectFailed = 3;
inline constexpr int TravoSendFailed = 4;
inline constexpr int TravoReceiveFailed = 5;
inline constexpr int TravoShortReply = 6;
inline constexpr int TravoTooManyConnections = 7;
inline constexpr int TravoSimulatorConnected = 8;
inline constexpr int TravoUnknownGroup = 9;
inline constexpr int TravoRequestRefused = 10;
inline constexpr int TravoFailed = -1;

class TTravoTCP : public TObject {
public:
    TTravoTCP();
    // Disconnects, and waits for a receive loop that still runs on another thread to end.
    ~TTravoTCP() override;
    TTravoTCP(const TTravoTCP&) = delete;
    TTravoTCP& operator=(const TTravoTCP&) = delete;

    int Startup();
    // Connect, SendHello and RequestData share one time limit, 5 s from the start of Connect:
    // a connect not made by then fails as refused, a reply not come by then is short.
    int Connect(const std::string& Host, int Port);
    int SendHello(const std::string& Name, BYTE Kind);
    int RequestData(WORD Group, const std::vector<BYTE>& Ids);
    // Its reply is due within 5 s of its own.
    int EndRequest();
    // Also the stop request of a running ReceiveLoop, which then ends with 5 and shows nothing.
    int Disconnect();
    // Sends the end-of-request packet, then receives until the server closes or resets the
    // connection, its stream is out of step, or Disconnect stops it: -1 when it could not
    // start, else 5.
    int ReceiveLoop();
    // ReceiveLoop has returned, for whatever reason.
    bool LoopEnded() const { return FLoopEnded; }

    void HandlePacket(TObject* Sender);
    void DispatchValues(const std::string& Packet);
    // Bytes of the connection into the packet buffer, each whole packet delivered on the way;
    // false once the stream is out of step. The receive loop hands its early data over here.
    bool TakeData(const char* Data, std::size_t Size);

    TRawPacketHandler OnRawPacket = nullptr;
    TSingleHandler OnSingle = nullptr;
    TIntegerHandler OnInteger = nullptr;
    TDoubleHandler OnDoubleHigh = nullptr;
    TDoubleHandler OnDouble = nullptr;
    TBytesHandler OnBytes = nullptr;

private:
    bool ConnectInTime(SOCKET s);
    int Request(WORD Group, const std::vector<BYTE>& Ids, DWORD TimeLimit);
    int Exchange(const std::string& Payload, WORD ReplyCode, int RefusedOne, int RefusedTwo, DWORD TimeLimit);
    int ReadReply(char* Reply, DWORD SentAt, DWORD TimeLimit);
    bool HandOverEarlyData();
    bool Commit(int Received);
    bool HasHandlers() const;
    bool HasRecordHandlers() const;
    int Receive();
    void ReportSelectError(int Error) const;

    WSADATA FWSAData{};
    hostent* FHostEnt = nullptr;
    std::atomic<SOCKET> FSocket{INVALID_SOCKET};
    sockaddr_in FAddress{};
    std::unique_ptr<TTravoBuffer> FBuffer;
    // Bytes that came behind a reply: the start of the data stream, for the receive loop.
    std::string FEarlyData;
    std::atomic<bool> FStopRequested{false};
    std::atomic<bool> FLoopRunning{false};
    std::atomic<bool> FLoopEnded{false};
    DWORD FHandshakeStart = 0;
};
