#pragma once
// The window-side client of the simulator protocol that Lokklang and Triebklang share: the
// connect button, the socket's connection and data events, the greeting and the data request,
// the dispatch of the server's replies with the user's message boxes, and the always-in-front
// switch. Everything runs in the main thread: the socket's events are messages of its hidden
// window. A program's window derives from it and adds its client name, its requested ids and
// its own HandleDataPacket.

#include <string>
#include <vector>

#include "DSMixer.h"
#include "EventSocket.h"
#include "Forms.h"
#include "StdCtrls.h"
#include "cCiaBuffer.h"
#include "TravoTcpConstants.h"

// The message boxes of the client, by occasion.
struct TClientMessage {
    const char* Caption;
    const char* Text;
    UINT Icon;
};
extern const TClientMessage ConnectFailedMessage;
// The greeting's refusals: result 1, result 2, any other result.
const TClientMessage& HelloRefusedMessage(BYTE Result);
// The data request's refusals: result 1, any other result.
const TClientMessage& RequestRefusedMessage(BYTE Result);

// Plays the channel's sound from its beginning, also while it plays (Play alone does nothing
// then). A channel whose file could not be loaded stays silent: its raise would end the packet,
// and as the simulator sends all its values every time, one missing file would lose every
// record behind it, and the packet's closing step, in every packet.
void RestartSound(TDSMixerChannel* Channel);

class TTravoClientForm : public TForm {
public:
    TTravoClientForm(TComponent* AOwner, std::string ClientName, std::vector<BYTE> RequestedIds);

    TEventSocket* CliSocket = nullptr;
    TCiaBuffer* CliSocketBuffer = nullptr;
    TGroupBox* gbVerbindung = nullptr;
    TLabel* laServer = nullptr;
    TEdit* edServer = nullptr;
    TLabel* laPort = nullptr;
    TComboBox* cbPort = nullptr;
    TButton* btnConnect = nullptr;
    TCheckBox* cbOnTop = nullptr;

    void DefinePublished(TPublishedTable& table) override;

    void btnConnectClick(TObject* Sender);
    void CliSocketSessionConnected(TObject* Sender, WORD ErrCode);
    void CliSocketSessionClosed(TObject* Sender, WORD ErrCode);
    void CliSocketDataAvailable(TObject* Sender, WORD ErrCode);
    void CliSocketBufferReceived(TObject* Sender);
    void cbOnTopClick(TObject* Sender);

    void SendPacket(const std::string& Payload);
    void SendDataRequest();
    void HandlePacket(const std::string& Payload);

    const std::string& ClientName() const { return FClientName; }
    const std::vector<BYTE>& RequestedIds() const { return FRequestedIds; }

protected:
    // One CAB_VALUES payload, whole.
    virtual void HandleDataPacket(const std::string& Payload) = 0;
    // For the window's destroy handler: no socket event reaches the window any more, and a
    // connection still up is aborted.
    void EndClient();

private:
    bool Connected() const;
    void ShowMessage(const TClientMessage& Message);
    // The buffer is kept across connections, but the bytes of a packet cut off by the end of
    // one connection would misframe the next: each connection starts with an empty buffer.
    void RenewBuffer();
    void Disconnect();

    std::string FClientName;
    std::vector<BYTE> FRequestedIds;
};
