#pragma once
// TEventSocket: the socket component that a window places and a form resource creates by
// class name; it publishes the properties and events of the class chain.

#include "LineEventSocket.h"

class TEventSocket final : public TCustomSyncEventSocket {
public:
    // The one way to make a socket: the virtual steps of construction run once the object is
    // complete. Raises ESocketException when the hidden window cannot be created.
    static TEventSocket* Create(TComponent* AOwner);
    ~TEventSocket() override;

    // The version bytes that the library start-up requests, for the whole process. A change is
    // refused (and reported) while the library is loaded.
    BYTE ReqVerLow() const;
    BYTE ReqVerHigh() const;
    void SetReqVerLow(BYTE Value);
    void SetReqVerHigh(BYTE Value);

    void DefinePublished(TPublishedTable& table) override;

private:
    explicit TEventSocket(TComponent* AOwner) : TCustomSyncEventSocket(AOwner) {}
    void SetReqVer(BYTE Value, BYTE Current, void (*Store)(BYTE), const char* Setter);
};
