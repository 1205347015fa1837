#pragma once
// TCiaBuffer: the packet buffer as a component, placed on a window and configured through its
// published properties InitialSize, RcvdLen (read-only), SwapLen and the event OnReceived.

#include "Classes.h"
#include "PacketBuffer.h"

class TCiaBuffer : public TPacketBuffer<TComponent> {
public:
    explicit TCiaBuffer(TComponent* AOwner);

    // In the framework's design mode only the property changes; the block stays as it is.
    void ChangeInitialSize(int Value);

    void DefinePublished(TPublishedTable& table) override;
};
