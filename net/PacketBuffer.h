#pragma once
// The packet buffer: cuts the byte stream of a simulator connection into length-prefixed
// packets. The owner receives straight into the block at WritePointer, then tells the buffer
// with Commit how many bytes arrived; every whole packet is then offered to OnReceived, whose
// handler takes it with GetPacket or ReadPacket.
//
// One implementation serves the component TCiaBuffer and the client's plain TTravoBuffer; TBase
// is the class each of them derives from.

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "Classes.h"
#include "StoredHandler.h"
#include "SysUtils.h"

// Reverses the 4 bytes of a 32-bit value.
inline DWORD SwapBytes32(DWORD value) {
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
}

// No packet of the simulator protocol has a longer payload. A prefix above it (a set top bit
// included) means the stream is out of step, and waiting for such a packet would only grow the
// block.
inline constexpr int MaxPacketSize = 1 << 20;

template <class TBase>
class TPacketBuffer : public TBase {
public:
    template <class... TArgs>
    explicit TPacketBuffer(TArgs&&... args) : TBase(std::forward<TArgs>(args)...) {}
    ~TPacketBuffer() override { std::free(FData); }

    // Fired once per whole packet, with the buffer as Sender.
    TNotifyEvent OnReceived;
    // The length prefixes come most significant byte first.
    bool SwapLen = false;

    int InitialSize() const { return FInitialSize; }
    // The payload length of the packet being delivered; kept after its handler.
    int RcvdLen() const { return FRcvdLen; }
    int Capacity() const { return FCapacity; }
    int FreeSpace() const { return FCapacity - FWritePos; }
    char* WritePointer() { return FData + FWritePos; }
    // The last Commit met a length prefix that no packet can have: the buffer dropped all it
    // held, and the owner ends the connection, whose stream can no longer be cut.
    bool OutOfStep() const { return FOutOfStep; }

    // Enlarges the block by N bytes, contents kept.
    void Grow(int N) {
        if (N <= 0) return;
        if (N > INT_MAX - FCapacity) throw EOutOfMemory();
        Reallocate(FCapacity + N);
    }

    // The owner stored N bytes at WritePointer; N below 1 (nothing received, the peer closed, an
    // error) changes nothing. Every whole packet is delivered before Commit returns.
    void Commit(int N) {
        FOutOfStep = false;
        if (N <= 0) return;
        FWritePos += N < FreeSpace() ? N : FreeSpace();
        Process();
        Compact();
    }

    // Offers the whole packets present to OnReceived. A handler that returns without taking
    // its packet stops the delivery; the packet is offered again at the next Commit.
    void Process() {
        if (FPacketSize == 0) ReadLength();
        while (FPacketSize > 0 && Unread() >= FPacketSize && OnReceived) {
            FRcvdLen = FPacketSize;
            const unsigned taken = FTaken;
            // A handler that rebinds or unbinds the event (a window that closes) keeps its closure.
            CallStoredHandler(OnReceived, this);
            if (FTaken == taken) break;
        }
    }

    // Copies the current packet's payload to Dest, which has room for RcvdLen bytes, and
    // consumes it. With no whole packet pending it copies nothing.
    void ReadPacket(void* Dest) {
        if (!PacketPending()) return;
        std::memcpy(Dest, FData + FReadPos, static_cast<std::size_t>(FPacketSize));
        Advance();
    }

    // The current packet's payload, consumed; empty with no whole packet pending.
    std::string GetPacket() {
        if (!PacketPending()) return std::string();
        std::string packet(FData + FReadPos, static_cast<std::size_t>(FPacketSize));
        Advance();
        return packet;
    }

protected:
    // The writer of InitialSize; enlarge is false where the block must stay as it is.
    void ChangeInitialSize(int Value, bool enlarge) {
        if (Value == FInitialSize) return;
        FInitialSize = Value;
        if (enlarge && Value > FCapacity) Reallocate(Value);
    }

private:
    int Unread() const { return FWritePos - FReadPos; }
    bool PacketPending() const { return FPacketSize > 0 && Unread() >= FPacketSize; }

    void Reallocate(int size) {
        void* block = std::realloc(FData, static_cast<std::size_t>(size));
        if (!block) throw EOutOfMemory();
        FData = static_cast<char*>(block);
        FCapacity = size;
    }

    // Reads the next prefix once its 4 bytes are there. An empty packet is consumed at once.
    void ReadLength() {
        while (FPacketSize == 0 && Unread() >= 4) {
            DWORD length;
            std::memcpy(&length, FData + FReadPos, sizeof length);
            length = LittleEndian(length);
            if (SwapLen) length = SwapBytes32(length);
            if (length > static_cast<DWORD>(MaxPacketSize)) {
                DropAll();
                return;
            }
            FReadPos += 4;
            FPacketSize = static_cast<int>(length);
            if (FPacketSize == 0 && Unread() == 0) FReadPos = FWritePos = 0;
        }
    }

    void Advance() {
        ++FTaken;
        FReadPos += FPacketSize;
        FPacketSize = 0;
        if (FReadPos == FWritePos) {
            FReadPos = FWritePos = 0;
        } else {
            ReadLength();
        }
    }

    void DropAll() {
        FOutOfStep = true;
        FPacketSize = 0;
        FReadPos = FWritePos = 0;
    }

    // Only an empty buffer would otherwise return to the block's start; a stream that never
    // pauses at a packet end would then grow the block with every receive. Moving the unread
    // tail once the consumed part is half the block keeps the block bounded by the largest
    // packet, at a cost of at most one move per byte.
    void Compact() {
        if (FReadPos == 0 || FReadPos < FCapacity / 2) return;
        std::memmove(FData, FData + FReadPos, static_cast<std::size_t>(Unread()));
        FWritePos -= FReadPos;
        FReadPos = 0;
    }

    static DWORD LittleEndian(DWORD stored) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&stored);
        return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
               (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
    }

    int FPacketSize = 0;  // payload length from the current prefix; 0: no prefix read yet
    int FRcvdLen = 0;
    int FReadPos = 0;     // first byte not yet consumed
    int FWritePos = 0;    // first free byte
    char* FData = nullptr;
    int FCapacity = 0;
    int FInitialSize = 0;
    bool FOutOfStep = false;
    unsigned FTaken = 0;  // packets consumed so far; tells whether a handler took its packet
};
