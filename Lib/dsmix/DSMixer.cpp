#include "DSMixer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

// ---- results ----------------------------------------------------------------------------------

EDirectXError::EDirectXError(const std::string& message, HRESULT code) : Exception(message), ErrorCode(code) {}

namespace {

struct TResultText {
    std::uint32_t Code;
    const char* Text;
};

const TResultText ResultTexts[] = {
    {0x00000000, "The request completed successfully."},
    {0x80004001, "The function called is not supported at this time."},
    {0x80004002, "The requested COM interface is not available."},
    {0x80004005, "An undetermined error occurred inside the DirectSound subsystem."},
    {0x80040110, "The object does not support aggregation."},
    {0x80070005, "Access is denied."},
    {0x8007000E, "The DirectSound subsystem could not allocate sufficient memory to complete the caller´s request."},
    {0x80070057, "An invalid parameter was passed to the returning function."},
    {0x8878000A, "The request failed because resources, such as a priority level, were already in use by another caller."},
    {0x8878001E, "The control (volume, pan, and so forth) requested by the caller is not available."},
    {0x88780032, "This function is not valid for the current state of this object."},
    {0x88780046, "The caller does not have the priority level required for the function to succeed."},
    {0x88780064, "The specified wave format is not supported."},
    {0x88780078, "No sound driver is available for use."},
    {0x88780082, "The object is already initialized."},
    {0x88780096, "The buffer memory has been lost and must be restored."},
    {0x887800A0, "Another application has a higher priority level, preventing this call from succeeding."},
    {0x887800AA, "The IDirectSound::Initialize method has not been called or has not been called successfully before other methods were called."},
    {0x887800B4, "Tried to create a DSBCAPS_CTRLFX buffer shorter than DSBSIZE_FX_MIN milliseconds."},
    {0x887800BE, "Attempt to use DirectSound 8 functionality on an older DirectSound object."},
    {0x887800C8, "A circular loop of send effects was detected."},
    {0x887800D2, "The GUID specified in an audiopath file does not match a valid MIXIN buffer."},
    {0x887800DC, "The effects requested could not be found on the system, or they were found but in the wrong order, or in the wrong hardware/software locations."},
    {0x88781161, "The object requested was not found (numerically equal to DMUS_E_NOT_FOUND)."},
};

}  // namespace

std::string DirectSoundErrorText(HRESULT Code) {
    const auto code = static_cast<std::uint32_t>(Code);
    for (const TResultText& entry : ResultTexts)
        if (entry.Code == code) return entry.Text;
    return "Unrecognized Error";
}

void CheckDSResult(HRESULT Code) {
    if (Code != DS_OK) throw EDirectXError(DirectSoundErrorText(Code), Code);
}

// ---- the unit's start-up: DirectSound bound by name, the component class registered -----------

namespace {

LPDIRECTSOUNDCREATE DirectSoundCreateEntry = nullptr;
LPDIRECTSOUNDENUMERATEA DirectSoundEnumerateEntry = nullptr;

template <class TEntry>
TEntry BindEntry(HMODULE library, const char* name) {
    return library != nullptr ? reinterpret_cast<TEntry>(GetProcAddress(library, name)) : nullptr;
}

struct TDSMixerUnit {
    TDSMixerUnit() {
        // The library stays loaded for the life of the process: devices may outlive any owner.
        const HMODULE library = LoadLibraryA("DSound.dll");
        DirectSoundCreateEntry = BindEntry<LPDIRECTSOUNDCREATE>(library, "DirectSoundCreate");
        DirectSoundEnumerateEntry = BindEntry<LPDIRECTSOUNDENUMERATEA>(library, "DirectSoundEnumerateA");
        RegisterComponentClass("TDSMixer", [](TComponent* AOwner) -> TComponent* { return new TDSMixer(AOwner); });
    }
} DSMixerUnit;

// ---- GUID texts -------------------------------------------------------------------------------

std::string GuidToString(const GUID& guid) {
    LPOLESTR wide = nullptr;
    CheckDSResult(StringFromCLSID(guid, &wide));
    std::string text;
    for (LPOLESTR c = wide; *c != 0; ++c) text.push_back(static_cast<char>(*c));
    CoTaskMemFree(wide);
    return text;
}

GUID GuidFromString(const std::string& text) {
    std::u16string wide(text.begin(), text.end());
    GUID guid{};
    CheckDSResult(CLSIDFromString(wide.c_str(), &guid));
    return guid;
}

// ---- device lists -----------------------------------------------------------------------------

// An error met inside the enumeration is raised once the enumeration has returned, not
// through the library's frames.
std::exception_ptr EnumerationError;

BOOL EnumDeviceCallback(GUID* guid, LPCSTR description, LPCSTR, LPVOID) {
    try {
        DeviceNames->Add(description != nullptr ? description : "");
        DeviceGuids->Add(guid != nullptr ? GuidToString(*guid) : std::string());
    } catch (...) {
        EnumerationError = std::current_exception();
        return FALSE;
    }
    return TRUE;
}

}  // namespace

TStringList* DeviceNames = nullptr;
TStringList* DeviceGuids = nullptr;

void InitializeDeviceLists() {
    FinalizeDeviceLists();
    DeviceNames = new TStringList;
    DeviceGuids = new TStringList;
    if (DirectSoundEnumerateEntry == nullptr) throw EDirectXError("DirectSoundEnumerateA pointer not assigned.", 0);
    EnumerationError = nullptr;
    const HRESULT result = DirectSoundEnumerateEntry(EnumDeviceCallback, nullptr);
    if (EnumerationError) std::rethrow_exception(std::exchange(EnumerationError, nullptr));
    CheckDSResult(result);
}

void FinalizeDeviceLists() {
    delete DeviceGuids;
    DeviceGuids = nullptr;
    delete DeviceNames;
    DeviceNames = nullptr;
}

// ---- TDSMixer ---------------------------------------------------------------------------------

TDSMixer::TDSMixer(TComponent* AOwner) : TComponent(AOwner) {}

TDSMixer::~TDSMixer() {
    // A destructor has no one to report a failing DirectSound call to.
    try {
        Close();
    } catch (const std::exception&) {
    }
    while (!FChannels.empty()) delete FChannels.front();
}

void TDSMixer::DefinePublished(TPublishedTable& table) {
    TComponent::DefinePublished(table);
    table.Property("BitsPerSample", [this](const TStreamValue& value) {
        const std::string& name = value.AsIdentifier();
        if (name == "bs8Bit") SetBitsPerSample(bs8Bit);
        else if (name == "bs16Bit") SetBitsPerSample(bs16Bit);
        else throw EReadError("Invalid property value: " + name);
    });
    table.Property("Stereo", [this](const TStreamValue& value) { SetStereo(value.AsBoolean()); });
    table.Property("Frequency", [this](const TStreamValue& value) {
        SetFrequency(static_cast<std::int32_t>(std::clamp<std::int64_t>(value.AsInteger(), INT32_MIN, INT32_MAX)));
    });
    table.Property("Level", [this](const TStreamValue& value) {
        const std::string& name = value.AsIdentifier();
        if (name == "lNormal") SetLevel(lNormal);
        else if (name == "lPriority") SetLevel(lPriority);
        else if (name == "lExclusive") SetLevel(lExclusive);
        else throw EReadError("Invalid property value: " + name);
    });
    table.Property("SpeakerConfig",
                   [this](const TStreamValue& value) { SetSpeakerConfig(static_cast<DWORD>(value.AsInteger())); });
}

IDirectSound* TDSMixer::GetDirectSound() {
    Open();
    FDevice->AddRef();
    return FDevice;
}

void TDSMixer::AddChannel(TDSMixerChannel* Channel) { FChannels.push_back(Channel); }

void TDSMixer::RemoveChannel(TDSMixerChannel* Channel) {
    const auto it = std::find(FChannels.begin(), FChannels.end(), Channel);
    if (it != FChannels.end()) FChannels.erase(it);
}

HWND TDSMixer::GetWindowHandle() {
    if (FWindow == nullptr) FWindow = GetDesktopWindow();
    return FWindow;
}

void TDSMixer::DeviceChanged() {}

void TDSMixer::ChangeFrequency(std::int32_t Value) { FFrequency = std::clamp(Value, 100, 100000); }

void TDSMixer::ChangeSpeakerConfig(DWORD Value) {
    if (FDevice != nullptr) CheckDSResult(FDevice->SetSpeakerConfig(Value));
    FSpeakerConfig = Value;
}

void TDSMixer::Open() {
    if (FDevice != nullptr) return;
    if (DirectSoundCreateEntry == nullptr) throw EDirectXError("DirectSoundCreate pointer not assigned.", 0);
    if (DeviceGuids == nullptr) throw EListError(Format("List index out of bounds (%d)", FDeviceIndex));
    const std::string guidText = DeviceGuids->Get(FDeviceIndex);
    GUID guid{};
    if (!guidText.empty()) guid = GuidFromString(guidText);
    CheckDSResult(DirectSoundCreateEntry(guidText.empty() ? nullptr : &guid, &FDevice, nullptr));
    DeviceChanged();

    const DWORD levels[] = {DSSCL_NORMAL, DSSCL_PRIORITY, DSSCL_EXCLUSIVE};
    CheckDSResult(FDevice->SetCooperativeLevel(GetWindowHandle(), levels[FLevel]));

    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    CheckDSResult(FDevice->CreateSoundBuffer(&desc, &FPrimaryBuffer, nullptr));

    if (FLevel != lNormal) {
        WAVEFORMATEX format{};
        CheckDSResult(FPrimaryBuffer->GetFormat(&format, DSOUND_WAVEFORMAT_BYTES, nullptr));
        format.nChannels = FStereo ? 2 : 1;
        format.wBitsPerSample = static_cast<WORD>(8 << FBitsPerSample);
        format.nSamplesPerSec = static_cast<DWORD>(FFrequency);
        format.nBlockAlign = static_cast<WORD>(format.wBitsPerSample * format.nChannels / 8);
        format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
        CheckDSResult(FPrimaryBuffer->SetFormat(&format));
        // The device may keep a format of its own; the properties tell what is in force.
        CheckDSResult(FPrimaryBuffer->GetFormat(&format, DSOUND_WAVEFORMAT_BYTES, nullptr));
        FStereo = format.nChannels == 2;
        FBitsPerSample = format.wBitsPerSample >= 16 ? bs16Bit : bs8Bit;
        FFrequency = static_cast<std::int32_t>(format.nSamplesPerSec);
    }
    ChangeSpeakerConfig(FSpeakerConfig);
    FPrimaryBuffer->Play(0, 0, DSBPLAY_LOOPING);
}

void TDSMixer::Close() {
    // The Stop inside FreeBuffer gives up after 250 ms when another program holds the lock; the
    // buffer is freed all the same, so no refill of its channel may be left to touch it.
    for (TDSMixerChannel* channel : FChannels) {
        channel->EndRefills();
        channel->FreeBuffer();
    }
    if (FPrimaryBuffer != nullptr) FPrimaryBuffer->Release();
    FPrimaryBuffer = nullptr;
    if (FDevice != nullptr) {
        FDevice->Release();
        FDevice = nullptr;
        DeviceChanged();
    }
}

// ---- TPositionTimes ---------------------------------------------------------------------------

void TPositionTimes::Add(std::int32_t StartPos, std::int32_t EndPos, std::int64_t StartTime, std::int64_t EndTime) {
    FPositions[FIndex][0] = StartPos;
    FPositions[FIndex][1] = EndPos;
    FTimes[FIndex][0] = StartTime;
    FTimes[FIndex][1] = EndTime;
    Assert(StartTime <= EndTime, "Internal Error: Time Start higher then Time End");
    Assert(EndPos > StartPos, "Internal Error: Position Start not inferior to Position End");
    FIndex = (FIndex + 1) % Count;
}

// ---- the channel lock -------------------------------------------------------------------------

namespace {

constexpr DWORD LockTimeoutMs = 250;
constexpr int MutexNameLimit = 100;
constexpr UINT WM_CHANNEL_END = WM_USER + 1;
constexpr char NotifyWindowClass[] = "TDSMixerChannelNotify";

bool Acquired(DWORD waitResult) { return waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED; }

// Holds a mutex once the wait for it succeeded. An abandoned mutex is held like any other; a
// wait that timed out or failed holds nothing.
class TMutexLock {
public:
    TMutexLock(HANDLE mutex, DWORD timeout) : FMutex(mutex), FHeld(Acquired(WaitForSingleObject(mutex, timeout))) {}
    ~TMutexLock() {
        if (FHeld) ReleaseMutex(FMutex);
    }
    TMutexLock(const TMutexLock&) = delete;
    TMutexLock& operator=(const TMutexLock&) = delete;
    explicit operator bool() const { return FHeld; }

private:
    HANDLE FMutex;
    bool FHeld;
};

LRESULT NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* channel = reinterpret_cast<TDSMixerChannel*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (channel == nullptr) return 0;
    TDSMixerChannel::TMessage record{message, wParam, lParam, 0};
    channel->WndProc(record);
    return record.Result;
}

// A system object the channel cannot do without could not be made.
[[noreturn]] void RaiseCreationError(const std::string& what, DWORD error) {
    throw Exception(Format("Cannot create %s (error %u)", what.c_str(), static_cast<unsigned>(error)));
}

HWND CreateNotifyWindow(TDSMixerChannel* channel) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = NotifyWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = NotifyWindowClass;
    RegisterClassA(&windowClass);  // refused as existing from the second channel on
    const HWND window = CreateWindowExA(0, NotifyWindowClass, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        windowClass.hInstance, nullptr);
    if (window == nullptr) RaiseCreationError("the channel's notify window", GetLastError());
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(channel));
    return window;
}

// The first name of "DSMCUpd0", "DSMCUpd1", ... that the system gives a mutex for.
HANDLE CreateChannelMutex(std::string& name) {
    for (int n = 0; n < MutexNameLimit; ++n) {
        name = "DSMCUpd" + std::to_string(n);
        if (HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str())) return mutex;
    }
    const DWORD error = GetLastError();
    RaiseCreationError(Format("the channel lock: the system refused the names DSMCUpd0 to DSMCUpd%d", MutexNameLimit - 1),
                       error);
}

}  // namespace

// ---- TUpdateChannelThread ---------------------------------------------------------------------

TUpdateChannelThread::TUpdateChannelThread(TDSMixerChannel* AChannel, const std::string& MutexName)
    : TThread(true), FChannel(AChannel) {
    // Without its event the idle thread would spin, without the lock it would refill unguarded.
    FWakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (FWakeEvent == nullptr) RaiseCreationError("the refill thread's wake event", GetLastError());
    FMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, MutexName.c_str());
    if (FMutex == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(FWakeEvent);
        RaiseCreationError("the refill thread's handle of the channel lock " + MutexName, error);
    }
    Resume();
}

TUpdateChannelThread::~TUpdateChannelThread() {
    Shutdown();
    if (FMutex != nullptr) CloseHandle(FMutex);
    if (FWakeEvent != nullptr) CloseHandle(FWakeEvent);
}

void TUpdateChannelThread::Shutdown() {
    Terminate();
    if (FWakeEvent != nullptr) SetEvent(FWakeEvent);
    if (Suspended()) Resume();
    WaitFor();
}

void TUpdateChannelThread::SetActive(bool Value) {
    if (FActive == Value) return;
    FActive = Value;
    if (Value) SetEvent(FWakeEvent);
}

void TUpdateChannelThread::Execute() {
    do {
        if (!FActive) {
            WaitForSingleObject(FWakeEvent, INFINITE);
        } else if (WaitForSingleObject(FWakeEvent, Interval) == WAIT_TIMEOUT) {
            // An error of the refill step ends the thread; the lock is given back on the way out.
            TMutexLock lock(FMutex, LockTimeoutMs);
            if (lock && FActive) FChannel->Update();
        }
    } while (!Terminated());
}

// ---- TDSMixerChannel --------------------------------------------------------------------------

TDSMixerChannel::TDSMixerChannel(TDSMixer* AMixer) : FMixer(AMixer) {
    if (FMixer == nullptr) throw Exception("A sound channel needs a mixer");
    FPositionTimes = std::make_unique<TPositionTimes>();
    ResetPlayState();
    ResetProperties();
    FNotifyWindow = CreateNotifyWindow(this);
    std::string mutexName;
    try {
        FMutex = CreateChannelMutex(mutexName);
        FThread = std::make_unique<TUpdateChannelThread>(this, mutexName);
    } catch (...) {
        if (FMutex != nullptr) CloseHandle(FMutex);
        DestroyWindow(FNotifyWindow);
        throw;
    }
    FThread->SetActive(false);
    FBufferMs = 4000;
    FThread->Interval = FBufferMs / 10;
    FMixer->AddChannel(this);
}

TDSMixerChannel::~TDSMixerChannel() {
    FMixer->RemoveChannel(this);
    EndRefills();
    try {
        FreeBuffer();
    } catch (const std::exception&) {
        // A destructor has no one to report a failing stop to; the buffer is released below.
    }
    if (FBuffer != nullptr) FBuffer->Release();
    FBuffer = nullptr;
    FReader.reset();
    CloseHandle(FMutex);
    FThread.reset();
    FPositionTimes.reset();
    DestroyWindow(FNotifyWindow);
}

void TDSMixerChannel::EndRefills() {
    FThread->SetActive(false);
    FThread->Shutdown();
}

void TDSMixerChannel::ResetPlayState() {
    FEndThreshold = 0;
    FPlaying = false;
    FWritePos = 0;
    FPrefilled = false;
    FEndMarker = -1;
    FEndReached = false;
}

void TDSMixerChannel::ResetProperties() {
    FVolume = 0;
    FPan = 0;
    FLooping = false;
    FStartTime = 0;
    FEndTime = 0;
    FFileName.clear();
}

void TDSMixerChannel::LoadFromFile(const std::string& FileName) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    FreeBuffer();
    CloseFile();
    if (!FileName.empty()) {
        auto reader = std::make_unique<TAudioFileReader>(FileName);
        // A rejected file leaves the channel without a file, as an empty name does.
        FLengthMs = static_cast<std::int32_t>(reader->Duration() / 10000);
        if (FLengthMs == 0) throw Exception("Audio file is empty.");
        const WAVEFORMATEX& format = reader->Format();
        if (format.nChannels != 1 && format.nChannels != 2) throw Exception("Invalid number of channels.");
        if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16)
            throw Exception("Invalid number of bits per sample.");
        FReader = std::move(reader);
    }
    SetStartTime(static_cast<std::uint32_t>(FStartTime));
    SetEndTime(static_cast<std::uint32_t>(FEndTime));
    FFileName = FileName;
}

void TDSMixerChannel::SetVolume(std::int32_t Value) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    FVolume = Value;
    if (FBuffer != nullptr) CheckDSResult(FBuffer->SetVolume(Value));
}

void TDSMixerChannel::SetPan(std::int32_t Value) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    FPan = Value;
    if (FBuffer != nullptr) CheckDSResult(FBuffer->SetPan(Value));
}

void TDSMixerChannel::SetStartTime(std::uint32_t Ms) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    if (FReader == nullptr) {
        FStartTime = static_cast<std::int32_t>(Ms);
        return;
    }
    const std::int64_t start = static_cast<std::int64_t>(Ms) * 10000;
    if (start == FReader->StartPos()) return;
    FReader->SetStartPos(start);
    FStartTime = static_cast<std::int32_t>(start / 10000);
    SetEndTime(static_cast<std::uint32_t>(FEndTime));
}

void TDSMixerChannel::SetEndTime(std::uint32_t Ms) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    if (FReader == nullptr) {
        FEndTime = static_cast<std::int32_t>(Ms);
        return;
    }
    // An end of 0 is the end of the file, wherever the range starts.
    const std::int64_t length = Ms == 0 ? 0 : static_cast<std::int64_t>(Ms) * 10000 - FReader->StartPos();
    if (length == FReader->Length()) return;
    FReader->SetLength(length);
    FEndTime = Ms == 0 ? 0 : static_cast<std::int32_t>(length / 10000 + FStartTime);
}

void TDSMixerChannel::Play() {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock || FPlaying) return;
    CreateBuffer();
    Prefill();
    if (FBuffer == nullptr) return;  // lost while it was filled
    if (LostOrChecked(FBuffer->Play(0, 0, DSBPLAY_LOOPING))) return;
    FPlaying = true;
    FThread->SetActive(true);
}

void TDSMixerChannel::Prefill() {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    if (!FPrefilled) FillBuffer();
}

void TDSMixerChannel::Stop() {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock || FBuffer == nullptr) return;
    FThread->SetActive(false);
    CheckDSResult(FBuffer->Stop());
    FPlaying = false;
    CheckDSResult(FBuffer->SetCurrentPosition(0));
    FWritePos = 0;
    if (FReader != nullptr) FReader->Seek(0);
    FPrefilled = false;
    FEndMarker = -1;
    FEndReached = false;
}

void TDSMixerChannel::FreeBuffer() {
    if (FBuffer != nullptr) {
        Stop();
        FBuffer->Release();
        FBuffer = nullptr;
    }
    FStaging.reset();
    ResetPlayState();
}

void TDSMixerChannel::CloseFile() {
    FreeBuffer();
    FReader.reset();
    ResetProperties();
}

void TDSMixerChannel::CheckFileOpened() const {
    if (FReader == nullptr) throw Exception("No file opened");
}

void TDSMixerChannel::CreateBuffer() {
    if (FBuffer != nullptr) return;
    CheckFileOpened();
    WAVEFORMATEX format = FReader->Format();
    FBufferSize = format.nAvgBytesPerSec * FBufferMs / 1000;
    FEndThreshold = FBufferSize * 40 / 100;
    FStaging.reset(new BYTE[FBufferSize]);

    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME | DSBCAPS_GLOBALFOCUS |
                   DSBCAPS_GETCURRENTPOSITION2;
    desc.dwBufferBytes = FBufferSize;
    desc.lpwfxFormat = &format;
    IDirectSound* device = FMixer->GetDirectSound();
    const HRESULT result = device->CreateSoundBuffer(&desc, &FBuffer, nullptr);
    device->Release();
    CheckDSResult(result);
    SetVolume(FVolume);
    SetPan(FPan);
}

DWORD TDSMixerChannel::PlayCursor() {
    DWORD play = 0;
    CheckDSResult(FBuffer->GetCurrentPosition(&play, nullptr));
    return play;
}

void TDSMixerChannel::FillBuffer() {
    CreateBuffer();
    if (!FPrefilled) {
        if (WriteData(0, FBufferSize)) FPrefilled = true;
        return;
    }
    const DWORD play = PlayCursor();
    if (FWritePos <= play) {
        if (!WriteData(FWritePos, play - FWritePos)) return;
    } else {
        if (!WriteData(FWritePos, FBufferSize - FWritePos)) return;
        if (!WriteData(0, play)) return;
    }
    FWritePos = play;
}

bool TDSMixerChannel::WriteData(DWORD Offset, DWORD Count) {
    if (Count == 0) return true;
    const BYTE silence = FReader->Format().wBitsPerSample == 8 ? 0x80 : 0;
    DWORD position = Offset;
    std::int64_t remaining = Count;
    bool justRewound = false;
    while (remaining != 0) {
        Assert(remaining > 0, "Read from file not higher than 0");
        if (FEndMarker == -1) {
            // Each read delivers one piece of the decoder; only a read of nothing ends the data.
            const std::int32_t n = std::max(0, FReader->Read(FStaging.get() + position, static_cast<std::uint32_t>(remaining)));
            if (n > 0) {
                FPositionTimes->Add(static_cast<std::int32_t>(position), static_cast<std::int32_t>(position + n),
                                    FReader->SampleStart(), FReader->SampleEnd());
                remaining -= n;
                position += static_cast<DWORD>(n);
                justRewound = false;
            } else {
                // A looping file that yields nothing even from its start ends like one that does not loop.
                if (!FLooping || justRewound) FEndMarker = static_cast<std::int32_t>(position);
                FReader->Seek(0);
                justRewound = true;
            }
        } else {
            std::memset(FStaging.get() + position, silence, static_cast<std::size_t>(remaining));
            FPositionTimes->Add(static_cast<std::int32_t>(position), static_cast<std::int32_t>(position + remaining),
                                FReader->SampleEnd(), FReader->SampleEnd());
            remaining = 0;
        }
    }

    LPVOID region = nullptr;
    DWORD regionBytes = 0;
    if (LostOrChecked(FBuffer->Lock(Offset, Count, &region, &regionBytes, nullptr, nullptr, 0))) return false;
    const bool sizeMatches = regionBytes == Count;
    if (sizeMatches) std::memcpy(region, FStaging.get() + Offset, Count);
    const HRESULT unlocked = FBuffer->Unlock(region, regionBytes, nullptr, 0);
    Assert(sizeMatches, "Locked different size from requested");
    CheckDSResult(unlocked);
    return true;
}

// True after a lost buffer was handled; raises every other failure.
bool TDSMixerChannel::LostOrChecked(HRESULT Result) {
    try {
        CheckDSResult(Result);
    } catch (const EDirectXError& error) {
        if (error.ErrorCode != DSERR_BUFFERLOST) throw;
        BufferLost();
        return true;
    }
    return false;
}

void TDSMixerChannel::BufferLost() {
    FreeBuffer();
    if (OnBufferLost) OnBufferLost(this);
}

DWORD TDSMixerChannel::BytesToEnd() {
    std::int64_t distance = static_cast<std::int64_t>(FEndMarker) - PlayCursor();
    if (distance <= 0) distance += FBufferSize;
    return static_cast<DWORD>(distance);
}

void TDSMixerChannel::Update() {
    bool measured = false;
    DWORD distance = 0;
    if (FEndReached) {
        distance = BytesToEnd();
        measured = true;
        if (distance > FEndThreshold) {
            // The play cursor has passed the end marker.
            Stop();
            PostMessageA(FNotifyWindow, WM_CHANNEL_END, 0, 0);
            return;
        }
    }
    const DWORD now = GetTickCount();
    if (now - FLastTick < FThread->Interval) return;
    FLastTick = now;
    if (FEndMarker != -1) {
        if (!measured) distance = BytesToEnd();
        if (distance <= FEndThreshold) FEndReached = true;
    }
    FillBuffer();
}

void TDSMixerChannel::WndProc(TMessage& Message) {
    if (Message.Msg == WM_CHANNEL_END && OnEnd) OnEnd(this);
}
