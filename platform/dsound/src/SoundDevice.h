#pragma once
// The device object, its buffers and the software mixer that plays them.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "Output.h"
#include "Pcm.h"
#include "dsound.h"

namespace dsound {

class TSoundDevice;

// Each object serves one interface besides IUnknown.
template <class I>
HRESULT QueryOne(I* self, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == I::Iid) {
        *object = self;
        self->AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

class TSecondaryBuffer final : public IDirectSoundBuffer {
public:
    TSecondaryBuffer(TSoundDevice& device, DWORD flags, DWORD bytes, const TPcmFormat& format);

    HRESULT QueryInterface(REFIID riid, void** object) override { return QueryOne<IDirectSoundBuffer>(this, riid, object); }
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) override;
    HRESULT GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) override;
    HRESULT GetStatus(DWORD* status) override;
    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* audioPtr1, DWORD* audioBytes1, LPVOID* audioPtr2,
                 DWORD* audioBytes2, DWORD flags) override;
    HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) override;
    HRESULT SetCurrentPosition(DWORD newPosition) override;
    HRESULT SetFormat(const WAVEFORMATEX* format) override;
    HRESULT SetVolume(LONG volume) override;
    HRESULT SetPan(LONG pan) override;
    HRESULT SetFrequency(DWORD frequency) override;
    HRESULT Stop() override;
    HRESULT Unlock(LPVOID audioPtr1, DWORD audioBytes1, LPVOID audioPtr2, DWORD audioBytes2) override;

    // Called by the device with its lock held.
    void MixInto(float* mix, DWORD frames, const TPcmFormat& out);
    void MarkLost() { FLost = true; }  // the next Lock or Play fails once

private:
    struct TLockedRegion {
        DWORD Offset;
        DWORD Bytes;
    };
    ~TSecondaryBuffer();
    DWORD PlayCursor() const;
    DWORD WriteCursor() const;
    DWORD PlayRate() const { return FFrequency == 0 ? FFormat.Rate : FFrequency; }
    bool TakeLoss();
    static bool IsLockedFrame(const void* self, DWORD frame);

    TSoundDevice& FDevice;
    std::atomic<ULONG> FRefs{1};
    const DWORD FFlags;
    const TPcmFormat FFormat;
    std::vector<BYTE> FData;
    DWORD FFrames;
    std::uint64_t FPosition = 0;  // frame in the high 32 bits, fraction in the low 32
    bool FPlaying = false;
    bool FLooping = false;
    std::atomic<bool> FLost{false};
    LONG FVolume = 0;
    LONG FPan = 0;
    DWORD FFrequency = DSBFREQUENCY_ORIGINAL;
    std::vector<TLockedRegion> FLocked;
};

class TPrimaryBuffer final : public IDirectSoundBuffer {
public:
    explicit TPrimaryBuffer(TSoundDevice& device) : FDevice(device) {}

    HRESULT QueryInterface(REFIID riid, void** object) override { return QueryOne<IDirectSoundBuffer>(this, riid, object); }
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) override;
    HRESULT GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) override;
    HRESULT GetStatus(DWORD* status) override;
    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* audioPtr1, DWORD* audioBytes1, LPVOID* audioPtr2,
                 DWORD* audioBytes2, DWORD flags) override;
    HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) override;
    HRESULT SetCurrentPosition(DWORD newPosition) override;
    HRESULT SetFormat(const WAVEFORMATEX* format) override;
    HRESULT SetVolume(LONG volume) override;
    HRESULT SetPan(LONG pan) override;
    HRESULT SetFrequency(DWORD frequency) override;
    HRESULT Stop() override;
    HRESULT Unlock(LPVOID audioPtr1, DWORD audioBytes1, LPVOID audioPtr2, DWORD audioBytes2) override;

private:
    friend class TSoundDevice;  // owns the object
    ~TPrimaryBuffer() = default;
    TSoundDevice& FDevice;
    std::atomic<ULONG> FRefs{1};
    std::atomic<bool> FPlaying{false};
};

class TSoundDevice final : public IDirectSound, private IRenderSource {
public:
    explicit TSoundDevice(bool fixedPrimaryFormat);

    HRESULT QueryInterface(REFIID riid, void** object) override { return QueryOne<IDirectSound>(this, riid, object); }
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, void* outer) override;
    HRESULT SetCooperativeLevel(HWND window, DWORD level) override;
    HRESULT SetSpeakerConfig(DWORD config) override;
    HRESULT GetSpeakerConfig(DWORD* config) override;

    // Chooses the output and starts it in the default primary format.
    HRESULT Start(const GUID* guid);
    TPcmFormat PrimaryFormat();
    HRESULT SetPrimaryFormat(const WAVEFORMATEX* format);
    // Stops the output for good; from then on only MixNow advances the buffers.
    void Detach();
    void MixNow(void* out, DWORD frames);

    std::mutex& Mutex() { return FMutex; }
    void Unregister(TSecondaryBuffer* buffer);
    void MarkAllLost();
    DWORD BufferCount();

private:
    ~TSoundDevice();
    void Render(void* out, DWORD frames) override;

    std::atomic<ULONG> FRefs{1};
    std::mutex FMutex;                 // buffers, their state and the mix
    std::mutex FOutputMutex;           // starting and stopping the output
    std::unique_ptr<TOutput> FOutput;
    const bool FFixedPrimaryFormat;
    TPcmFormat FPrimaryFormat;
    std::atomic<DWORD> FLevel{0};
    std::atomic<DWORD> FSpeakerConfig{DSSPEAKER_STEREO};
    TPrimaryBuffer* FPrimary = nullptr;  // created on first demand, lives as long as the device
    std::vector<TSecondaryBuffer*> FBuffers;
    std::vector<float> FMix;
};

// Leaves the list of the process's devices; the device's last Release calls it.
void UnregisterDevice(TSoundDevice* device);
// Secondary buffers created by every device of the process so far.
DWORD SecondaryBuffersCreated();

}  // namespace dsound
