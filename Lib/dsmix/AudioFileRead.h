#pragma once
// Sound file reader: one sound file, opened through the multimedia streaming of the system,
// handed out as PCM bytes piece by piece, with the stream times each piece covers, optionally
// restricted to a play range. All times are in units of 100 ns.

#include <cstdint>
#include <string>

#include "SysUtils.h"
#include "dshow.h"
#include "ole32.h"

// Every failure of the platform, with its result code.
class EAudioReadError : public Exception {
public:
    EAudioReadError(const std::string& message, HRESULT code);

    HRESULT ErrorCode;
};

// The reader's own result for a Read of zero bytes.
inline constexpr HRESULT AUDIOREAD_E_BUFFERSIZE = 0x08000001;

// Returns on 0; raises EAudioReadError with the code's text for every other code, success
// codes included.
void CheckStreamResult(HRESULT Code);

// COM for the main thread, at start-up before any form exists and at exit.
void InitializeCom();
void FinalizeCom();

class TAudioFileReader {
public:
    // Opens the file and starts its stream; raises EAudioReadError.
    explicit TAudioFileReader(const std::string& FileName);
    virtual ~TAudioFileReader();
    TAudioFileReader(const TAudioFileReader&) = delete;
    TAudioFileReader& operator=(const TAudioFileReader&) = delete;

    // Up to Size bytes of PCM into Buffer; 0 at the end of the file or of the play range.
    // A short count is normal: one call delivers one piece of the decoder.
    std::int32_t Read(void* Buffer, std::uint32_t Size);
    // Moves the read position, clamped to the file and the play range.
    void Seek(std::int64_t Position);
    void SetStartPos(std::int64_t Value);
    // 0 means to the end of the file; other values are held within 10 ms ... 10^8 s.
    void SetLength(std::int64_t Value);

    const WAVEFORMATEX& Format() const { return FFormat; }
    const std::string& FileName() const { return FFileName; }
    std::int64_t Duration() const { return FDuration; }
    std::int64_t CurrentPos() const { return FCurrentPos; }
    std::int64_t StartPos() const { return FStartPos; }
    std::int64_t Length() const { return FLength; }
    // Times of the data that the last successful Read delivered.
    std::int64_t SampleStart() const { return FSampleStart; }
    std::int64_t SampleEnd() const { return FSampleEnd; }

private:
    void Open();
    // Stops the stream and releases every interface; also what a failed opening leaves.
    void Close() noexcept;

    WAVEFORMATEX FFormat{};
    std::string FFileName;
    IAMMultiMediaStream* FMMStream = nullptr;
    IGraphBuilder* FGraph = nullptr;
    IMediaSeeking* FMediaSeeking = nullptr;
    IMediaControl* FMediaControl = nullptr;
    IAudioMediaStream* FAudioStream = nullptr;
    IMediaStream* FMediaStream = nullptr;
    IAudioStreamSample* FSample = nullptr;
    IAudioData* FAudioData = nullptr;
    void* FLastBuffer = nullptr;
    std::uint32_t FLastSize = 0;
    std::int64_t FDuration = 0;
    std::int64_t FCurrentPos = 0;
    std::int64_t FStartPos = 0;
    std::int64_t FLength = 0;
    std::int64_t FSampleStart = 0;
    std::int64_t FSampleEnd = 0;
};
