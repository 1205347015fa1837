#include "cCiaBuffer.h"

#include "PacketBufferCases.h"

namespace {

INSTANTIATE_TYPED_TEST_SUITE_P(CiaBuffer, PacketBufferCases, TCiaBuffer);

TEST(CiaBufferComponent, IsCreatedByClassNameAndFreedByItsOwner) {
    TComponent owner(nullptr);
    TComponent* created = CreateComponentByClassName("TCiaBuffer", &owner);
    ASSERT_NE(created, nullptr);
    EXPECT_NE(dynamic_cast<TCiaBuffer*>(created), nullptr);
    EXPECT_EQ(owner.ComponentCount(), 1);
}

TEST(CiaBufferComponent, PublishesItsPropertiesAndEvent) {
    TCiaBuffer buffer(nullptr);
    TPublishedTable table;
    buffer.DefinePublished(table);
    TStreamValue size;
    size.Integer = 8192;
    ASSERT_NE(table.FindProperty("InitialSize"), nullptr);
    (*table.FindProperty("InitialSize"))(size);
    EXPECT_EQ(buffer.InitialSize(), 8192);
    EXPECT_EQ(buffer.Capacity(), 8192);

    TStreamValue swap;
    swap.Kind = TStreamValue::TKind::Boolean;
    swap.Boolean = true;
    ASSERT_NE(table.FindProperty("SwapLen"), nullptr);
    (*table.FindProperty("SwapLen"))(swap);
    EXPECT_TRUE(buffer.SwapLen);
    EXPECT_EQ(table.FindProperty("RcvdLen"), nullptr);  // read-only: never stored

    int fired = 0;
    const TNotifyEvent handler = [&](TObject* Sender) {
        ++fired;
        static_cast<TCiaBuffer*>(Sender)->GetPacket();
    };
    ASSERT_NE(table.FindEvent("OnReceived"), nullptr);
    EXPECT_TRUE((*table.FindEvent("OnReceived"))(std::any(handler)));
    const char packet[] = {0, 0, 0, 1, 'x'};
    std::copy(packet, packet + sizeof packet, buffer.WritePointer());
    buffer.Commit(sizeof packet);
    EXPECT_EQ(fired, 1);
}

}  // namespace
