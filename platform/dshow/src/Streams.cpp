// The multimedia stream objects: a read-only stream with one primary audio stream, its
// filter graph, the audio data descriptor and the sample that fills it.

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "ComObject.h"
#include "SoundFile.h"
#include "dshow.h"

namespace {

// What the stream, its graph, its audio stream and its samples share: the decoder and
// whether the graph runs. Calls may come from different threads.
struct TStreamCore {
    std::mutex Lock;
    std::unique_ptr<TSoundFile> File;
    bool Running = false;
};
using PStreamCore = std::shared_ptr<TStreamCore>;

template <class I>
HRESULT HandOut(I* object, I** out) {
    if (out == nullptr) return E_POINTER;
    object->AddRef();
    *out = object;
    return S_OK;
}

std::string Utf8FromUtf16(LPCWSTR text) {
    std::string result;
    for (const WCHAR* p = text; *p != 0; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        }
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            result += static_cast<char>(0xE0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (c >> 18));
            result += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

bool SameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
    return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels && a.nSamplesPerSec == b.nSamplesPerSec &&
           a.nBlockAlign == b.nBlockAlign && a.wBitsPerSample == b.wBitsPerSample;
}

class TAudioData : public TComObject<IAudioData> {
public:
    TAudioData() {
        FFormat.wFormatTag = WAVE_FORMAT_PCM;
        FFormat.nChannels = 2;
        FFormat.nSamplesPerSec = 44100;
        FFormat.wBitsPerSample = 16;
        FFormat.nBlockAlign = 4;
        FFormat.nAvgBytesPerSec = 44100 * 4;
    }

    HRESULT SetBuffer(DWORD size, BYTE* data, DWORD flags) override {
        if (flags != 0) return E_INVALIDARG;
        if (data == nullptr) return E_POINTER;
        FData = data;
        FSize = size;
        FActual = 0;
        return S_OK;
    }
    HRESULT GetInfo(DWORD* length, BYTE** data, DWORD* actualData) override {
        if (length != nullptr) *length = FSize;
        if (data != nullptr) *data = FData;
        if (actualData != nullptr) *actualData = FActual;
        return S_OK;
    }
    HRESULT SetFormat(const WAVEFORMATEX* format) override {
        if (format == nullptr) return E_POINTER;
        const bool knownTag = format->wFormatTag == WAVE_FORMAT_PCM || format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
        if (!knownTag || format->nChannels == 0 || format->nSamplesPerSec == 0 || format->wBitsPerSample % 8 != 0 ||
            format->nBlockAlign != format->nChannels * format->wBitsPerSample / 8)
            return E_INVALIDARG;
        FFormat = *format;
        return S_OK;
    }

    const WAVEFORMATEX& Format() const { return FFormat; }
    BYTE* Data() const { return FData; }
    DWORD Size() const { return FSize; }
    void SetActual(DWORD actual) { FActual = actual; }

private:
    WAVEFORMATEX FFormat{};
    BYTE* FData = nullptr;
    DWORD FSize = 0;
    DWORD FActual = 0;
};

class TAudioStreamSample : public TComObject<IAudioStreamSample> {
public:
    TAudioStreamSample(PStreamCore core, IAudioMediaStream* stream, TAudioData* data)
        : FCore(std::move(core)), FStream(stream), FData(data) {
        FStream->AddRef();
        FData->AddRef();
    }

    HRESULT Update(DWORD flags, HANDLE event, PAPCFUNC apc, DWORD_PTR) override {
        if (flags != 0 || event != nullptr || apc != nullptr) return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(FCore->Lock);
        if (!FCore->Running) return MS_E_NOTRUNNING;
        TSoundFile& file = *FCore->File;
        const WAVEFORMATEX& format = file.Format();
        if (!SameFormat(format, FData->Format())) return MS_E_INCOMPATIBLE;
        if (FData->Data() == nullptr) return E_POINTER;
        const sf_count_t room = FData->Size() / format.nBlockAlign;
        if (room == 0) return E_INVALIDARG;
        const sf_count_t pieceFrames = std::max<sf_count_t>(1, format.nSamplesPerSec / 10);
        const sf_count_t start = file.Position();
        const sf_count_t got = file.Read(FData->Data(), std::min(room, pieceFrames));
        if (got < 0) return DSHOW_E_DECODE;
        if (got == 0) return MS_S_ENDOFSTREAM;
        FData->SetActual(static_cast<DWORD>(got * format.nBlockAlign));
        FStart = file.TimeOfFrame(start);
        FEnd = file.TimeOfFrame(start + got);
        return S_OK;
    }
    HRESULT GetSampleTimes(STREAM_TIME* start, STREAM_TIME* end, STREAM_TIME* current) override {
        if (start != nullptr) *start = FStart;
        if (end != nullptr) *end = FEnd;
        if (current != nullptr) {
            std::lock_guard<std::mutex> guard(FCore->Lock);
            *current = FCore->File->TimeOfFrame(FCore->File->Position());
        }
        return S_OK;
    }

protected:
    ~TAudioStreamSample() override {
        FData->Release();
        FStream->Release();
    }

private:
    PStreamCore FCore;
    IAudioMediaStream* FStream;
    TAudioData* FData;
    STREAM_TIME FStart = 0;
    STREAM_TIME FEnd = 0;
};

class TAudioMediaStream : public TComObject<IAudioMediaStream> {
public:
    explicit TAudioMediaStream(PStreamCore core) : FCore(std::move(core)) {}

    HRESULT GetFormat(WAVEFORMATEX* format) override {
        if (format == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> guard(FCore->Lock);
        if (!FCore->File) return MS_E_NOTINIT;
        *format = FCore->File->Format();
        return S_OK;
    }
    HRESULT CreateSample(IAudioData* audioData, DWORD flags, IAudioStreamSample** sample) override {
        if (sample == nullptr) return E_POINTER;
        *sample = nullptr;
        if (audioData == nullptr) return E_POINTER;
        if (flags != 0) return E_INVALIDARG;
        // Only the layer's own descriptor knows how to take the decoded data.
        auto* data = dynamic_cast<TAudioData*>(audioData);
        if (data == nullptr) return E_INVALIDARG;
        {
            std::lock_guard<std::mutex> guard(FCore->Lock);
            if (!FCore->File) return MS_E_NOTINIT;
            if (!SameFormat(FCore->File->Format(), data->Format())) return MS_E_INCOMPATIBLE;
        }
        *sample = new TAudioStreamSample(FCore, this, data);
        return S_OK;
    }

private:
    PStreamCore FCore;
};

class TFilterGraph : public TComObject<IGraphBuilder, IMediaControl, IMediaSeeking> {
public:
    explicit TFilterGraph(PStreamCore core) : FCore(std::move(core)) {}

    HRESULT Run() override { return SetRunning(true); }
    HRESULT StopWhenReady() override { return SetRunning(false); }
    HRESULT GetState(LONG, OAFilterState* state) override {
        if (state == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> guard(FCore->Lock);
        *state = FCore->Running ? State_Running : State_Stopped;
        return S_OK;
    }
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD stopFlags) override {
        if (stopFlags != AM_SEEKING_NoPositioning) return E_INVALIDARG;
        if (currentFlags == AM_SEEKING_NoPositioning) return S_OK;
        if (currentFlags != AM_SEEKING_AbsolutePositioning) return E_INVALIDARG;
        if (current == nullptr) return E_POINTER;
        if (*current < 0) return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(FCore->Lock);
        if (!FCore->File) return MS_E_NOTINIT;
        TSoundFile& file = *FCore->File;
        return file.Seek(file.FrameOfTime(*current)) ? S_OK : MS_E_NOSEEK;
    }

private:
    HRESULT SetRunning(bool running) {
        std::lock_guard<std::mutex> guard(FCore->Lock);
        if (running && !FCore->File) return MS_E_NOTINIT;
        FCore->Running = running;
        return S_OK;
    }

    PStreamCore FCore;
};

class TMultiMediaStream : public TComObject<IAMMultiMediaStream> {
public:
    HRESULT Initialize(STREAM_TYPE type, DWORD flags, IGraphBuilder* graph) override {
        if (FGraph != nullptr) return E_UNEXPECTED;
        if (type != STREAMTYPE_READ) return MS_E_INVALIDSTREAMTYPE;
        if (graph != nullptr || (flags & ~AMMSF_NOGRAPHTHREAD) != 0) return E_INVALIDARG;
        FGraph = new TFilterGraph(FCore);
        return S_OK;
    }
    HRESULT GetFilterGraph(IGraphBuilder** graph) override {
        if (graph == nullptr) return E_POINTER;
        if (FGraph == nullptr) return MS_E_NOTINIT;
        return HandOut<IGraphBuilder>(FGraph, graph);
    }
    HRESULT AddMediaStream(IUnknown* streamObject, const MSPID* purposeId, DWORD, IMediaStream** newStream) override {
        if (FGraph == nullptr) return MS_E_NOTINIT;
        if (streamObject != nullptr) return E_INVALIDARG;
        if (purposeId == nullptr) return E_POINTER;
        if (!(*purposeId == MSPID_PrimaryAudio) || FAudio != nullptr) return MS_E_PURPOSEID;
        FAudio = new TAudioMediaStream(FCore);
        if (newStream != nullptr) return HandOut<IMediaStream>(FAudio, newStream);
        return S_OK;
    }
    HRESULT GetMediaStream(REFMSPID purposeId, IMediaStream** stream) override {
        if (stream == nullptr) return E_POINTER;
        *stream = nullptr;
        if (FAudio == nullptr || !(purposeId == MSPID_PrimaryAudio)) return MS_E_NOSTREAM;
        return HandOut<IMediaStream>(FAudio, stream);
    }
    HRESULT OpenFile(LPCWSTR fileName, DWORD) override {
        if (FGraph == nullptr) return MS_E_NOTINIT;
        if (fileName == nullptr) return E_POINTER;
        if (FAudio == nullptr) return MS_E_NOSTREAM;
        std::unique_ptr<TSoundFile> file;
        const HRESULT hr = TSoundFile::Open(Utf8FromUtf16(fileName), file);
        if (FAILED(hr)) return hr;
        std::lock_guard<std::mutex> guard(FCore->Lock);
        if (FCore->File) return MS_E_SOURCEALREADYDEFINED;
        FCore->File = std::move(file);
        return S_OK;
    }
    HRESULT GetDuration(STREAM_TIME* duration) override {
        if (duration == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> guard(FCore->Lock);
        if (!FCore->File) return MS_E_NOTINIT;
        *duration = FCore->File->TimeOfFrame(FCore->File->Frames());
        return S_OK;
    }
    HRESULT SetState(STREAM_STATE state) override {
        if (state == STREAMSTATE_STOP) return FGraph != nullptr ? FGraph->StopWhenReady() : S_OK;
        if (state != STREAMSTATE_RUN) return E_INVALIDARG;
        if (FGraph == nullptr) return MS_E_NOTINIT;
        return FGraph->Run();
    }

protected:
    ~TMultiMediaStream() override {
        if (FAudio != nullptr) FAudio->Release();
        if (FGraph != nullptr) FGraph->Release();
    }

private:
    PStreamCore FCore = std::make_shared<TStreamCore>();
    TFilterGraph* FGraph = nullptr;
    TAudioMediaStream* FAudio = nullptr;
};

template <class T>
HRESULT CreateObject(REFIID riid, LPVOID* object) {
    T* created = new T;
    const HRESULT hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

struct TRegistration {
    TRegistration() {
        CoRegisterLayerClass(CLSID_AMMultiMediaStream, CreateObject<TMultiMediaStream>);
        CoRegisterLayerClass(CLSID_AMAudioData, CreateObject<TAudioData>);
    }
} registration;

}  // namespace
