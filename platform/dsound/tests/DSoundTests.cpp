// The device list, the device and its buffers as the programs' code calls them.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DSoundTestSupport.h"

using namespace dsound_test;

namespace {

struct TEntry {
    bool HasGuid;
    GUID Guid;
    std::string Description;
};

std::vector<TEntry> Enumerate() {
    std::vector<TEntry> entries;
    auto callback = [](GUID* guid, LPCSTR description, LPCSTR, LPVOID context) -> BOOL {
        auto* list = static_cast<std::vector<TEntry>*>(context);
        list->push_back({guid != nullptr, guid != nullptr ? *guid : GUID{}, description});
        return TRUE;
    };
    EXPECT_EQ(DirectSoundEnumerateA(callback, &entries), DS_OK);
    return entries;
}

HWND SomeWindow() { return reinterpret_cast<HWND>(0x1000); }

}  // namespace

TEST(DeviceList, NullOutputListsOnlyTheDefaultDevice) {
    TScopedEnv output("DSOUND_OUTPUT", "null");
    const std::vector<TEntry> entries = Enumerate();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].HasGuid);
    EXPECT_EQ(entries[0].Description, "Primary Sound Driver");
}

TEST(DeviceList, SdlDevicesFollowTheDefaultWithStableGuids) {
    TScopedEnv output("DSOUND_OUTPUT", nullptr);
    TScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    const std::vector<TEntry> first = Enumerate();
    const std::vector<TEntry> second = Enumerate();
    ASSERT_GE(first.size(), 2u) << "the dummy driver reports one device";
    EXPECT_FALSE(first[0].HasGuid);
    EXPECT_EQ(first[0].Description, "Primary Sound Driver");
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 1; i < first.size(); ++i) {
        EXPECT_TRUE(first[i].HasGuid);
        EXPECT_EQ(std::memcmp(&first[i].Guid, &second[i].Guid, sizeof(GUID)), 0);
        EXPECT_NE(first[i].Guid.Data1 | first[i].Guid.Data2 | first[i].Guid.Data3, 0u);
    }

    // The listed GUID opens that device; an unknown one opens nothing.
    IDirectSound* device = nullptr;
    ASSERT_EQ(DirectSoundCreate(&first[1].Guid, &device, nullptr), DS_OK);
    device->Release();
    GUID unknown = first[1].Guid;
    unknown.Data1 ^= 0x5A5A5A5Au;
    EXPECT_EQ(DirectSoundCreate(&unknown, &device, nullptr), DSERR_NODRIVER);
    EXPECT_EQ(device, nullptr);
}

TEST(DeviceList, CallbackReturningFalseEndsTheList) {
    TScopedEnv output("DSOUND_OUTPUT", nullptr);
    TScopedEnv driver("SDL_AUDIODRIVER", "dummy");
    int calls = 0;
    auto callback = [](GUID*, LPCSTR, LPCSTR, LPVOID context) -> BOOL {
        ++*static_cast<int*>(context);
        return FALSE;
    };
    EXPECT_EQ(DirectSoundEnumerateA(callback, &calls), DS_OK);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(DirectSoundEnumerateA(nullptr, nullptr), DSERR_INVALIDPARAM);
}

TEST(Device, CreationRefusesBadArgumentsAndUnknownOutputs) {
    IDirectSound* device = reinterpret_cast<IDirectSound*>(0x1);
    EXPECT_EQ(DirectSoundCreate(nullptr, &device, reinterpret_cast<void*>(0x1)), DSERR_NOAGGREGATION);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(DirectSoundCreate(nullptr, nullptr, nullptr), DSERR_INVALIDPARAM);
    TScopedEnv output("DSOUND_OUTPUT", "speakers");
    EXPECT_EQ(DirectSoundCreate(nullptr, &device, nullptr), DSERR_NODRIVER);
    EXPECT_EQ(device, nullptr);
    TScopedEnv sdl("DSOUND_OUTPUT", nullptr), noAudio("SDL_AUDIODRIVER", "nosuchdriver");
    EXPECT_EQ(DirectSoundCreate(nullptr, &device, nullptr), DSERR_NODRIVER) << "an output that cannot start";
}

TEST(Device, ServesItsInterfacesThroughQueryInterface) {
    TDevicePtr device = CreateDevice();
    void* object = nullptr;
    ASSERT_EQ(device->QueryInterface(IID_IDirectSound, &object), S_OK);
    EXPECT_EQ(object, device.get());
    static_cast<IDirectSound*>(object)->Release();
    EXPECT_EQ(device->QueryInterface(IID_IDirectSoundBuffer, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    ASSERT_EQ(buffer->QueryInterface(IID_IUnknown, &object), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(object)->Release(), 1u);
}

TEST(Device, SpeakerConfigAndCooperativeLevel) {
    TDevicePtr device = CreateDevice();
    DWORD config = 0;
    ASSERT_EQ(device->GetSpeakerConfig(&config), DS_OK);
    EXPECT_EQ(config, DSSPEAKER_STEREO);
    EXPECT_EQ(device->SetSpeakerConfig(DSSPEAKER_HEADPHONE), DS_OK);
    ASSERT_EQ(device->GetSpeakerConfig(&config), DS_OK);
    EXPECT_EQ(config, DSSPEAKER_HEADPHONE);
    EXPECT_EQ(device->SetSpeakerConfig(0), DSERR_INVALIDPARAM);
    EXPECT_EQ(device->SetSpeakerConfig(99), DSERR_INVALIDPARAM);
    ASSERT_EQ(device->GetSpeakerConfig(&config), DS_OK);
    EXPECT_EQ(config, DSSPEAKER_HEADPHONE);

    EXPECT_EQ(device->SetCooperativeLevel(SomeWindow(), DSSCL_PRIORITY), DS_OK);
    EXPECT_EQ(device->SetCooperativeLevel(SomeWindow(), 7), DSERR_INVALIDPARAM);
    EXPECT_EQ(device->SetCooperativeLevel(nullptr, DSSCL_NORMAL), DSERR_INVALIDPARAM);
}

TEST(PrimaryBuffer, FormatIsSetAndReadBack) {
    TDevicePtr device = CreateDevice();
    ASSERT_EQ(device->SetCooperativeLevel(SomeWindow(), DSSCL_PRIORITY), DS_OK);
    TBufferPtr primary = CreatePrimary(device.get());
    WAVEFORMATEX format{};
    ASSERT_EQ(primary->GetFormat(&format, sizeof format, nullptr), DS_OK);
    EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format.nSamplesPerSec, 44100u);
    EXPECT_EQ(format.nChannels, 2);
    EXPECT_EQ(format.wBitsPerSample, 16);

    const WAVEFORMATEX wanted = Pcm(22050, 1, 8);
    ASSERT_EQ(primary->SetFormat(&wanted), DS_OK);
    ASSERT_EQ(primary->GetFormat(&format, 18, nullptr), DS_OK);
    EXPECT_EQ(format.nSamplesPerSec, 22050u);
    EXPECT_EQ(format.nChannels, 1);
    EXPECT_EQ(format.wBitsPerSample, 8);
    EXPECT_EQ(format.nBlockAlign, 1);
    EXPECT_EQ(format.nAvgBytesPerSec, 22050u);

    // What the device cannot take leaves the format as it was.
    const WAVEFORMATEX wide = Pcm(44100, 2, 24);
    EXPECT_EQ(primary->SetFormat(&wide), DSERR_BADFORMAT);
    WAVEFORMATEX surround = Pcm(44100, 6, 16);
    EXPECT_EQ(primary->SetFormat(&surround), DSERR_BADFORMAT);
    ASSERT_EQ(primary->GetFormat(&format, 18, nullptr), DS_OK);
    EXPECT_EQ(format.nSamplesPerSec, 22050u);
    EXPECT_EQ(format.wBitsPerSample, 8);

    DWORD written = 0;
    EXPECT_EQ(primary->GetFormat(nullptr, 0, &written), DS_OK);
    EXPECT_EQ(written, 18u);
    EXPECT_EQ(primary->GetFormat(&format, 16, nullptr), DSERR_INVALIDPARAM);
}

TEST(PrimaryBuffer, NormalLevelCannotSetTheFormat) {
    TDevicePtr device = CreateDevice();
    ASSERT_EQ(device->SetCooperativeLevel(SomeWindow(), DSSCL_NORMAL), DS_OK);
    TBufferPtr primary = CreatePrimary(device.get());
    const WAVEFORMATEX wanted = Pcm(22050, 1, 16);
    EXPECT_EQ(primary->SetFormat(&wanted), DSERR_PRIOLEVELNEEDED);
}

TEST(PrimaryBuffer, FixedFormatDeviceAcceptsButKeepsItsFormat) {
    DSoundTestFixPrimaryFormat(TRUE);
    TDevicePtr device = CreateDevice();
    DSoundTestFixPrimaryFormat(FALSE);
    ASSERT_EQ(device->SetCooperativeLevel(SomeWindow(), DSSCL_PRIORITY), DS_OK);
    TBufferPtr primary = CreatePrimary(device.get());
    const WAVEFORMATEX wanted = Pcm(22050, 1, 8);
    EXPECT_EQ(primary->SetFormat(&wanted), DS_OK);
    WAVEFORMATEX format{};
    ASSERT_EQ(primary->GetFormat(&format, 18, nullptr), DS_OK);
    EXPECT_EQ(format.nSamplesPerSec, 44100u);
    EXPECT_EQ(format.nChannels, 2);
    EXPECT_EQ(format.wBitsPerSample, 16);
}

TEST(PrimaryBuffer, IsOneObjectThatPlaysLoopingOnly) {
    TDevicePtr device = CreateDevice();
    TBufferPtr first = CreatePrimary(device.get());
    TBufferPtr second = CreatePrimary(device.get());
    EXPECT_EQ(first.get(), second.get());
    EXPECT_EQ(first->Play(0, 0, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(first->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    DWORD status = 0;
    ASSERT_EQ(first->GetStatus(&status), DS_OK);
    EXPECT_TRUE(status & DSBSTATUS_PLAYING);
    LPVOID p = nullptr;
    DWORD b = 0;
    EXPECT_EQ(first->Lock(0, 4, &p, &b, nullptr, nullptr, 0), DSERR_INVALIDCALL);

    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    desc.dwBufferBytes = 4096;
    IDirectSoundBuffer* buffer = nullptr;
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_INVALIDPARAM);
}

TEST(SecondaryBuffer, DescriptionIsChecked) {
    TDevicePtr device = CreateDevice();
    WAVEFORMATEX format = Pcm(44100, 2, 16);
    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = kAllControls;
    desc.dwBufferBytes = 4000;
    desc.lpwfxFormat = &format;
    IDirectSoundBuffer* buffer = nullptr;

    desc.dwSize = 12;
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_INVALIDPARAM);
    desc.dwSize = sizeof desc;
    EXPECT_EQ(device->CreateSoundBuffer(nullptr, &buffer, nullptr), DSERR_INVALIDPARAM);
    desc.dwBufferBytes = 0;
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_INVALIDPARAM);
    desc.dwBufferBytes = 4000;
    format = Pcm(44100, 2, 24);
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_BADFORMAT);
    format = Pcm(44100, 3, 16);
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_BADFORMAT);
    format = Pcm(44100, 2, 16);
    format.nBlockAlign = 3;
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_INVALIDPARAM);
    desc.lpwfxFormat = nullptr;
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &buffer, nullptr), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer, nullptr);

    TBufferPtr created = CreateBuffer(device.get(), Pcm(22050, 1, 8), 2205);
    WAVEFORMATEX read{};
    ASSERT_EQ(created->GetFormat(&read, sizeof read, nullptr), DS_OK);
    EXPECT_EQ(read.nSamplesPerSec, 22050u);
    EXPECT_EQ(read.wBitsPerSample, 8);
    EXPECT_EQ(created->SetFormat(&read), DSERR_INVALIDCALL);
}

TEST(SecondaryBuffer, LockGivesOneOrTwoRegionsOfTheBufferMemory) {
    TDevicePtr device = CreateDevice();
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 1000);
    LPVOID p1 = nullptr, p2 = nullptr;
    DWORD b1 = 0, b2 = 0;
    ASSERT_EQ(buffer->Lock(100, 200, &p1, &b1, &p2, &b2, 0), DS_OK);
    EXPECT_EQ(b1, 200u);
    EXPECT_EQ(p2, nullptr);
    EXPECT_EQ(b2, 0u);
    BYTE* base = static_cast<BYTE*>(p1) - 100;
    ASSERT_EQ(buffer->Unlock(p1, b1, p2, b2), DS_OK);

    ASSERT_EQ(buffer->Lock(900, 300, &p1, &b1, &p2, &b2, 0), DS_OK);
    EXPECT_EQ(p1, base + 900);
    EXPECT_EQ(b1, 100u);
    EXPECT_EQ(p2, base);
    EXPECT_EQ(b2, 200u);
    ASSERT_EQ(buffer->Unlock(p1, b1, p2, b2), DS_OK);

    ASSERT_EQ(buffer->Lock(0, 0, &p1, &b1, nullptr, nullptr, DSBLOCK_ENTIREBUFFER), DS_OK);
    EXPECT_EQ(b1, 1000u);
    EXPECT_EQ(buffer->Unlock(base + 4, b1, nullptr, 0), DSERR_INVALIDPARAM);
    ASSERT_EQ(buffer->Unlock(p1, b1, nullptr, 0), DS_OK);
    EXPECT_EQ(buffer->Unlock(p1, b1, nullptr, 0), DSERR_INVALIDPARAM) << "a region is unlocked once";

    EXPECT_EQ(buffer->Lock(1000, 4, &p1, &b1, &p2, &b2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->Lock(0, 1004, &p1, &b1, &p2, &b2, 0), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->Lock(0, 0, &p1, &b1, &p2, &b2, 0), DSERR_INVALIDPARAM);
}

TEST(SecondaryBuffer, ControlsAreCheckedForRangeAndCapability) {
    TDevicePtr device = CreateDevice();
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    EXPECT_EQ(buffer->SetVolume(0), DS_OK);
    EXPECT_EQ(buffer->SetVolume(-10000), DS_OK);
    EXPECT_EQ(buffer->SetVolume(-10001), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetVolume(1), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetPan(10000), DS_OK);
    EXPECT_EQ(buffer->SetPan(-10001), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetFrequency(0), DS_OK);
    EXPECT_EQ(buffer->SetFrequency(99), DSERR_INVALIDPARAM);
    EXPECT_EQ(buffer->SetFrequency(22050), DS_OK);
    EXPECT_EQ(buffer->SetCurrentPosition(4000), DSERR_INVALIDPARAM);

    TBufferPtr plain = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000, 0);
    EXPECT_EQ(plain->SetVolume(0), DSERR_CONTROLUNAVAIL);
    EXPECT_EQ(plain->SetPan(0), DSERR_CONTROLUNAVAIL);
    EXPECT_EQ(plain->SetFrequency(22050), DSERR_CONTROLUNAVAIL);
}

TEST(SecondaryBuffer, LostBufferFailsTheNextLockOrPlayOnce) {
    TDevicePtr device = CreateDevice();
    TBufferPtr buffer = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    TBufferPtr other = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    LPVOID p1 = nullptr;
    DWORD b1 = 0;

    DSoundTestLoseBuffer(buffer.get());
    DWORD status = 0;
    ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
    EXPECT_TRUE(status & DSBSTATUS_BUFFERLOST);
    EXPECT_EQ(buffer->Lock(0, 100, &p1, &b1, nullptr, nullptr, 0), DSERR_BUFFERLOST);
    ASSERT_EQ(buffer->Lock(0, 100, &p1, &b1, nullptr, nullptr, 0), DS_OK);
    ASSERT_EQ(buffer->Unlock(p1, b1, nullptr, 0), DS_OK);
    EXPECT_EQ(other->Play(0, 0, DSBPLAY_LOOPING), DS_OK) << "only the given buffer is lost";

    DSoundTestLoseBuffer(nullptr);
    EXPECT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DSERR_BUFFERLOST);
    ASSERT_EQ(buffer->GetStatus(&status), DS_OK);
    EXPECT_FALSE(status & DSBSTATUS_PLAYING);
    EXPECT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    EXPECT_EQ(other->Lock(0, 100, &p1, &b1, nullptr, nullptr, 0), DSERR_BUFFERLOST);

    TBufferPtr later = CreateBuffer(device.get(), Pcm(44100, 2, 16), 4000);
    EXPECT_EQ(later->Play(0, 0, 0), DS_OK) << "a buffer created after the hook is not lost";
}

TEST(SecondaryBuffer, BuffersKeepTheirDeviceAliveAndTheCountsFollow) {
    DSOUNDTESTCOUNTS before{};
    DSoundTestCounts(&before);
    IDirectSound* device = nullptr;
    ASSERT_EQ(DirectSoundCreate(nullptr, &device, nullptr), DS_OK);
    TBufferPtr buffer = CreateBuffer(device, Pcm(44100, 2, 16), 4000);
    TBufferPtr primary = CreatePrimary(device);
    EXPECT_EQ(device->Release(), 2u) << "one reference for each buffer";
    std::vector<std::int16_t> samples(1000, 1000);
    Fill(buffer.get(), samples);
    EXPECT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
    WAVEFORMATEX format{};
    EXPECT_EQ(primary->GetFormat(&format, sizeof format, nullptr), DS_OK);

    DSOUNDTESTCOUNTS now{};
    DSoundTestCounts(&now);
    EXPECT_EQ(now.DevicesCreated, before.DevicesCreated + 1);
    EXPECT_EQ(now.DevicesAlive, before.DevicesAlive + 1);
    EXPECT_EQ(now.BuffersCreated, before.BuffersCreated + 1) << "the primary buffer is not counted";
    EXPECT_EQ(now.BuffersAlive, before.BuffersAlive + 1);
    buffer.reset();
    DSoundTestCounts(&now);
    EXPECT_EQ(now.BuffersAlive, before.BuffersAlive);
    EXPECT_EQ(now.DevicesAlive, before.DevicesAlive + 1) << "the primary buffer still holds it";
    primary.reset();
    DSoundTestCounts(&now);
    EXPECT_EQ(now.DevicesAlive, before.DevicesAlive);
    EXPECT_EQ(now.DevicesCreated, before.DevicesCreated + 1);
}
