#pragma once
// Lokklang's window and its sound rules: the traction motor fan (run-up, loop, run-down), the
// main switch and the converter behind it, and the isolating contactor (opening, tearing off),
// played from the simulator's values; the window shows the values and the derived states.
// Everything runs in the main thread: packets through the socket's events, timer ticks through
// the timers' hand-over, the end of a sound through the channel's end notice.

#include <string>

#include "DSMixer.h"
#include "ThreadedTimer.h"
#include "TravoWindowClient.h"

enum TLuefterState : BYTE { lsAus, lsAnfang, lsLoop, lsEnde };

class TMain : public TTravoClientForm {
public:
    explicit TMain(TComponent* AOwner);

    TCheckBox* cbSound = nullptr;
    TLabel* Label1 = nullptr;
    TLabel* Label2 = nullptr;
    TLabel* Label3 = nullptr;
    TLabel* Label4 = nullptr;
    TLabel* Label5 = nullptr;
    TLabel* Label6 = nullptr;
    TLabel* Label7 = nullptr;
    TDSMixer* Mixer = nullptr;
    TThreadedTimer* tiLuefterAnfang = nullptr;
    TThreadedTimer* tiLueftersteuerung = nullptr;
    TThreadedTimer* tiUmformerEin = nullptr;
    // Only without a sound output: times the run-down that no sound's end can end.
    TThreadedTimer* tiLuefterEnde = nullptr;

    void DefinePublished(TPublishedTable& table) override;

    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void cbSoundClick(TObject* Sender);
    void tiLuefterAnfangTimer(TObject* Sender);
    void tiLueftersteuerungTimer(TObject* Sender);
    void tiUmformerEinTimer(TObject* Sender);

    void HandleDataPacket(const std::string& Payload) override;
    void ToggleLuefter();
    void LuefterEndeFinished(TObject* Sender);
    void TrennschuetzChanged();
    static std::string LuefterStateName(TLuefterState State);

    // The channels, in the order of creation and freeing.
    TDSMixerChannel* FSndFMLAnfang = nullptr;
    TDSMixerChannel* FSndFMLLoop = nullptr;
    TDSMixerChannel* FSndFMLEnde = nullptr;
    TDSMixerChannel* FSndMTS = nullptr;
    TDSMixerChannel* FSndMTSAbreissen = nullptr;
    TDSMixerChannel* FSndHSein = nullptr;
    TDSMixerChannel* FSndHSaus = nullptr;
    TDSMixerChannel* FSndUmformer = nullptr;

    // The state; every field starts zero, FormCreate sets the start values.
    TLuefterState FLuefterState = lsAus;
    float FGeschwindigkeit = 0.0f;
    float FZugkraft = 0.0f;
    int FFahrstufe = 0;
    int FFahrstufeAlt = 0;
    BYTE FHauptschalter = 0;
    BYTE FSchalterLuefter = 0;
    BYTE FTrennschuetz = 0;
    BYTE FMTSAbgerissen = 0;

private:
    struct TChannelSlot {
        TDSMixerChannel* TMain::*Channel;
        const char* FileName;
        bool Looping;
    };
    static const TChannelSlot ChannelSlots[8];

    void HandleRecord(BYTE Id, float Value);
    void MainSwitchRule(BYTE NewValue);
    void ContactorStep();
    void FreeChannels();
};

extern TMain* Main;

// Where FormCreate looks for the sound files; empty means "Sounds/" beside the program file.
// Tests point it at a folder of their own.
extern std::string SoundFolderOverride;
