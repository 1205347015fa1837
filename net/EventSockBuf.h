#pragma once
// TBuffer: one block of a socket's outgoing byte queue. Bytes are appended at the end and
// sent from the front; once the last pending byte is gone the whole block is free again.

#include <memory>

#include "Classes.h"

class TBuffer : public TObject {
public:
    // A Size of 0 or less gives a block of 1514 bytes.
    explicit TBuffer(int Size);
    // A block of Size bytes at Offset in a run of blocks that share one allocation, so that
    // neighbouring blocks lie end to end; the run lives as long as any of its blocks.
    TBuffer(std::shared_ptr<char[]> Run, int Offset, int Size);
    ~TBuffer() override;
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    // Keeps the written bytes (the sent ones too, so both counts stay valid). A size below
    // the written count would cut pending bytes: such a call is refused and the block kept.
    // Allocation failure raises EOutOfMemory with the block unchanged.
    void SetSize(int Size);
    // Copies as much of Data as fits behind the written bytes; returns that count.
    int Append(const void* Data, int Len);
    // The first pending byte and the pending count; null and 0 when nothing is pending.
    void* FirstUnsent(int& Len);
    // Removes up to Len pending bytes from the front; returns the count removed.
    int MarkSent(int Len);

    int BlockSize() const { return FBlockSize; }
    int Written() const { return FWritten; }
    int Sent() const { return FSent; }
    // The first byte behind the block: a block that starts there follows it in memory.
    const char* End() const { return FBlock + FBlockSize; }
    const char* Start() const { return FBlock; }

private:
    char* FBlock = nullptr;
    std::shared_ptr<char[]> FRun;  // set for a block of a run; its memory is the run's
    int FBlockSize = 0;
    int FWritten = 0;
    int FSent = 0;
};
