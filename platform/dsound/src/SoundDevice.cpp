#include "SoundDevice.h"

#include <algorithm>
#include <cstring>

namespace dsound {

namespace {

HRESULT CopyFormat(const TPcmFormat& pcm, WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) {
    if (format == nullptr) {
        if (sizeWritten == nullptr) return DSERR_INVALIDPARAM;
        *sizeWritten = DSOUND_WAVEFORMAT_BYTES;
        return DS_OK;
    }
    if (sizeAllocated < DSOUND_WAVEFORMAT_BYTES) return DSERR_INVALIDPARAM;
    const WAVEFORMATEX value = pcm.ToWaveFormat();
    std::memcpy(format, &value, DSOUND_WAVEFORMAT_BYTES);
    if (sizeWritten != nullptr) *sizeWritten = DSOUND_WAVEFORMAT_BYTES;
    return DS_OK;
}

constexpr DWORD kMixChunkFrames = 1024;

std::atomic<DWORD> BuffersCreated{0};

}  // namespace

// ---- secondary buffer ---------------------------------------------------------------------------

TSecondaryBuffer::TSecondaryBuffer(TSoundDevice& device, DWORD flags, DWORD bytes, const TPcmFormat& format)
    : FDevice(device), FFlags(flags), FFormat(format), FData(bytes, format.Bits == 8 ? 0x80 : 0),
      FFrames(bytes / format.BlockAlign()) {
    FDevice.AddRef();
}

TSecondaryBuffer::~TSecondaryBuffer() { FDevice.Release(); }

ULONG TSecondaryBuffer::AddRef() { return ++FRefs; }

ULONG TSecondaryBuffer::Release() {
    const ULONG left = --FRefs;
    if (left == 0) {
        FDevice.Unregister(this);
        delete this;
    }
    return left;
}

DWORD TSecondaryBuffer::PlayCursor() const {
    const DWORD frame = static_cast<DWORD>(FPosition >> 32);
    return (frame < FFrames ? frame : 0) * FFormat.BlockAlign();
}

bool TSecondaryBuffer::TakeLoss() { return FLost.exchange(false); }

// Data right ahead of the play cursor may already be in the mix: one output period.
DWORD TSecondaryBuffer::WriteCursor() const {
    const DWORD play = PlayCursor();
    if (!FPlaying) return play;
    const DWORD lead = FFormat.Rate * kOutputPeriodMs / 1000 * FFormat.BlockAlign();
    return static_cast<DWORD>((std::uint64_t{play} + lead) % FData.size());
}

HRESULT TSecondaryBuffer::GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) {
    std::lock_guard guard(FDevice.Mutex());
    if (playCursor != nullptr) *playCursor = PlayCursor();
    if (writeCursor != nullptr) *writeCursor = WriteCursor();
    return DS_OK;
}

HRESULT TSecondaryBuffer::GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) {
    return CopyFormat(FFormat, format, sizeAllocated, sizeWritten);
}

HRESULT TSecondaryBuffer::GetStatus(DWORD* status) {
    if (status == nullptr) return DSERR_INVALIDPARAM;
    std::lock_guard guard(FDevice.Mutex());
    *status = (FPlaying ? DSBSTATUS_PLAYING : 0) | (FPlaying && FLooping ? DSBSTATUS_LOOPING : 0) |
              (FLost ? DSBSTATUS_BUFFERLOST : 0);
    return DS_OK;
}

HRESULT TSecondaryBuffer::Lock(DWORD offset, DWORD bytes, LPVOID* audioPtr1, DWORD* audioBytes1, LPVOID* audioPtr2,
                               DWORD* audioBytes2, DWORD flags) {
    if (audioPtr1 == nullptr || audioBytes1 == nullptr) return DSERR_INVALIDPARAM;
    std::lock_guard guard(FDevice.Mutex());
    if (TakeLoss()) return DSERR_BUFFERLOST;
    const DWORD size = static_cast<DWORD>(FData.size());
    if (flags & DSBLOCK_FROMWRITECURSOR) offset = WriteCursor();
    if (flags & DSBLOCK_ENTIREBUFFER) bytes = size;
    if (offset >= size || bytes == 0 || bytes > size) return DSERR_INVALIDPARAM;
    const DWORD first = std::min(bytes, size - offset);
    const DWORD second = audioPtr2 != nullptr ? bytes - first : 0;
    *audioPtr1 = FData.data() + offset;
    *audioBytes1 = first;
    if (audioPtr2 != nullptr) *audioPtr2 = second != 0 ? FData.data() : nullptr;
    if (audioBytes2 != nullptr) *audioBytes2 = second;
    FLocked.push_back({offset, first});
    if (second != 0) FLocked.push_back({0, second});
    return DS_OK;
}

HRESULT TSecondaryBuffer::Unlock(LPVOID audioPtr1, DWORD audioBytes1, LPVOID audioPtr2, DWORD audioBytes2) {
    std::lock_guard guard(FDevice.Mutex());
    auto release = [this](LPVOID ptr, DWORD bytes) {
        if (ptr == nullptr) return true;
        const auto address = reinterpret_cast<std::uintptr_t>(ptr);
        const auto base = reinterpret_cast<std::uintptr_t>(FData.data());
        if (address < base || address >= base + FData.size()) return false;
        const auto offset = static_cast<DWORD>(address - base);
        auto it = std::find_if(FLocked.begin(), FLocked.end(),
                               [&](const TLockedRegion& r) { return r.Offset == offset && bytes <= r.Bytes; });
        if (it == FLocked.end()) return false;
        FLocked.erase(it);
        return true;
    };
    const bool first = release(audioPtr1, audioBytes1);
    const bool second = release(audioPtr2, audioBytes2);
    return first && second ? DS_OK : DSERR_INVALIDPARAM;
}

HRESULT TSecondaryBuffer::Play(DWORD /*reserved*/, DWORD /*priority*/, DWORD flags) {
    std::lock_guard guard(FDevice.Mutex());
    if (TakeLoss()) return DSERR_BUFFERLOST;
    FPlaying = true;
    FLooping = (flags & DSBPLAY_LOOPING) != 0;
    return DS_OK;
}

HRESULT TSecondaryBuffer::Stop() {
    std::lock_guard guard(FDevice.Mutex());
    FPlaying = false;
    return DS_OK;
}

HRESULT TSecondaryBuffer::SetCurrentPosition(DWORD newPosition) {
    std::lock_guard guard(FDevice.Mutex());
    if (newPosition >= FData.size()) return DSERR_INVALIDPARAM;
    FPosition = static_cast<std::uint64_t>(newPosition / FFormat.BlockAlign()) << 32;
    return DS_OK;
}

HRESULT TSecondaryBuffer::SetFormat(const WAVEFORMATEX*) { return DSERR_INVALIDCALL; }

HRESULT TSecondaryBuffer::SetVolume(LONG volume) {
    if (!(FFlags & DSBCAPS_CTRLVOLUME)) return DSERR_CONTROLUNAVAIL;
    if (volume < DSBVOLUME_MIN || volume > DSBVOLUME_MAX) return DSERR_INVALIDPARAM;
    std::lock_guard guard(FDevice.Mutex());
    FVolume = volume;
    return DS_OK;
}

HRESULT TSecondaryBuffer::SetPan(LONG pan) {
    if (!(FFlags & DSBCAPS_CTRLPAN)) return DSERR_CONTROLUNAVAIL;
    if (pan < DSBPAN_LEFT || pan > DSBPAN_RIGHT) return DSERR_INVALIDPARAM;
    std::lock_guard guard(FDevice.Mutex());
    FPan = pan;
    return DS_OK;
}

HRESULT TSecondaryBuffer::SetFrequency(DWORD frequency) {
    if (!(FFlags & DSBCAPS_CTRLFREQUENCY)) return DSERR_CONTROLUNAVAIL;
    if (frequency != DSBFREQUENCY_ORIGINAL && (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX))
        return DSERR_INVALIDPARAM;
    std::lock_guard guard(FDevice.Mutex());
    FFrequency = frequency;
    return DS_OK;
}

bool TSecondaryBuffer::IsLockedFrame(const void* self, DWORD frame) {
    const auto* buffer = static_cast<const TSecondaryBuffer*>(self);
    const DWORD begin = frame * buffer->FFormat.BlockAlign();
    const DWORD end = begin + buffer->FFormat.BlockAlign();
    return std::any_of(buffer->FLocked.begin(), buffer->FLocked.end(),
                       [&](const TLockedRegion& r) { return begin < r.Offset + r.Bytes && r.Offset < end; });
}

void TSecondaryBuffer::MixInto(float* mix, DWORD frames, const TPcmFormat& out) {
    if (!FPlaying || FFrames == 0) return;
    TVoice voice;
    voice.Data = FData.data();
    voice.Frames = FFrames;
    voice.Format = FFormat;
    voice.Position = FPosition;
    voice.Step = ResampleStep(PlayRate(), out.Rate);
    voice.Looping = FLooping;
    voice.Gains = VoiceGains(FVolume, FPan);
    if (!FLocked.empty()) {
        voice.IsLockedFrame = &TSecondaryBuffer::IsLockedFrame;
        voice.Owner = this;
    }
    const bool goesOn = MixVoice(voice, mix, frames, out.Channels);
    FPosition = voice.Position;
    if (!goesOn) {
        // A buffer played once rests at its start, as after a Stop at the end.
        FPlaying = false;
        FPosition = 0;
    }
}

// ---- primary buffer -----------------------------------------------------------------------------

ULONG TPrimaryBuffer::AddRef() {
    const ULONG refs = ++FRefs;
    if (refs == 1) FDevice.AddRef();
    return refs;
}

// The device owns the object; the last reference only gives back the device.
ULONG TPrimaryBuffer::Release() {
    const ULONG left = --FRefs;
    if (left == 0) FDevice.Release();
    return left;
}

HRESULT TPrimaryBuffer::GetCurrentPosition(DWORD*, DWORD*) { return DSERR_INVALIDCALL; }

HRESULT TPrimaryBuffer::GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) {
    return CopyFormat(FDevice.PrimaryFormat(), format, sizeAllocated, sizeWritten);
}

HRESULT TPrimaryBuffer::GetStatus(DWORD* status) {
    if (status == nullptr) return DSERR_INVALIDPARAM;
    *status = FPlaying ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0;
    return DS_OK;
}

HRESULT TPrimaryBuffer::Lock(DWORD, DWORD, LPVOID*, DWORD*, LPVOID*, DWORD*, DWORD) { return DSERR_INVALIDCALL; }

HRESULT TPrimaryBuffer::Play(DWORD, DWORD, DWORD flags) {
    // The mixer runs all the time; the primary buffer can only play looping.
    if (!(flags & DSBPLAY_LOOPING)) return DSERR_INVALIDPARAM;
    FPlaying = true;
    return DS_OK;
}

HRESULT TPrimaryBuffer::SetCurrentPosition(DWORD) { return DSERR_INVALIDCALL; }
HRESULT TPrimaryBuffer::SetFormat(const WAVEFORMATEX* format) { return FDevice.SetPrimaryFormat(format); }
HRESULT TPrimaryBuffer::SetVolume(LONG) { return DSERR_CONTROLUNAVAIL; }
HRESULT TPrimaryBuffer::SetPan(LONG) { return DSERR_CONTROLUNAVAIL; }
HRESULT TPrimaryBuffer::SetFrequency(DWORD) { return DSERR_CONTROLUNAVAIL; }

HRESULT TPrimaryBuffer::Stop() {
    FPlaying = false;
    return DS_OK;
}

HRESULT TPrimaryBuffer::Unlock(LPVOID, DWORD, LPVOID, DWORD) { return DSERR_INVALIDCALL; }

// ---- device ---------------------------------------------------------------------------------------

TSoundDevice::TSoundDevice(bool fixedPrimaryFormat) : FFixedPrimaryFormat(fixedPrimaryFormat) {}

TSoundDevice::~TSoundDevice() {
    Detach();
    delete FPrimary;
}

ULONG TSoundDevice::AddRef() { return ++FRefs; }

ULONG TSoundDevice::Release() {
    const ULONG left = --FRefs;
    if (left == 0) {
        UnregisterDevice(this);
        delete this;
    }
    return left;
}

HRESULT TSoundDevice::Start(const GUID* guid) {
    std::lock_guard guard(FOutputMutex);
    if (HRESULT result = CreateOutput(guid, *this, FOutput); result != DS_OK) return result;
    return FOutput->Start(PrimaryFormat());
}

TPcmFormat TSoundDevice::PrimaryFormat() {
    std::lock_guard guard(FMutex);
    return FPrimaryFormat;
}

HRESULT TSoundDevice::SetPrimaryFormat(const WAVEFORMATEX* format) {
    if (FLevel == DSSCL_NORMAL) return DSERR_PRIOLEVELNEEDED;
    TPcmFormat wanted;
    if (HRESULT result = ParsePcmFormat(format, wanted); result != DS_OK) return result;
    if (FFixedPrimaryFormat) return DS_OK;
    std::lock_guard outputGuard(FOutputMutex);
    const TPcmFormat previous = PrimaryFormat();
    if (wanted == previous) return DS_OK;
    // The output is restarted without the mix lock held, as its stop waits for a running mix.
    if (FOutput) {
        FOutput->Stop();
        if (FOutput->Start(wanted) != DS_OK) {
            FOutput->Start(previous);
            return DSERR_BADFORMAT;
        }
    }
    std::lock_guard guard(FMutex);
    FPrimaryFormat = wanted;
    return DS_OK;
}

void TSoundDevice::Detach() {
    std::lock_guard guard(FOutputMutex);
    if (FOutput) FOutput->Stop();
    FOutput.reset();
}

void TSoundDevice::Render(void* out, DWORD frames) {
    std::lock_guard guard(FMutex);
    const TPcmFormat format = FPrimaryFormat;
    auto* target = static_cast<BYTE*>(out);
    if (FMix.size() < std::size_t{kMixChunkFrames} * 2) FMix.resize(std::size_t{kMixChunkFrames} * 2);
    while (frames > 0) {
        const DWORD chunk = std::min(frames, kMixChunkFrames);
        std::fill_n(FMix.begin(), std::size_t{chunk} * format.Channels, 0.0f);
        for (TSecondaryBuffer* buffer : FBuffers) buffer->MixInto(FMix.data(), chunk, format);
        ConvertMix(FMix.data(), chunk, format, target);
        target += std::size_t{chunk} * format.BlockAlign();
        frames -= chunk;
    }
}

void TSoundDevice::MixNow(void* out, DWORD frames) { Render(out, frames); }

HRESULT TSoundDevice::CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, void* outer) {
    if (buffer == nullptr) return DSERR_INVALIDPARAM;
    *buffer = nullptr;
    if (outer != nullptr) return DSERR_NOAGGREGATION;
    if (desc == nullptr || desc->dwSize != sizeof(DSBUFFERDESC)) return DSERR_INVALIDPARAM;
    if (desc->dwFlags & DSBCAPS_PRIMARYBUFFER) {
        if (desc->dwBufferBytes != 0 || desc->lpwfxFormat != nullptr) return DSERR_INVALIDPARAM;
        std::lock_guard guard(FMutex);
        if (FPrimary == nullptr) {
            FPrimary = new TPrimaryBuffer(*this);
            AddRef();
        } else {
            FPrimary->AddRef();
        }
        *buffer = FPrimary;
        return DS_OK;
    }
    TPcmFormat format;
    if (HRESULT result = ParsePcmFormat(desc->lpwfxFormat, format); result != DS_OK) return result;
    if (desc->dwBufferBytes < DSBSIZE_MIN || desc->dwBufferBytes > DSBSIZE_MAX ||
        desc->dwBufferBytes < format.BlockAlign())
        return DSERR_INVALIDPARAM;
    auto* created = new TSecondaryBuffer(*this, desc->dwFlags, desc->dwBufferBytes, format);
    std::lock_guard guard(FMutex);
    FBuffers.push_back(created);
    ++BuffersCreated;
    *buffer = created;
    return DS_OK;
}

void TSoundDevice::Unregister(TSecondaryBuffer* buffer) {
    std::lock_guard guard(FMutex);
    std::erase(FBuffers, buffer);
}

DWORD TSoundDevice::BufferCount() {
    std::lock_guard guard(FMutex);
    return static_cast<DWORD>(FBuffers.size());
}

DWORD SecondaryBuffersCreated() { return BuffersCreated.load(); }

void TSoundDevice::MarkAllLost() {
    std::lock_guard guard(FMutex);
    for (TSecondaryBuffer* buffer : FBuffers) buffer->MarkLost();
}

HRESULT TSoundDevice::SetCooperativeLevel(HWND window, DWORD level) {
    if (window == nullptr || level < DSSCL_NORMAL || level > DSSCL_EXCLUSIVE) return DSERR_INVALIDPARAM;
    FLevel = level;
    return DS_OK;
}

HRESULT TSoundDevice::SetSpeakerConfig(DWORD config) {
    const DWORD kind = config & 0xFF;
    if (kind < DSSPEAKER_HEADPHONE || kind > DSSPEAKER_7POINT1) return DSERR_INVALIDPARAM;
    FSpeakerConfig = config;
    return DS_OK;
}

HRESULT TSoundDevice::GetSpeakerConfig(DWORD* config) {
    if (config == nullptr) return DSERR_INVALIDPARAM;
    *config = FSpeakerConfig;
    return DS_OK;
}

}  // namespace dsound
