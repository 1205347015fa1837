// Decoding through libsndfile. Integer PCM of 8 and 16 bits is delivered as it is stored;
// wider integers and floats keep their width (the audio engine refuses them with a clear
// message rather than hearing them converted); everything compressed arrives as 16-bit PCM.

#include "SoundFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr STREAM_TIME UnitsPerSecond = 10000000;

bool ReadAt(int fd, off_t offset, void* dest, size_t count) {
    return pread(fd, dest, count, offset) == static_cast<ssize_t>(count);
}

DWORD LittleEndian32(const unsigned char* bytes) {
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) | (static_cast<DWORD>(bytes[2]) << 16) |
           (static_cast<DWORD>(bytes[3]) << 24);
}

bool LooksLikeWav(int fd) {
    unsigned char header[12];
    return ReadAt(fd, 0, header, sizeof header) && std::memcmp(header, "RIFF", 4) == 0 &&
           std::memcmp(header + 8, "WAVE", 4) == 0;
}

// libsndfile opens a WAV whose data chunk claims more bytes than the file holds and plays
// what is there; a file cut short in copying is damaged, and the user should hear of it
// instead of a clipped sound. Sizes 0 and 0xFFFFFFFF are left by writers that stream and
// mean "to the end of the file".
bool WavDataCutShort(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !LooksLikeWav(fd)) return false;
    off_t offset = 12;
    unsigned char chunk[8];
    while (offset + 8 <= status.st_size && ReadAt(fd, offset, chunk, sizeof chunk)) {
        const DWORD size = LittleEndian32(chunk + 4);
        const off_t available = status.st_size - offset - 8;
        if (std::memcmp(chunk, "data", 4) == 0) return size != 0 && size != 0xFFFFFFFFu && size > available;
        if (size > available) return true;
        offset += 8 + static_cast<off_t>(size) + (size & 1);
    }
    return false;
}

}  // namespace

HRESULT TSoundFile::Open(const std::string& path, std::unique_ptr<TSoundFile>& file) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? DSHOW_E_FILENOTFOUND : DSHOW_E_FILEUNREADABLE;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return DSHOW_E_FILEUNREADABLE;
    }
    if (WavDataCutShort(fd)) {
        close(fd);
        return DSHOW_E_TRUNCATED;
    }
    const bool wavHeader = LooksLikeWav(fd);
    SF_INFO info{};
    SNDFILE* handle = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (handle == nullptr) {
        close(fd);
        return wavHeader ? DSHOW_E_TRUNCATED : DSHOW_E_NOTSOUND;
    }
    if (info.channels <= 0 || info.samplerate <= 0 || info.frames < 0) {
        sf_close(handle);
        close(fd);
        return DSHOW_E_NOTSOUND;
    }
    file.reset(new TSoundFile(fd, handle, info));
    return S_OK;
}

TSoundFile::TSoundFile(int fd, SNDFILE* handle, const SF_INFO& info) : FDescriptor(fd), FHandle(handle), FFrames(info.frames) {
    WORD bits = 16;
    switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_S8: FKind = TSampleKind::Unsigned8; bits = 8; break;
        case SF_FORMAT_PCM_16: FKind = TSampleKind::Signed16; bits = 16; break;
        case SF_FORMAT_PCM_24: FKind = TSampleKind::Signed24; bits = 24; break;
        case SF_FORMAT_PCM_32: FKind = TSampleKind::Signed32; bits = 32; break;
        case SF_FORMAT_FLOAT: FKind = TSampleKind::Float32; bits = 32; break;
        case SF_FORMAT_DOUBLE: FKind = TSampleKind::Float64; bits = 64; break;
        default: FKind = TSampleKind::Signed16; bits = 16; break;
    }
    const bool isFloat = FKind == TSampleKind::Float32 || FKind == TSampleKind::Float64;
    FFormat.wFormatTag = isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    FFormat.nChannels = static_cast<WORD>(info.channels);
    FFormat.nSamplesPerSec = static_cast<DWORD>(info.samplerate);
    FFormat.wBitsPerSample = bits;
    FFormat.nBlockAlign = static_cast<WORD>(info.channels * bits / 8);
    FFormat.nAvgBytesPerSec = FFormat.nSamplesPerSec * FFormat.nBlockAlign;
    FFormat.cbSize = 0;
}

TSoundFile::~TSoundFile() {
    sf_close(FHandle);
    close(FDescriptor);
}

template <class T>
T* TSoundFile::Scratch(size_t samples) {
    if (FScratch.size() < samples * sizeof(T)) FScratch.resize(samples * sizeof(T));
    return reinterpret_cast<T*>(FScratch.data());
}

sf_count_t TSoundFile::Read(BYTE* dest, sf_count_t frames) {
    if (frames <= 0) return 0;
    const size_t channels = FFormat.nChannels;
    sf_count_t got = 0;
    switch (FKind) {
        case TSampleKind::Unsigned8: {
            short* samples = Scratch<short>(static_cast<size_t>(frames) * channels);
            got = sf_readf_short(FHandle, samples, frames);
            for (size_t i = 0; i < static_cast<size_t>(got) * channels; ++i)
                dest[i] = static_cast<BYTE>((samples[i] >> 8) + 128);
            break;
        }
        case TSampleKind::Signed16: {
            short* samples = Scratch<short>(static_cast<size_t>(frames) * channels);
            got = sf_readf_short(FHandle, samples, frames);
            std::memcpy(dest, samples, static_cast<size_t>(got) * channels * sizeof(short));
            break;
        }
        case TSampleKind::Signed24: {
            // libsndfile hands 24-bit samples over in the top three bytes of an int.
            int* samples = Scratch<int>(static_cast<size_t>(frames) * channels);
            got = sf_readf_int(FHandle, samples, frames);
            for (size_t i = 0; i < static_cast<size_t>(got) * channels; ++i) {
                const auto value = static_cast<std::uint32_t>(samples[i]);
                dest[3 * i] = static_cast<BYTE>(value >> 8);
                dest[3 * i + 1] = static_cast<BYTE>(value >> 16);
                dest[3 * i + 2] = static_cast<BYTE>(value >> 24);
            }
            break;
        }
        case TSampleKind::Signed32: {
            int* samples = Scratch<int>(static_cast<size_t>(frames) * channels);
            got = sf_readf_int(FHandle, samples, frames);
            std::memcpy(dest, samples, static_cast<size_t>(got) * channels * sizeof(int));
            break;
        }
        case TSampleKind::Float32: {
            float* samples = Scratch<float>(static_cast<size_t>(frames) * channels);
            got = sf_readf_float(FHandle, samples, frames);
            std::memcpy(dest, samples, static_cast<size_t>(got) * channels * sizeof(float));
            break;
        }
        case TSampleKind::Float64: {
            double* samples = Scratch<double>(static_cast<size_t>(frames) * channels);
            got = sf_readf_double(FHandle, samples, frames);
            std::memcpy(dest, samples, static_cast<size_t>(got) * channels * sizeof(double));
            break;
        }
    }
    if (got < 0 || (got == 0 && sf_error(FHandle) != SF_ERR_NO_ERROR)) return -1;
    FPosition += got;
    return got;
}

bool TSoundFile::Seek(sf_count_t frame) {
    if (frame > FFrames) frame = FFrames;
    if (frame < 0) frame = 0;
    if (sf_seek(FHandle, frame, SEEK_SET) < 0) return false;
    FPosition = frame;
    return true;
}

STREAM_TIME TSoundFile::TimeOfFrame(sf_count_t frame) const {
    return frame * UnitsPerSecond / FFormat.nSamplesPerSec;
}

// To the nearest frame, so that the end time of a piece leads back to the frame after it.
sf_count_t TSoundFile::FrameOfTime(STREAM_TIME time) const {
    if (time <= 0) return 0;
    if (time >= TimeOfFrame(FFrames)) return FFrames;
    return (time * FFormat.nSamplesPerSec + UnitsPerSecond / 2) / UnitsPerSecond;
}
