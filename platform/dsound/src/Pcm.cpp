#include "Pcm.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace dsound {

WAVEFORMATEX TPcmFormat::ToWaveFormat() const {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = Channels;
    format.nSamplesPerSec = Rate;
    format.nAvgBytesPerSec = BytesPerSecond();
    format.nBlockAlign = BlockAlign();
    format.wBitsPerSample = Bits;
    format.cbSize = 0;
    return format;
}

HRESULT ParsePcmFormat(const WAVEFORMATEX* format, TPcmFormat& result) {
    if (format == nullptr) return DSERR_INVALIDPARAM;
    if (format->wFormatTag != WAVE_FORMAT_PCM) return DSERR_BADFORMAT;
    if (format->nChannels != 1 && format->nChannels != 2) return DSERR_BADFORMAT;
    if (format->wBitsPerSample != 8 && format->wBitsPerSample != 16) return DSERR_BADFORMAT;
    if (format->nSamplesPerSec < DSBFREQUENCY_MIN || format->nSamplesPerSec > DSBFREQUENCY_MAX) return DSERR_BADFORMAT;
    TPcmFormat parsed;
    parsed.Rate = format->nSamplesPerSec;
    parsed.Channels = format->nChannels;
    parsed.Bits = format->wBitsPerSample;
    if (format->nBlockAlign != parsed.BlockAlign() || format->nAvgBytesPerSec != parsed.BytesPerSecond())
        return DSERR_INVALIDPARAM;
    result = parsed;
    return DS_OK;
}

float AttenuationGain(LONG hundredthsDb) {
    if (hundredthsDb <= DSBVOLUME_MIN) return 0.0f;
    if (hundredthsDb >= 0) return 1.0f;
    return static_cast<float>(std::pow(10.0, hundredthsDb / 2000.0));
}

TVoiceGains VoiceGains(LONG volume, LONG pan) {
    const float gain = AttenuationGain(volume);
    TVoiceGains gains{gain, gain};
    if (pan > 0) gains.Left *= AttenuationGain(-pan);
    if (pan < 0) gains.Right *= AttenuationGain(pan);
    return gains;
}

std::uint64_t ResampleStep(DWORD rate, DWORD outRate) {
    return (static_cast<std::uint64_t>(rate) << 32) / outRate;
}

namespace {

constexpr std::uint64_t kOne = 1ull << 32;
constexpr float kFraction = 1.0f / 4294967296.0f;

template <int Bits>
inline float Sample(const BYTE* data, std::size_t index) {
    if constexpr (Bits == 8) {
        return static_cast<float>((static_cast<int>(data[index]) - 128) * 256);
    } else {
        std::int16_t value;
        std::memcpy(&value, data + 2 * index, sizeof value);
        return static_cast<float>(value);
    }
}

struct TFrame {
    float L;
    float R;
};

template <int Bits, int Channels>
inline TFrame LoadFrame(const BYTE* data, std::size_t frame) {
    if constexpr (Channels == 1) {
        const float value = Sample<Bits>(data, frame);
        return {value, value};
    } else {
        return {Sample<Bits>(data, 2 * frame), Sample<Bits>(data, 2 * frame + 1)};
    }
}

inline TFrame Blend(TFrame a, TFrame b, float t) { return {a.L + (b.L - a.L) * t, a.R + (b.R - a.R) * t}; }

template <int OutChannels>
inline void Accumulate(float* mix, TFrame frame, const TVoiceGains& gains) {
    if constexpr (OutChannels == 2) {
        mix[0] += frame.L * gains.Left;
        mix[1] += frame.R * gains.Right;
    } else {
        mix[0] += (frame.L * gains.Left + frame.R * gains.Right) * 0.5f;
    }
}

// The voice's frame after frame, where one that plays once continues into silence.
template <int Bits, int Channels>
inline TFrame FollowingFrame(const TVoice& voice, DWORD frame) {
    if (frame + 1 < voice.Frames) return LoadFrame<Bits, Channels>(voice.Data, frame + 1);
    if (voice.Looping) return LoadFrame<Bits, Channels>(voice.Data, 0);
    return {0.0f, 0.0f};
}

template <int Bits, int Channels>
inline TFrame LoadUnlessLocked(const TVoice& voice, DWORD frame) {
    if (voice.IsLockedFrame(voice.Owner, frame)) return {0.0f, 0.0f};
    return LoadFrame<Bits, Channels>(voice.Data, frame);
}

// One output frame with every boundary case handled: the wrap of the interpolation partner
// and regions that are locked.
template <int Bits, int Channels, int OutChannels>
inline void MixOneFrame(TVoice& voice, float* mix) {
    const DWORD frame = static_cast<DWORD>(voice.Position >> 32);
    const float t = static_cast<float>(static_cast<std::uint32_t>(voice.Position)) * kFraction;
    TFrame a, b;
    if (voice.IsLockedFrame != nullptr) {
        a = LoadUnlessLocked<Bits, Channels>(voice, frame);
        const DWORD next = frame + 1 < voice.Frames ? frame + 1 : 0;
        b = (frame + 1 < voice.Frames || voice.Looping) ? LoadUnlessLocked<Bits, Channels>(voice, next) : TFrame{0, 0};
    } else {
        a = LoadFrame<Bits, Channels>(voice.Data, frame);
        b = FollowingFrame<Bits, Channels>(voice, frame);
    }
    Accumulate<OutChannels>(mix, t == 0.0f ? a : Blend(a, b, t), voice.Gains);
    voice.Position += voice.Step;
}

// The straight run of a voice at the output's own rate, kept free of aliasing so that the
// compiler can vectorise it.
template <int Bits, int Channels, int OutChannels>
void AddSameRate(const BYTE* __restrict data, float* __restrict out, std::size_t frames, TVoiceGains gains) {
    for (std::size_t i = 0; i < frames; ++i)
        Accumulate<OutChannels>(out + i * OutChannels, LoadFrame<Bits, Channels>(data, i), gains);
}

// Linear interpolation over a run in which both partners of every frame lie inside the buffer.
template <int Bits, int Channels, int OutChannels>
std::uint64_t AddInterpolated(const BYTE* __restrict data, std::uint64_t position, std::uint64_t step,
                              float* __restrict out, std::size_t frames, TVoiceGains gains) {
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t frame = static_cast<std::size_t>(position >> 32);
        const float t = static_cast<float>(static_cast<std::uint32_t>(position)) * kFraction;
        Accumulate<OutChannels>(out + i * OutChannels,
                                Blend(LoadFrame<Bits, Channels>(data, frame), LoadFrame<Bits, Channels>(data, frame + 1), t),
                                gains);
        position += step;
    }
    return position;
}

// Output frames that can be mixed before the voice's position reaches limit (exclusive).
inline DWORD FramesBefore(const TVoice& voice, std::uint64_t limit, DWORD wanted) {
    if (voice.Position >= limit) return 0;
    const std::uint64_t frames = (limit - voice.Position + voice.Step - 1) / voice.Step;
    return static_cast<DWORD>(std::min<std::uint64_t>(frames, wanted));
}

template <int Bits, int Channels, int OutChannels>
bool MixVoiceAs(TVoice& voice, float* mix, DWORD frames) {
    const std::uint64_t end = static_cast<std::uint64_t>(voice.Frames) << 32;
    DWORD done = 0;
    while (done < frames) {
        if (voice.Position >= end) {
            if (!voice.Looping) return false;
            voice.Position %= end;
        }
        float* out = mix + std::size_t{done} * OutChannels;
        const DWORD wanted = frames - done;
        const bool aligned = static_cast<std::uint32_t>(voice.Position) == 0;
        DWORD run = 0;
        if (voice.IsLockedFrame != nullptr) {
            MixOneFrame<Bits, Channels, OutChannels>(voice, out);
            run = 1;
        } else if (voice.Step == kOne && aligned) {
            // Same rate: a straight copy with gain, the common case.
            const DWORD first = static_cast<DWORD>(voice.Position >> 32);
            run = std::min(wanted, voice.Frames - first);
            AddSameRate<Bits, Channels, OutChannels>(voice.Data + std::size_t{first} * (Bits / 8) * Channels, out, run,
                                                     voice.Gains);
            voice.Position += static_cast<std::uint64_t>(run) << 32;
        } else {
            // Linear interpolation while both partners lie inside the buffer.
            run = FramesBefore(voice, end - kOne, wanted);
            voice.Position = AddInterpolated<Bits, Channels, OutChannels>(voice.Data, voice.Position, voice.Step, out,
                                                                          run, voice.Gains);
            if (run == 0) {
                MixOneFrame<Bits, Channels, OutChannels>(voice, out);
                run = 1;
            }
        }
        done += run;
    }
    return voice.Looping || voice.Position < end;
}

template <int Bits, int Channels>
bool MixVoiceInto(TVoice& voice, float* mix, DWORD frames, WORD outChannels) {
    return outChannels == 2 ? MixVoiceAs<Bits, Channels, 2>(voice, mix, frames)
                            : MixVoiceAs<Bits, Channels, 1>(voice, mix, frames);
}

// Nearest whole number (halves to even) within -(limit + 1) ... limit. Adding and taking away
// 1.5 * 2^23 rounds in float arithmetic itself, which keeps the loop free of calls.
inline int RoundClipped(float value, float limit) {
    constexpr float kRounder = 12582912.0f;
    const float clipped = std::clamp(value, -limit - 1.0f, limit);
    return static_cast<int>((clipped + kRounder) - kRounder);
}

}  // namespace

bool MixVoice(TVoice& voice, float* mix, DWORD frames, WORD outChannels) {
    if (voice.Frames == 0 || voice.Step == 0) return false;
    const bool stereo = voice.Format.Channels == 2;
    if (voice.Format.Bits == 8)
        return stereo ? MixVoiceInto<8, 2>(voice, mix, frames, outChannels)
                      : MixVoiceInto<8, 1>(voice, mix, frames, outChannels);
    return stereo ? MixVoiceInto<16, 2>(voice, mix, frames, outChannels)
                  : MixVoiceInto<16, 1>(voice, mix, frames, outChannels);
}

void ConvertMix(const float* mix, DWORD frames, const TPcmFormat& out, void* dst) {
    const std::size_t samples = std::size_t{frames} * out.Channels;
    if (out.Bits == 16) {
        auto* target = static_cast<BYTE*>(dst);
        for (std::size_t i = 0; i < samples; ++i) {
            const auto value = static_cast<std::int16_t>(RoundClipped(mix[i], 32767.0f));
            std::memcpy(target + 2 * i, &value, sizeof value);
        }
    } else {
        auto* target = static_cast<BYTE*>(dst);
        for (std::size_t i = 0; i < samples; ++i) {
            target[i] = static_cast<BYTE>(RoundClipped(mix[i] / 256.0f, 127.0f) + 128);
        }
    }
}

}  // namespace dsound
