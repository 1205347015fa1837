#include "EventSockBuf.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "SysUtils.h"

namespace {

constexpr int DefaultBlockSize = 1514;

}  // namespace

TBuffer::TBuffer(int Size) { SetSize(Size); }

TBuffer::TBuffer(std::shared_ptr<char[]> Run, int Offset, int Size)
    : FBlock(Run.get() + Offset), FRun(std::move(Run)), FBlockSize(Size) {}

TBuffer::~TBuffer() {
    if (!FRun) std::free(FBlock);
}

void TBuffer::SetSize(int Size) {
    if (Size <= 0) Size = DefaultBlockSize;
    if (Size == FBlockSize) return;
    if (Size < FWritten) return;
    char* block = static_cast<char*>(std::malloc(static_cast<std::size_t>(Size)));
    if (!block) throw EOutOfMemory();
    if (FWritten > FSent) std::memcpy(block, FBlock, static_cast<std::size_t>(FWritten));
    if (!FRun) std::free(FBlock);
    FRun.reset();  // a resized block leaves its run
    FBlock = block;
    FBlockSize = Size;
}

int TBuffer::Append(const void* Data, int Len) {
    const int count = std::min(std::max(Len, 0), FBlockSize - FWritten);
    if (count <= 0) return 0;
    std::memcpy(FBlock + FWritten, Data, static_cast<std::size_t>(count));
    FWritten += count;
    return count;
}

void* TBuffer::FirstUnsent(int& Len) {
    Len = FWritten - FSent;
    return Len > 0 ? FBlock + FSent : nullptr;
}

int TBuffer::MarkSent(int Len) {
    const int count = std::min(std::max(Len, 0), FWritten - FSent);
    if (count <= 0) return 0;
    FSent += count;
    if (FSent == FWritten) FSent = FWritten = 0;
    return count;
}
