// The library's exported entries: the device list, device creation and the test hooks.

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "Output.h"
#include "SoundDevice.h"

using namespace dsound;

namespace {

// Every device of the process, for the hook that loses buffers. Never destroyed, so that a
// device still alive at exit finds it.
struct TDeviceRegistry {
    std::mutex Mutex;
    std::vector<TSoundDevice*> Devices;
    DWORD Created = 0;
};
TDeviceRegistry& Registry() {
    static TDeviceRegistry* registry = new TDeviceRegistry;
    return *registry;
}

std::atomic<bool> FixedPrimaryFormat{false};

}  // namespace

void dsound::UnregisterDevice(TSoundDevice* device) {
    std::lock_guard guard(Registry().Mutex);
    std::erase(Registry().Devices, device);
}

extern "C" HRESULT DirectSoundCreate(const GUID* guid, IDirectSound** device, void* outer) {
    if (device == nullptr) return DSERR_INVALIDPARAM;
    *device = nullptr;
    if (outer != nullptr) return DSERR_NOAGGREGATION;
    auto* created = new (std::nothrow) TSoundDevice(FixedPrimaryFormat.load());
    if (created == nullptr) return DSERR_OUTOFMEMORY;
    {
        std::lock_guard guard(Registry().Mutex);
        Registry().Devices.push_back(created);
        ++Registry().Created;
    }
    if (HRESULT result = created->Start(guid); result != DS_OK) {
        created->Release();
        return result;
    }
    *device = created;
    return DS_OK;
}

extern "C" HRESULT DirectSoundEnumerateA(LPDSENUMCALLBACKA callback, LPVOID context) {
    if (callback == nullptr) return DSERR_INVALIDPARAM;
    if (!callback(nullptr, "Primary Sound Driver", "", context)) return DS_OK;
    if (!UsesSdlDevices()) return DS_OK;
    const std::string driver = CurrentSdlDriver();
    for (TPlaybackDevice& device : ListPlaybackDevices())
        if (!callback(&device.Guid, device.Name.c_str(), driver.c_str(), context)) break;
    return DS_OK;
}

extern "C" void DSoundTestLoseBuffer(IDirectSoundBuffer* buffer) {
    if (buffer != nullptr) {
        if (auto* secondary = dynamic_cast<TSecondaryBuffer*>(buffer)) secondary->MarkLost();
        return;
    }
    std::lock_guard guard(Registry().Mutex);
    for (TSoundDevice* device : Registry().Devices) device->MarkAllLost();
}

extern "C" void DSoundTestFixPrimaryFormat(BOOL fixed) { FixedPrimaryFormat = fixed != FALSE; }

extern "C" void DSoundTestLimitWavData(DWORD bytes) { LimitWavData(bytes); }

extern "C" HRESULT DSoundTestMix(IDirectSound* device, LPVOID out, DWORD frames) {
    auto* sound = dynamic_cast<TSoundDevice*>(device);
    if (sound == nullptr || (out == nullptr && frames != 0)) return DSERR_INVALIDPARAM;
    sound->Detach();
    sound->MixNow(out, frames);
    return DS_OK;
}

extern "C" void DSoundTestCounts(DSOUNDTESTCOUNTS* counts) {
    if (counts == nullptr) return;
    std::lock_guard guard(Registry().Mutex);
    counts->DevicesCreated = Registry().Created;
    counts->DevicesAlive = static_cast<DWORD>(Registry().Devices.size());
    counts->BuffersCreated = SecondaryBuffersCreated();
    counts->BuffersAlive = 0;
    for (TSoundDevice* device : Registry().Devices) counts->BuffersAlive += device->BufferCount();
}
