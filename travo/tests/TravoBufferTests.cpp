#include "TravoTcpClient.h"

#include "PacketBufferCases.h"
#include "TravoClientSupport.h"

namespace {

INSTANTIATE_TYPED_TEST_SUITE_P(TravoBuffer, PacketBufferCases, TTravoBuffer);

TEST(TravoBuffer, SwapBytes32ReversesTheFourBytes) {
    EXPECT_EQ(SwapBytes32(0x11223344u), 0x44332211u);
    EXPECT_EQ(SwapBytes32(SwapBytes32(0x80000001u)), 0x80000001u);
}

TEST(TravoFraming, AddLengthPrefixCountsThePayloadLeastSignificantByteFirst) {
    EXPECT_EQ(AddLengthPrefix(""), std::string(4, '\0'));
    EXPECT_EQ(AddLengthPrefix("ab"), std::string("\x02\0\0\0ab", 6));
    const std::string big(0x10203, 'x');
    EXPECT_EQ(AddLengthPrefix(big).substr(0, 4), std::string("\x03\x02\x01\0", 4));
}

// The receive loop's way into the buffer, as the stream fuzzer drives it: pieces of any size
// deliver what the whole stream delivers, and a stream out of step ends the reading there.
TEST(TravoTakeData, PiecesOfAnySizeDeliverTheWholeStreamAndALengthNoPacketCanHaveStopsIt) {
    const auto recordingClient = [] {
        auto client = std::make_unique<TTravoTCP>();
        client->OnSingle = &TRecorder::Single;
        client->OnInteger = &TRecorder::Integer;
        client->OnDouble = &TRecorder::Double;
        client->OnDoubleHigh = &TRecorder::DoubleHigh;
        TRecorder::Instance().Clear();
        return client;
    };
    const std::string stream = travo::CabValuesPacket({{1, 12.5}, {86, 4}}) + travo::Frame("") +
                               travo::CabValuesPacket({{50, 3.25}, {200, 0}, {105, -2.0}});
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        const auto client = recordingClient();
        for (std::size_t at = 0; at < stream.size(); at += piece)
            ASSERT_TRUE(client->TakeData(stream.data() + at, std::min(piece, stream.size() - at)));
        const std::vector<TRecordedValue> values = TRecorder::Instance().TakeValues();
        ASSERT_EQ(values.size(), 4u) << "in pieces of " << piece;
        EXPECT_EQ(values[0].Value, 12.5);
        EXPECT_EQ(values[1].Value, 4);
        EXPECT_EQ(values[2].Value, 3.25);
        EXPECT_EQ(values[3].Value, -2.0);
    }

    const auto client = recordingClient();
    const std::string outOfStep = std::string("\0\0\0\x80", 4) + travo::CabValuesPacket({{1, 1.0}});
    EXPECT_FALSE(client->TakeData(outOfStep.data(), outOfStep.size()));
    EXPECT_TRUE(TRecorder::Instance().TakeValues().empty());
}

}  // namespace
