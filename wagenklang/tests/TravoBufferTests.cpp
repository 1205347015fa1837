#include "TravoTcpClient.h"

#include "PacketBufferCases.h"

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

}  // namespace
