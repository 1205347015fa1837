#include "uMain.h"

#include "ProgramEntry.h"
#include "SysUtils.h"

TMain* Main = nullptr;
std::string SoundFolderOverride;

namespace {

const char* const LokklangName = "Lokklang";
const std::vector<BYTE> LokklangIds = {IdSpeed, IdTractiveForce, IdNotch, IdMainSwitch, IdContactorTearOff, IdFanSwitch};

const std::int32_t SoundOn = 0;
const std::int32_t SoundOff = -10000;
// At this speed and above, the fan runs with the main switch on.
const float FanSpeed = 45.0f;
const int FanNotch = 5;

// The low 32 bits of the rounded value; the rounding is defined for NaN and out-of-range
// values, a direct conversion is not.
int RoundToInt32(float value) { return static_cast<int>(static_cast<std::uint32_t>(RoundHalfEven(value))); }

std::string Decimals(float value) { return FloatToStrF(value, ffFixed, 5, 2); }

}  // namespace

const TMain::TChannelSlot TMain::ChannelSlots[8] = {
    {&TMain::FSndFMLAnfang, "FML_Anfang.wav", false}, {&TMain::FSndFMLLoop, "FML_Loop.wav", true},
    {&TMain::FSndFMLEnde, "FML_Ende.wav", false},     {&TMain::FSndMTS, "MTS.wav", false},
    {&TMain::FSndMTSAbreissen, "MTS_abreissen.wav", false}, {&TMain::FSndHSein, "HSein.wav", false},
    {&TMain::FSndHSaus, "HSaus.wav", false},          {&TMain::FSndUmformer, "Umformer.wav", true},
};

TMain::TMain(TComponent* AOwner) : TTravoClientForm(AOwner, LokklangName, LokklangIds) {}

void TMain::DefinePublished(TPublishedTable& t) {
    TTravoClientForm::DefinePublished(t);
    t.Field("cbSound", cbSound);
    t.Field("Label1", Label1);
    t.Field("Label2", Label2);
    t.Field("Label3", Label3);
    t.Field("Label4", Label4);
    t.Field("Label5", Label5);
    t.Field("Label6", Label6);
    t.Field("Label7", Label7);
    t.Field("Mixer", Mixer);
    t.Field("tiLuefterAnfang", tiLuefterAnfang);
    t.Field("tiLueftersteuerung", tiLueftersteuerung);
    t.Field("tiUmformerEin", tiUmformerEin);
    t.Handler<TNotifyEvent>("FormCreate", [this](TObject* s) { FormCreate(s); });
    t.Handler<TNotifyEvent>("FormDestroy", [this](TObject* s) { FormDestroy(s); });
    t.Handler<TNotifyEvent>("cbSoundClick", [this](TObject* s) { cbSoundClick(s); });
    t.Handler<TNotifyEvent>("tiLuefterAnfangTimer", [this](TObject* s) { tiLuefterAnfangTimer(s); });
    t.Handler<TNotifyEvent>("tiLueftersteuerungTimer", [this](TObject* s) { tiLueftersteuerungTimer(s); });
    t.Handler<TNotifyEvent>("tiUmformerEinTimer", [this](TObject* s) { tiUmformerEinTimer(s); });
}

// ---- start and end -------------------------------------------------------------------------------

void TMain::FormCreate(TObject*) {
    const std::string folder = SoundFolderOverride.empty() ? ExeDir() + "Sounds/" : SoundFolderOverride;
    for (const TChannelSlot& slot : ChannelSlots) this->*slot.Channel = new TDSMixerChannel(Mixer);
    // Bound before any file is loaded: a file that cannot be loaded ends this handler, and a fan
    // left in its run-down state without its end notice would never start again.
    FSndFMLEnde->OnEnd = [this](TObject* s) { LuefterEndeFinished(s); };
    CheckSoundDevice(Mixer, this);
    if (Mixer->DeviceMissing()) {
        // The run-down's end is the end of its sound; unheard, it ends when the sound would have.
        tiLuefterEnde = new TThreadedTimer(this);
        tiLuefterEnde->OnTimer = [this](TObject*) {
            tiLuefterEnde->SetEnabled(false);
            LuefterEndeFinished(FSndFMLEnde);
        };
    }
    // A file that cannot be loaded raises; the application reports it and the window opens
    // without the start values and without the fan control.
    for (const TChannelSlot& slot : ChannelSlots) {
        TDSMixerChannel* channel = this->*slot.Channel;
        channel->LoadFromFile(folder + slot.FileName);
        if (slot.Looping) channel->SetLooping(true);
    }
    FLuefterState = lsAus;
    FGeschwindigkeit = 0.0f;
    FZugkraft = 0.0f;
    FFahrstufe = 0;
    FFahrstufeAlt = 0;
    FHauptschalter = 1;
    FSchalterLuefter = 0;
    FTrennschuetz = 0;
    FMTSAbgerissen = 0;
    tiLueftersteuerung->SetEnabled(true);
}

void TMain::FormDestroy(TObject*) {
    tiLueftersteuerung->SetEnabled(false);
    tiLuefterAnfang->SetEnabled(false);
    tiUmformerEin->SetEnabled(false);
    if (tiLuefterEnde) tiLuefterEnde->SetEnabled(false);
    // No packet may reach the rules once their channels are gone.
    EndClient();
    FreeChannels();
    delete Mixer;
    Mixer = nullptr;
    if (Main == this) Main = nullptr;
}

void TMain::FreeChannels() {
    for (const TChannelSlot& slot : ChannelSlots) {
        delete (this->*slot.Channel);
        this->*slot.Channel = nullptr;
    }
}

// ---- the data handler ----------------------------------------------------------------------------

void TMain::HandleDataPacket(const std::string& Payload) {
    if (Payload.size() < 2 || Payload[0] != 0 || static_cast<BYTE>(Payload[1]) != CAB_VALUES) return;
    if (Payload.size() == 2) return;
    for (std::size_t at = 2; Payload.size() - at >= 5; at += 5)
        HandleRecord(static_cast<BYTE>(Payload[at]), SingleAt(Payload, at + 1));
    ContactorStep();
}

void TMain::HandleRecord(BYTE Id, float Value) {
    switch (Id) {
        case IdSpeed:
            FGeschwindigkeit = Value;
            Label1->SetCaption("Geschwindigkeit: " + Decimals(Value) + " km/h");
            break;
        case IdTractiveForce:
            FZugkraft = Value;
            Label2->SetCaption("Zugkraft: " + Decimals(Value) + " kN");
            break;
        case IdNotch:
            FFahrstufeAlt = FFahrstufe;
            FFahrstufe = RoundToInt32(Value);
            Label3->SetCaption("Fahrstufe: " + IntToStr(FFahrstufe));
            break;
        case IdMainSwitch:
            MainSwitchRule(RoundToByte(Value));
            FHauptschalter = RoundToByte(Value);
            Label4->SetCaption("Hauptschalter: " + IntToStr(FHauptschalter));
            break;
        case IdContactorTearOff:
            if (RoundToByte(Value) == 0 && FHauptschalter == 1) {
                RestartSound(FSndMTSAbreissen);
                FMTSAbgerissen = 1;
            }
            break;
        case IdFanToggle:
            ToggleLuefter();
            break;
        case IdFanSwitch:
            FSchalterLuefter = RoundToByte(Value);
            Label5->SetCaption("Schalter Lüfter: " + IntToStr(FSchalterLuefter));
            break;
        default:
            break;
    }
}

void TMain::MainSwitchRule(BYTE NewValue) {
    if (NewValue != FHauptschalter && NewValue != 0) {
        FSndHSaus->Stop();
        RestartSound(FSndHSein);
        tiUmformerEin->SetEnabled(true);
    } else if (NewValue != FHauptschalter) {
        FSndHSein->Stop();
        RestartSound(FSndHSaus);
        FSndUmformer->Stop();
    } else if (FHauptschalter == 1 && !FSndUmformer->Playing()) {
        RestartSound(FSndUmformer);
    }
}

void TMain::ContactorStep() {
    bool changed = false;
    if (FTrennschuetz == 1) {
        if (FHauptschalter == 0 || (FFahrstufe == 0 && FFahrstufeAlt > 0 && FZugkraft == 0.0f)) {
            FTrennschuetz = 0;
            changed = true;
        }
    } else if (FHauptschalter == 1 && (FFahrstufe > 0 || FZugkraft < 0.0f)) {
        FTrennschuetz = 1;
        changed = true;
    }
    if (changed) TrennschuetzChanged();
    Label6->SetCaption("Trennschütz: " + IntToStr(FTrennschuetz));
}

void TMain::TrennschuetzChanged() {
    Label6->SetCaption("Trennschütz: " + IntToStr(FTrennschuetz));
    if (FTrennschuetz == 0 && FMTSAbgerissen == 0) RestartSound(FSndMTS);
    FMTSAbgerissen = 0;
}

// ---- the fan ---------------------------------------------------------------------------------------

void TMain::tiLueftersteuerungTimer(TObject*) {
    if (FLuefterState == lsAus) {
        if (FHauptschalter == 1 &&
            (FSchalterLuefter == 1 || FGeschwindigkeit >= FanSpeed || FFahrstufe > FanNotch || FZugkraft < 0.0f))
            ToggleLuefter();
    } else if (FLuefterState == lsLoop) {
        if (FHauptschalter == 0 ||
            (FSchalterLuefter == 0 && FGeschwindigkeit < FanSpeed && FFahrstufe <= FanNotch && FZugkraft >= 0.0f))
            ToggleLuefter();
    }
    Label7->SetCaption(LuefterStateName(FLuefterState));
}

void TMain::ToggleLuefter() {
    Label7->SetCaption(LuefterStateName(FLuefterState));
    if (FLuefterState == lsAus) {
        RestartSound(FSndFMLAnfang);
        tiLuefterAnfang->SetEnabled(true);
        FLuefterState = lsAnfang;
    } else if (FLuefterState == lsLoop) {
        RestartSound(FSndFMLEnde);
        if (tiLuefterEnde) {
            tiLuefterEnde->SetInterval(static_cast<DWORD>(FSndFMLEnde->LengthMs()));
            tiLuefterEnde->SetEnabled(true);
        }
        FSndFMLLoop->Stop();
        FLuefterState = lsEnde;
    }
}

void TMain::tiLuefterAnfangTimer(TObject*) {
    RestartSound(FSndFMLLoop);
    FSndFMLAnfang->Stop();
    FLuefterState = lsLoop;
    tiLuefterAnfang->SetEnabled(false);
}

void TMain::LuefterEndeFinished(TObject*) {
    // Only the run-down's own end ends the run-down.
    if (FLuefterState == lsEnde) FLuefterState = lsAus;
}

void TMain::tiUmformerEinTimer(TObject*) {
    RestartSound(FSndUmformer);
    tiUmformerEin->SetEnabled(false);
}

std::string TMain::LuefterStateName(TLuefterState State) {
    switch (State) {
        case lsAus: return "lsAus";
        case lsAnfang: return "lsAnfang";
        case lsLoop: return "lsLoop";
        case lsEnde: return "lsEnde";
    }
    return std::string();
}

// ---- the sound switch -------------------------------------------------------------------------------

void TMain::cbSoundClick(TObject*) {
    const std::int32_t volume = cbSound->Checked() ? SoundOn : SoundOff;
    for (const TChannelSlot& slot : ChannelSlots)
        if (TDSMixerChannel* channel = this->*slot.Channel) channel->SetVolume(volume);
}
