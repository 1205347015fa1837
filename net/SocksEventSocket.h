#pragma once
// TCustomSocksEventSocket: the layer that reaches a target through a SOCKS proxy. While no
// proxy is set, which is how the programs use it, every operation is the plain socket's.

#include "CustomEventSocket.h"

class TCustomSocksEventSocket : public TCustomEventSocket {
protected:
    explicit TCustomSocksEventSocket(TComponent* AOwner) : TCustomEventSocket(AOwner) {}
};
