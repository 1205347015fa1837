#pragma once
// Devices and buffers for the tests, released at the end of each test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PcmFormat.h"
#include "dsound.h"

namespace dsound_test {

// The tests run without a sound card: unless the caller chose otherwise, no device and SDL's
// dummy driver.
inline const bool kQuietOutput = [] {
    setenv("DSOUND_OUTPUT", "null", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    return true;
}();

struct TRelease {
    template <class T>
    void operator()(T* object) const { object->Release(); }
};
using TDevicePtr = std::unique_ptr<IDirectSound, TRelease>;
using TBufferPtr = std::unique_ptr<IDirectSoundBuffer, TRelease>;

// Sets an environment variable for the life of the object.
class TScopedEnv {
public:
    TScopedEnv(const char* name, const char* value) : FName(name) {
        if (const char* old = std::getenv(name)) FOld = old;
        if (value != nullptr) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~TScopedEnv() {
        if (FOld) setenv(FName.c_str(), FOld->c_str(), 1);
        else unsetenv(FName.c_str());
    }

private:
    std::string FName;
    std::optional<std::string> FOld;
};

inline TDevicePtr CreateDevice(const GUID* guid = nullptr) {
    IDirectSound* device = nullptr;
    const HRESULT result = DirectSoundCreate(guid, &device, nullptr);
    EXPECT_EQ(result, DS_OK);
    return TDevicePtr(device);
}

inline constexpr DWORD kAllControls = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME |
                                      DSBCAPS_GLOBALFOCUS | DSBCAPS_GETCURRENTPOSITION2;

inline TBufferPtr CreateBuffer(IDirectSound* device, WAVEFORMATEX format, DWORD bytes, DWORD flags = kAllControls) {
    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = flags;
    desc.dwBufferBytes = bytes;
    desc.lpwfxFormat = &format;
    IDirectSoundBuffer* buffer = nullptr;
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DS_OK);
    return TBufferPtr(buffer);
}

inline TBufferPtr CreatePrimary(IDirectSound* device) {
    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    IDirectSoundBuffer* buffer = nullptr;
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DS_OK);
    return TBufferPtr(buffer);
}

// Writes bytes into the buffer at offset through Lock and Unlock.
inline void Fill(IDirectSoundBuffer* buffer, DWORD offset, const void* data, DWORD bytes) {
    LPVOID p1 = nullptr, p2 = nullptr;
    DWORD b1 = 0, b2 = 0;
    ASSERT_EQ(buffer->Lock(offset, bytes, &p1, &b1, &p2, &b2, 0), DS_OK);
    std::memcpy(p1, data, b1);
    if (p2 != nullptr) std::memcpy(p2, static_cast<const BYTE*>(data) + b1, b2);
    ASSERT_EQ(buffer->Unlock(p1, b1, p2, b2), DS_OK);
}

template <class T>
inline void Fill(IDirectSoundBuffer* buffer, const std::vector<T>& samples) {
    Fill(buffer, 0, samples.data(), static_cast<DWORD>(samples.size() * sizeof(T)));
}

// Frames of 16-bit stereo output, mixed at once.
inline std::vector<std::int16_t> Mix(IDirectSound* device, DWORD frames, WORD channels = 2) {
    std::vector<std::int16_t> out(std::size_t{frames} * channels, 12345);
    EXPECT_EQ(DSoundTestMix(device, out.data(), frames), DS_OK);
    return out;
}

}  // namespace dsound_test
