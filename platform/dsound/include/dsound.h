#pragma once
// DirectSound as the system's code calls it: the device list, the device, its primary buffer
// and secondary buffers that a software mixer plays. The library is bound at run time as
// "DSound.dll" (libdsound.so beside the executable); DirectSoundCreate and
// DirectSoundEnumerateA are its two entries for the programs.
//
// DSOUND_OUTPUT picks where the mixed sound goes, read at each DirectSoundCreate:
//   unset      the SDL2 playback device chosen by the GUID (no GUID: SDL's default)
//   null       no device; the mix is paced at real time and discarded
//   wav:PATH   the mix is written at real-time pace to PATH as a WAV file whose header
//              always describes the data written so far

#include "mmreg.h"
#include "ole32.h"

// The part of WAVEFORMATEX that GetFormat fills: every field up to and including cbSize.
inline constexpr DWORD DSOUND_WAVEFORMAT_BYTES = 18;

// ---- results --------------------------------------------------------------------------------
inline constexpr HRESULT DS_OK = 0;
inline constexpr HRESULT DSERR_UNSUPPORTED = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT DSERR_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT DSERR_GENERIC = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT DSERR_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT DSERR_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT DSERR_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT DSERR_INVALIDPARAM = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT DSERR_ALLOCATED = static_cast<HRESULT>(0x8878000Au);
inline constexpr HRESULT DSERR_CONTROLUNAVAIL = static_cast<HRESULT>(0x8878001Eu);
inline constexpr HRESULT DSERR_INVALIDCALL = static_cast<HRESULT>(0x88780032u);
inline constexpr HRESULT DSERR_PRIOLEVELNEEDED = static_cast<HRESULT>(0x88780046u);
inline constexpr HRESULT DSERR_BADFORMAT = static_cast<HRESULT>(0x88780064u);
inline constexpr HRESULT DSERR_NODRIVER = static_cast<HRESULT>(0x88780078u);
inline constexpr HRESULT DSERR_ALREADYINITIALIZED = static_cast<HRESULT>(0x88780082u);
inline constexpr HRESULT DSERR_BUFFERLOST = static_cast<HRESULT>(0x88780096u);
inline constexpr HRESULT DSERR_OTHERAPPHASPRIO = static_cast<HRESULT>(0x887800A0u);
inline constexpr HRESULT DSERR_UNINITIALIZED = static_cast<HRESULT>(0x887800AAu);
inline constexpr HRESULT DSERR_BUFFERTOOSMALL = static_cast<HRESULT>(0x887800B4u);
inline constexpr HRESULT DSERR_DS8_REQUIRED = static_cast<HRESULT>(0x887800BEu);
inline constexpr HRESULT DSERR_SENDLOOP = static_cast<HRESULT>(0x887800C8u);
inline constexpr HRESULT DSERR_BADSENDBUFFERGUID = static_cast<HRESULT>(0x887800D2u);
inline constexpr HRESULT DSERR_FXUNAVAILABLE = static_cast<HRESULT>(0x887800DCu);
inline constexpr HRESULT DSERR_OBJECTNOTFOUND = static_cast<HRESULT>(0x88781161u);

// ---- constants ------------------------------------------------------------------------------
inline constexpr DWORD DSSCL_NORMAL = 1;
inline constexpr DWORD DSSCL_PRIORITY = 2;
inline constexpr DWORD DSSCL_EXCLUSIVE = 3;

inline constexpr DWORD DSSPEAKER_HEADPHONE = 1;
inline constexpr DWORD DSSPEAKER_MONO = 2;
inline constexpr DWORD DSSPEAKER_QUAD = 3;
inline constexpr DWORD DSSPEAKER_STEREO = 4;
inline constexpr DWORD DSSPEAKER_SURROUND = 5;
inline constexpr DWORD DSSPEAKER_5POINT1 = 6;
inline constexpr DWORD DSSPEAKER_7POINT1 = 7;

inline constexpr DWORD DSBCAPS_PRIMARYBUFFER = 0x00000001;
inline constexpr DWORD DSBCAPS_CTRLFREQUENCY = 0x00000020;
inline constexpr DWORD DSBCAPS_CTRLPAN = 0x00000040;
inline constexpr DWORD DSBCAPS_CTRLVOLUME = 0x00000080;
inline constexpr DWORD DSBCAPS_GLOBALFOCUS = 0x00008000;
inline constexpr DWORD DSBCAPS_GETCURRENTPOSITION2 = 0x00010000;

inline constexpr DWORD DSBPLAY_LOOPING = 0x00000001;

inline constexpr DWORD DSBSTATUS_PLAYING = 0x00000001;
inline constexpr DWORD DSBSTATUS_BUFFERLOST = 0x00000002;
inline constexpr DWORD DSBSTATUS_LOOPING = 0x00000004;

inline constexpr DWORD DSBLOCK_FROMWRITECURSOR = 0x00000001;
inline constexpr DWORD DSBLOCK_ENTIREBUFFER = 0x00000002;

inline constexpr LONG DSBVOLUME_MIN = -10000;
inline constexpr LONG DSBVOLUME_MAX = 0;
inline constexpr LONG DSBPAN_LEFT = -10000;
inline constexpr LONG DSBPAN_CENTER = 0;
inline constexpr LONG DSBPAN_RIGHT = 10000;
inline constexpr DWORD DSBFREQUENCY_ORIGINAL = 0;
inline constexpr DWORD DSBFREQUENCY_MIN = 100;
inline constexpr DWORD DSBFREQUENCY_MAX = 200000;
inline constexpr DWORD DSBSIZE_MIN = 4;
inline constexpr DWORD DSBSIZE_MAX = 0x0FFFFFFF;

// A secondary buffer's format may be 8-bit unsigned or 16-bit signed PCM, mono or stereo.
struct DSBUFFERDESC {
    DWORD dwSize;           // sizeof(DSBUFFERDESC)
    DWORD dwFlags;
    DWORD dwBufferBytes;    // 0 for the primary buffer
    DWORD dwReserved;
    WAVEFORMATEX* lpwfxFormat;  // null for the primary buffer
    GUID guid3DAlgorithm;
};

// ---- interfaces -----------------------------------------------------------------------------
// COM objects: each is freed by the Release that drops its last reference; a buffer holds a
// reference to its device.
inline constexpr IID IID_IDirectSoundBuffer = {0x6B1E2A40, 0x3C5D, 0x4F21, {0x9A, 0x13, 0x5E, 0x0C, 0x77, 0xD2, 0x41, 0x0B}};
inline constexpr IID IID_IDirectSound = {0x6B1E2A41, 0x3C5D, 0x4F21, {0x9A, 0x13, 0x5E, 0x0C, 0x77, 0xD2, 0x41, 0x0B}};

struct IDirectSoundBuffer : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = IID_IDirectSoundBuffer;
    virtual HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) = 0;
    virtual HRESULT GetFormat(WAVEFORMATEX* format, DWORD sizeAllocated, DWORD* sizeWritten) = 0;
    virtual HRESULT GetStatus(DWORD* status) = 0;
    // One or two regions of the buffer memory; the second only when the region wraps.
    virtual HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* audioPtr1, DWORD* audioBytes1, LPVOID* audioPtr2,
                         DWORD* audioBytes2, DWORD flags) = 0;
    virtual HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) = 0;
    virtual HRESULT SetCurrentPosition(DWORD newPosition) = 0;
    virtual HRESULT SetFormat(const WAVEFORMATEX* format) = 0;
    virtual HRESULT SetVolume(LONG volume) = 0;
    virtual HRESULT SetPan(LONG pan) = 0;
    virtual HRESULT SetFrequency(DWORD frequency) = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Unlock(LPVOID audioPtr1, DWORD audioBytes1, LPVOID audioPtr2, DWORD audioBytes2) = 0;

protected:
    ~IDirectSoundBuffer() = default;
};
using LPDIRECTSOUNDBUFFER = IDirectSoundBuffer*;

struct IDirectSound : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = IID_IDirectSound;
    virtual HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** buffer, void* outer) = 0;
    virtual HRESULT SetCooperativeLevel(HWND window, DWORD level) = 0;
    virtual HRESULT SetSpeakerConfig(DWORD config) = 0;
    virtual HRESULT GetSpeakerConfig(DWORD* config) = 0;

protected:
    ~IDirectSound() = default;
};
using LPDIRECTSOUND = IDirectSound*;

// ---- entries ----------------------------------------------------------------------------------
// guid null: the default device. The enumeration lists first the default device without a GUID
// ("Primary Sound Driver"), then every playback device, each with a GUID derived from its name.
using LPDSENUMCALLBACKA = BOOL (*)(GUID* guid, LPCSTR description, LPCSTR module, LPVOID context);
using LPDIRECTSOUNDCREATE = HRESULT (*)(const GUID* guid, IDirectSound** device, void* outer);
using LPDIRECTSOUNDENUMERATEA = HRESULT (*)(LPDSENUMCALLBACKA callback, LPVOID context);

extern "C" {
HRESULT DirectSoundCreate(const GUID* guid, IDirectSound** device, void* outer);
HRESULT DirectSoundEnumerateA(LPDSENUMCALLBACKA callback, LPVOID context);

// ---- test hooks (not used by the programs) ------------------------------------------------------
// The next Lock or Play of the buffer fails once with DSERR_BUFFERLOST. A null buffer marks every
// secondary buffer that exists at the time of the call.
void DSoundTestLoseBuffer(IDirectSoundBuffer* buffer);
// While on, devices created afterwards accept SetFormat on the primary buffer but keep
// 16-bit stereo 44100 Hz, as hardware that has a fixed format does.
void DSoundTestFixPrimaryFormat(BOOL fixed);
// WAV recordings started afterwards hold at most bytes of sound, in whole frames, as if that
// were the format's limit; 0 gives back the format's own.
void DSoundTestLimitWavData(DWORD bytes);
// Detaches the device from its output for good, then mixes frames frames of the primary format
// into out at once, advancing every playing buffer as real output would.
HRESULT DSoundTestMix(IDirectSound* device, LPVOID out, DWORD frames);
// How many devices and secondary buffers the process has created so far, and how many of them
// are alive now.
struct DSOUNDTESTCOUNTS {
    DWORD DevicesCreated;
    DWORD DevicesAlive;
    DWORD BuffersCreated;
    DWORD BuffersAlive;
};
void DSoundTestCounts(DSOUNDTESTCOUNTS* counts);
}
using LPDSOUNDTESTLOSEBUFFER = void (*)(IDirectSoundBuffer* buffer);
using LPDSOUNDTESTFIXPRIMARYFORMAT = void (*)(BOOL fixed);
using LPDSOUNDTESTLIMITWAVDATA = void (*)(DWORD bytes);
using LPDSOUNDTESTMIX = HRESULT (*)(IDirectSound* device, LPVOID out, DWORD frames);
using LPDSOUNDTESTCOUNTS = void (*)(DSOUNDTESTCOUNTS* counts);
