#pragma once
// PCM formats and the mixing arithmetic of the software mixer.

#include <cstdint>

#include "dsound.h"

namespace dsound {

struct TPcmFormat {
    DWORD Rate = 44100;
    WORD Channels = 2;
    WORD Bits = 16;

    WORD BlockAlign() const { return static_cast<WORD>(Channels * Bits / 8); }
    DWORD BytesPerSecond() const { return Rate * BlockAlign(); }
    WAVEFORMATEX ToWaveFormat() const;
    bool operator==(const TPcmFormat&) const = default;
};

// DS_OK and the format, or DSERR_BADFORMAT / DSERR_INVALIDPARAM for what the mixer cannot play.
HRESULT ParsePcmFormat(const WAVEFORMATEX* format, TPcmFormat& result);

// Amplitude factor of an attenuation in hundredths of a decibel; the minimum is silence.
float AttenuationGain(LONG hundredthsDb);

struct TVoiceGains {
    float Left = 1.0f;
    float Right = 1.0f;
};
// Pan attenuates the opposite side by its own amount, on top of the volume.
TVoiceGains VoiceGains(LONG volume, LONG pan);

// A playing secondary buffer as the mixer sees it during one mix.
struct TVoice {
    const BYTE* Data = nullptr;
    DWORD Frames = 0;           // whole frames in the buffer
    TPcmFormat Format;
    std::uint64_t Position = 0; // frame index in the high 32 bits, fraction in the low 32
    std::uint64_t Step = 0;     // source frames per output frame, same fixed point
    bool Looping = false;
    TVoiceGains Gains;
    // Frames inside a region that is locked right now are heard as silence.
    bool (*IsLockedFrame)(const void* owner, DWORD frame) = nullptr;
    const void* Owner = nullptr;
};

// Source frames per output frame for a voice playing at rate into output at outRate.
std::uint64_t ResampleStep(DWORD rate, DWORD outRate);

// Adds up to frames output frames of the voice into mix (interleaved floats with the output's
// channel count, in 16-bit sample units). Returns false when a buffer that plays once has
// reached its end; its position is then past the last frame.
bool MixVoice(TVoice& voice, float* mix, DWORD frames, WORD outChannels);

// Writes the sum with clipping into out in the output format.
void ConvertMix(const float* mix, DWORD frames, const TPcmFormat& out, void* dst);

}  // namespace dsound
