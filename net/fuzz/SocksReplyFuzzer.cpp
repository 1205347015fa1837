// A proxy's reply, gathered a piece at a time as the SOCKS layer gathers it, judged after every
// piece. What must hold: a verdict never names more bytes than were gathered, a legal reply
// always fits the gather buffer (no reply waits once the buffer is full), a failure carries a
// negotiation code and its text, and the same bytes are always judged the same.
//
// Input: one byte choosing the phase and the level, one byte giving the size of the pieces
// (0: all at once), then the reply.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "SocksEventSocket.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 2) return 0;
    const TSocksPhase phase = static_cast<TSocksPhase>(Data[0] % 5);
    const bool socks4 = (Data[0] & 0x80) != 0;
    const int piece = Data[1];
    Data += 2;
    Size -= 2;
    // As the component: a SOCKS 4 connect reply is read 8 bytes at most, any other into the
    // whole buffer.
    const int capacity = phase == socksPhaseRequest && socks4 ? 8 : SocksReplyCapacity;
    unsigned char reply[SocksReplyCapacity];
    int gathered = 0;
    std::size_t at = 0;
    while (at < Size) {
        const int room = capacity - gathered;
        Check(room > 0);
        const int want = piece == 0 ? room : (piece < room ? piece : room);
        const int got = static_cast<int>(Size - at < static_cast<std::size_t>(want) ? Size - at : want);
        std::memcpy(reply + gathered, Data + at, static_cast<std::size_t>(got));
        gathered += got;
        at += static_cast<std::size_t>(got);
        const TSocksVerdict verdict = ParseSocksReply(phase, socks4, reply, gathered);
        if (verdict.Kind == TSocksVerdict::Wait) {
            Check(gathered < capacity);
            continue;
        }
        if (verdict.Kind == TSocksVerdict::Fail) Check(verdict.Code >= 20001 && verdict.Code <= 20016 && !verdict.Msg.empty());
        if (verdict.Kind == TSocksVerdict::Connected) {
            Check(verdict.Length >= 5 && verdict.Length <= gathered);
            Check(phase == socksPhaseRequest);
        }
        // A decided verdict stays what it is, whatever follows.
        const TSocksVerdict again = ParseSocksReply(phase, socks4, reply, gathered);
        Check(again.Kind == verdict.Kind && again.Code == verdict.Code && again.Length == verdict.Length);
        return 0;
    }
    return 0;
}
