#include "TravoWindowClient.h"

#include <utility>

#include "user32.h"

const TClientMessage ConnectFailedMessage = {"Keine Verbindung möglich",
                                             "Die Verbindung konnte nicht hergestellt werden.", MB_ICONERROR};

namespace {

const char* const CaptionConnect = "Verbinden";
const char* const CaptionDisconnect = "Trennen";

// The greeting's fixed head: the code, program byte 01, client kind 02.
constexpr BYTE WindowClientProgram = 1;
constexpr BYTE WindowClientKind = 2;
// The receive room is grown by this much once less than GrowBelow bytes are free.
constexpr int GrowBelow = 512;
constexpr int GrowBy = 2048;

const TClientMessage TooManyConnections = {
    "Zu viele Verbindungen", "Es bestehen zu viele Verbindungen. Der Server hat diese nicht mehr akzeptiert",
    MB_ICONERROR};
const TClientMessage SimulatorConnected = {
    "Travo ist bereits verbunden", "Travo ist bereits verbunden. Trennen Sie Travo und versuchen Sie es erneut.",
    MB_ICONINFORMATION};
const TClientMessage HelloFailed = {
    "Unbekannter Fehler",
    "Es ist ein unbekannter Fehler beim Verbinden während des CMD_HELLO-Befehls aufgetreten. Falls Sie zuvor den "
    "Server aktualisiert hatten, aktualisieren Sie bitte nun das Client-Programm.",
    MB_ICONERROR};
const TClientMessage UnknownGroup = {
    "Unbekannter Befehlsvorrat",
    "NEEDED_DATA enthält einen unbekannten Befehlsvorrat, der vom Server nicht akzeptiert wurde.", MB_ICONERROR};
const TClientMessage RequestFailed = {"Unbekannte Server-Fehlermeldung",
                                      "CMD_NEEDED_DATA verursachte eine unbekannte Server-Fehlermeldung.",
                                      MB_ICONERROR};

// Bytes beyond the end of a payload read as 0.
BYTE ByteAt(const std::string& payload, std::size_t index) {
    return index < payload.size() ? static_cast<BYTE>(payload[index]) : 0;
}

}  // namespace

const TClientMessage& HelloRefusedMessage(BYTE Result) {
    if (Result == 1) return TooManyConnections;
    if (Result == 2) return SimulatorConnected;
    return HelloFailed;
}

const TClientMessage& RequestRefusedMessage(BYTE Result) { return Result == 1 ? UnknownGroup : RequestFailed; }

void RestartSound(TDSMixerChannel* Channel) {
    if (Channel->FileName().empty()) return;
    Channel->Stop();
    Channel->Play();
}

TTravoClientForm::TTravoClientForm(TComponent* AOwner, std::string ClientName, std::vector<BYTE> RequestedIds)
    : TForm(AOwner), FClientName(std::move(ClientName)), FRequestedIds(std::move(RequestedIds)) {}

void TTravoClientForm::DefinePublished(TPublishedTable& t) {
    TForm::DefinePublished(t);
    t.Field("CliSocket", CliSocket);
    t.Field("CliSocketBuffer", CliSocketBuffer);
    t.Field("gbVerbindung", gbVerbindung);
    t.Field("laServer", laServer);
    t.Field("edServer", edServer);
    t.Field("laPort", laPort);
    t.Field("cbPort", cbPort);
    t.Field("btnConnect", btnConnect);
    t.Field("cbOnTop", cbOnTop);
    t.Handler<TNotifyEvent>("btnConnectClick", [this](TObject* s) { btnConnectClick(s); });
    t.Handler<TSocketEvent>("CliSocketSessionConnected", [this](TObject* s, WORD e) { CliSocketSessionConnected(s, e); });
    t.Handler<TSocketEvent>("CliSocketSessionClosed", [this](TObject* s, WORD e) { CliSocketSessionClosed(s, e); });
    t.Handler<TSocketEvent>("CliSocketDataAvailable", [this](TObject* s, WORD e) { CliSocketDataAvailable(s, e); });
    t.Handler<TNotifyEvent>("CliSocketBufferReceived", [this](TObject* s) { CliSocketBufferReceived(s); });
    t.Handler<TNotifyEvent>("cbOnTopClick", [this](TObject* s) { cbOnTopClick(s); });
}

bool TTravoClientForm::Connected() const { return CliSocket && CliSocket->State() == wsConnected; }

void TTravoClientForm::btnConnectClick(TObject*) {
    if (Connected()) {
        Disconnect();
        return;
    }
    try {
        RenewBuffer();
        CliSocket->SetPort(cbPort->Text());
        CliSocket->SetAddr(edServer->Text());
        CliSocket->SetProto("tcp");
        CliSocket->Connect();
    } catch (...) {
        // A connect that failed after its socket was made leaves the socket opened, and every
        // later click would fail as "already in use". An attempt still pending is left alone.
        if (CliSocket->State() == wsOpened) {
            try {
                CliSocket->AbortConnection();
            } catch (...) {
            }
        }
    }
}

void TTravoClientForm::Disconnect() {
    try {
        CliSocket->Disconnect();
    } catch (...) {
    }
    btnConnect->SetCaption(CaptionConnect);
}

void TTravoClientForm::RenewBuffer() {
    // A click cannot come while a packet is delivered (the boxes shown then are modal), so the
    // buffer replaced here is never one whose Commit is running.
    TCiaBuffer* old = CliSocketBuffer;
    auto* fresh = new TCiaBuffer(this);
    fresh->ChangeInitialSize(old->InitialSize());
    fresh->SwapLen = old->SwapLen;
    fresh->OnReceived = old->OnReceived;
    const std::string name = old->Name();
    delete old;
    fresh->SetName(name);
    CliSocketBuffer = fresh;
}

void TTravoClientForm::CliSocketSessionConnected(TObject*, WORD ErrCode) {
    if (ErrCode != 0) {
        ShowMessage(ConnectFailedMessage);
        return;
    }
    btnConnect->SetCaption(CaptionDisconnect);
    // The length travels in one byte: a longer name is cut, so that the frame stays true.
    const std::string name = FClientName.substr(0, 255);
    std::string payload;
    AppendWord(payload, CMD_HELLO);
    payload.push_back(static_cast<char>(WindowClientProgram));
    payload.push_back(static_cast<char>(WindowClientKind));
    payload.push_back(static_cast<char>(name.size()));
    payload += name;
    SendPacket(payload);
}

void TTravoClientForm::CliSocketSessionClosed(TObject*, WORD) { btnConnect->SetCaption(CaptionConnect); }

void TTravoClientForm::CliSocketDataAvailable(TObject*, WORD ErrCode) {
    if (ErrCode != 0) return;
    TCiaBuffer* buffer = CliSocketBuffer;
    const int received = CliSocket->ReceiveBytes(buffer->WritePointer(), buffer->FreeSpace());
    buffer->Commit(received);
    if (buffer->OutOfStep()) {
        // A length no packet can have: the rest of this stream cannot be cut into packets.
        if (Connected()) Disconnect();
        return;
    }
    if (buffer->FreeSpace() < GrowBelow) buffer->Grow(GrowBy);
}

void TTravoClientForm::CliSocketBufferReceived(TObject*) { HandlePacket(CliSocketBuffer->GetPacket()); }

void TTravoClientForm::SendPacket(const std::string& Payload) { CliSocket->SendText(AddLengthPrefix(Payload)); }

void TTravoClientForm::SendDataRequest() {
    std::string request;
    AppendWord(request, CMD_NEEDED_DATA);
    AppendWord(request, CAB_VALUES);
    request.append(FRequestedIds.begin(), FRequestedIds.end());
    SendPacket(request);
    std::string endOfRequest;
    AppendWord(endOfRequest, CMD_NEEDED_DATA);
    AppendWord(endOfRequest, 0);
    SendPacket(endOfRequest);
}

void TTravoClientForm::HandlePacket(const std::string& Payload) {
    // Once a refusal has closed the connection, what was received behind it is dropped: a second
    // refusal would otherwise connect again, and a reply would send on the closed socket.
    if (!Connected()) return;
    if (ByteAt(Payload, 0) != 0) return;
    const BYTE result = ByteAt(Payload, 2);
    switch (ByteAt(Payload, 1)) {
        case CMD_HELLO_REPLY:
            if (result == 0) {
                SendDataRequest();
            } else {
                btnConnectClick(this);
                ShowMessage(HelloRefusedMessage(result));
            }
            break;
        case CMD_NEEDED_DATA_REPLY:
            if (result != 0) ShowMessage(RequestRefusedMessage(result));
            break;
        case CAB_VALUES:
            HandleDataPacket(Payload);
            break;
        default:
            break;
    }
}

void TTravoClientForm::cbOnTopClick(TObject*) {
    SetWindowPos(Handle(), cbOnTop->Checked() ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_FRAMECHANGED);
}

void TTravoClientForm::ShowMessage(const TClientMessage& Message) {
    MessageBoxA(Handle(), Message.Text, Message.Caption, MB_OK | Message.Icon);
}

void TTravoClientForm::EndClient() {
    if (CliSocketBuffer) CliSocketBuffer->OnReceived = nullptr;
    if (!CliSocket) return;
    CliSocket->OnDataAvailable = nullptr;
    CliSocket->OnSessionClosed = nullptr;
    CliSocket->OnSessionConnected = nullptr;
    if (CliSocket->State() != wsClosed) {
        try {
            CliSocket->AbortConnection();
        } catch (...) {
        }
    }
}
