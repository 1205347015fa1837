#pragma once
// For tests that analyse what the mixer played through DSOUND_OUTPUT=wav:PATH: reads the file
// as it stands (also while it still grows) and checks its header as a strict reader would.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dsound.h"

struct TDSoundWavFile {
    bool Valid = false;
    std::string Error;  // why the file is not valid
    WORD Channels = 0;
    DWORD Rate = 0;
    WORD Bits = 0;
    std::vector<BYTE> Data;  // the data chunk, exactly as many bytes as the header counts

    std::size_t Frames() const { return Channels == 0 || Bits == 0 ? 0 : Data.size() / (Channels * Bits / 8); }
    // Sample of a 16-bit file.
    std::int16_t Sample16(std::size_t frame, int channel) const {
        std::int16_t value = 0;
        std::memcpy(&value, Data.data() + (frame * Channels + channel) * 2, 2);
        return value;
    }
};

// The header's little-endian fields.
inline WORD DSoundWavWord(const BYTE* at) { return static_cast<WORD>(at[0] | (at[1] << 8)); }
inline DWORD DSoundWavDword(const BYTE* at) { return DSoundWavWord(at) | (DWORD{DSoundWavWord(at + 2)} << 16); }

inline TDSoundWavFile ReadDSoundWavFile(const std::string& path) {
    TDSoundWavFile wav;
    std::ifstream file(path, std::ios::binary);
    const std::vector<BYTE> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto get16 = [&](std::size_t at) { return DSoundWavWord(&bytes[at]); };
    auto get32 = [&](std::size_t at) { return DSoundWavDword(&bytes[at]); };
    auto text = [&](std::size_t at, std::size_t n) { return std::string(bytes.begin() + at, bytes.begin() + at + n); };
    if (bytes.size() < 44) {
        wav.Error = "shorter than a header";
        return wav;
    }
    if (text(0, 4) != "RIFF" || text(8, 8) != "WAVEfmt " || get32(16) != 16 || get16(20) != WAVE_FORMAT_PCM) {
        wav.Error = "no PCM RIFF WAVE header";
        return wav;
    }
    if (text(36, 4) != "data") {
        wav.Error = "no data chunk";
        return wav;
    }
    const DWORD dataBytes = get32(40);
    if (get32(4) != 36 + dataBytes) {
        wav.Error = "RIFF size does not match the data";
        return wav;
    }
    if (bytes.size() < 44 + std::size_t{dataBytes}) {
        wav.Error = "data shorter than the header says";
        return wav;
    }
    wav.Channels = get16(22);
    wav.Rate = get32(24);
    wav.Bits = get16(34);
    if (get16(32) != wav.Channels * wav.Bits / 8 || get32(28) != wav.Rate * get16(32)) {
        wav.Error = "inconsistent format";
        return wav;
    }
    wav.Data.assign(bytes.begin() + 44, bytes.begin() + 44 + dataBytes);
    wav.Valid = true;
    return wav;
}

// The frames the header counts so far, read from the header alone: cheap enough to ask for often
// while waiting for the output to grow. 0 for a file without a header yet.
struct TDSoundWavLength {
    DWORD Rate = 0;
    std::size_t Frames = 0;
};

inline TDSoundWavLength ReadDSoundWavLength(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    BYTE h[44] = {};
    if (!file.read(reinterpret_cast<char*>(h), sizeof h)) return {};
    const std::size_t blockAlign = DSoundWavWord(h + 32);
    return {DSoundWavDword(h + 24), blockAlign == 0 ? 0 : DSoundWavDword(h + 40) / blockAlign};
}
