#pragma once
// A stand-in for the simulator's data server, on plain POSIX sockets. It accepts any number of
// clients on 127.0.0.1, records every packet each client sends, answers the greeting and each
// data request with a chosen result, and after a client's end-of-request packet plays a script
// of data packets to it. It can misbehave on purpose: write byte by byte, split a packet across
// writes, close or reset in the middle of a packet, send ids nobody asked for or a length prefix
// that cannot be a packet.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace travo {

// ---- the protocol's bytes ------------------------------------------------------------------------
inline constexpr std::uint16_t kHello = 0x0001;
inline constexpr std::uint16_t kHelloReply = 0x0002;
inline constexpr std::uint16_t kNeededData = 0x0003;
inline constexpr std::uint16_t kNeededDataReply = 0x0004;
inline constexpr std::uint16_t kCabValues = 0x000A;
// The server refuses to collect a packet larger than this from a client.
inline constexpr std::uint32_t kMaxPacket = 1u << 20;

struct TValue {
    std::uint8_t Id = 0;
    double Value = 0.0;
};

// The bytes of the given values, one byte each, for raw steps and expected wire bytes.
std::string Bytes(std::initializer_list<int> values);
std::string Frame(const std::string& payload);                  // 4-byte length, low byte first
std::string Reply(std::uint16_t code, std::uint8_t result);     // a framed 7-byte reply
// One record as the server sends it: id 50 an 8-byte double, id 86 a 4-byte integer, id 105
// the upper half of a double, every other id a 4-byte single; all least significant byte first.
std::string Record(const TValue& value);
std::string CabValuesPayload(const std::vector<TValue>& values);
std::string CabValuesPacket(const std::vector<TValue>& values);  // framed

// ---- what the server sends after the end-of-request ------------------------------------------------
enum class TWriteMode {
    Whole,       // one write
    ByteByByte,  // one write per byte, a pause between
    Split,       // SplitAt bytes, a pause, the rest
};

struct TStep {
    int AtMs = 0;                  // when, counted from the end-of-request reply
    std::vector<TValue> Values;    // a data packet of these values (filtered, see SetSendOnlyRequested)
    std::string Bytes;             // else these bytes as they stand
    TWriteMode Mode = TWriteMode::Whole;
    std::size_t SplitAt = 0;
    int PauseMs = 20;
    bool CloseAfter = false;       // close the connection after this step's bytes
};

// ---- what the server saw of one client ---------------------------------------------------------------
struct TClientRecord {
    std::string Bytes;                     // every byte the client sent
    std::vector<std::string> Packets;      // every payload the client sent, in order
    std::string Name;                      // from the greeting
    int ProgramByte = -1;
    int Kind = -1;
    std::vector<std::uint8_t> RequestedIds;  // all ids of its data requests, in order
    int Requests = 0;                      // data requests, the end-of-request not counted
    bool EndRequested = false;
    bool ScriptDone = false;
    bool BadStream = false;                // it sent a length no packet can have
    bool Closed = false;                   // its side of the connection ended
};

class TTravoServer {
public:
    TTravoServer();
    ~TTravoServer();
    TTravoServer(const TTravoServer&) = delete;
    TTravoServer& operator=(const TTravoServer&) = delete;

    // Port 0 takes a free port. False with a message when the port cannot be had.
    bool Start(std::uint16_t port = 0, std::string* error = nullptr);
    std::uint16_t Port() const { return FPort; }
    void Stop();

    // ---- behaviour (set before the client gets there) ----
    void SetHelloResult(std::uint8_t result);
    void SetRequestResult(std::uint8_t result);     // data requests
    void SetEndRequestResult(std::uint8_t result);  // the end-of-request packet
    // These bytes instead of the reply; closeAfter ends the connection behind them.
    void SetHelloReplyBytes(const std::string& bytes, bool closeAfter);
    void SetRequestReplyBytes(const std::string& bytes, bool closeAfter);
    // How the replies are written (default: each in one write).
    void SetReplyWriteMode(TWriteMode mode, int pauseMs = 20);
    void SetScript(std::vector<TStep> script);
    // The first step's bytes leave in the same write as the end-of-request reply.
    void SetFirstStepWithEndReply(bool on);
    // Value steps carry only the ids the client requested (default: every id given).
    void SetSendOnlyRequested(bool on);
    void SetRepeatScript(bool on);
    // After the script, send all values sent so far every intervalMs (0: not).
    void SetHoldInterval(int intervalMs);

    // ---- observing ----
    std::size_t ClientCount() const;
    TClientRecord Client(std::size_t index) const;
    bool WaitForClients(std::size_t count, int timeoutMs) const;
    bool WaitForPackets(std::size_t client, std::size_t count, int timeoutMs) const;
    bool WaitForEndRequest(std::size_t client, int timeoutMs) const;
    bool WaitForScriptDone(std::size_t client, int timeoutMs) const;
    bool WaitForClientClosed(std::size_t client, int timeoutMs) const;

    // ---- acting on a connected client ----
    bool Send(std::size_t client, const std::string& bytes, TWriteMode mode = TWriteMode::Whole,
              std::size_t splitAt = 0, int pauseMs = 20);
    bool SendValues(std::size_t client, const std::vector<TValue>& values);
    void CloseClient(std::size_t client);
    // Ends the connection with a reset instead of an end of stream.
    void ResetClient(std::size_t client);

private:
    struct TClient;
    struct TAnswer;

    void AcceptLoop();
    void ReadLoop(TClient& client);
    void ScriptLoop(TClient& client, std::size_t firstStep);
    TAnswer HandlePacket(TClient& client, const std::string& payload);
    bool Write(TClient& client, const std::string& bytes, TWriteMode mode, std::size_t splitAt, int pauseMs);
    std::string EncodeStep(TClient& client, const TStep& step);
    bool PauseUntilStopped(int ms);
    template <class TPredicate>
    bool WaitFor(int timeoutMs, TPredicate predicate) const;
    TClient* Find(std::size_t index) const;

    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    bool FStopping = false;
    int FListenFd = -1;
    std::uint16_t FPort = 0;
    std::thread FAcceptThread;
    std::vector<std::unique_ptr<TClient>> FClients;

    std::uint8_t FHelloResult = 0;
    std::uint8_t FRequestResult = 0;
    std::uint8_t FEndRequestResult = 0;
    std::string FHelloReplyBytes;
    bool FHelloReplyOverride = false, FHelloCloseAfter = false;
    std::string FRequestReplyBytes;
    bool FRequestReplyOverride = false, FRequestCloseAfter = false;
    TWriteMode FReplyMode = TWriteMode::Whole;
    int FReplyPauseMs = 20;
    std::vector<TStep> FScript;
    bool FFirstStepWithEndReply = false;
    bool FSendOnlyRequested = false;
    bool FRepeatScript = false;
    int FHoldIntervalMs = 0;
};

}  // namespace travo
