#pragma once
// Where the mixed sound goes: an SDL2 playback device, nowhere at real-time pace, or a WAV file
// at real-time pace.

#include <memory>
#include <string>
#include <vector>

#include "Pcm.h"

namespace dsound {

// The mixer, as the output pulls frames from it.
class IRenderSource {
public:
    virtual void Render(void* out, DWORD frames) = 0;

protected:
    ~IRenderSource() = default;
};

class TOutput {
public:
    virtual ~TOutput() = default;
    // (Re)starts pulling frames in format; DS_OK, or an error with the output stopped.
    virtual HRESULT Start(const TPcmFormat& format) = 0;
    virtual void Stop() = 0;
};

// Frames that a paced output mixes per tick; also the SDL device's period.
inline constexpr DWORD kOutputPeriodMs = 10;
inline constexpr int kSdlPeriodFrames = 512;

// Chooses the output by DSOUND_OUTPUT and, for SDL, by the device GUID.
HRESULT CreateOutput(const GUID* guid, IRenderSource& source, std::unique_ptr<TOutput>& output);
// For tests: WAV recordings started from now on hold at most bytes of sound; 0, what the format holds.
void LimitWavData(DWORD bytes);

// ---- devices of SDL ------------------------------------------------------------------------------
struct TPlaybackDevice {
    std::string Name;
    GUID Guid;
};
// True unless DSOUND_OUTPUT replaces the devices by the null or WAV output.
bool UsesSdlDevices();
std::vector<TPlaybackDevice> ListPlaybackDevices();
std::string CurrentSdlDriver();
// The same name gives the same GUID in every run.
GUID GuidFromName(const std::string& name);

}  // namespace dsound
