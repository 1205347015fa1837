#pragma once
// Multimedia streaming of the platform layer: a read-only multimedia stream that decodes one
// sound file into PCM samples, its filter graph with control and seeking, and the texts of
// the layer's own result codes.
//
// Stream times are in units of 100 ns. The decoder hands out the file in pieces of at most
// 100 ms of whole frames; a sample's Update fills the attached memory with one piece.

#include "mmreg.h"
#include "ole32.h"

using STREAM_TIME = LONGLONG;
using REFERENCE_TIME = LONGLONG;
using MSPID = GUID;
using REFMSPID = const MSPID&;
using OAFilterState = LONG;
using PAPCFUNC = void (*)(ULONG_PTR parameter);

enum STREAM_TYPE { STREAMTYPE_READ = 0, STREAMTYPE_WRITE = 1, STREAMTYPE_TRANSFORM = 2 };
enum STREAM_STATE { STREAMSTATE_STOP = 0, STREAMSTATE_RUN = 1 };

enum : LONG { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

inline constexpr DWORD AMMSF_NOGRAPHTHREAD = 0x1;
inline constexpr DWORD AM_SEEKING_NoPositioning = 0x0;
inline constexpr DWORD AM_SEEKING_AbsolutePositioning = 0x1;

// ---- result codes ---------------------------------------------------------------------------
inline constexpr HRESULT MS_S_PENDING = 0x00040001;
inline constexpr HRESULT MS_S_NOUPDATE = 0x00040002;
inline constexpr HRESULT MS_S_ENDOFSTREAM = 0x00040003;
inline constexpr HRESULT MS_E_SAMPLEALLOC = static_cast<HRESULT>(0x80040401u);
inline constexpr HRESULT MS_E_PURPOSEID = static_cast<HRESULT>(0x80040402u);
inline constexpr HRESULT MS_E_NOSTREAM = static_cast<HRESULT>(0x80040403u);
inline constexpr HRESULT MS_E_NOSEEK = static_cast<HRESULT>(0x80040404u);
inline constexpr HRESULT MS_E_INCOMPATIBLE = static_cast<HRESULT>(0x80040405u);
inline constexpr HRESULT MS_E_BUSY = static_cast<HRESULT>(0x80040406u);
inline constexpr HRESULT MS_E_NOTINIT = static_cast<HRESULT>(0x80040407u);
inline constexpr HRESULT MS_E_SOURCEALREADYDEFINED = static_cast<HRESULT>(0x80040408u);
inline constexpr HRESULT MS_E_INVALIDSTREAMTYPE = static_cast<HRESULT>(0x80040409u);
inline constexpr HRESULT MS_E_NOTRUNNING = static_cast<HRESULT>(0x8004040Au);

// The layer's own failures of OpenFile; AMGetErrorTextA has a text for each.
inline constexpr HRESULT DSHOW_E_FILENOTFOUND = static_cast<HRESULT>(0x80040280u);
inline constexpr HRESULT DSHOW_E_FILEUNREADABLE = static_cast<HRESULT>(0x80040281u);
inline constexpr HRESULT DSHOW_E_NOTSOUND = static_cast<HRESULT>(0x80040282u);
inline constexpr HRESULT DSHOW_E_TRUNCATED = static_cast<HRESULT>(0x80040283u);
// Decoding failed after the file had been opened.
inline constexpr HRESULT DSHOW_E_DECODE = static_cast<HRESULT>(0x80040284u);

// ---- identifiers ----------------------------------------------------------------------------
inline constexpr CLSID CLSID_AMMultiMediaStream = {0x4B4C0100, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}};
inline constexpr CLSID CLSID_AMAudioData = {0x4B4C0101, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01}};
inline constexpr MSPID MSPID_PrimaryAudio = {0x4B4C0110, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x10}};

// ---- interfaces -----------------------------------------------------------------------------
struct IMediaStream : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0x4B4C0120, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x20}};
};

struct IAudioData : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0x4B4C0121, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x21}};
    // The caller's memory that samples fill; it stays the caller's.
    virtual HRESULT SetBuffer(DWORD size, BYTE* data, DWORD flags) = 0;
    // The attached length and memory, and how many bytes the last update filled.
    virtual HRESULT GetInfo(DWORD* length, BYTE** data, DWORD* actualData) = 0;
    virtual HRESULT SetFormat(const WAVEFORMATEX* format) = 0;
};

struct IAudioStreamSample : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0x4B4C0122, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x22}};
    // Synchronous only: flags 0, no event, no completion routine. Returns when the attached
    // memory holds the next piece, or MS_S_ENDOFSTREAM when no data is left.
    virtual HRESULT Update(DWORD flags, HANDLE event, PAPCFUNC apc, DWORD_PTR apcData) = 0;
    // Times of the data of the last update; current is the stream's position now.
    virtual HRESULT GetSampleTimes(STREAM_TIME* start, STREAM_TIME* end, STREAM_TIME* current) = 0;
};

struct IAudioMediaStream : IMediaStream {
    using Base = IMediaStream;
    static constexpr IID Iid = {0x4B4C0123, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x23}};
    // The PCM format in which samples arrive (known once a file is open).
    virtual HRESULT GetFormat(WAVEFORMATEX* format) = 0;
    // A sample filling audioData, which must carry the stream's format.
    virtual HRESULT CreateSample(IAudioData* audioData, DWORD flags, IAudioStreamSample** sample) = 0;
};

struct IGraphBuilder : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0x4B4C0124, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x24}};
};

struct IMediaControl : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0x4B4C0125, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x25}};
    virtual HRESULT Run() = 0;
    virtual HRESULT StopWhenReady() = 0;
    // The graph changes state at once here, so the time-out is never needed.
    virtual HRESULT GetState(LONG timeout, OAFilterState* state) = 0;
};

struct IMediaSeeking : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0x4B4C0126, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x26}};
    // Positions in 100 ns; the stop position cannot be moved (AM_SEEKING_NoPositioning only).
    virtual HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) = 0;
};

struct IAMMultiMediaStream : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0x4B4C0127, 0x6B6C, 0x4E47, {0x9F, 0x31, 0x00, 0x00, 0x00, 0x00, 0x01, 0x27}};
    // STREAMTYPE_READ only; the stream always builds its own graph (graph must be null).
    virtual HRESULT Initialize(STREAM_TYPE type, DWORD flags, IGraphBuilder* graph) = 0;
    virtual HRESULT GetFilterGraph(IGraphBuilder** graph) = 0;
    // MSPID_PrimaryAudio only, without a stream object of the caller's.
    virtual HRESULT AddMediaStream(IUnknown* streamObject, const MSPID* purposeId, DWORD flags, IMediaStream** newStream) = 0;
    virtual HRESULT GetMediaStream(REFMSPID purposeId, IMediaStream** stream) = 0;
    // Opens and decodes fileName; fails with one of the DSHOW_E_ codes when it cannot.
    virtual HRESULT OpenFile(LPCWSTR fileName, DWORD flags) = 0;
    virtual HRESULT GetDuration(STREAM_TIME* duration) = 0;
    virtual HRESULT SetState(STREAM_STATE state) = 0;
};

inline constexpr IID IID_IMediaStream = IMediaStream::Iid;
inline constexpr IID IID_IAudioData = IAudioData::Iid;
inline constexpr IID IID_IAudioStreamSample = IAudioStreamSample::Iid;
inline constexpr IID IID_IAudioMediaStream = IAudioMediaStream::Iid;
inline constexpr IID IID_IGraphBuilder = IGraphBuilder::Iid;
inline constexpr IID IID_IMediaControl = IMediaControl::Iid;
inline constexpr IID IID_IMediaSeeking = IMediaSeeking::Iid;
inline constexpr IID IID_IAMMultiMediaStream = IAMMultiMediaStream::Iid;

// The text of one of the layer's result codes, zero-terminated in buffer (cut to size - 1
// characters). Returns the length written, 0 for a code it has no text for.
DWORD AMGetErrorTextA(HRESULT code, LPSTR buffer, DWORD size);
