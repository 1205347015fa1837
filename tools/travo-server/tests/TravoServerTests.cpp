#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "DriveFile.h"
#include "TravoServer.h"

namespace {

using travo::TStep;
using travo::TTravoServer;
using travo::TWriteMode;

using travo::Bytes;

// A plain client, so the stand-in is checked without the platform layer.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Connected = ::connect(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(FFd); }
    void Write(const std::string& bytes) { ASSERT_EQ(::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    // Reads until count bytes came, the stream ended or 5 s passed.
    std::string Read(std::size_t count) {
        std::string got;
        char buffer[512];
        while (got.size() < count) {
            pollfd entry{FFd, POLLIN, 0};
            if (::poll(&entry, 1, 5000) <= 0) break;
            const ssize_t n = ::recv(FFd, buffer, std::min(sizeof buffer, count - got.size()), 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    bool Connected = false;

private:
    int FFd = -1;
};

const std::string kHello = travo::Frame(Bytes({0, 1, 2, 2, 4}) + "Test");
const std::string kRequest = travo::Frame(Bytes({0, 3, 0, 10, 1, 51}));
const std::string kEndRequest = travo::Frame(Bytes({0, 3, 0, 0}));

TEST(TravoEncoding, FramesRepliesAndRecords) {
    EXPECT_EQ(travo::Frame(""), Bytes({0, 0, 0, 0}));
    EXPECT_EQ(travo::Reply(travo::kHelloReply, 1), Bytes({3, 0, 0, 0, 0, 2, 1}));
    EXPECT_EQ(travo::Record({1, 35.0}), Bytes({1, 0, 0, 0x0C, 0x42}));
    EXPECT_EQ(travo::Record({86, 4.0}), Bytes({86, 4, 0, 0, 0}));
    EXPECT_EQ(travo::Record({50, 1.0}), Bytes({50, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
    EXPECT_EQ(travo::Record({105, 2.0}), Bytes({105, 0, 0, 0, 0x40}));
    EXPECT_EQ(travo::CabValuesPacket({{1, 35.0}}), Bytes({7, 0, 0, 0, 0, 10, 1, 0, 0, 0x0C, 0x42}));
}

TEST(TravoServer, RecordsTheClientAndAnswersWithTheChosenResults) {
    TTravoServer server;
    ASSERT_TRUE(server.Start());
    server.SetHelloResult(2);
    server.SetRequestResult(1);
    server.SetEndRequestResult(0);
    RawClient client(server.Port());
    ASSERT_TRUE(client.Connected);
    client.Write(kHello);
    EXPECT_EQ(client.Read(7), Bytes({3, 0, 0, 0, 0, 2, 2}));
    client.Write(kRequest + kEndRequest);
    EXPECT_EQ(client.Read(14), Bytes({3, 0, 0, 0, 0, 4, 1, 3, 0, 0, 0, 0, 4, 0}));
    ASSERT_TRUE(server.WaitForEndRequest(0, 5000));
    const travo::TClientRecord record = server.Client(0);
    EXPECT_EQ(record.Name, "Test");
    EXPECT_EQ(record.ProgramByte, 2);
    EXPECT_EQ(record.Kind, 2);
    EXPECT_EQ(record.RequestedIds, (std::vector<std::uint8_t>{1, 51}));
    EXPECT_EQ(record.Requests, 1);
    ASSERT_EQ(record.Packets.size(), 3u);
    EXPECT_EQ(record.Packets[2], Bytes({0, 3, 0, 0}));
}

TEST(TravoServer, ScriptSendsOnlyRequestedIdsWhenAskedAndMisbehavesOnRequest) {
    TTravoServer server;
    ASSERT_TRUE(server.Start());
    server.SetSendOnlyRequested(true);
    const std::string garbage = Bytes({0xFF, 0xFF, 0xFF, 0xFF, 9});
    TStep values;
    values.Values = {{1, 35.0}, {200, 1.0}, {51, 2.0}};
    values.Mode = TWriteMode::ByteByByte;
    values.PauseMs = 1;
    TStep split;
    split.Bytes = garbage;
    split.Mode = TWriteMode::Split;
    split.SplitAt = 2;
    split.CloseAfter = true;
    server.SetScript({values, split});
    RawClient client(server.Port());
    client.Write(kHello + kRequest + kEndRequest);
    const std::string expected = travo::Reply(2, 0) + travo::Reply(4, 0) + travo::Reply(4, 0) +
                                 travo::CabValuesPacket({{1, 35.0}, {51, 2.0}}) + garbage;
    EXPECT_EQ(client.Read(expected.size() + 1), expected);
    EXPECT_TRUE(server.WaitForScriptDone(0, 5000));
}

TEST(TravoServer, FirstStepCanShareTheWriteOfTheEndReplyAndValuesCanBeHeld) {
    TTravoServer server;
    ASSERT_TRUE(server.Start());
    TStep step;
    step.Values = {{52, 3.0}};
    server.SetScript({step});
    server.SetFirstStepWithEndReply(true);
    server.SetHoldInterval(10);
    RawClient client(server.Port());
    client.Write(kEndRequest);
    const std::string packet = travo::CabValuesPacket({{52, 3.0}});
    EXPECT_EQ(client.Read(7 + 3 * packet.size()), travo::Reply(4, 0) + packet + packet + packet);
}

TEST(TravoServer, ClosesOnALengthNoPacketCanHave) {
    TTravoServer server;
    ASSERT_TRUE(server.Start());
    RawClient client(server.Port());
    client.Write(Bytes({0, 0, 0, 0x80, 1, 2}));
    ASSERT_TRUE(server.WaitForClientClosed(0, 5000));
    EXPECT_TRUE(server.Client(0).BadStream);
    EXPECT_EQ(client.Read(1), "");
}

TEST(TravoServer, ServesSeveralClientsApart) {
    TTravoServer server;
    ASSERT_TRUE(server.Start());
    RawClient first(server.Port()), second(server.Port());
    ASSERT_TRUE(server.WaitForClients(2, 5000));
    first.Write(kHello);
    EXPECT_EQ(first.Read(7), travo::Reply(2, 0));
    EXPECT_TRUE(server.SendValues(1, {{64, 2.0}}));
    EXPECT_EQ(second.Read(11), travo::CabValuesPacket({{64, 2.0}}));
    EXPECT_EQ(server.Client(0).Packets.size(), 1u);
    EXPECT_TRUE(server.Client(1).Packets.empty());
    server.CloseClient(0);
    EXPECT_TRUE(server.WaitForClientClosed(0, 5000));
}

TEST(TravoDrive, ParsesTimedLinesOfPairs) {
    std::istringstream in("# demo\n\n0 1=0 51=0.5   # start\n1500 86=4 200=1\n");
    std::vector<TStep> steps;
    std::string error;
    ASSERT_TRUE(travo::ParseDrive(in, steps, error)) << error;
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].AtMs, 0);
    ASSERT_EQ(steps[0].Values.size(), 2u);
    EXPECT_EQ(steps[0].Values[1].Id, 51);
    EXPECT_DOUBLE_EQ(steps[0].Values[1].Value, 0.5);
    EXPECT_EQ(steps[1].AtMs, 1500);
    EXPECT_EQ(steps[1].Values[1].Id, 200);
    // A line written for a step reads back as that step, its values exact.
    std::istringstream written(travo::DriveLine(1750, {{52, 0.1}, {86, 47.25f}}) + "\n");
    ASSERT_TRUE(travo::ParseDrive(written, steps, error)) << error;
    EXPECT_EQ(steps.back().AtMs, 1750);
    EXPECT_EQ(steps.back().Values[0].Value, 0.1);
    EXPECT_EQ(steps.back().Values[1].Value, 47.25);
}

TEST(TravoDrive, NamesTheFirstBadLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"100 1=1\n50 1=2\n", "line 2: time 50 goes back"},
        {"0 1=1\n0 x=1\n", "line 2: 'x=1' is no id=value pair"},
        {"0 256=1\n", "line 1: '256=1' is no id=value pair"},
        {"0 1=abc\n", "line 1: '1=abc' is no id=value pair"},
        {"0 92=1\n", "line 1: id 92 carries no number"},
        {"soon 1=1\n", "line 1: time 'soon' is no millisecond count"},
        {"10\n", "line 1: no id=value pair"},
    };
    for (const auto& [text, message] : cases) {
        std::istringstream in(text);
        std::vector<TStep> steps;
        std::string error;
        EXPECT_FALSE(travo::ParseDrive(in, steps, error)) << text;
        EXPECT_EQ(error, message);
    }
}

}  // namespace
