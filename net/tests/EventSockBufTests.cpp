#include "EventSockBuf.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

namespace {

std::vector<char> Bytes(int count) {
    std::vector<char> bytes(static_cast<std::size_t>(count));
    std::iota(bytes.begin(), bytes.end(), static_cast<char>(1));
    return bytes;
}

TEST(SendBlock, SizeAtCreation) {
    const struct {
        int Requested;
        int Size;
    } cases[] = {{0, 1514}, {-1, 1514}, {-100000, 1514}, {1460, 1460}, {1, 1}};
    for (const auto& c : cases) {
        TBuffer block(c.Requested);
        EXPECT_EQ(block.BlockSize(), c.Size) << c.Requested;
        int len = -1;
        EXPECT_EQ(block.FirstUnsent(len), nullptr);
        EXPECT_EQ(len, 0);
        EXPECT_EQ(block.MarkSent(10), 0);
    }
}

TEST(SendBlock, FillsAtTheEndAndDrainsFromTheFront) {
    TBuffer block(1460);
    const std::vector<char> data = Bytes(2000);
    EXPECT_EQ(block.Append(data.data(), 2000), 1460);
    EXPECT_EQ(block.Append(data.data(), 10), 0);  // full

    TBuffer partly(1460);
    ASSERT_EQ(partly.Append(data.data(), 100), 100);
    ASSERT_EQ(partly.MarkSent(40), 40);
    int len = 0;
    const char* first = static_cast<const char*>(partly.FirstUnsent(len));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(len, 60);
    EXPECT_EQ(*first, data[40]);
    // The room behind the written bytes only: the sent front is not reused yet.
    EXPECT_EQ(partly.Append(data.data(), 2000), 1360);
    EXPECT_EQ(partly.Written(), 1460);
    partly.FirstUnsent(len);
    EXPECT_EQ(len, 1420);
    EXPECT_EQ(first, partly.FirstUnsent(len));  // the pending bytes did not move
    EXPECT_EQ(first[60], data[0]);
}

TEST(SendBlock, RemovingEverythingFreesTheWholeBlock) {
    TBuffer block(100);
    const std::vector<char> data = Bytes(100);
    ASSERT_EQ(block.Append(data.data(), 30), 30);
    int len = 0;
    char* start = static_cast<char*>(block.FirstUnsent(len));
    ASSERT_EQ(block.MarkSent(10), 10);
    EXPECT_EQ(block.MarkSent(1000), 20);  // more than pending: the pending count
    EXPECT_EQ(block.Written(), 0);
    EXPECT_EQ(block.Sent(), 0);
    EXPECT_EQ(block.FirstUnsent(len), nullptr);
    EXPECT_EQ(block.Append(data.data() + 50, 50), 50);  // the next bytes start at the front
    EXPECT_EQ(block.FirstUnsent(len), start);
    EXPECT_EQ(len, 50);
    EXPECT_EQ(start[0], data[50]);
}

TEST(SendBlock, NegativeLengthsAreNothing) {
    TBuffer block(100);
    const std::vector<char> data = Bytes(10);
    EXPECT_EQ(block.Append(data.data(), -5), 0);
    EXPECT_EQ(block.Written(), 0);
    ASSERT_EQ(block.Append(data.data(), 10), 10);
    EXPECT_EQ(block.MarkSent(-3), 0);
    int len = 0;
    block.FirstUnsent(len);
    EXPECT_EQ(len, 10);
    EXPECT_EQ(block.Sent(), 0);
}

TEST(SendBlock, ResizingKeepsWhatIsWritten) {
    const std::vector<char> data = Bytes(200);
    TBuffer block(100);
    ASSERT_EQ(block.Append(data.data(), 50), 50);
    ASSERT_EQ(block.MarkSent(20), 20);
    int len = 0;
    const void* before = block.FirstUnsent(len);
    block.SetSize(100);  // the same size: nothing changes, pending bytes included
    EXPECT_EQ(block.FirstUnsent(len), before);
    EXPECT_EQ(len, 30);

    block.SetSize(200);
    EXPECT_EQ(block.BlockSize(), 200);
    const char* moved = static_cast<const char*>(block.FirstUnsent(len));
    EXPECT_EQ(len, 30);
    EXPECT_EQ(std::vector<char>(moved, moved + 30), std::vector<char>(data.begin() + 20, data.begin() + 50));
    EXPECT_EQ(block.Append(data.data(), 200), 150);

    // Below the written count the pending bytes would be cut: refused, the block kept.
    block.SetSize(120);
    EXPECT_EQ(block.BlockSize(), 200);
    EXPECT_EQ(block.Written(), 200);
    block.FirstUnsent(len);
    EXPECT_EQ(len, 180);

    TBuffer empty(100);
    empty.SetSize(0);
    EXPECT_EQ(empty.BlockSize(), 1514);
    EXPECT_EQ(empty.Append(data.data(), 50), 50);
}

TEST(TBufferTest, BlocksOfARunLieEndToEndAndOneResizedLeavesIt) {
    std::shared_ptr<char[]> run(new char[300]);
    auto first = std::make_unique<TBuffer>(run, 0, 100);
    TBuffer second(run, 100, 100);
    TBuffer third(run, 200, 100);
    EXPECT_EQ(second.Start(), first->End());
    EXPECT_EQ(third.Start(), second.End());
    const std::vector<char> data(150, 'r');
    EXPECT_EQ(first->Append(data.data(), 150), 100);
    EXPECT_EQ(second.Append(data.data(), 30), 30);
    second.SetSize(200);  // its bytes move to a block of its own; the run stays with the others
    EXPECT_NE(second.Start(), first->End());
    EXPECT_EQ(second.Written(), 30);
    first.reset();
    run.reset();
    EXPECT_EQ(third.Append(data.data(), 150), 100);  // the run lives while a block does
    int len = 0;
    EXPECT_EQ(static_cast<const char*>(third.FirstUnsent(len))[99], 'r');
    EXPECT_EQ(len, 100);
}

}  // namespace
