#pragma once
// The packet buffer's cases, run on each class that carries the buffer: a test file includes
// this and instantiates PacketBufferCases for its class.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "Classes.h"

template <class TBuffer>
class PacketBufferCases : public ::testing::Test {
protected:
    PacketBufferCases() {
        if constexpr (std::is_constructible_v<TBuffer, TComponent*>) {
            Buffer = std::make_unique<TBuffer>(nullptr);
        } else {
            Buffer = std::make_unique<TBuffer>();
        }
    }

    static std::string Bytes(std::initializer_list<int> values) {
        std::string bytes;
        for (int v : values) bytes.push_back(static_cast<char>(v));
        return bytes;
    }

    static std::string Packet(const std::string& payload) {
        const auto n = static_cast<unsigned>(payload.size());
        return Bytes({static_cast<int>(n & 0xFF), static_cast<int>((n >> 8) & 0xFF),
                      static_cast<int>((n >> 16) & 0xFF), static_cast<int>(n >> 24)}) + payload;
    }

    // Stores bytes at the write pointer and commits them in one step, as a receive would.
    void Commit(const std::string& bytes) {
        ASSERT_LE(static_cast<int>(bytes.size()), Buffer->FreeSpace());
        std::copy(bytes.begin(), bytes.end(), Buffer->WritePointer());
        Buffer->Commit(static_cast<int>(bytes.size()));
    }

    // The owners' rule: receive at most FreeSpace, commit, grow by 2048 below 512 free.
    void Feed(const std::string& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t room = static_cast<std::size_t>(Buffer->FreeSpace());
            const std::size_t n = std::min(room, bytes.size() - at);
            Commit(bytes.substr(at, n));
            at += n;
            if (Buffer->FreeSpace() < 512) Buffer->Grow(2048);
        }
    }

    void CollectPackets() {
        Buffer->OnReceived = [this](TObject* Sender) {
            EXPECT_EQ(Sender, Buffer.get());
            Lengths.push_back(Buffer->RcvdLen());
            Packets.push_back(Buffer->GetPacket());
        };
    }

    std::unique_ptr<TBuffer> Buffer;
    std::vector<std::string> Packets;
    std::vector<int> Lengths;
};

TYPED_TEST_SUITE_P(PacketBufferCases);

TYPED_TEST_P(PacketBufferCases, StartsWith4096BytesAndGrowsByWhatItIsAsked) {
    auto& buffer = *this->Buffer;
    EXPECT_EQ(buffer.InitialSize(), 4096);
    EXPECT_EQ(buffer.FreeSpace(), 4096);
    EXPECT_FALSE(buffer.SwapLen);
    buffer.Grow(2048);
    EXPECT_EQ(buffer.FreeSpace(), 6144);
    buffer.Grow(0);
    buffer.Grow(-5);
    EXPECT_EQ(buffer.Capacity(), 6144);
}

TYPED_TEST_P(PacketBufferCases, InitialSizeEnlargesOnlyBeyondTheCapacity) {
    auto& buffer = *this->Buffer;
    buffer.ChangeInitialSize(1000);
    EXPECT_EQ(buffer.InitialSize(), 1000);
    EXPECT_EQ(buffer.Capacity(), 4096);
    buffer.ChangeInitialSize(8192);
    EXPECT_EQ(buffer.Capacity(), 8192);
    buffer.Grow(100);
    buffer.ChangeInitialSize(8192);  // its own value: nothing
    EXPECT_EQ(buffer.Capacity(), 8292);
}

TYPED_TEST_P(PacketBufferCases, DeliversTwoPacketsOfOneCommitInOrderBeforeCommitReturns) {
    this->CollectPackets();
    this->Commit(this->Packet("abc") + this->Packet("de"));
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"abc", "de"}));
    EXPECT_EQ(this->Lengths, (std::vector<int>{3, 2}));
    EXPECT_EQ(this->Buffer->RcvdLen(), 2);
}

TYPED_TEST_P(PacketBufferCases, DeliversASplitPacketWithTheCommitThatCompletesIt) {
    const std::string stream = this->Packet("hello") + this->Packet("x");
    for (std::size_t split = 1; split < stream.size(); ++split) {
        this->Packets.clear();
        this->CollectPackets();
        this->Commit(stream.substr(0, split));
        const std::size_t before = this->Packets.size();
        EXPECT_EQ(before, split >= 9 ? 1u : 0u) << "split at " << split;
        this->Commit(stream.substr(split));
        EXPECT_EQ(this->Packets, (std::vector<std::string>{"hello", "x"})) << "split at " << split;
    }
}

TYPED_TEST_P(PacketBufferCases, ReadsThePrefixInTheChosenByteOrder) {
    this->CollectPackets();
    this->Commit(this->Bytes({3, 0, 0, 0}) + "abc");
    this->Buffer->SwapLen = true;
    this->Commit(this->Bytes({0, 0, 0, 3}) + "def");
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"abc", "def"}));
}

TYPED_TEST_P(PacketBufferCases, CommitOfNothingOrOfAnErrorChangesNothing) {
    auto& buffer = *this->Buffer;
    const std::string packet = this->Packet("abc");
    std::copy(packet.begin(), packet.end(), buffer.WritePointer());
    this->CollectPackets();
    buffer.Commit(0);
    buffer.Commit(-1);
    EXPECT_TRUE(this->Packets.empty());
    EXPECT_EQ(buffer.FreeSpace(), 4096);
    buffer.Commit(static_cast<int>(packet.size()));
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"abc"}));
}

TYPED_TEST_P(PacketBufferCases, ReturnsToTheBlockStartOnceEverythingIsConsumed) {
    auto& buffer = *this->Buffer;
    char* const start = buffer.WritePointer();
    this->CollectPackets();
    this->Commit(this->Packet("abcdef") + this->Bytes({2, 0}));
    EXPECT_NE(buffer.WritePointer(), start);
    this->Commit(this->Bytes({0, 0}) + "gh");
    EXPECT_EQ(this->Packets.size(), 2u);
    EXPECT_EQ(buffer.WritePointer(), start);
    EXPECT_EQ(buffer.FreeSpace(), buffer.Capacity());
}

TYPED_TEST_P(PacketBufferCases, WithoutAHandlerBytesWaitForTheNextCommit) {
    this->Commit(this->Packet("one") + this->Packet("two") + this->Bytes({1}));
    EXPECT_EQ(this->Buffer->RcvdLen(), 0);
    this->CollectPackets();
    this->Commit(this->Bytes({0, 0, 0}) + "3");
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"one", "two", "3"}));
}

TYPED_TEST_P(PacketBufferCases, AnEmptyPacketIsConsumedWithoutDelivery) {
    this->CollectPackets();
    this->Commit(this->Packet("") + this->Packet("") + this->Packet("z"));
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"z"}));
    this->Commit(this->Packet(""));
    EXPECT_EQ(this->Buffer->FreeSpace(), this->Buffer->Capacity());
}

TYPED_TEST_P(PacketBufferCases, AHandlerThatLeavesItsPacketStopsTheDelivery) {
    auto& buffer = *this->Buffer;
    int offers = 0;
    buffer.OnReceived = [&](TObject*) { ++offers; };
    this->Commit(this->Packet("kept") + this->Packet("next"));
    EXPECT_EQ(offers, 1);
    this->CollectPackets();
    this->Commit(this->Bytes({1, 0, 0, 0}));
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"kept", "next"}));
    this->Commit("z");
    // One that unbinds itself, as a closing window does, runs to its end with what it holds.
    buffer.OnReceived = [&, held = std::string(" and what the handler holds")](TObject*) {
        buffer.OnReceived = nullptr;
        this->Packets.push_back(buffer.GetPacket() + held);
    };
    this->Commit(this->Packet("last"));
    EXPECT_EQ(this->Packets.back(), "last and what the handler holds");
}

TYPED_TEST_P(PacketBufferCases, TakingWithoutAWholePacketReadsNothing) {
    auto& buffer = *this->Buffer;
    this->Commit(this->Bytes({4, 0, 0, 0}) + "ab");
    EXPECT_EQ(buffer.GetPacket(), "");
    char target[4] = {'-', '-', '-', '-'};
    buffer.ReadPacket(target);
    EXPECT_EQ(std::string(target, 4), "----");
    buffer.OnReceived = [&](TObject*) { buffer.ReadPacket(target); };
    this->Commit("cd");
    EXPECT_EQ(std::string(target, 4), "abcd");
    EXPECT_EQ(buffer.FreeSpace(), buffer.Capacity());
}

TYPED_TEST_P(PacketBufferCases, ALengthNoPacketCanHaveDropsTheStream) {
    auto& buffer = *this->Buffer;
    this->CollectPackets();
    this->Commit(this->Packet("ok") + this->Bytes({0, 0, 0, 0x80}) + "rest");
    EXPECT_TRUE(buffer.OutOfStep());
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"ok"}));
    EXPECT_EQ(buffer.FreeSpace(), buffer.Capacity());
    this->Commit(this->Packet("fresh"));
    EXPECT_FALSE(buffer.OutOfStep());

    this->Commit(this->Bytes({1, 0, 0x10, 0}));  // one byte above 1 MiB
    EXPECT_TRUE(buffer.OutOfStep());
    this->Commit(this->Bytes({0, 0, 0x10, 0}));  // exactly 1 MiB may come
    EXPECT_FALSE(buffer.OutOfStep());
    EXPECT_EQ(buffer.FreeSpace(), buffer.Capacity() - 4);
}

TYPED_TEST_P(PacketBufferCases, ALargestPacketArrivesAndTheBlockStaysBounded) {
    this->CollectPackets();
    const std::string big(MaxPacketSize, 'b');
    this->Feed(this->Packet(big) + this->Packet("small"));
    ASSERT_EQ(this->Packets.size(), 2u);
    EXPECT_EQ(this->Packets[0], big);
    EXPECT_LE(this->Buffer->Capacity(), MaxPacketSize + 8192);
}

TYPED_TEST_P(PacketBufferCases, AStreamThatNeverPausesAtAPacketEndDoesNotGrowTheBlock) {
    this->CollectPackets();
    std::string stream;
    for (int i = 0; i < 20000; ++i) stream += this->Packet(std::string(1 + i % 40, 'p'));
    // Chunks of 333 bytes never end on a packet boundary for long.
    for (std::size_t at = 0; at < stream.size(); at += 333) this->Feed(stream.substr(at, 333));
    EXPECT_EQ(this->Packets.size(), 20000u);
    EXPECT_LE(this->Buffer->Capacity(), 8192);
}

TYPED_TEST_P(PacketBufferCases, AnExceptionOfTheHandlerLeavesTheBufferAsTheHandlerLeftIt) {
    auto& buffer = *this->Buffer;
    bool take = true;
    buffer.OnReceived = [&](TObject*) {
        if (take) this->Packets.push_back(buffer.GetPacket());
        throw std::runtime_error("handler");
    };
    EXPECT_THROW(this->Commit(this->Packet("a") + this->Packet("b")), std::runtime_error);
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"a"}));
    take = false;
    EXPECT_THROW(this->Commit(this->Bytes({1, 0, 0, 0})), std::runtime_error);
    this->CollectPackets();
    this->Commit("c");
    EXPECT_EQ(this->Packets, (std::vector<std::string>{"a", "b", "c"}));
}

REGISTER_TYPED_TEST_SUITE_P(PacketBufferCases, StartsWith4096BytesAndGrowsByWhatItIsAsked,
                            InitialSizeEnlargesOnlyBeyondTheCapacity,
                            DeliversTwoPacketsOfOneCommitInOrderBeforeCommitReturns,
                            DeliversASplitPacketWithTheCommitThatCompletesIt,
                            ReadsThePrefixInTheChosenByteOrder, CommitOfNothingOrOfAnErrorChangesNothing,
                            ReturnsToTheBlockStartOnceEverythingIsConsumed,
                            WithoutAHandlerBytesWaitForTheNextCommit, AnEmptyPacketIsConsumedWithoutDelivery,
                            AHandlerThatLeavesItsPacketStopsTheDelivery, TakingWithoutAWholePacketReadsNothing,
                            ALengthNoPacketCanHaveDropsTheStream, ALargestPacketArrivesAndTheBlockStaysBounded,
                            AStreamThatNeverPausesAtAPacketEndDoesNotGrowTheBlock,
                            AnExceptionOfTheHandlerLeavesTheBufferAsTheHandlerLeftIt);
