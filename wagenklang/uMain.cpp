#include "uMain.h"

#include "ProgramEntry.h"
#include "SysUtils.h"
#include "TravoTcpConstants.h"
#include "kernel32.h"
#include "user32.h"

TMain* Main = nullptr;

namespace {
constexpr const char* DrehfaltAuf = "Drehfalttuer_Bn_auf.wav";
constexpr const char* DrehfaltBnZu = "Drehfalttuer_Bn_zu.wav";
constexpr const char* DrehfaltByZu = "Drehfalttuer_By_zu.wav";
constexpr const char* SchwenkschiebeAuf = "Schwenkschiebetuer_auf.wav";
constexpr const char* SchwenkschiebeZu = "Schwenkschiebetuer_zu.wav";
}  // namespace

const std::array<const char*, 5> DoorSoundFiles = {DrehfaltAuf, DrehfaltBnZu, DrehfaltByZu,
                                                   SchwenkschiebeAuf, SchwenkschiebeZu};

const std::array<const char*, ChannelCount + 1> ChannelFiles = {
    nullptr,
    "Fahrschalter_0-Ab.wav",
    "Fahrschalter_Ab-Fahren.wav",
    "Fahrschalter_Fahren-Auf.wav",
    "Fahrschalter_Auf-Fahren.wav",
    "Fahrschalter_Fahren-Ab.wav",
    "Fahrschalter_Ab-0.wav",
    "FbV_Raste.wav",
    "FbV_anlegen.wav",
    "FbV_loesen.wav",
    "FbV_SB.wav",
    "DynBr_Raste.wav",
    "ZusBr_anlegen.wav",
    "ZusBr_Mitte.wav",
    "ZusBr_loesen.wav",
    "Rischa_0.wav",
    "Rischa_Richtung.wav",
    "Kippschalter_einlegen.wav",
    "Kippschalter_auslegen.wav",
    nullptr,
    nullptr,
    "TB0.wav",
    "Tuerschalter_SAT.wav",
};

TDSMixer* Mixer = nullptr;
std::array<TDSMixerChannel*, ChannelCount + 1> Channels{};
bool Connected = false;
std::atomic<bool> TB0Blocked{false};

TValuePair<float> Speed;
TValuePair<BYTE> MasterController;
TValuePair<BYTE> BrakeValve;
TValuePair<BYTE> DynamicBrake;
TValuePair<BYTE> AuxiliaryBrake;
TValuePair<BYTE> ToggleSwitch1;
TValuePair<BYTE> DirectionSwitch;
TValuePair<BYTE> DoorSwitch;
TValuePair<BYTE> FanSwitch;
TValuePair<BYTE> DoorState;

std::string SoundFolderOverride;

namespace {

const char* const ClientName = "Wagenklang";
const BYTE ClientKind = 2;
const std::vector<BYTE> RequestedIds = {IdSpeed,          IdMasterController, IdBrakeValve, IdDynamicBrake,
                                        IdAuxiliaryBrake, IdToggleSwitch1,    IdDirectionSwitch,
                                        IdDoorSwitch,     IdFanSwitch,        IdDoorState};

const float DepartureSpeed = 35.0f;
const LONG SoundOn = 0;
const LONG SoundOff = -10000;

// Posted by the receive thread when its loop has ended.
constexpr UINT WM_RECEIVE_ENDED = WM_USER + 1;
const char* const NoticeWindowClass = "TWagenklangNotice";

struct TDoorFiles {
    const char* Opening;
    const char* Closing;
};

// ---- channel operations of the rules ----------------------------------------------------------

// The rules run on the receive thread, where nobody could be told of a failure: a channel that
// holds no file (it raises "No file opened") or that the sound device refuses stays silent.
void PlaySound(int number) {
    TDSMixerChannel* channel = Channels[number];
    if (!channel) return;
    try {
        channel->Stop();
        channel->Play();
    } catch (const Exception&) {
    }
}

void StopSound(int number) {
    TDSMixerChannel* channel = Channels[number];
    if (!channel) return;
    try {
        channel->Stop();
    } catch (const Exception&) {
    }
}

bool Between(BYTE value, BYTE low, BYTE high) { return value >= low && value <= high; }

bool DepartureTB0() { return Main && Main->rbAbfTB0->Checked(); }
bool DepartureSAT() { return Main && Main->rbAbfSAT->Checked(); }
bool NoDoorSounds() { return !Main || Main->rbTuerKeine->Checked(); }

// ---- the rules, one id each --------------------------------------------------------------------

void SpeedRules() {
    if (DepartureTB0() && Speed.Current < DepartureSpeed && Speed.Previous >= DepartureSpeed && !TB0Blocked)
        PlaySound(chTB0);
}

void MasterControllerRules() {
    const BYTE now = MasterController.Current;
    const BYTE before = MasterController.Previous;
    if (now == 1 && before == 0) PlaySound(chFahrschalter0Ab);
    if (now == 2 && before <= 1) PlaySound(chFahrschalterAbFahren);
    if (now == 3 && before <= 2) PlaySound(chFahrschalterFahrenAuf);
    if (now == 2 && before == 3) PlaySound(chFahrschalterAufFahren);
    if (now == 1 && before >= 2) PlaySound(chFahrschalterFahrenAb);
    if (now == 0 && before >= 1) PlaySound(chFahrschalterAb0);
}

void BrakeValveRules() {
    const BYTE now = BrakeValve.Current;
    const BYTE before = BrakeValve.Previous;
    if (BrakeValve.Changed()) PlaySound(chFbVRaste);
    if (now == 1 && before >= 2) PlaySound(chFbVLoesen);
    // Applying and releasing within the braking steps cut each other short.
    if (Between(now, 3, 8) && before < now) {
        StopSound(chFbVLoesen);
        PlaySound(chFbVAnlegen);
    }
    if (Between(now, 3, 8) && before > now) {
        StopSound(chFbVAnlegen);
        PlaySound(chFbVLoesen);
    }
    if (now == 9 && before <= 8) PlaySound(chFbVSB);
}

void DynamicBrakeRules() {
    if (DynamicBrake.Changed()) PlaySound(chDynBrRaste);
}

void AuxiliaryBrakeRules() {
    const BYTE now = AuxiliaryBrake.Current;
    const BYTE before = AuxiliaryBrake.Previous;
    if (now == 1 && before == 2) {
        StopSound(chZusBrLoesen);
        PlaySound(chZusBrMitte);
    }
    if (now == 0 && before >= 1) PlaySound(chZusBrAnlegen);
    if (now == 1 && before == 0) {
        StopSound(chZusBrAnlegen);
        PlaySound(chZusBrMitte);
    }
    if (now == 2 && before <= 1) PlaySound(chZusBrLoesen);
}

void ToggleSwitchRules(const TValuePair<BYTE>& toggle) {
    if (toggle.Current != 0 && toggle.Previous == 0) PlaySound(chKippschalterEinlegen);
    if (toggle.Current == 0 && toggle.Previous != 0) PlaySound(chKippschalterAuslegen);
}

void DirectionSwitchRules() {
    const BYTE now = DirectionSwitch.Current;
    const BYTE before = DirectionSwitch.Previous;
    if ((now == 0 && before >= 1) || (now == 2 && before != 2)) PlaySound(chRischaRichtung);
    if (now == 1 && before != 1) PlaySound(chRischa0);
}

void DoorSwitchRules() {
    if (DepartureTB0() && DoorSwitch.Current != 0 && !Between(DoorState.Current, 1, 6)) TB0Blocked = true;
    if (DepartureSAT() && DoorSwitch.Changed()) PlaySound(chTuerschalterSAT);
}

void DoorStateRules() {
    if (NoDoorSounds()) return;
    if (DoorState.Current == 1 && DoorState.Previous != 1) PlaySound(chTuerAuf);
    if (DoorState.Current == 4 && DoorState.Previous != 4) {
        PlaySound(chTuerZu);
        if (DepartureTB0()) {
            PlaySound(chTB0);
            TB0Blocked = false;
        }
    }
}

void TakeSwitch(TValuePair<BYTE>& pair, float value) { pair.Take(RoundToByte(value)); }

// ---- the receive thread's notice --------------------------------------------------------------

LRESULT NoticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_RECEIVE_ENDED) return DefWindowProcA(window, message, wParam, lParam);
    if (auto* main = reinterpret_cast<TMain*>(GetWindowLongPtrA(window, GWLP_USERDATA))) main->ReceiveEnded();
    return 0;
}

// A window of the main thread, so that the notice is handled there, between the window's other
// events.
HWND CreateNoticeWindow(TMain* main) {
    static const bool registered = [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = NoticeWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = NoticeWindowClass;
        return RegisterClassA(&windowClass) != 0;
    }();
    if (!registered) return nullptr;
    const HWND window = CreateWindowExA(0, NoticeWindowClass, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleA(nullptr), nullptr);
    if (window) SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(main));
    return window;
}

}  // namespace

// ---- the client's handlers --------------------------------------------------------------------

void HandleSingleValue(WORD Group, BYTE Id, float Value) {
    if (Group != CAB_VALUES) return;
    switch (Id) {
        case IdSpeed:
            Speed.Take(Value);
            SpeedRules();
            break;
        case IdMasterController:
            TakeSwitch(MasterController, Value);
            MasterControllerRules();
            break;
        case IdBrakeValve:
            TakeSwitch(BrakeValve, Value);
            BrakeValveRules();
            break;
        case IdDynamicBrake:
            TakeSwitch(DynamicBrake, Value);
            DynamicBrakeRules();
            break;
        case IdAuxiliaryBrake:
            TakeSwitch(AuxiliaryBrake, Value);
            AuxiliaryBrakeRules();
            break;
        case IdToggleSwitch1:
            TakeSwitch(ToggleSwitch1, Value);
            ToggleSwitchRules(ToggleSwitch1);
            break;
        case IdFanSwitch:
            TakeSwitch(FanSwitch, Value);
            ToggleSwitchRules(FanSwitch);
            break;
        case IdDirectionSwitch:
            TakeSwitch(DirectionSwitch, Value);
            DirectionSwitchRules();
            break;
        case IdDoorSwitch:
            TakeSwitch(DoorSwitch, Value);
            DoorSwitchRules();
            break;
        default:
            break;
    }
}

void HandleIntegerValue(WORD Group, BYTE Id, LONG Value) {
    if (Group != CAB_VALUES || Id != IdDoorState) return;
    // Kept also while no door sounds are chosen, so that choosing a door type later does not
    // sound a state the doors are already in.
    DoorState.Take(static_cast<BYTE>(Value & 0xFF));
    DoorStateRules();
}

void HandleDoubleValue(WORD, BYTE, double) {}

void HandleBytesValue(WORD, BYTE, const std::vector<BYTE>&) {}

DWORD ReceiveThreadProc(LPVOID) {
    // The window and its client outlive this thread: they wait for it before they go.
    TMain* main = Main;
    main->Client->ReceiveLoop();
    if (const HWND notice = main->NoticeWindow()) PostMessageA(notice, WM_RECEIVE_ENDED, 0, 0);
    return 0;
}

// ---- TMain -------------------------------------------------------------------------------------

void TMain::DefinePublished(TPublishedTable& t) {
    TForm::DefinePublished(t);
    t.Field("gbTCP", gbTCP);
    t.Field("laTCPServer", laTCPServer);
    t.Field("edTCPServer", edTCPServer);
    t.Field("laTCPPort", laTCPPort);
    t.Field("edTCPPort", edTCPPort);
    t.Field("btnTCPConnection", btnTCPConnection);
    t.Field("laTCPConnectionStateCaption", laTCPConnectionStateCaption);
    t.Field("laTCPConnectionState", laTCPConnectionState);
    t.Field("gbTuersound", gbTuersound);
    t.Field("rbTuerKeine", rbTuerKeine);
    t.Field("laLok", laLok);
    t.Field("rbTuerDrehfaltBn", rbTuerDrehfaltBn);
    t.Field("laBndzfBnrdzf", laBndzfBnrdzf);
    t.Field("rbTuerDrehfaltBy", rbTuerDrehfaltBy);
    t.Field("laBybdzf", laBybdzf);
    t.Field("rbTuerSchwenkschiebe", rbTuerSchwenkschiebe);
    t.Field("laBnrbdzf", laBnrbdzf);
    t.Field("gbAbfertigung", gbAbfertigung);
    t.Field("rbAbfOhne", rbAbfOhne);
    t.Field("rbAbfTB0", rbAbfTB0);
    t.Field("rbAbfSAT", rbAbfSAT);
    t.Field("cbSound", cbSound);
    t.Field("btnInfo", btnInfo);
    t.Handler<TNotifyEvent>("FormCreate", [this](TObject* s) { FormCreate(s); });
    t.Handler<TNotifyEvent>("FormDestroy", [this](TObject* s) { FormDestroy(s); });
    t.Handler<TNotifyEvent>("btnTCPConnectionClick", [this](TObject* s) { btnTCPConnectionClick(s); });
    t.Handler<TNotifyEvent>("rbTuersoundClick", [this](TObject* s) { rbTuersoundClick(s); });
    t.Handler<TNotifyEvent>("cbSoundClick", [this](TObject* s) { cbSoundClick(s); });
    t.Handler<TNotifyEvent>("btnInfoClick", [this](TObject* s) { btnInfoClick(s); });
}

void TMain::FormCreate(TObject*) {
    FNoticeWindow = CreateNoticeWindow(this);
    FSoundFolder = SoundFolderOverride.empty() ? ExeDir() + "Sounds/" : SoundFolderOverride;
    Mixer = new TDSMixer(this);
    CheckSoundDevice(Mixer, this);
    for (int n = 1; n <= ChannelCount; ++n) {
        Channels[n] = new TDSMixerChannel(Mixer);
        if (ChannelFiles[n]) LoadSound(n, ChannelFiles[n]);
    }
    // Set here only: a new connection compares its first values with the last ones of the
    // connection before.
    Speed.Reset(0.0f);
    MasterController.Reset(0);
    DynamicBrake.Reset(0);
    BrakeValve.Reset(2);
    AuxiliaryBrake.Reset(2);
    ToggleSwitch1.Reset(0);
    DirectionSwitch.Reset(0);
    DoorSwitch.Reset(0);
    FanSwitch.Reset(0);
    DoorState.Reset(0);
    TB0Blocked = false;
    LoadDoorSounds();
    if (!FUnloadable.empty()) {
        // The report belongs in front of the window it is about.
        Show();
        ReportUnloadableSounds();
    }
}

void TMain::FormDestroy(TObject*) {
    if (Connected || Client) CloseConnection();
    // Drops a notice still queued.
    if (FNoticeWindow) DestroyWindow(FNoticeWindow);
    FNoticeWindow = nullptr;
    for (int n = 1; n <= ChannelCount; ++n) {
        delete Channels[n];
        Channels[n] = nullptr;
    }
    delete Mixer;
    Mixer = nullptr;
    if (Main == this) Main = nullptr;
}

bool TMain::LoadSound(int channel, const std::string& fileName) {
    // A channel whose creation raised was reported then, and has nothing to load into.
    if (!Channels[channel]) return false;
    try {
        Channels[channel]->LoadFromFile(FSoundFolder + fileName);
        // Loading resets the volume; the sound switch holds for the new file too.
        Channels[channel]->SetVolume(SwitchVolume());
        return true;
    } catch (const Exception&) {
        FUnloadable.push_back(fileName);
        return false;
    }
}

void TMain::ReportUnloadableSounds() {
    if (FUnloadable.empty()) return;
    std::string text = "Folgende Sounddateien konnten nicht geladen werden:";
    for (const std::string& name : FUnloadable) text += "\r" + name;
    FUnloadable.clear();
    MessageBoxA(Handle(), text.c_str(), "Fehler", MB_OK | MB_ICONERROR);
}

void TMain::LoadDoorSounds() {
    TDoorFiles files{nullptr, nullptr};
    if (rbTuerDrehfaltBn->Checked()) {
        files = {DrehfaltAuf, DrehfaltBnZu};
    } else if (rbTuerDrehfaltBy->Checked()) {
        files = {DrehfaltAuf, DrehfaltByZu};
    } else if (rbTuerSchwenkschiebe->Checked()) {
        files = {SchwenkschiebeAuf, SchwenkschiebeZu};
    }
    if (files.Opening) LoadSound(chTuerAuf, files.Opening);
    if (files.Closing) LoadSound(chTuerZu, files.Closing);
}

void TMain::rbTuersoundClick(TObject*) {
    LoadDoorSounds();
    ReportUnloadableSounds();
}

LONG TMain::SwitchVolume() const { return cbSound->Checked() ? SoundOn : SoundOff; }

void TMain::cbSoundClick(TObject*) {
    const LONG volume = SwitchVolume();
    for (int n = 1; n <= ChannelCount; ++n)
        if (Channels[n]) Channels[n]->SetVolume(volume);
}

void TMain::btnInfoClick(TObject*) {
    MessageBoxA(Handle(), "Wagenklang Steuerwagen\r\rVersion 1.1 vom 01. Mai 2008", "Programminformation",
                MB_OK | MB_ICONINFORMATION);
}

void TMain::btnTCPConnectionClick(TObject*) {
    if (Connected) {
        CloseConnection();
        return;
    }
    Connected = true;
    int result;
    try {
        result = OpenConnection();
    } catch (...) {
        // A port that is no number: the window stays disconnected behind the conversion's
        // message, so that the next click connects.
        Connected = false;
        ShowConnectionState();
        throw;
    }
    if (result != TravoOk) {
        Connected = false;
        MessageBoxA(Handle(), "Die TCP-Verbindung konnte nicht hergestellt werden.", "Fehler", MB_OK | MB_ICONERROR);
        return;
    }
    ShowConnectionState();
}

int TMain::OpenConnection() {
    Client = std::make_unique<TTravoTCP>();
    Client->OnSingle = &HandleSingleValue;
    Client->OnInteger = &HandleIntegerValue;
    Client->OnDouble = &HandleDoubleValue;
    Client->OnBytes = &HandleBytesValue;
    int result;
    try {
        result = Client->Startup();
        if (result == TravoOk) result = Client->Connect(edTCPServer->Text(), StrToInt(edTCPPort->Text()));
    } catch (...) {
        Client.reset();
        throw;
    }
    if (result == TravoOk) result = Client->SendHello(ClientName, ClientKind);
    if (result == TravoOk) result = Client->RequestData(CAB_VALUES, RequestedIds);
    if (result != TravoOk) {
        Client.reset();
        return result;
    }
    FReceiveThread = CreateThread(nullptr, 0, &ReceiveThreadProc, nullptr, 0, nullptr);
    if (!FReceiveThread) {
        Client.reset();
        return TravoFailed;
    }
    return TravoOk;
}

void TMain::CloseConnection() {
    // Waiting for the receive thread serves the queue, where another click could arrive.
    if (FClosing) return;
    FClosing = true;
    if (Client) {
        Client->Disconnect();
        WaitForReceiveThread();
        Client.reset();
    }
    Connected = false;
    ShowConnectionState();
    FClosing = false;
}

void TMain::ReceiveEnded() {
    // A notice that comes after the user's disconnect, or after a new connection replaced the
    // one it is about, finds nothing to do.
    if (Client && Client->LoopEnded()) CloseConnection();
}

void TMain::WaitForReceiveThread() {
    if (!FReceiveThread) return;
    // The receive loop's message boxes are shown by the main thread's queue, so a bare wait
    // here could wait for a box that is never shown.
    while (WaitForSingleObject(FReceiveThread, 10) == WAIT_TIMEOUT) Application->ProcessMessages();
    CloseHandle(FReceiveThread);
    FReceiveThread = nullptr;
}

void TMain::ShowConnectionState() {
    btnTCPConnection->SetCaption(Connected ? "&Trennen" : "&Verbinden");
    laTCPConnectionState->SetCaption(Connected ? "verbunden" : "getrennt");
}
