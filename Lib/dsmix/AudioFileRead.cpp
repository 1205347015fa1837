#include "AudioFileRead.h"

#include <cstdio>

#include "kernel32.h"

namespace {

constexpr std::int64_t MinLength = 100000;             // 10 ms
constexpr std::int64_t MaxLength = 1000000000000000;   // 10^8 s

struct TResultText {
    HRESULT Code;
    const char* Text;
};

constexpr TResultText ResultTexts[] = {
    {MS_S_PENDING, "The asynchronous update is pending."},
    {MS_S_NOUPDATE, "Sample was not updated after forced completion."},
    {MS_S_ENDOFSTREAM, "Reached the end of the stream; the sample wasn't updated."},
    {AUDIOREAD_E_BUFFERSIZE, "Invalid buffer size."},
    {E_NOINTERFACE, "No interface."},
    {E_POINTER, "This method tried to access an invalid pointer."},
    {E_ABORT, "The update aborted."},
    {CLASS_E_NOAGGREGATION, "This class cannot be created as part of an aggregate."},
    {REGDB_E_CLASSNOTREG, "A specified class is not registered in the registration database."},
    {MS_E_SAMPLEALLOC, "An IMediaStream object could not be removed from an IMultiMediaStream object because it "
                       "still contains at least one allocated sample."},
    {MS_E_PURPOSEID, "The specified purpose ID can't be used for the call."},
    {MS_E_NOSTREAM, "No stream can be found with the specified attributes."},
    {MS_E_NOSEEK, "One or more media streams don't support seeking."},
    {MS_E_INCOMPATIBLE, "The stream formats are not compatible."},
    {MS_E_BUSY, "This sample already has a pending update."},
    {MS_E_NOTINIT, "The object can't accept the call because its initialize function or equivalent has not been "
                   "called."},
    {MS_E_SOURCEALREADYDEFINED, "Source already defined."},
    {MS_E_INVALIDSTREAMTYPE, "The stream type is not valid for this operation."},
    {MS_E_NOTRUNNING, "The IMultiMediaStream object is not in running state."},
    {E_INVALIDARG, "One of the parameters is invalid."},
};

std::string ResultText(HRESULT code) {
    for (const TResultText& entry : ResultTexts)
        if (entry.Code == code) return entry.Text;
    char buffer[300];
    if (AMGetErrorTextA(code, buffer, sizeof buffer) != 0) return buffer;
    return "Unrecognized error value.";
}

// The file name as the multimedia stream takes it; bytes that are not UTF-8 become U+FFFD.
std::u16string Utf16FromUtf8(const std::string& text) {
    std::u16string result;
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
        char32_t c = extra == 0 ? lead : extra == 1 ? lead & 0x1F : extra == 2 ? lead & 0x0F : lead & 0x07;
        bool valid = extra >= 0 && i + extra < text.size();
        for (int k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (!valid || c > 0x10FFFF) {
            result += u'\xFFFD';
            ++i;
            continue;
        }
        i += extra + 1;
        if (c >= 0x10000) {
            result += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            result += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            result += static_cast<char16_t>(c);
        }
    }
    return result;
}

template <class I>
void ReleaseInterface(I*& reference) {
    if (reference != nullptr) reference->Release();
    reference = nullptr;
}

}  // namespace

EAudioReadError::EAudioReadError(const std::string& message, HRESULT code) : Exception(message), ErrorCode(code) {}

void CheckStreamResult(HRESULT Code) {
    if (Code == 0) return;
    throw EAudioReadError(ResultText(Code), Code);
}

void InitializeCom() {
    // A repeated initialisation answers S_FALSE, which is just as good here.
    CoInitialize(nullptr);
}

void FinalizeCom() {
    CoUninitialize();
}

TAudioFileReader::TAudioFileReader(const std::string& FileName) : FFileName(FileName) {
    try {
        Open();
    } catch (...) {
        Close();
        throw;
    }
}

TAudioFileReader::~TAudioFileReader() {
    Close();
}

void TAudioFileReader::Open() {
    CheckStreamResult(CoCreateInstance(CLSID_AMMultiMediaStream, nullptr, CLSCTX_INPROC_SERVER, IID_IAMMultiMediaStream,
                                       reinterpret_cast<void**>(&FMMStream)));
    CheckStreamResult(FMMStream->Initialize(STREAMTYPE_READ, AMMSF_NOGRAPHTHREAD, nullptr));
    CheckStreamResult(FMMStream->AddMediaStream(nullptr, &MSPID_PrimaryAudio, 0, nullptr));
    CheckStreamResult(FMMStream->GetMediaStream(MSPID_PrimaryAudio, &FMediaStream));
    const std::u16string wideName = Utf16FromUtf8(FFileName);
    CheckStreamResult(FMMStream->OpenFile(wideName.c_str(), 0));
    CheckStreamResult(FMMStream->GetFilterGraph(&FGraph));
    CheckStreamResult(FGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&FMediaControl)));
    CheckStreamResult(FGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&FMediaSeeking)));
    CheckStreamResult(FMediaStream->QueryInterface(IID_IAudioMediaStream, reinterpret_cast<void**>(&FAudioStream)));
    CheckStreamResult(FAudioStream->GetFormat(&FFormat));
    CheckStreamResult(CoCreateInstance(CLSID_AMAudioData, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioData,
                                       reinterpret_cast<void**>(&FAudioData)));
    CheckStreamResult(FAudioData->SetFormat(&FFormat));
    CheckStreamResult(FAudioStream->CreateSample(FAudioData, 0, &FSample));
    CheckStreamResult(FMMStream->GetDuration(&FDuration));
    CheckStreamResult(FMMStream->SetState(STREAMSTATE_RUN));
    FLength = 0;
}

void TAudioFileReader::Close() noexcept {
    if (FMMStream != nullptr) {
        // A destructor must not throw: a stream that refuses to stop is reported, and the
        // references are released all the same.
        try {
            CheckStreamResult(FMMStream->SetState(STREAMSTATE_STOP));
        } catch (const EAudioReadError& error) {
            std::fprintf(stderr, "%s: stopping the sound stream of \"%s\" failed: %s (0x%08X)\n", error.ClassName().c_str(),
                         FFileName.c_str(), error.Message().c_str(), static_cast<unsigned>(error.ErrorCode));
        }
    }
    ReleaseInterface(FSample);
    ReleaseInterface(FAudioData);
    ReleaseInterface(FAudioStream);
    ReleaseInterface(FMediaStream);
    ReleaseInterface(FMediaSeeking);
    ReleaseInterface(FMediaControl);
    ReleaseInterface(FGraph);
    ReleaseInterface(FMMStream);
}

std::int32_t TAudioFileReader::Read(void* Buffer, std::uint32_t Size) {
    if (Size == 0) CheckStreamResult(AUDIOREAD_E_BUFFERSIZE);
    if (FLength != 0 && FStartPos + FLength <= FCurrentPos) return 0;
    if (Buffer != FLastBuffer || Size != FLastSize) {
        // Remembered only once attached, so that a refused buffer is offered again next time
        // instead of the sample filling the one attached before.
        CheckStreamResult(FAudioData->SetBuffer(Size, static_cast<BYTE*>(Buffer), 0));
        FLastBuffer = Buffer;
        FLastSize = Size;
    }
    const HRESULT updated = FSample->Update(0, nullptr, nullptr, 0);
    if (updated == MS_S_ENDOFSTREAM || updated == MS_E_NOSTREAM) return 0;
    CheckStreamResult(updated);

    DWORD filled = 0;
    BYTE* attached = nullptr;
    CheckStreamResult(FAudioData->GetInfo(&FLastSize, &attached, &filled));
    FLastBuffer = attached;
    std::int64_t count = filled;

    STREAM_TIME current = 0;
    CheckStreamResult(FSample->GetSampleTimes(&FSampleStart, &FSampleEnd, &current));
    if (FSampleStart > FSampleEnd) FSampleStart = FSampleEnd;

    const std::int64_t rangeEnd = FStartPos + FLength;
    if (FLength != 0 && FSampleEnd > FSampleStart && rangeEnd < FSampleEnd) {
        if (rangeEnd <= FSampleStart) {
            // The piece lies wholly behind the range end (pieces that do not join after a
            // seek): nothing of it belongs to the range.
            count = 0;
            FSampleStart = rangeEnd;
        } else {
            const std::int64_t product = count * (rangeEnd - FSampleStart);
            count = static_cast<std::int64_t>(static_cast<long double>(product) / (FSampleEnd - FSampleStart));
            if (FFormat.nBlockAlign > 1) count -= count % FFormat.nBlockAlign;
        }
        FSampleEnd = rangeEnd;
    }
    FCurrentPos = FSampleEnd;
    return static_cast<std::int32_t>(count);
}

void TAudioFileReader::Seek(std::int64_t Position) {
    if (Position == FCurrentPos) return;
    if (Position < FStartPos)
        Position = FStartPos;
    else if (Position > FDuration)
        Position = FDuration;
    else if (FLength != 0 && Position > FStartPos + FLength)
        Position = FStartPos + FLength;
    CheckStreamResult(FMediaControl->StopWhenReady());
    LONGLONG target = Position;
    CheckStreamResult(FMediaSeeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning));
    CheckStreamResult(FMediaControl->Run());
    OAFilterState state = 0;
    CheckStreamResult(FMediaControl->GetState(static_cast<LONG>(INFINITE), &state));
    FCurrentPos = Position;
}

void TAudioFileReader::SetStartPos(std::int64_t Value) {
    if (Value == FStartPos) return;
    if (Value < 0) Value = 0;
    if (FCurrentPos < Value) Seek(Value);
    FStartPos = Value;
}

void TAudioFileReader::SetLength(std::int64_t Value) {
    if (Value == FLength) return;
    if (Value != 0 && Value < MinLength) Value = MinLength;
    if (Value > MaxLength) Value = MaxLength;
    if (Value != 0 && FStartPos + Value < FCurrentPos) Seek(FStartPos);
    FLength = Value;
}
