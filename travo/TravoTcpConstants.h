#pragma once
// The simulator protocol's commands, the data group and the data ids, and the byte order of its
// numbers: one reader and one framing for every client of the protocol.

#include <cstddef>
#include <cstring>
#include <string>

#include "wintypes.h"

// Commands: the first two bytes of every payload, most significant byte first.
inline constexpr WORD CMD_HELLO = 0x0001;
inline constexpr WORD CMD_HELLO_REPLY = 0x0002;
inline constexpr WORD CMD_NEEDED_DATA = 0x0003;
inline constexpr WORD CMD_NEEDED_DATA_REPLY = 0x0004;
// The data packet's command, and the group of every data request.
inline constexpr WORD CAB_VALUES = 0x000A;

// Data ids.
inline constexpr BYTE IdSpeed = 1;
inline constexpr BYTE IdTractiveForce = 5;
inline constexpr BYTE IdNotch = 16;
inline constexpr BYTE IdParseStop = 17;
inline constexpr BYTE IdMagneticBrake = 41;
inline constexpr BYTE IdDoorRelease = 47;
inline constexpr BYTE IdDateTime = 50;
inline constexpr BYTE IdMasterController = 51;
inline constexpr BYTE IdBrakeValve = 52;
inline constexpr BYTE IdDynamicBrake = 53;
inline constexpr BYTE IdAuxiliaryBrake = 54;
inline constexpr BYTE IdToggleSwitch3 = 57;
inline constexpr BYTE IdToggleSwitch1 = 60;
inline constexpr BYTE IdMainSwitch = 62;
inline constexpr BYTE IdContactorTearOff = 63;
inline constexpr BYTE IdDirectionSwitch = 64;
inline constexpr BYTE IdFanToggle = 66;
inline constexpr BYTE IdDoorSwitch = 67;
inline constexpr BYTE IdToggleSwitch4 = 68;
inline constexpr BYTE IdFanSwitch = 78;
inline constexpr BYTE IdDoorState = 86;
inline constexpr BYTE IdByteArray = 92;
inline constexpr BYTE IdDoubleHigh = 105;
// Ids from here to 255 carry 4 bytes that no program reads.
inline constexpr BYTE IdFirstSkipped = 146;

// ---- numbers on the wire ------------------------------------------------------------------------

// Appends a 2-byte code or group, most significant byte first.
inline void AppendWord(std::string& out, WORD value) {
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value & 0xFF));
}

// The 4 bytes at at, least significant byte first; the caller sees that they are there.
inline DWORD Little32(const std::string& bytes, std::size_t at) {
    DWORD value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The IEEE single whose 4 bytes stand at at, least significant byte first.
inline float SingleAt(const std::string& bytes, std::size_t at) {
    const DWORD bits = Little32(bytes, at);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The payload behind its 4-byte length, least significant byte first.
inline std::string AddLengthPrefix(const std::string& Payload) {
    const auto length = static_cast<DWORD>(Payload.size());
    std::string frame;
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    return frame + Payload;
}
