// The channels of the mixer: a sound file each, streamed into its DirectSound buffer by a refill
// thread under the channel lock, with the end notice of a sound played to its end.

#include "DSMixer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

// ---- TPositionTimes ---------------------------------------------------------------------------

void TPositionTimes::Add(std::int32_t StartPos, std::int32_t EndPos, std::int64_t StartTime, std::int64_t EndTime) {
    FPositions[FIndex][0] = StartPos;
    FPositions[FIndex][1] = EndPos;
    FTimes[FIndex][0] = StartTime;
    FTimes[FIndex][1] = EndTime;
    Assert(StartTime <= EndTime, "Internal Error: Time Start higher then Time End");
    Assert(EndPos > StartPos, "Internal Error: Position Start not inferior to Position End");
    FIndex = (FIndex + 1) % Count;
}

// ---- the channel lock -------------------------------------------------------------------------

namespace {

constexpr DWORD LockTimeoutMs = 250;
constexpr int MutexNameLimit = 100;
constexpr UINT WM_CHANNEL_END = WM_USER + 1;
constexpr char NotifyWindowClass[] = "TDSMixerChannelNotify";

bool Acquired(DWORD waitResult) { return waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED; }

// Holds a mutex once the wait for it succeeded. An abandoned mutex is held like any other; a
// wait that timed out or failed holds nothing.
class TMutexLock {
public:
    TMutexLock(HANDLE mutex, DWORD timeout) : FMutex(mutex), FHeld(Acquired(WaitForSingleObject(mutex, timeout))) {}
    ~TMutexLock() {
        if (FHeld) ReleaseMutex(FMutex);
    }
    TMutexLock(const TMutexLock&) = delete;
    TMutexLock& operator=(const TMutexLock&) = delete;
    explicit operator bool() const { return FHeld; }

private:
    HANDLE FMutex;
    bool FHeld;
};

LRESULT NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* channel = reinterpret_cast<TDSMixerChannel*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (channel == nullptr) return 0;
    TDSMixerChannel::TMessage record{message, wParam, lParam, 0};
    channel->WndProc(record);
    return record.Result;
}

// A system object the channel cannot do without could not be made.
[[noreturn]] void RaiseCreationError(const std::string& what, DWORD error) {
    throw Exception(Format("Cannot create %s (error %u)", what.c_str(), static_cast<unsigned>(error)));
}

HWND CreateNotifyWindow(TDSMixerChannel* channel) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = NotifyWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = NotifyWindowClass;
    RegisterClassA(&windowClass);  // refused as existing from the second channel on
    const HWND window = CreateWindowExA(0, NotifyWindowClass, "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        windowClass.hInstance, nullptr);
    if (window == nullptr) RaiseCreationError("the channel's notify window", GetLastError());
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(channel));
    return window;
}

// The first name of "DSMCUpd0", "DSMCUpd1", ... that the system gives a mutex for.
HANDLE CreateChannelMutex(std::string& name) {
    for (int n = 0; n < MutexNameLimit; ++n) {
        name = "DSMCUpd" + std::to_string(n);
        if (HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str())) return mutex;
        // Names that cannot be had just now are not refused: the next would wait as long.
        if (GetLastError() == ERROR_TIMEOUT) break;
    }
    const DWORD error = GetLastError();
    RaiseCreationError("the channel lock: the system refused the names DSMCUpd0 to " + name, error);
}

}  // namespace

// ---- TUpdateChannelThread ---------------------------------------------------------------------

TUpdateChannelThread::TUpdateChannelThread(TDSMixerChannel* AChannel, const std::string& MutexName)
    : TThread(true), FChannel(AChannel) {
    // Without its event the idle thread would spin, without the lock it would refill unguarded.
    FWakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (FWakeEvent == nullptr) RaiseCreationError("the refill thread's wake event", GetLastError());
    FMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, MutexName.c_str());
    if (FMutex == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(FWakeEvent);
        RaiseCreationError("the refill thread's handle of the channel lock " + MutexName, error);
    }
    Resume();
}

TUpdateChannelThread::~TUpdateChannelThread() {
    Shutdown();
    if (FMutex != nullptr) CloseHandle(FMutex);
    if (FWakeEvent != nullptr) CloseHandle(FWakeEvent);
}

void TUpdateChannelThread::Shutdown() {
    Terminate();
    if (FWakeEvent != nullptr) SetEvent(FWakeEvent);
    if (Suspended()) Resume();
    WaitFor();
}

void TUpdateChannelThread::SetActive(bool Value) {
    if (FActive == Value) return;
    FActive = Value;
    if (Value) SetEvent(FWakeEvent);
}

void TUpdateChannelThread::Execute() {
    do {
        if (!FActive) {
            WaitForSingleObject(FWakeEvent, INFINITE);
        } else if (WaitForSingleObject(FWakeEvent, Interval) == WAIT_TIMEOUT) {
            // An error of the refill step ends the thread; the lock is given back on the way out.
            TMutexLock lock(FMutex, LockTimeoutMs);
            if (lock && FActive) FChannel->Update();
        }
    } while (!Terminated());
}

// ---- TDSMixerChannel --------------------------------------------------------------------------

TDSMixerChannel::TDSMixerChannel(TDSMixer* AMixer) : FMixer(AMixer) {
    if (FMixer == nullptr) throw Exception("A sound channel needs a mixer");
    FPositionTimes = std::make_unique<TPositionTimes>();
    ResetPlayState();
    ResetProperties();
    FNotifyWindow = CreateNotifyWindow(this);
    std::string mutexName;
    try {
        FMutex = CreateChannelMutex(mutexName);
        FThread = std::make_unique<TUpdateChannelThread>(this, mutexName);
    } catch (...) {
        if (FMutex != nullptr) CloseHandle(FMutex);
        DestroyWindow(FNotifyWindow);
        throw;
    }
    FThread->SetActive(false);
    FBufferMs = 4000;
    FThread->Interval = FBufferMs / 10;
    FMixer->AddChannel(this);
}

TDSMixerChannel::~TDSMixerChannel() {
    FMixer->RemoveChannel(this);
    EndRefills();
    try {
        FreeBuffer();
    } catch (const std::exception&) {
        // A destructor has no one to report a failing stop to; the buffer is released below.
    }
    if (FBuffer != nullptr) FBuffer->Release();
    FBuffer = nullptr;
    FReader.reset();
    CloseHandle(FMutex);
    FThread.reset();
    FPositionTimes.reset();
    DestroyWindow(FNotifyWindow);
}

void TDSMixerChannel::EndRefills() {
    FThread->SetActive(false);
    FThread->Shutdown();
}

void TDSMixerChannel::ResetPlayState() {
    FEndThreshold = 0;
    FPlaying = false;
    FWritePos = 0;
    FPrefilled = false;
    FEndMarker = -1;
    FEndReached = false;
}

void TDSMixerChannel::ResetProperties() {
    FVolume = 0;
    FPan = 0;
    FLooping = false;
    FStartTime = 0;
    FEndTime = 0;
    FFileName.clear();
}

void TDSMixerChannel::LoadFromFile(const std::string& FileName) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    FreeBuffer();
    CloseFile();
    if (!FileName.empty()) {
        auto reader = std::make_unique<TAudioFileReader>(FileName);
        // A rejected file leaves the channel without a file, as an empty name does.
        FLengthMs = static_cast<std::int32_t>(reader->Duration() / 10000);
        if (FLengthMs == 0) throw Exception("Audio file is empty.");
        const WAVEFORMATEX& format = reader->Format();
        if (format.nChannels != 1 && format.nChannels != 2) throw Exception("Invalid number of channels.");
        if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16)
            throw Exception("Invalid number of bits per sample.");
        FReader = std::move(reader);
    }
    SetStartTime(static_cast<std::uint32_t>(FStartTime));
    SetEndTime(static_cast<std::uint32_t>(FEndTime));
    FFileName = FileName;
}

void TDSMixerChannel::SetVolume(std::int32_t Value) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    FVolume = Value;
    if (FBuffer != nullptr) CheckDSResult(FBuffer->SetVolume(Value));
}

void TDSMixerChannel::SetPan(std::int32_t Value) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    FPan = Value;
    if (FBuffer != nullptr) CheckDSResult(FBuffer->SetPan(Value));
}

void TDSMixerChannel::SetStartTime(std::uint32_t Ms) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    if (FReader == nullptr) {
        FStartTime = static_cast<std::int32_t>(Ms);
        return;
    }
    const std::int64_t start = static_cast<std::int64_t>(Ms) * 10000;
    if (start == FReader->StartPos()) return;
    FReader->SetStartPos(start);
    FStartTime = static_cast<std::int32_t>(start / 10000);
    SetEndTime(static_cast<std::uint32_t>(FEndTime));
}

void TDSMixerChannel::SetEndTime(std::uint32_t Ms) {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    if (FReader == nullptr) {
        FEndTime = static_cast<std::int32_t>(Ms);
        return;
    }
    // An end of 0 is the end of the file, wherever the range starts.
    const std::int64_t length = Ms == 0 ? 0 : static_cast<std::int64_t>(Ms) * 10000 - FReader->StartPos();
    if (length == FReader->Length()) return;
    FReader->SetLength(length);
    FEndTime = Ms == 0 ? 0 : static_cast<std::int32_t>(length / 10000 + FStartTime);
}

void TDSMixerChannel::Play() {
    if (FMixer->DeviceMissing()) return;
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock || FPlaying) return;
    CreateBuffer();
    Prefill();
    if (FBuffer == nullptr) return;  // lost while it was filled
    if (LostOrChecked(FBuffer->Play(0, 0, DSBPLAY_LOOPING))) return;
    FPlaying = true;
    FThread->SetActive(true);
}

void TDSMixerChannel::Prefill() {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock) return;
    if (!FPrefilled) FillBuffer();
}

void TDSMixerChannel::Stop() {
    TMutexLock lock(FMutex, LockTimeoutMs);
    if (!lock || FBuffer == nullptr) return;
    FThread->SetActive(false);
    CheckDSResult(FBuffer->Stop());
    FPlaying = false;
    CheckDSResult(FBuffer->SetCurrentPosition(0));
    FWritePos = 0;
    if (FReader != nullptr) FReader->Seek(0);
    FPrefilled = false;
    FEndMarker = -1;
    FEndReached = false;
}

void TDSMixerChannel::FreeBuffer() {
    if (FBuffer != nullptr) {
        Stop();
        FBuffer->Release();
        FBuffer = nullptr;
    }
    FStaging.reset();
    ResetPlayState();
}

void TDSMixerChannel::CloseFile() {
    FreeBuffer();
    FReader.reset();
    ResetProperties();
}

void TDSMixerChannel::CheckFileOpened() const {
    if (FReader == nullptr) throw Exception("No file opened");
}

void TDSMixerChannel::CreateBuffer() {
    if (FBuffer != nullptr) return;
    CheckFileOpened();
    WAVEFORMATEX format = FReader->Format();
    FBufferSize = format.nAvgBytesPerSec * FBufferMs / 1000;
    FEndThreshold = FBufferSize * 40 / 100;
    FStaging.reset(new BYTE[FBufferSize]);

    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN | DSBCAPS_CTRLVOLUME | DSBCAPS_GLOBALFOCUS |
                   DSBCAPS_GETCURRENTPOSITION2;
    desc.dwBufferBytes = FBufferSize;
    desc.lpwfxFormat = &format;
    IDirectSound* device = FMixer->GetDirectSound();
    const HRESULT result = device->CreateSoundBuffer(&desc, &FBuffer, nullptr);
    device->Release();
    CheckDSResult(result);
    SetVolume(FVolume);
    SetPan(FPan);
}

DWORD TDSMixerChannel::PlayCursor() {
    DWORD play = 0;
    CheckDSResult(FBuffer->GetCurrentPosition(&play, nullptr));
    return play;
}

void TDSMixerChannel::FillBuffer() {
    CreateBuffer();
    if (!FPrefilled) {
        if (WriteData(0, FBufferSize)) FPrefilled = true;
        return;
    }
    const DWORD play = PlayCursor();
    if (FWritePos <= play) {
        if (!WriteData(FWritePos, play - FWritePos)) return;
    } else {
        if (!WriteData(FWritePos, FBufferSize - FWritePos)) return;
        if (!WriteData(0, play)) return;
    }
    FWritePos = play;
}

bool TDSMixerChannel::WriteData(DWORD Offset, DWORD Count) {
    if (Count == 0) return true;
    const BYTE silence = FReader->Format().wBitsPerSample == 8 ? 0x80 : 0;
    DWORD position = Offset;
    std::int64_t remaining = Count;
    bool justRewound = false;
    while (remaining != 0) {
        Assert(remaining > 0, "Read from file not higher than 0");
        if (FEndMarker == -1) {
            // Each read delivers one piece of the decoder; only a read of nothing ends the data.
            const std::int32_t n = std::max(0, FReader->Read(FStaging.get() + position, static_cast<std::uint32_t>(remaining)));
            if (n > 0) {
                FPositionTimes->Add(static_cast<std::int32_t>(position), static_cast<std::int32_t>(position + n),
                                    FReader->SampleStart(), FReader->SampleEnd());
                remaining -= n;
                position += static_cast<DWORD>(n);
                justRewound = false;
            } else {
                // A looping file that yields nothing even from its start ends like one that does not loop.
                if (!FLooping || justRewound) FEndMarker = static_cast<std::int32_t>(position);
                FReader->Seek(0);
                justRewound = true;
            }
        } else {
            std::memset(FStaging.get() + position, silence, static_cast<std::size_t>(remaining));
            FPositionTimes->Add(static_cast<std::int32_t>(position), static_cast<std::int32_t>(position + remaining),
                                FReader->SampleEnd(), FReader->SampleEnd());
            remaining = 0;
        }
    }

    LPVOID region = nullptr;
    DWORD regionBytes = 0;
    if (LostOrChecked(FBuffer->Lock(Offset, Count, &region, &regionBytes, nullptr, nullptr, 0))) return false;
    const bool sizeMatches = regionBytes == Count;
    if (sizeMatches) std::memcpy(region, FStaging.get() + Offset, Count);
    const HRESULT unlocked = FBuffer->Unlock(region, regionBytes, nullptr, 0);
    Assert(sizeMatches, "Locked different size from requested");
    CheckDSResult(unlocked);
    return true;
}

// True after a lost buffer was handled; raises every other failure.
bool TDSMixerChannel::LostOrChecked(HRESULT Result) {
    try {
        CheckDSResult(Result);
    } catch (const EDirectXError& error) {
        if (error.ErrorCode != DSERR_BUFFERLOST) throw;
        BufferLost();
        return true;
    }
    return false;
}

void TDSMixerChannel::BufferLost() {
    FreeBuffer();
    if (OnBufferLost) OnBufferLost(this);
}

DWORD TDSMixerChannel::BytesToEnd() {
    std::int64_t distance = static_cast<std::int64_t>(FEndMarker) - PlayCursor();
    if (distance <= 0) distance += FBufferSize;
    return static_cast<DWORD>(distance);
}

void TDSMixerChannel::Update() {
    bool measured = false;
    DWORD distance = 0;
    if (FEndReached) {
        distance = BytesToEnd();
        measured = true;
        if (distance > FEndThreshold) {
            // The play cursor has passed the end marker.
            Stop();
            PostMessageA(FNotifyWindow, WM_CHANNEL_END, 0, 0);
            return;
        }
    }
    const DWORD now = GetTickCount();
    if (now - FLastTick < FThread->Interval) return;
    FLastTick = now;
    if (FEndMarker != -1) {
        if (!measured) distance = BytesToEnd();
        if (distance <= FEndThreshold) FEndReached = true;
    }
    FillBuffer();
}

void TDSMixerChannel::WndProc(TMessage& Message) {
    if (Message.Msg == WM_CHANNEL_END && OnEnd) OnEnd(this);
}
