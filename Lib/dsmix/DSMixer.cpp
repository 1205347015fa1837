// The mixer: DirectSound's results and their texts, the binding of DirectSound by name, the
// device lists and TDSMixer, which owns the device and its primary buffer.

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

IDirectSound* TDSMixer::CreateDevice() const {
    if (DirectSoundCreateEntry == nullptr) throw EDirectXError("DirectSoundCreate pointer not assigned.", 0);
    if (DeviceGuids == nullptr) throw EListError(Format("List index out of bounds (%d)", FDeviceIndex));
    const std::string guidText = DeviceGuids->Get(FDeviceIndex);
    GUID guid{};
    if (!guidText.empty()) guid = GuidFromString(guidText);
    IDirectSound* device = nullptr;
    CheckDSResult(DirectSoundCreateEntry(guidText.empty() ? nullptr : &guid, &device, nullptr));
    return device;
}

void TDSMixer::CheckDevice() {
    FDeviceMissing = false;
    if (FDevice != nullptr) return;
    try {
        CreateDevice()->Release();
    } catch (...) {
        FDeviceMissing = true;
        throw;
    }
}

void TDSMixer::Open() {
    if (FDevice != nullptr) return;
    FDevice = CreateDevice();
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
