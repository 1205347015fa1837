#pragma once
// One opened sound file and its decoder: the PCM format in which it is delivered, reading of
// whole frames in that format, and frame positioning.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sndfile.h>

#include "dshow.h"

class TSoundFile {
public:
    // S_OK with file set, or DSHOW_E_FILENOTFOUND, DSHOW_E_FILEUNREADABLE, DSHOW_E_NOTSOUND,
    // DSHOW_E_TRUNCATED.
    static HRESULT Open(const std::string& path, std::unique_ptr<TSoundFile>& file);
    ~TSoundFile();
    TSoundFile(const TSoundFile&) = delete;
    TSoundFile& operator=(const TSoundFile&) = delete;

    const WAVEFORMATEX& Format() const { return FFormat; }
    sf_count_t Frames() const { return FFrames; }
    sf_count_t Position() const { return FPosition; }

    // Up to frames whole frames into dest, in Format(); 0 at the end; -1 when decoding fails.
    sf_count_t Read(BYTE* dest, sf_count_t frames);
    // Frames beyond the end are clamped to it. False when the decoder cannot seek.
    bool Seek(sf_count_t frame);

    STREAM_TIME TimeOfFrame(sf_count_t frame) const;
    sf_count_t FrameOfTime(STREAM_TIME time) const;

private:
    enum class TSampleKind { Unsigned8, Signed16, Signed24, Signed32, Float32, Float64 };

    TSoundFile(int fd, SNDFILE* handle, const SF_INFO& info);
    // Room for samples decoded values of T, kept between reads.
    template <class T>
    T* Scratch(size_t samples);

    int FDescriptor;
    SNDFILE* FHandle;
    TSampleKind FKind;
    WAVEFORMATEX FFormat{};
    sf_count_t FFrames;
    sf_count_t FPosition = 0;
    std::vector<std::byte> FScratch;  // decoded samples before they are packed into the caller's memory
};
