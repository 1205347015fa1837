#pragma once
// TCustomLineEventSocket cuts the received bytes into lines while line mode is on;
// TCustomSyncEventSocket waits for a flag while pumping messages. With line mode off, which is
// how the programs use them, both behave as the plain socket.

#include "SocksEventSocket.h"

class TCustomLineEventSocket : public TCustomSocksEventSocket {
public:
    int LineLimit = 65536;  // bytes of one line; 0 or less: no limit

protected:
    explicit TCustomLineEventSocket(TComponent* AOwner) : TCustomSocksEventSocket(AOwner) {}
};

class TCustomSyncEventSocket : public TCustomLineEventSocket {
protected:
    explicit TCustomSyncEventSocket(TComponent* AOwner) : TCustomLineEventSocket(AOwner) {}
};
