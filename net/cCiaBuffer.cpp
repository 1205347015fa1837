#include "cCiaBuffer.h"

namespace {

const bool registered = [] {
    RegisterComponentClass("TCiaBuffer", [](TComponent* AOwner) -> TComponent* { return new TCiaBuffer(AOwner); });
    return true;
}();

}  // namespace

TCiaBuffer::TCiaBuffer(TComponent* AOwner) : TPacketBuffer<TComponent>(AOwner) { ChangeInitialSize(4096); }

void TCiaBuffer::ChangeInitialSize(int Value) {
    TPacketBuffer<TComponent>::ChangeInitialSize(Value, (ComponentState() & csDesigning) == 0);
}

void TCiaBuffer::DefinePublished(TPublishedTable& table) {
    TComponent::DefinePublished(table);
    table.Property("InitialSize", [this](const TStreamValue& value) {
        ChangeInitialSize(static_cast<int>(value.AsInteger()));
    });
    table.Property("SwapLen", [this](const TStreamValue& value) { SwapLen = value.AsBoolean(); });
    table.Event("OnReceived", OnReceived);
}
