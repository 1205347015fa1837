// Any bytes as a sound file through the sound file reader: opened, read to its end, read again
// from the middle and within a play range, closed. A file that cannot be decoded must fail its
// opening or its reading with EAudioReadError, and nothing else.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "AudioFileRead.h"

namespace fs = std::filesystem;

namespace {

fs::path FilePath;

void Fail(const char* what, long long value) {
    std::fprintf(stderr, "%s: %lld\n", what, value);
    std::abort();
}

void Finish() {
    FinalizeCom();
    std::error_code ignored;
    fs::remove(FilePath, ignored);
}

// What the channel does: pieces into one block until Read gives 0. Every count lies within the
// block, and a play range is never read beyond.
void ReadToEnd(TAudioFileReader& reader, std::vector<BYTE>& block) {
    for (;;) {
        const std::int32_t n = reader.Read(block.data(), static_cast<std::uint32_t>(block.size()));
        if (n < 0 || static_cast<std::size_t>(n) > block.size()) Fail("Read gave a count outside its block", n);
        if (reader.Length() != 0 && reader.CurrentPos() > reader.StartPos() + reader.Length())
            Fail("Read went beyond the play range to", reader.CurrentPos());
        if (n == 0) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InitializeCom();
    std::random_device random;
    FilePath = fs::temp_directory_path() / ("audiofile-fuzz-" + std::to_string(random()) + ".wav");
    std::atexit(Finish);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    {
        std::ofstream file(FilePath, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
        // A file short of its input would be judged as some other input.
        if (!file.flush()) Fail("cannot write the input file of bytes", static_cast<long long>(Size));
    }
    try {
        TAudioFileReader reader(FilePath.string());
        std::vector<BYTE> block(65536);
        ReadToEnd(reader, block);
        const std::int64_t duration = reader.Duration();
        if (duration < 0) Fail("negative duration", duration);
        reader.Seek(duration / 2);
        ReadToEnd(reader, block);
        // Odd sizes, as a channel's remaining room can be.
        std::vector<BYTE> small(1 + Size % 997);
        reader.SetStartPos(duration / 4);
        reader.SetLength(duration / 3);
        reader.Seek(reader.StartPos());
        ReadToEnd(reader, small);
    } catch (const EAudioReadError&) {
        // The reader's own report of an unreadable file.
    }
    return 0;
}
