#include "uMain.h"

#include "ProgramEntry.h"
#include "SysUtils.h"

TMain* Main = nullptr;
std::string SoundFolderOverride;

namespace {

const char* const TriebklangName = "Triebklang";
const std::vector<BYTE> TriebklangIds = {IdDirectionSwitch, IdDoorSwitch,    IdBrakeValve,   IdToggleSwitch3,
                                         IdToggleSwitch1,   IdMainSwitch,    IdFanToggle,    IdToggleSwitch4,
                                         IdFanSwitch,       IdMagneticBrake, IdDoorRelease,  IdParseStop};

// An id and its single; the date and time of id 50 is a double.
constexpr std::size_t RecordSize = 5;
constexpr std::size_t DateTimeRecordSize = 9;
// The brake valve's start position: moving into it plays nothing.
constexpr BYTE BrakeValveStart = 2;
constexpr BYTE BrakeValveRapid = 9;

bool IsToggleSwitch(BYTE id) {
    switch (id) {
        case IdToggleSwitch3:
        case IdToggleSwitch1:
        case IdMainSwitch:
        case IdFanToggle:
        case IdToggleSwitch4:
        case IdFanSwitch:
            return true;
        default:
            return false;
    }
}

}  // namespace

const TMain::TChannelSlot TMain::ChannelSlots[11] = {
    {&TMain::SndRauschenLoesen, "610_Rauschen-Loesen.wav"},
    {&TMain::SndRauschenAnlegen, "610_Rauschen-Anlegen.wav"},
    {&TMain::SndRauschenSchnellbr, "610_Rauschen-Schnellbr.wav"},
    {&TMain::SndRischa0, "610_Rischa-0.wav"},
    {&TMain::SndRischaVR, "610_Rischa-VR.wav"},
    {&TMain::SndTuerwahlschalter, "610_Tuerwahlschalter.wav"},
    {&TMain::SndKippschalterEin, "610_Kippschalter-einlegen.wav"},
    {&TMain::SndKippschalterAus, "610_Kippschalter-auslegen.wav"},
    {&TMain::SndMGsRunter, "610_MGs-runter.wav"},
    {&TMain::SndMGsRauf, "610_MGs-rauf.wav"},
    {&TMain::SndTuerenAuf, "610_Tueren-auf.wav"},
};

TMain::TMain(TComponent* AOwner) : TTravoClientForm(AOwner, TriebklangName, TriebklangIds) {}

void TMain::DefinePublished(TPublishedTable& t) {
    TTravoClientForm::DefinePublished(t);
    t.Field("GroupBox1", GroupBox1);
    t.Handler<TNotifyEvent>("FormCreate", [this](TObject* s) { FormCreate(s); });
    t.Handler<TNotifyEvent>("FormDestroy", [this](TObject* s) { FormDestroy(s); });
}

// ---- start and end -------------------------------------------------------------------------------

void TMain::FormCreate(TObject*) {
    const std::string folder = SoundFolderOverride.empty() ? ExeDir() + "Sounds/" : SoundFolderOverride;
    Mixer = new TDSMixer(this);
    for (const TChannelSlot& slot : ChannelSlots) this->*slot.Channel = new TDSMixerChannel(Mixer);
    CheckSoundDevice(Mixer, this);
    // A file that cannot be loaded raises; the application reports it and the window opens
    // with that channel and those after it silent.
    for (const TChannelSlot& slot : ChannelSlots) (this->*slot.Channel)->LoadFromFile(folder + slot.FileName);
}

void TMain::FormDestroy(TObject*) {
    // No packet may reach the rules once their channels are gone.
    EndClient();
    for (const TChannelSlot& slot : ChannelSlots) {
        delete (this->*slot.Channel);
        this->*slot.Channel = nullptr;
    }
    delete Mixer;
    Mixer = nullptr;
    if (Main == this) Main = nullptr;
}

// ---- the data handler ----------------------------------------------------------------------------

void TMain::HandleDataPacket(const std::string& Payload) {
    if (Payload.size() < 2 || Payload[0] != 0 || static_cast<BYTE>(Payload[1]) != CAB_VALUES) return;
    std::size_t at = 2;
    while (Payload.size() - at >= RecordSize) {
        const BYTE id = static_cast<BYTE>(Payload[at]);
        if (id == IdParseStop) return;  // nor the doors-open step for this packet
        if (id == IdDateTime) {
            // Its date and time is not used; a record cut short ends the packet.
            if (Payload.size() - at < DateTimeRecordSize) break;
            at += DateTimeRecordSize;
            continue;
        }
        if (id < IdFirstSkipped) HandleValue(id, SingleAt(Payload, at + 1));
        at += RecordSize;
    }
    DoorsOpenStep();
}

void TMain::HandleValue(BYTE Id, float Value) {
    if (IsToggleSwitch(Id)) {
        if (Value == 0.0f) RestartSound(SndKippschalterAus);
        else if (Value == 1.0f) RestartSound(SndKippschalterEin);
        return;
    }
    switch (Id) {
        case IdMagneticBrake:
            if (Value == 0.0f) RestartSound(SndMGsRauf);
            else if (Value == 1.0f) RestartSound(SndMGsRunter);
            break;
        case IdDoorRelease:
            TuerStatus = RoundToByte(Value);
            break;
        case IdBrakeValve:
            BrakeValveRule(RoundToByte(Value));
            break;
        case IdDirectionSwitch:
            if (Value == 0.0f || Value == 2.0f) RestartSound(SndRischaVR);
            else if (Value == 1.0f) RestartSound(SndRischa0);
            break;
        case IdDoorSwitch:
            // On every record, whatever the value: the switch was touched.
            RestartSound(SndTuerwahlschalter);
            TuerwahlStellung = RoundToByte(Value);
            break;
        default:
            break;
    }
}

void TMain::BrakeValveRule(BYTE Position) {
    Bremsstellung = Position;
    if (Position != BrakeValveStart) {
        if (Position > BremsstellungAlt && BremsstellungAlt != 0)
            RestartSound(Position == BrakeValveRapid ? SndRauschenSchnellbr : SndRauschenAnlegen);
        if (Position < BremsstellungAlt) RestartSound(SndRauschenLoesen);
    }
    BremsstellungAlt = Position;
}

void TMain::DoorsOpenStep() {
    // Bitwise: selector 1 with door value 2 opens nothing, selector 3 with door value 2 does.
    if (TuerenAufGespielt == 0 && (TuerwahlStellung & TuerStatus) != 0) {
        RestartSound(SndTuerenAuf);
        TuerenAufGespielt = 1;
    }
    if (TuerwahlStellung == 0 || TuerStatus == 0) TuerenAufGespielt = 0;
}
