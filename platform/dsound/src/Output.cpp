#include "Output.h"

#include <SDL.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace dsound {

namespace {

// SDL's start and end of the audio subsystem are not safe to run from two threads at once.
std::mutex& SdlMutex() {
    static std::mutex* mutex = new std::mutex;  // outlives every static destructor
    return *mutex;
}

class TSdlAudio {
public:
    TSdlAudio() {
        std::lock_guard guard(SdlMutex());
        FStarted = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (!FStarted) std::fprintf(stderr, "dsound: no SDL audio: %s\n", SDL_GetError());
    }
    ~TSdlAudio() {
        std::lock_guard guard(SdlMutex());
        if (FStarted) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    TSdlAudio(const TSdlAudio&) = delete;
    TSdlAudio& operator=(const TSdlAudio&) = delete;
    bool Started() const { return FStarted; }

private:
    bool FStarted = false;
};

class TSdlOutput final : public TOutput {
public:
    TSdlOutput(IRenderSource& source, std::string deviceName)
        : FSource(source), FDeviceName(std::move(deviceName)) {}
    ~TSdlOutput() override { Stop(); }

    HRESULT Start(const TPcmFormat& format) override {
        Stop();
        if (!FAudio.Started()) return DSERR_NODRIVER;
        SDL_AudioSpec wanted{};
        wanted.freq = static_cast<int>(format.Rate);
        wanted.format = format.Bits == 8 ? AUDIO_U8 : AUDIO_S16SYS;
        wanted.channels = static_cast<Uint8>(format.Channels);
        wanted.samples = kSdlPeriodFrames;
        wanted.callback = &TSdlOutput::Callback;
        wanted.userdata = this;
        SDL_AudioSpec obtained{};
        // No changes allowed: SDL converts to whatever the hardware runs, so the primary format
        // is always the one asked for.
        FDevice = SDL_OpenAudioDevice(FDeviceName.empty() ? nullptr : FDeviceName.c_str(), 0, &wanted, &obtained, 0);
        if (FDevice == 0) {
            std::fprintf(stderr, "dsound: cannot open the sound device: %s\n", SDL_GetError());
            return DSERR_NODRIVER;
        }
        FBlockAlign = format.BlockAlign();
        SDL_PauseAudioDevice(FDevice, 0);
        return DS_OK;
    }

    void Stop() override {
        if (FDevice != 0) SDL_CloseAudioDevice(FDevice);
        FDevice = 0;
    }

private:
    static void Callback(void* self, Uint8* stream, int length) {
        auto* output = static_cast<TSdlOutput*>(self);
        output->FSource.Render(stream, static_cast<DWORD>(length) / output->FBlockAlign);
    }

    IRenderSource& FSource;
    std::string FDeviceName;
    TSdlAudio FAudio;
    SDL_AudioDeviceID FDevice = 0;
    DWORD FBlockAlign = 4;
};

// Set by a test, so that a recording reaches its limit without writing gigabytes; 0 is none.
std::atomic<DWORD> WavDataLimitOfTests{0};

// The RIFF chunk's size field counts the 36 header bytes after it and the data: 32 bits hold
// that much sound, in whole frames.
DWORD WavDataLimit(DWORD blockAlign) {
    DWORD limit = 0xFFFFFFFFu - 36;
    if (const DWORD ofTests = WavDataLimitOfTests.load(); ofTests != 0) limit = std::min(limit, ofTests);
    return limit - limit % blockAlign;
}

// A WAV file whose header always counts exactly the data that has been written, so that a
// reader can parse it at any moment, also after the writer was killed. A recording that has
// reached what the format can count stops growing there; the mix goes on.
class TWavFile {
public:
    explicit TWavFile(std::string path) : FPath(std::move(path)) {}
    ~TWavFile() { Close(); }
    TWavFile(const TWavFile&) = delete;
    TWavFile& operator=(const TWavFile&) = delete;

    bool Restart(const TPcmFormat& format) {
        Close();
        FFd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (FFd < 0) {
            std::fprintf(stderr, "dsound: cannot write %s: %s\n", FPath.c_str(), std::strerror(errno));
            return false;
        }
        FFormat = format;
        FDataBytes = 0;
        FDataLimit = WavDataLimit(format.BlockAlign());
        return WriteHeader();
    }

    // Whole frames.
    void Append(const void* data, DWORD bytes) {
        if (FFd < 0) return;
        const bool full = bytes >= FDataLimit - FDataBytes;
        if (full) bytes = FDataLimit - FDataBytes;
        if (::pwrite(FFd, data, bytes, kHeaderBytes + static_cast<off_t>(FDataBytes)) != static_cast<ssize_t>(bytes)) {
            std::fprintf(stderr, "dsound: writing %s failed: %s\n", FPath.c_str(), std::strerror(errno));
            Close();
            return;
        }
        FDataBytes += bytes;
        WriteHeader();
        if (!full) return;
        std::fprintf(stderr, "dsound: the recording %s is full at %u bytes of sound, all its header can count; it stops here\n",
                     FPath.c_str(), static_cast<unsigned>(FDataBytes));
        Close();
    }

private:
    static constexpr int kHeaderBytes = 44;

    static void Put16(BYTE* at, unsigned value) {
        at[0] = static_cast<BYTE>(value);
        at[1] = static_cast<BYTE>(value >> 8);
    }
    static void Put32(BYTE* at, DWORD value) {
        Put16(at, value & 0xFFFF);
        Put16(at + 2, value >> 16);
    }

    // One write of the whole header, after the data it counts.
    bool WriteHeader() {
        BYTE header[kHeaderBytes];
        std::memcpy(header, "RIFF", 4);
        Put32(header + 4, 36 + FDataBytes);
        std::memcpy(header + 8, "WAVEfmt ", 8);
        Put32(header + 16, 16);
        Put16(header + 20, WAVE_FORMAT_PCM);
        Put16(header + 22, FFormat.Channels);
        Put32(header + 24, FFormat.Rate);
        Put32(header + 28, FFormat.BytesPerSecond());
        Put16(header + 32, FFormat.BlockAlign());
        Put16(header + 34, FFormat.Bits);
        std::memcpy(header + 36, "data", 4);
        Put32(header + 40, FDataBytes);
        return ::pwrite(FFd, header, kHeaderBytes, 0) == kHeaderBytes;
    }

    void Close() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }

    std::string FPath;
    int FFd = -1;
    TPcmFormat FFormat;
    DWORD FDataBytes = 0;
    DWORD FDataLimit = 0;
};

// Mixes at the pace of the clock on a thread of its own; with a file, the mix is written to it.
class TPacedOutput final : public TOutput {
public:
    TPacedOutput(IRenderSource& source, std::string wavPath) : FSource(source) {
        if (!wavPath.empty()) FWav = std::make_unique<TWavFile>(std::move(wavPath));
    }
    ~TPacedOutput() override { Stop(); }

    HRESULT Start(const TPcmFormat& format) override {
        Stop();
        if (FWav && !FWav->Restart(format)) return DSERR_NODRIVER;
        FStopping = false;
        FThread = std::thread([this, format] { Run(format); });
        return DS_OK;
    }

    void Stop() override {
        if (!FThread.joinable()) return;
        {
            std::lock_guard guard(FWakeMutex);
            FStopping = true;
        }
        FWake.notify_all();
        FThread.join();
    }

private:
    using TClock = std::chrono::steady_clock;

    void Run(TPcmFormat format) {
        const DWORD blockAlign = format.BlockAlign();
        const DWORD chunkFrames = format.Rate * kOutputPeriodMs / 1000 + 1;
        std::vector<BYTE> chunk(std::size_t{chunkFrames} * blockAlign);
        const TClock::time_point start = TClock::now();
        std::uint64_t framesDone = 0;
        TClock::time_point tick = start;
        std::unique_lock lock(FWakeMutex);
        while (!FStopping) {
            tick += std::chrono::milliseconds(kOutputPeriodMs);
            if (FWake.wait_until(lock, tick, [this] { return FStopping; })) break;
            lock.unlock();
            const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - start);
            const std::uint64_t due = static_cast<std::uint64_t>(elapsed.count()) * format.Rate / 1000000;
            // A thread held up for long does not make up more than a second at once.
            if (due > framesDone + format.Rate) framesDone = due - format.Rate;
            while (framesDone < due) {
                const DWORD frames = static_cast<DWORD>(std::min<std::uint64_t>(due - framesDone, chunkFrames));
                FSource.Render(chunk.data(), frames);
                if (FWav) FWav->Append(chunk.data(), frames * blockAlign);
                framesDone += frames;
            }
            if (TClock::now() > tick + std::chrono::seconds(1)) tick = TClock::now();
            lock.lock();
        }
    }

    IRenderSource& FSource;
    std::unique_ptr<TWavFile> FWav;
    std::thread FThread;
    std::mutex FWakeMutex;
    std::condition_variable FWake;
    bool FStopping = false;
};

}  // namespace

void LimitWavData(DWORD bytes) { WavDataLimitOfTests = bytes; }

bool UsesSdlDevices() {
    const char* selection = std::getenv("DSOUND_OUTPUT");
    return selection == nullptr || selection[0] == '\0';
}

HRESULT CreateOutput(const GUID* guid, IRenderSource& source, std::unique_ptr<TOutput>& output) {
    const char* selection = std::getenv("DSOUND_OUTPUT");
    if (selection != nullptr && selection[0] != '\0') {
        const std::string text = selection;
        if (text == "null") {
            output = std::make_unique<TPacedOutput>(source, std::string());
            return DS_OK;
        }
        if (text.rfind("wav:", 0) == 0 && text.size() > 4) {
            output = std::make_unique<TPacedOutput>(source, text.substr(4));
            return DS_OK;
        }
        std::fprintf(stderr, "dsound: DSOUND_OUTPUT=%s is none of null, wav:PATH\n", selection);
        return DSERR_NODRIVER;
    }
    std::string name;
    if (guid != nullptr) {
        bool found = false;
        for (const TPlaybackDevice& device : ListPlaybackDevices()) {
            if (std::memcmp(&device.Guid, guid, sizeof(GUID)) == 0) {
                name = device.Name;
                found = true;
                break;
            }
        }
        if (!found) return DSERR_NODRIVER;
    }
    output = std::make_unique<TSdlOutput>(source, name);
    return DS_OK;
}

std::vector<TPlaybackDevice> ListPlaybackDevices() {
    std::vector<TPlaybackDevice> devices;
    TSdlAudio audio;
    if (!audio.Started()) return devices;
    std::lock_guard guard(SdlMutex());
    const int count = SDL_GetNumAudioDevices(0);
    for (int i = 0; i < count; ++i) {
        const char* name = SDL_GetAudioDeviceName(i, 0);
        if (name == nullptr) continue;
        devices.push_back({name, GuidFromName(name)});
    }
    return devices;
}

std::string CurrentSdlDriver() {
    TSdlAudio audio;
    std::lock_guard guard(SdlMutex());
    const char* driver = audio.Started() ? SDL_GetCurrentAudioDriver() : nullptr;
    return driver != nullptr ? driver : "";
}

GUID GuidFromName(const std::string& name) {
    // Two FNV-1a hashes with different bases give the 128 bits.
    auto hash = [&name](std::uint64_t basis) {
        std::uint64_t h = basis;
        for (unsigned char c : name) {
            h ^= c;
            h *= 0x100000001B3ull;
        }
        return h;
    };
    const std::uint64_t high = hash(0xCBF29CE484222325ull);
    const std::uint64_t low = hash(0x84222325CBF29CE4ull);
    GUID guid{};
    guid.Data1 = static_cast<DWORD>(high >> 32);
    guid.Data2 = static_cast<WORD>(high >> 16);
    guid.Data3 = static_cast<WORD>(high);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<BYTE>(low >> (56 - 8 * i));
    return guid;
}

}  // namespace dsound
