#include "TravoServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace travo {

namespace {

void PutLittle32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void PutBig16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value & 0xFF));
}

std::uint32_t Little32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::uint16_t Big16(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[at]) << 8) |
                                      static_cast<unsigned char>(bytes[at + 1]));
}

bool SendAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values) bytes.push_back(static_cast<char>(v));
    return bytes;
}

std::string Frame(const std::string& payload) {
    std::string frame;
    PutLittle32(frame, static_cast<std::uint32_t>(payload.size()));
    return frame + payload;
}

std::string Reply(std::uint16_t code, std::uint8_t result) {
    std::string payload;
    PutBig16(payload, code);
    payload.push_back(static_cast<char>(result));
    return Frame(payload);
}

std::string Record(const TValue& value) {
    std::string record(1, static_cast<char>(value.Id));
    if (value.Id == 50) {
        std::uint64_t bits;
        std::memcpy(&bits, &value.Value, sizeof bits);
        PutLittle32(record, static_cast<std::uint32_t>(bits));
        PutLittle32(record, static_cast<std::uint32_t>(bits >> 32));
    } else if (value.Id == 86) {
        PutLittle32(record, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(value.Value))));
    } else if (value.Id == 105) {
        std::uint64_t bits;
        std::memcpy(&bits, &value.Value, sizeof bits);
        PutLittle32(record, static_cast<std::uint32_t>(bits >> 32));
    } else {
        const float single = static_cast<float>(value.Value);
        std::uint32_t bits;
        std::memcpy(&bits, &single, sizeof bits);
        PutLittle32(record, bits);
    }
    return record;
}

std::string CabValuesPayload(const std::vector<TValue>& values) {
    std::string payload;
    PutBig16(payload, kCabValues);
    for (const TValue& value : values) payload += Record(value);
    return payload;
}

std::string CabValuesPacket(const std::vector<TValue>& values) { return Frame(CabValuesPayload(values)); }

// ---- the server ---------------------------------------------------------------------------------

struct TTravoServer::TClient {
    // -1 once a reset closed it; changed under both locks.
    int Fd = -1;
    std::mutex WriteLock;
    std::thread Reader;
    std::thread Scripter;
    // Under the server's lock:
    TClientRecord Record;
    std::string Pending;
    std::map<std::uint8_t, double> Sent;  // the last value sent for each id
    bool ResetRequested = false;
};

struct TTravoServer::TAnswer {
    std::string Bytes;
    bool CloseAfter = false;
    bool StartScript = false;
    bool EndOfRequest = false;
    std::size_t FirstStep = 0;
};

TTravoServer::TTravoServer() = default;

TTravoServer::~TTravoServer() { Stop(); }

bool TTravoServer::Start(std::uint16_t port, std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        if (FListenFd >= 0) ::close(FListenFd);
        FListenFd = -1;
        return false;
    };
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListenFd < 0) return fail("socket");
    const int on = 1;
    ::setsockopt(FListenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(FListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) return fail("bind");
    if (::listen(FListenFd, 16) < 0) return fail("listen");
    socklen_t length = sizeof address;
    ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
    FAcceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void TTravoServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FStopping) return;
        FStopping = true;
        for (auto& client : FClients) ::shutdown(client->Fd, SHUT_RDWR);
    }
    FChanged.notify_all();
    if (FAcceptThread.joinable()) FAcceptThread.join();
    // No client is added once the accept loop has ended.
    for (auto& client : FClients) {
        if (client->Reader.joinable()) client->Reader.join();
        if (client->Scripter.joinable()) client->Scripter.join();
        ::close(client->Fd);
    }
    if (FListenFd >= 0) ::close(FListenFd);
    FListenFd = -1;
}

void TTravoServer::AcceptLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(FLock);
            if (FStopping) return;
        }
        pollfd entry{FListenFd, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) continue;
        const int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int on = 1;
        // Every write is meant to leave as its own segment, so a split stays split.
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard<std::mutex> lock(FLock);
        if (FStopping) {
            ::close(fd);
            return;
        }
        auto client = std::make_unique<TClient>();
        client->Fd = fd;
        TClient* raw = client.get();
        FClients.push_back(std::move(client));
        raw->Reader = std::thread([this, raw] { ReadLoop(*raw); });
        FChanged.notify_all();
    }
}

void TTravoServer::ReadLoop(TClient& client) {
    char buffer[4096];
    for (;;) {
        const ssize_t received = ::recv(client.Fd, buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) break;
        std::vector<TAnswer> answers;
        bool bad = false;
        TWriteMode replyMode;
        int replyPauseMs;
        {
            std::lock_guard<std::mutex> lock(FLock);
            replyMode = FReplyMode;
            replyPauseMs = FReplyPauseMs;
            client.Pending.append(buffer, static_cast<std::size_t>(received));
            client.Record.Bytes.append(buffer, static_cast<std::size_t>(received));
            while (client.Pending.size() >= 4) {
                const std::uint32_t length = Little32(client.Pending, 0);
                if (length > kMaxPacket) {
                    client.Record.BadStream = bad = true;
                    break;
                }
                if (client.Pending.size() < 4 + length) break;
                std::string payload = client.Pending.substr(4, length);
                client.Pending.erase(0, 4 + length);
                client.Record.Packets.push_back(payload);
                answers.push_back(HandlePacket(client, payload));
            }
        }
        FChanged.notify_all();
        bool closing = bad;
        for (const TAnswer& answer : answers) {
            if (closing) break;
            if (!answer.Bytes.empty() && !Write(client, answer.Bytes, replyMode, answer.Bytes.size() / 2, replyPauseMs)) {
                closing = true;
            }
            if (answer.EndOfRequest) {
                // Only once its reply is on the wire: data that a test sends on this news must
                // not overtake the reply.
                {
                    std::lock_guard<std::mutex> lock(FLock);
                    client.Record.EndRequested = true;
                }
                FChanged.notify_all();
            }
            if (answer.CloseAfter) closing = true;
            if (answer.StartScript && !closing && !client.Scripter.joinable()) {
                const std::size_t first = answer.FirstStep;
                client.Scripter = std::thread([this, &client, first] { ScriptLoop(client, first); });
            }
        }
        if (closing) {
            ::shutdown(client.Fd, SHUT_RDWR);
            break;
        }
    }
    bool reset;
    {
        std::lock_guard<std::mutex> lock(FLock);
        client.Record.Closed = true;
        reset = client.ResetRequested;
    }
    if (reset) {
        // Closed without lingering, the socket sends a reset.
        std::lock_guard<std::mutex> writing(client.WriteLock);
        std::lock_guard<std::mutex> lock(FLock);
        ::close(client.Fd);
        client.Fd = -1;
    }
    FChanged.notify_all();
}

// Runs under the server's lock.
TTravoServer::TAnswer TTravoServer::HandlePacket(TClient& client, const std::string& payload) {
    TAnswer answer;
    if (payload.size() < 2) return answer;
    const std::uint16_t code = Big16(payload, 0);
    if (code == kHello) {
        if (payload.size() >= 5) {
            client.Record.ProgramByte = static_cast<unsigned char>(payload[2]);
            client.Record.Kind = static_cast<unsigned char>(payload[3]);
            const std::size_t length = static_cast<unsigned char>(payload[4]);
            client.Record.Name = payload.substr(5, length);
        }
        if (FHelloReplyOverride) {
            answer.Bytes = FHelloReplyBytes;
            answer.CloseAfter = FHelloCloseAfter;
        } else {
            answer.Bytes = Reply(kHelloReply, FHelloResult);
        }
    } else if (code == kNeededData && payload.size() >= 4) {
        const bool endOfRequest = Big16(payload, 2) == 0 && payload.size() == 4;
        if (FRequestReplyOverride) {
            answer.Bytes = FRequestReplyBytes;
            answer.CloseAfter = FRequestCloseAfter;
        } else {
            answer.Bytes = Reply(kNeededDataReply, endOfRequest ? FEndRequestResult : FRequestResult);
        }
        if (endOfRequest) {
            answer.EndOfRequest = true;
            answer.StartScript = !FScript.empty() || FHoldIntervalMs > 0;
            if (FFirstStepWithEndReply && !FScript.empty() && !answer.CloseAfter) {
                answer.Bytes += EncodeStep(client, FScript.front());
                answer.FirstStep = 1;
            }
        } else {
            ++client.Record.Requests;
            for (std::size_t i = 4; i < payload.size(); ++i) {
                client.Record.RequestedIds.push_back(static_cast<std::uint8_t>(payload[i]));
            }
        }
    }
    return answer;
}

// Runs under the server's lock.
std::string TTravoServer::EncodeStep(TClient& client, const TStep& step) {
    if (step.Values.empty()) return step.Bytes;
    std::vector<TValue> values;
    for (const TValue& value : step.Values) {
        bool wanted = !FSendOnlyRequested;
        for (std::uint8_t id : client.Record.RequestedIds) wanted = wanted || id == value.Id;
        if (!wanted) continue;
        values.push_back(value);
        client.Sent[value.Id] = value.Value;
    }
    return values.empty() ? std::string() : CabValuesPacket(values);
}

void TTravoServer::ScriptLoop(TClient& client, std::size_t firstStep) {
    std::vector<TStep> script;
    int holdMs;
    bool repeat;
    {
        std::lock_guard<std::mutex> lock(FLock);
        script = FScript;
        holdMs = FHoldIntervalMs;
        repeat = FRepeatScript;
    }
    using Clock = std::chrono::steady_clock;
    bool open = true;
    do {
        const auto start = Clock::now();
        for (std::size_t i = firstStep; open && i < script.size(); ++i) {
            const TStep& step = script[i];
            const auto due = start + std::chrono::milliseconds(step.AtMs);
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
            if (!PauseUntilStopped(static_cast<int>(wait > 0 ? wait : 0))) return;
            std::string bytes;
            {
                std::lock_guard<std::mutex> lock(FLock);
                bytes = EncodeStep(client, step);
            }
            if (!bytes.empty()) open = Write(client, bytes, step.Mode, step.SplitAt, step.PauseMs);
            if (step.CloseAfter) {
                std::lock_guard<std::mutex> lock(FLock);
                ::shutdown(client.Fd, SHUT_RDWR);
                open = false;
            }
        }
        firstStep = 0;
    } while (open && repeat && !script.empty());
    {
        std::lock_guard<std::mutex> lock(FLock);
        client.Record.ScriptDone = true;
    }
    FChanged.notify_all();
    while (open && holdMs > 0 && PauseUntilStopped(holdMs)) {
        std::vector<TValue> held;
        {
            std::lock_guard<std::mutex> lock(FLock);
            for (const auto& [id, value] : client.Sent) held.push_back({id, value});
        }
        if (!held.empty()) open = Write(client, CabValuesPacket(held), TWriteMode::Whole, 0, 0);
    }
}

bool TTravoServer::Write(TClient& client, const std::string& bytes, TWriteMode mode, std::size_t splitAt,
                         int pauseMs) {
    std::lock_guard<std::mutex> lock(client.WriteLock);
    switch (mode) {
        case TWriteMode::Whole:
            return SendAll(client.Fd, bytes.data(), bytes.size());
        case TWriteMode::ByteByByte:
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                if (i > 0 && !PauseUntilStopped(pauseMs)) return false;
                if (!SendAll(client.Fd, bytes.data() + i, 1)) return false;
            }
            return true;
        case TWriteMode::Split: {
            const std::size_t first = splitAt < bytes.size() ? splitAt : bytes.size();
            if (!SendAll(client.Fd, bytes.data(), first)) return false;
            if (first == bytes.size()) return true;
            if (first > 0 && !PauseUntilStopped(pauseMs)) return false;
            return SendAll(client.Fd, bytes.data() + first, bytes.size() - first);
        }
    }
    return false;
}

bool TTravoServer::PauseUntilStopped(int ms) {
    std::unique_lock<std::mutex> lock(FLock);
    return !FChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FStopping; });
}

template <class TPredicate>
bool TTravoServer::WaitFor(int timeoutMs, TPredicate predicate) const {
    std::unique_lock<std::mutex> lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), predicate);
}

TTravoServer::TClient* TTravoServer::Find(std::size_t index) const {
    return index < FClients.size() ? FClients[index].get() : nullptr;
}

void TTravoServer::SetHelloResult(std::uint8_t result) {
    std::lock_guard<std::mutex> lock(FLock);
    FHelloResult = result;
}

void TTravoServer::SetRequestResult(std::uint8_t result) {
    std::lock_guard<std::mutex> lock(FLock);
    FRequestResult = result;
}

void TTravoServer::SetEndRequestResult(std::uint8_t result) {
    std::lock_guard<std::mutex> lock(FLock);
    FEndRequestResult = result;
}

void TTravoServer::SetHelloReplyBytes(const std::string& bytes, bool closeAfter) {
    std::lock_guard<std::mutex> lock(FLock);
    FHelloReplyBytes = bytes;
    FHelloReplyOverride = true;
    FHelloCloseAfter = closeAfter;
}

void TTravoServer::SetRequestReplyBytes(const std::string& bytes, bool closeAfter) {
    std::lock_guard<std::mutex> lock(FLock);
    FRequestReplyBytes = bytes;
    FRequestReplyOverride = true;
    FRequestCloseAfter = closeAfter;
}

void TTravoServer::SetReplyWriteMode(TWriteMode mode, int pauseMs) {
    std::lock_guard<std::mutex> lock(FLock);
    FReplyMode = mode;
    FReplyPauseMs = pauseMs;
}

void TTravoServer::SetScript(std::vector<TStep> script) {
    std::lock_guard<std::mutex> lock(FLock);
    FScript = std::move(script);
}

void TTravoServer::SetFirstStepWithEndReply(bool on) {
    std::lock_guard<std::mutex> lock(FLock);
    FFirstStepWithEndReply = on;
}

void TTravoServer::SetSendOnlyRequested(bool on) {
    std::lock_guard<std::mutex> lock(FLock);
    FSendOnlyRequested = on;
}

void TTravoServer::SetRepeatScript(bool on) {
    std::lock_guard<std::mutex> lock(FLock);
    FRepeatScript = on;
}

void TTravoServer::SetHoldInterval(int intervalMs) {
    std::lock_guard<std::mutex> lock(FLock);
    FHoldIntervalMs = intervalMs;
}

std::size_t TTravoServer::ClientCount() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FClients.size();
}

TClientRecord TTravoServer::Client(std::size_t index) const {
    std::lock_guard<std::mutex> lock(FLock);
    const TClient* client = Find(index);
    return client ? client->Record : TClientRecord{};
}

bool TTravoServer::WaitForClients(std::size_t count, int timeoutMs) const {
    return WaitFor(timeoutMs, [&] { return FClients.size() >= count; });
}

bool TTravoServer::WaitForPackets(std::size_t client, std::size_t count, int timeoutMs) const {
    return WaitFor(timeoutMs, [&] {
        const TClient* c = Find(client);
        return c && c->Record.Packets.size() >= count;
    });
}

bool TTravoServer::WaitForEndRequest(std::size_t client, int timeoutMs) const {
    return WaitFor(timeoutMs, [&] {
        const TClient* c = Find(client);
        return c && c->Record.EndRequested;
    });
}

bool TTravoServer::WaitForScriptDone(std::size_t client, int timeoutMs) const {
    return WaitFor(timeoutMs, [&] {
        const TClient* c = Find(client);
        return c && c->Record.ScriptDone;
    });
}

bool TTravoServer::WaitForClientClosed(std::size_t client, int timeoutMs) const {
    return WaitFor(timeoutMs, [&] {
        const TClient* c = Find(client);
        return c && c->Record.Closed;
    });
}

bool TTravoServer::Send(std::size_t client, const std::string& bytes, TWriteMode mode, std::size_t splitAt,
                        int pauseMs) {
    TClient* target;
    {
        std::lock_guard<std::mutex> lock(FLock);
        target = Find(client);
    }
    return target && Write(*target, bytes, mode, splitAt, pauseMs);
}

bool TTravoServer::SendValues(std::size_t client, const std::vector<TValue>& values) {
    return Send(client, CabValuesPacket(values));
}

void TTravoServer::CloseClient(std::size_t client) {
    std::lock_guard<std::mutex> lock(FLock);
    if (TClient* target = Find(client)) ::shutdown(target->Fd, SHUT_RDWR);
}

void TTravoServer::ResetClient(std::size_t client) {
    std::lock_guard<std::mutex> lock(FLock);
    TClient* target = Find(client);
    if (!target || target->Fd < 0 || target->Record.Closed) return;
    target->ResetRequested = true;
    const linger abort{1, 0};
    ::setsockopt(target->Fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    // Ends the reader's receive without sending anything; the reader then closes the socket.
    ::shutdown(target->Fd, SHUT_RD);
}

}  // namespace travo
