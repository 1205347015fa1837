#pragma once
// The sound mixer of the audio engine: the DirectSound device with its primary buffer, the
// sound channels that stream one file each through a secondary buffer, their refill threads,
// and the checking of DirectSound results.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AudioFileRead.h"
#include "Classes.h"
#include "SysUtils.h"
#include "dsound.h"
#include "kernel32.h"
#include "ole32.h"
#include "user32.h"

// A DirectSound call that did not return DS_OK.
class EDirectXError : public Exception {
public:
    EDirectXError(const std::string& message, HRESULT code);

    HRESULT ErrorCode;
};

// The text of a DirectSound result; "Unrecognized Error" for a code the table does not know.
std::string DirectSoundErrorText(HRESULT Code);
// Returns on 0; raises EDirectXError with the code's text otherwise, success codes included.
void CheckDSResult(HRESULT Code);

// The system's sound devices in its order: the description, and at the same index the GUID in
// its string form ("" for the default device). Filled at start-up, before any form exists.
extern TStringList* DeviceNames;
extern TStringList* DeviceGuids;
void InitializeDeviceLists();
void FinalizeDeviceLists();

class TDSMixerChannel;

enum TMixerBitsPerSample : std::uint8_t { bs8Bit, bs16Bit };
enum TMixerLevel : std::uint8_t { lNormal, lPriority, lExclusive };

// Owns the program's DirectSound device, opened at the first sound played, and the list of
// channels that play through it.
class TDSMixer : public TComponent {
public:
    explicit TDSMixer(TComponent* AOwner);
    // Closes the device, then frees every channel still registered.
    ~TDSMixer() override;

    void DefinePublished(TPublishedTable& table) override;

    // Opens the device on first use; the caller releases the reference it is given.
    IDirectSound* GetDirectSound();
    // Raises what opening the device would raise, and leaves the mixer closed: a program can
    // tell at start-up that it has no sound output, and still opens its device at the first sound.
    // A mixer that found none plays nothing: its channels keep files and properties unheard,
    // instead of trying the device again at every sound, on the data path.
    void CheckDevice();
    bool DeviceMissing() const { return FDeviceMissing; }
    void AddChannel(TDSMixerChannel* Channel);
    void RemoveChannel(TDSMixerChannel* Channel);
    HWND GetWindowHandle();
    // Called after the device object was created and after it was released.
    virtual void DeviceChanged();

    TMixerBitsPerSample BitsPerSample() const { return FBitsPerSample; }
    void SetBitsPerSample(TMixerBitsPerSample Value) { FBitsPerSample = Value; }
    bool Stereo() const { return FStereo; }
    void SetStereo(bool Value) { FStereo = Value; }
    std::int32_t Frequency() const { return FFrequency; }
    void SetFrequency(std::int32_t Value) { ChangeFrequency(Value); }
    TMixerLevel Level() const { return FLevel; }
    void SetLevel(TMixerLevel Value) { FLevel = Value; }
    DWORD SpeakerConfig() const { return FSpeakerConfig; }
    void SetSpeakerConfig(DWORD Value) { ChangeSpeakerConfig(Value); }

    const std::vector<TDSMixerChannel*>& Channels() const { return FChannels; }

private:
    IDirectSound* CreateDevice() const;
    void Open();
    void Close();
    void ChangeFrequency(std::int32_t Value);
    void ChangeSpeakerConfig(DWORD Value);

    IDirectSound* FDevice = nullptr;
    IDirectSoundBuffer* FPrimaryBuffer = nullptr;
    bool FStereo = true;
    std::int32_t FDeviceIndex = 0;
    std::int32_t FFrequency = 44100;
    HWND FWindow = nullptr;
    DWORD FSpeakerConfig = DSSPEAKER_STEREO;
    TMixerBitsPerSample FBitsPerSample = bs16Bit;
    TMixerLevel FLevel = lPriority;
    std::vector<TDSMixerChannel*> FChannels;
    bool FDeviceMissing = false;
};

// The last 50 regions written into a channel's buffer, with the stream times of their data.
class TPositionTimes {
public:
    static constexpr int Count = 50;

    // Raises EAssertionFailed when the times run backwards or the region is empty; the entry
    // is stored all the same and the next one overwrites it.
    void Add(std::int32_t StartPos, std::int32_t EndPos, std::int64_t StartTime, std::int64_t EndTime);

    std::int32_t Index() const { return FIndex; }
    std::int32_t PositionStart(int slot) const { return FPositions[slot][0]; }
    std::int32_t PositionEnd(int slot) const { return FPositions[slot][1]; }
    std::int64_t TimeStart(int slot) const { return FTimes[slot][0]; }
    std::int64_t TimeEnd(int slot) const { return FTimes[slot][1]; }

private:
    std::int32_t FIndex = 0;
    std::int32_t FPositions[Count][2] = {};
    std::int64_t FTimes[Count][2] = {};
};

// Wakes every Interval ms while its channel plays and runs the channel's refill step under the
// channel lock.
class TUpdateChannelThread : public TThread {
public:
    TUpdateChannelThread(TDSMixerChannel* AChannel, const std::string& MutexName);
    ~TUpdateChannelThread() override;

    void SetActive(bool Value);
    bool Active() const { return FActive; }
    // Asks the thread to end and waits until it has; again, it returns at once.
    void Shutdown();

    DWORD Interval = 0;

protected:
    void Execute() override;

private:
    TDSMixerChannel* FChannel;
    HANDLE FWakeEvent = nullptr;
    std::atomic<bool> FActive{false};
    HANDLE FMutex = nullptr;
};

// One sound: a file streamed through a 4000 ms secondary buffer that loops, refilled behind the
// play cursor every 400 ms, played once or in a loop.
class TDSMixerChannel : public TObject {
public:
    explicit TDSMixerChannel(TDSMixer* AMixer);
    ~TDSMixerChannel() override;
    TDSMixerChannel(const TDSMixerChannel&) = delete;
    TDSMixerChannel& operator=(const TDSMixerChannel&) = delete;

    // Closes the current file and opens the new one; an empty name only closes. Resets volume,
    // pan, looping and the play range.
    void LoadFromFile(const std::string& FileName);
    void SetLooping(bool Value) { FLooping = Value; }
    void SetVolume(std::int32_t Value);
    void SetPan(std::int32_t Value);
    void SetStartTime(std::uint32_t Ms);
    void SetEndTime(std::uint32_t Ms);
    // From the start of the play range; nothing while the channel plays.
    void Play();
    void Prefill();
    // Stops and rewinds; the next Play starts from the beginning.
    void Stop();

    bool Playing() const { return FPlaying; }
    bool Looping() const { return FLooping; }
    std::int32_t Volume() const { return FVolume; }
    std::int32_t Pan() const { return FPan; }
    std::int32_t StartTime() const { return FStartTime; }
    std::int32_t EndTime() const { return FEndTime; }
    std::int32_t LengthMs() const { return FLengthMs; }
    const std::string& FileName() const { return FFileName; }
    DWORD BufferSize() const { return FBufferSize; }
    DWORD EndThreshold() const { return FEndThreshold; }

    // A sound that does not loop has played to its end; runs in the thread that created the
    // channel, which must dispatch window messages.
    TNotifyEvent OnEnd;
    // DirectSound lost the buffer; runs in the thread that met the loss.
    TNotifyEvent OnBufferLost;

    struct TMessage {
        UINT Msg;
        WPARAM WParam;
        LPARAM LParam;
        LRESULT Result;
    };
    void WndProc(TMessage& Message);

private:
    friend class TDSMixer;              // ends the refills and frees the buffers when it closes the device
    friend class TUpdateChannelThread;  // runs the refill step

    // Switches the refill thread off and ends it: the buffer and the staging memory may go only
    // once no refill step of this channel can run.
    void EndRefills();
    void ResetPlayState();
    void ResetProperties();
    void FreeBuffer();
    void CloseFile();
    void CheckFileOpened() const;
    void CreateBuffer();
    void FillBuffer();
    // False when the buffer was lost on the way (it is then freed).
    bool WriteData(DWORD Offset, DWORD Count);
    bool LostOrChecked(HRESULT Result);
    void BufferLost();
    void Update();
    DWORD BytesToEnd();
    DWORD PlayCursor();

    TDSMixer* FMixer;
    IDirectSoundBuffer* FBuffer = nullptr;
    std::string FFileName;
    std::atomic<bool> FLooping{false};  // set by the owner, read by the refill
    bool FPrefilled = false;
    bool FEndReached = false;
    std::int32_t FLengthMs = 0;
    std::int32_t FStartTime = 0;
    std::int32_t FEndTime = 0;
    DWORD FBufferMs = 4000;
    DWORD FBufferSize = 0;
    DWORD FEndThreshold = 0;
    DWORD FWritePos = 0;
    DWORD FLastTick = 0;
    std::int32_t FVolume = 0;
    std::int32_t FPan = 0;
    std::int32_t FEndMarker = -1;
    std::unique_ptr<TAudioFileReader> FReader;
    std::atomic<bool> FPlaying{false};
    std::unique_ptr<TPositionTimes> FPositionTimes;
    std::unique_ptr<TUpdateChannelThread> FThread;
    std::unique_ptr<BYTE[]> FStaging;
    HANDLE FMutex = nullptr;
    HWND FNotifyWindow = nullptr;
};
