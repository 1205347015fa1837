#pragma once
// Triebklang's window and its sound rules: the brake valve's air sounds, the direction switch,
// the door selector, the cab toggle switches, the magnetic track brakes and the doors opening,
// played from the simulator's values. The window holds only the connection controls.
// Everything runs in the main thread: packets arrive through the socket's events.

#include <string>

#include "DSMixer.h"
#include "TravoWindowClient.h"

class TMain : public TTravoClientForm {
public:
    explicit TMain(TComponent* AOwner);

    TGroupBox* GroupBox1 = nullptr;

    void DefinePublished(TPublishedTable& table) override;

    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);

    void HandleDataPacket(const std::string& Payload) override;
    void HandleValue(BYTE Id, float Value);

    TDSMixer* Mixer = nullptr;
    // The channels, in the order of creation, loading and freeing.
    TDSMixerChannel* SndRauschenLoesen = nullptr;
    TDSMixerChannel* SndRauschenAnlegen = nullptr;
    TDSMixerChannel* SndRauschenSchnellbr = nullptr;
    TDSMixerChannel* SndRischa0 = nullptr;
    TDSMixerChannel* SndRischaVR = nullptr;
    TDSMixerChannel* SndTuerwahlschalter = nullptr;
    TDSMixerChannel* SndKippschalterEin = nullptr;
    TDSMixerChannel* SndKippschalterAus = nullptr;
    TDSMixerChannel* SndMGsRunter = nullptr;
    TDSMixerChannel* SndMGsRauf = nullptr;
    TDSMixerChannel* SndTuerenAuf = nullptr;

    // Set by the data records only, kept across connections for the whole run.
    BYTE Bremsstellung = 0;
    BYTE BremsstellungAlt = 0;
    BYTE TuerwahlStellung = 0;
    BYTE TuerStatus = 0;
    BYTE TuerenAufGespielt = 0;

    struct TChannelSlot {
        TDSMixerChannel* TMain::*Channel;
        const char* FileName;
    };
    static const TChannelSlot ChannelSlots[11];

private:
    void BrakeValveRule(BYTE Position);
    void DoorsOpenStep();
};

extern TMain* Main;

// Where FormCreate looks for the sound files; empty means "Sounds/" beside the program file.
// Tests point it at a folder of their own.
extern std::string SoundFolderOverride;
