#pragma once
// Wagenklang's window and its sound rules: the connection to the simulator, the user's choice of
// door and departure sounds, and the control car's cab sounds played from the values received.
// The rules run on the receive thread and call the channels directly.

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "DSMixer.h"
#include "Forms.h"
#include "StdCtrls.h"
#include "TravoTcpClient.h"

class TMain : public TForm {
public:
    using TForm::TForm;

    TGroupBox* gbTCP = nullptr;
    TLabel* laTCPServer = nullptr;
    TEdit* edTCPServer = nullptr;
    TLabel* laTCPPort = nullptr;
    TEdit* edTCPPort = nullptr;
    TButton* btnTCPConnection = nullptr;
    TLabel* laTCPConnectionStateCaption = nullptr;
    TLabel* laTCPConnectionState = nullptr;
    TGroupBox* gbTuersound = nullptr;
    TRadioButton* rbTuerKeine = nullptr;
    TLabel* laLok = nullptr;
    TRadioButton* rbTuerDrehfaltBn = nullptr;
    TLabel* laBndzfBnrdzf = nullptr;
    TRadioButton* rbTuerDrehfaltBy = nullptr;
    TLabel* laBybdzf = nullptr;
    TRadioButton* rbTuerSchwenkschiebe = nullptr;
    TLabel* laBnrbdzf = nullptr;
    TGroupBox* gbAbfertigung = nullptr;
    TRadioButton* rbAbfOhne = nullptr;
    TRadioButton* rbAbfTB0 = nullptr;
    TRadioButton* rbAbfSAT = nullptr;
    TCheckBox* cbSound = nullptr;
    TButton* btnInfo = nullptr;

    // The current connection's client; none while disconnected.
    std::unique_ptr<TTravoTCP> Client;

    void DefinePublished(TPublishedTable& table) override;

    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void btnTCPConnectionClick(TObject* Sender);
    void rbTuersoundClick(TObject* Sender);
    void cbSoundClick(TObject* Sender);
    void btnInfoClick(TObject* Sender);

    // A client result code: 0 once connected, greeted, requested and receiving.
    int OpenConnection();
    // Ends the receive loop, waits for its thread, then frees the client.
    void CloseConnection();
    // The receive thread's notice, on the main thread: a loop that ended by itself (the server
    // closed or reset the connection, or sent what cannot be a packet) leaves the window as the
    // user's disconnect does, without a box.
    void ReceiveEnded();
    // Where the receive thread posts its notice.
    HWND NoticeWindow() const { return FNoticeWindow; }
    // The two door channels for the chosen door type; "keine" leaves them as they are.
    void LoadDoorSounds();

private:
    bool LoadSound(int channel, const std::string& fileName);
    // The volume that "Sound an" gives every channel.
    LONG SwitchVolume() const;
    void ReportUnloadableSounds();
    void WaitForReceiveThread();
    void ShowConnectionState();

    std::string FSoundFolder;
    // Names of the sound files that could not be loaded since the last report.
    std::vector<std::string> FUnloadable;
    HANDLE FReceiveThread = nullptr;
    HWND FNoticeWindow = nullptr;
    bool FClosing = false;
};

extern TMain* Main;

// The receive thread's function: runs Main's client's receive loop until it ends.
DWORD ReceiveThreadProc(LPVOID Parameter);

// The client's handlers: the sound rules.
void HandleSingleValue(WORD Group, BYTE Id, float Value);
void HandleIntegerValue(WORD Group, BYTE Id, LONG Value);
void HandleDoubleValue(WORD Group, BYTE Id, double Value);
void HandleBytesValue(WORD Group, BYTE Id, const std::vector<BYTE>& Data);

// ---- the unit's state, from FormCreate to the end of the program ------------------------------

// The channels by number, in the order of creation.
enum TChannelNumber : int {
    chFahrschalter0Ab = 1,
    chFahrschalterAbFahren,
    chFahrschalterFahrenAuf,
    chFahrschalterAufFahren,
    chFahrschalterFahrenAb,
    chFahrschalterAb0,
    chFbVRaste,
    chFbVAnlegen,
    chFbVLoesen,
    chFbVSB,
    chDynBrRaste,
    chZusBrAnlegen,
    chZusBrMitte,
    chZusBrLoesen,
    chRischa0,
    chRischaRichtung,
    chKippschalterEinlegen,
    chKippschalterAuslegen,
    chTuerAuf,
    chTuerZu,
    chTB0,
    chTuerschalterSAT,
};
inline constexpr int ChannelCount = 22;

// The file of each channel; the door channels get theirs from the door type.
extern const std::array<const char*, ChannelCount + 1> ChannelFiles;
// Every file that a door type loads into the door channels, each once.
extern const std::array<const char*, 5> DoorSoundFiles;

extern TDSMixer* Mixer;
// Channels[1] to Channels[22]; Channels[0] stays empty.
extern std::array<TDSMixerChannel*, ChannelCount + 1> Channels;
// Set while the connect button stands for a connection.
extern bool Connected;
// A door switch operated while the doors were not moving: no departure signal until they close.
extern std::atomic<bool> TB0Blocked;

// A received value and the one before it. Only the receive thread takes values; they are atomic
// so that the main thread may look at them meanwhile.
template <class T>
struct TValuePair {
    std::atomic<T> Current{};
    std::atomic<T> Previous{};
    void Take(T value) {
        Previous = Current.load();
        Current = value;
    }
    void Reset(T value) {
        Current = value;
        Previous = value;
    }
    bool Changed() const { return Current != Previous; }
};

extern TValuePair<float> Speed;
extern TValuePair<BYTE> MasterController;
extern TValuePair<BYTE> BrakeValve;
extern TValuePair<BYTE> DynamicBrake;
extern TValuePair<BYTE> AuxiliaryBrake;
extern TValuePair<BYTE> ToggleSwitch1;
extern TValuePair<BYTE> DirectionSwitch;
extern TValuePair<BYTE> DoorSwitch;
extern TValuePair<BYTE> FanSwitch;
extern TValuePair<BYTE> DoorState;

// Where FormCreate looks for the sound files; empty means "Sounds/" beside the program file.
// Tests point it at a folder of their own.
extern std::string SoundFolderOverride;
