// Line mode (assembly, echo, editing, the limit, the refire after a mode change) and the waits
// that pump messages until a flag is set.

#include "LineEventSocket.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

namespace {

std::atomic<TEventSocketTerminateQuery> terminateQuery{nullptr};

constexpr int EditBlock = 256;
constexpr int RefirePassesWithoutLine = 4;
constexpr int WaitFailed = 12001;

// Where Count bytes end at the first match of End in Data from Start on; -1 without one.
int FindLineEnd(const char* Data, int Start, int Count, const std::string& End) {
    const int length = static_cast<int>(End.size());
    for (int p = Start; p < Count - length + 1; ++p)
        if (std::memcmp(Data + p, End.data(), End.size()) == 0) return p;
    return -1;
}

}  // namespace

void SetEventSocketTerminateQuery(TEventSocketTerminateQuery Query) { terminateQuery.store(Query); }

TCustomLineEventSocket::~TCustomLineEventSocket() = default;

// ---- the buffer of held bytes ------------------------------------------------------------------

bool TCustomLineEventSocket::ReserveLineBuf(long long Needed) {
    if (Needed > INT_MAX) return false;
    if (FLineBufSize >= Needed) return true;
    std::unique_ptr<char[]> grown(new char[static_cast<std::size_t>(Needed)]);
    if (FLineBuf) std::memcpy(grown.get(), FLineBuf.get(), static_cast<std::size_t>(FLineBufSize));
    FLineBuf = std::move(grown);
    FLineBufSize = static_cast<int>(Needed);
    return true;
}

void TCustomLineEventSocket::ReleaseLineBuf() {
    FLineBuf.reset();
    FLineBufSize = 0;
    FLineHeld = 0;
    FLineDeliverLen = 0;
    // A delivery that a handler ended with the session (a Disconnect, a Dup) never reached its
    // end: its place of the bytes behind the line must not outlive the buffer, and a close kept
    // back for the session must not reach the next one.
    FLineBehind = 0;
    FLineCloseDue = INVALID_SOCKET;
    ++FLineGeneration;
}

void TCustomLineEventSocket::TakeFrom(int At, void* Buffer, int Count, int Remaining, int Flags) {
    std::memcpy(Buffer, FLineBuf.get() + At, static_cast<std::size_t>(Count));
    if ((Flags & MSG_PEEK) != 0) return;  // a look only
    std::memmove(FLineBuf.get() + At, FLineBuf.get() + At + Count, static_cast<std::size_t>(Remaining));
}

void TCustomLineEventSocket::EndDelivery() {
    if (FLineBehind <= 0) return;  // ended already, by a switch of the mode
    const int following = FLineHeld - FLineBehind;
    std::memmove(FLineBuf.get() + FLineDeliverLen, FLineBuf.get() + FLineBehind, static_cast<std::size_t>(following));
    FLineHeld = FLineDeliverLen + following;
    FLineDeliverLen = 0;
    FLineBehind = 0;
    Terminate();
}

template <class TStep>
void TCustomLineEventSocket::TakeOver(TStep Step) {
    EndDelivery();
    FLineRescan = true;
    ++FLineGeneration;
    struct TRestore {
        TCustomLineEventSocket& Socket;
        int Depth;
        ~TRestore() {
            Socket.FLineDepth = Depth;
            Socket.FLineInHandler = true;
        }
    } restore{*this, FLineDepth};
    FLineDepth = 0;
    FLineInHandler = false;
    Step();
}

// ---- receiving ---------------------------------------------------------------------------------

int TCustomLineEventSocket::QueryRcvdCount() {
    if (Assembling()) return FLineDeliverLen;
    if (FLineHeld > 0) return FLineHeld;
    return TCustomSocksEventSocket::QueryRcvdCount();
}

int TCustomLineEventSocket::RecvData(void* Buffer, int BufferSize, int Flags) {
    const bool take = (Flags & MSG_PEEK) == 0;
    if (Assembling() && FLineDeliverLen > 0) {
        const int count = std::clamp(BufferSize, 0, FLineDeliverLen);
        TakeFrom(0, Buffer, count, FLineDeliverLen - count, Flags);
        if (take) FLineDeliverLen -= count;
        if (take && LineTaken()) FollowKeptBack();
        return count;
    }
    if (Assembling() && LineTaken() && FLineHeld > FLineBehind) {
        // The line is taken and the handler reads on: the stream goes on with what is held
        // behind the line (from the start once a TakeOver has ended the delivery), not with
        // what the socket has, which came later.
        const int count = std::clamp(BufferSize, 0, FLineHeld - FLineBehind);
        TakeFrom(FLineBehind, Buffer, count, FLineHeld - FLineBehind - count + 1, Flags);
        if (take) FLineHeld -= count;
        return count;
    }
    if (!Assembling() && FLineHeld > 0) {
        const int count = std::clamp(BufferSize, 0, FLineHeld);
        TakeFrom(0, Buffer, count, FLineHeld - count + 1, Flags);  // with the zero byte behind
        if (take) FLineHeld -= count;
        return count;
    }
    return TCustomSocksEventSocket::RecvData(Buffer, BufferSize, Flags);
}

bool TCustomLineEventSocket::DeliverHeldPlain(const TLineTicket& T) {
    while (!Assembling() && FLineHeld > 0) {
        const int before = FLineHeld;
        const bool handled = TCustomSocksEventSocket::FireDataAvailable(0);
        if (Changed(T)) return false;
        if (!handled) {
            // Nobody takes them: they would be offered for ever.
            FLineHeld = 0;
            Terminate();
        } else if (FLineHeld == before) {
            ReadLater();  // offered again from the message loop
            break;
        }
    }
    return true;
}

bool TCustomLineEventSocket::FireDataAvailable(WORD ErrCode) {
    if (!Assembling() || SocksNegotiating()) {
        if (FLineHeld > 0 && !SocksNegotiating()) {
            // Held bytes of an earlier line mode come first, then what the socket has.
            const TLineTicket ticket = Ticket();
            if (!DeliverHeldPlain(ticket) || FLineHeld > 0) return true;
            if (TCustomSocksEventSocket::QueryRcvdCount() <= 0 || Changed(ticket)) return true;
        }
        return TCustomSocksEventSocket::FireDataAvailable(ErrCode);
    }
    if (FLineDepth > 0 && LineTaken()) {
        TakeOver([&] { TCustomLineEventSocket::FireDataAvailable(ErrCode); });
        return true;
    }
    if (FLineDepth > 0) {
        // A modal loop inside a handler that has not taken its line (a box it opened first):
        // the outer assembly owns the buffer. The bytes stay on the socket and a read event of
        // our own brings them once the line is taken or the assembly has returned.
        FLineMissed = true;
        return true;
    }
    struct TDepth {
        TCustomLineEventSocket& Socket;
        explicit TDepth(TCustomLineEventSocket& S) : Socket(S) { ++Socket.FLineDepth; }
        ~TDepth() {
            if (--Socket.FLineDepth == 0) Socket.FollowKeptBack();
        }
    } depth(*this);
    return AssembleLines();
}

bool TCustomLineEventSocket::AssembleLines() {
    const TLineTicket ticket = Ticket();
    long long wanted = TCustomSocksEventSocket::QueryRcvdCount();
    if (Changed(ticket) || wanted < 0) return true;
    if (wanted == 0) wanted = 255;
    wanted = std::min<long long>(wanted, INT_MAX - 1LL - FLineHeld);
    if (wanted <= 0 || !ReserveLineBuf(FLineHeld + wanted + 1)) return true;
    int got = ReceiveBytes(FLineBuf.get() + FLineHeld, static_cast<int>(wanted));
    if (Changed(ticket)) return true;
    if (got < 1) {
        if (FLineHeld < 1) return true;
        got = 0;
    }
    if (got > 0) {
        if (LineEdit)
            EditLine(got);
        else if (LineEcho)
            Send(FLineBuf.get() + FLineHeld, got);
        if (Changed(ticket)) return true;
    }
    int start = FLineRescan ? 0 : std::max(0, FLineHeld - static_cast<int>(LineEnd.size()));
    FLineRescan = false;
    FLineHeld += got;
    Terminate();

    while (Assembling()) {
        // The length matched is the one removed, whatever a handler does to LineEnd meanwhile.
        const std::string end = LineEnd;
        const int p = FindLineEnd(FLineBuf.get(), start, FLineHeld, end);
        if (p < 0) break;
        FLineBehind = p + static_cast<int>(end.size());
        FLineDeliverLen = FLineBehind;
        FLineSeen = true;
        bool stalled = false;
        try {
            while (Assembling() && FLineDeliverLen > 0) {
                const int before = FLineDeliverLen;
                FLineInHandler = true;
                const bool handled = TCustomSocksEventSocket::FireDataAvailable(0);
                FLineInHandler = false;
                if (Changed(ticket)) return true;
                if (!handled) {
                    FLineDeliverLen = 0;  // nobody takes lines: dropped
                } else if (FLineDeliverLen == before) {
                    stalled = true;
                    break;
                }
            }
        } catch (...) {
            FLineInHandler = false;
            // The untaken rest stays held, line end included, and is offered again from the
            // message loop.
            if (!Changed(ticket)) {
                EndDelivery();
                FLineRescan = true;
                ReadLater();
            }
            throw;
        }
        EndDelivery();
        start = 0;
        if (stalled || ReceiveSliceUsed()) {
            // A handler that takes nothing gets the line again from the message loop, and so do
            // the lines behind one that used up the receive loop's slice.
            FLineRescan = true;
            ReadLater();
            return true;
        }
        if (!DeliverHeldPlain(ticket)) return true;
    }

    if (LineLimit > 0 && FLineHeld > LineLimit) {
        // The flag tells the close that the limit event runs; however the event ends (a
        // handler that closes, one that throws), it runs no more.
        struct TLimitEvent {
            bool& Running;
            ~TLimitEvent() { Running = false; }
        } limitEvent{FLineDropFlag};
        FLineDropFlag = true;
        FireLineLimitExceeded(FLineHeld, FLineDropFlag);
        if (Changed(ticket)) return true;
        if (FLineDropFlag) {
            FLineDeliverLen = 0;
            FLineHeld = 0;
            Terminate();
        }
    }
    return true;
}

void TCustomLineEventSocket::EditLine(int& Count) {
    const TLineTicket ticket = Ticket();
    int w = FLineHeld;
    int low = FLineHeld;
    std::unique_ptr<char[]> work;
    int workSize = 0;
    const auto room = [&](int needed) {
        if (!work) {
            workSize = ((FLineHeld + Count + EditBlock) / EditBlock) * EditBlock;
            work.reset(new char[static_cast<std::size_t>(workSize)]);
            std::memcpy(work.get(), FLineBuf.get(), static_cast<std::size_t>(w));  // w is still r here
        }
        while (needed > workSize) {
            std::unique_ptr<char[]> grown(new char[static_cast<std::size_t>(workSize + EditBlock)]);
            std::memcpy(grown.get(), work.get(), static_cast<std::size_t>(workSize));
            work = std::move(grown);
            workSize += EditBlock;
        }
    };
    // After an echo the session may be gone, and with it the bytes being edited.
    const auto echo = [&](const void* data, int len) {
        Send(data, len);
        return !Changed(ticket);
    };
    for (int r = FLineHeld; r < FLineHeld + Count; ++r) {
        const char c = FLineBuf[r];
        if (c == '\b') {
            if (LineEcho && w > 0 && !echo("\b \b", 3)) return;
            room(w);
            if (w > 0) low = std::min(low, --w);
        } else if (c == '\t') {
            room(w + 1);
            do {
                room(w + 1);
                work[w++] = ' ';
                if (LineEcho && !echo(" ", 1)) return;
            } while (w % 8 != 0);
        } else {
            if (LineEcho && !echo(&c, 1)) return;
            if (work) {
                room(w + 1);
                work[w] = c;
            }
            ++w;
        }
    }
    if (!work) return;
    if (FLineBufSize <= w && !ReserveLineBuf(w + 1LL)) return;
    std::memcpy(FLineBuf.get(), work.get(), static_cast<std::size_t>(w));
    FLineBuf[w] = 0;
    FLineHeld = low;
    Count = w - low;
}

void TCustomLineEventSocket::FireLineLimitExceeded(int RcvdLength, bool& ClearData) {
    Fire(OnLineLimitExceeded, RcvdLength, ClearData);
}

// ---- mode, refire, close -----------------------------------------------------------------------

void TCustomLineEventSocket::ChangeLineMode(bool Value) {
    if (Value == FLineMode) return;
    FLineMode = Value;
    FLineRescan = true;
    // Switched off inside a delivery: the rest of the line and the bytes behind it are plain
    // data from now on, so they must lie end to end before the handler reads on.
    if (!Assembling() && FLineDeliverLen > 0) EndDelivery();
    // Delivered from the message loop in the new mode, not inside the setter.
    if (FLineHeld > 0 || FLineDeliverLen > 0) PostLater(WM_LINE_REFIRE, 0, 0);
}

void TCustomLineEventSocket::AfterDup() {
    // Bytes held from the connection that the adopted one replaces are not its own.
    ReleaseLineBuf();
    TCustomSocksEventSocket::AfterDup();
}

void TCustomLineEventSocket::HandleCloseEvent(TSocketMessage& Message) {
    if (FLineDepth > 0 && FHSocket != INVALID_SOCKET && LineTaken()) {
        // A line's handler that has taken its line waits (for the end of its session, say):
        // the lines behind its line, the rest and the end come inside that wait, in order.
        TakeOver([&] { TCustomSocksEventSocket::HandleCloseEvent(Message); });
        return;
    }
    if (FLineDepth > 0 && FHSocket != INVALID_SOCKET) {
        // A modal loop in any other part of the assembly: the lines held are the outer
        // assembly's to deliver, and the end of the session comes after them.
        FLineCloseDue = FHSocket;
        FLineCloseError = WSAGETSELECTERROR(Message.LParam);
        return;
    }
    TCustomSocksEventSocket::HandleCloseEvent(Message);
}

void TCustomLineEventSocket::FollowKeptBack() {
    if (FLineMissed) {
        FLineMissed = false;
        ReadLater();
    }
    const SOCKET handle = FLineCloseDue;
    FLineCloseDue = INVALID_SOCKET;
    // From the message loop, behind any read event of ours for the lines still held; not when
    // a handler has ended or replaced the session meanwhile.
    if (handle != INVALID_SOCKET && handle == FHSocket) PostOwnEvent(FD_CLOSE, 1, FLineCloseError);
}

void TCustomLineEventSocket::HandleMessage(TSocketMessage& Message) {
    if (Message.Msg != WM_LINE_REFIRE) {
        TCustomSocksEventSocket::HandleMessage(Message);
        return;
    }
    try {
        HandleLineRefire();
    } catch (Exception& E) {
        HandleEventException(E);
    }
}

void TCustomLineEventSocket::HandleLineRefire() {
    const TLineTicket ticket = Ticket();
    for (int pass = 1; FLineHeld > 0; ++pass) {
        const int before = FLineHeld;
        FLineSeen = false;
        FireDataAvailable(0);
        if (Changed(ticket) || FLineHeld <= 0) return;
        if (FLineMode ? pass >= RefirePassesWithoutLine && !FLineSeen : FLineHeld == before) return;
    }
}

void TCustomLineEventSocket::FireSessionClosed(WORD ErrCode) {
    if (FLineBuf) {
        // Not inside a delivery (a close from a handler) nor the limit event: there the held
        // bytes are on their way or on their way out already.
        if (FLineDepth == 0 && !FLineDropFlag && FLineHeld > 0) {
            const TLineTicket ticket = Ticket();
            // The rest goes as one last line, or as plain data while lines are not cut; a
            // handler may switch between the two.
            while (FLineHeld > 0) {
                const int before = FLineHeld;
                if (Assembling()) {
                    FLineDeliverLen = FLineHeld;
                    FLineBehind = FLineHeld;
                    while (Assembling() && FLineDeliverLen > 0) {
                        const int rest = FLineDeliverLen;
                        if (!TCustomSocksEventSocket::FireDataAvailable(0) || Changed(ticket) || FLineDeliverLen == rest)
                            break;
                    }
                    if (Changed(ticket)) break;
                    EndDelivery();
                } else if (!DeliverHeldPlain(ticket)) {
                    break;
                }
                if (FLineHeld >= before) break;
            }
        }
    }
    ReleaseLineBuf();
    TCustomSocksEventSocket::FireSessionClosed(ErrCode);
}

int TCustomLineEventSocket::SendTextLine(const std::string& S) {
    const int n = static_cast<int>(S.size());
    if (n == 0) return 0;
    QueueData(S.data(), n);
    // Send also starts the queue when LineEnd is empty.
    Send(LineEnd.data(), static_cast<int>(LineEnd.size()));
    return n + static_cast<int>(LineEnd.size());
}

// ---- waits -------------------------------------------------------------------------------------

DWORD TCustomSyncEventSocket::WaitClock() const { return GetTickCount(); }

int TCustomSyncEventSocket::WaitUntilSet(bool& Flag) {
    const DWORD started = WaitClock();
    for (;;) {
        if (Flag) return 0;
        // Elapsed ticks, unsigned: the clock may wrap during a wait.
        if (FWaitTimeout > 0 && WaitClock() - started > static_cast<DWORD>(FWaitTimeout)) return WaitFailed;
        const TEventSocketTerminateQuery query = terminateQuery.load();
        if (query && query()) return WaitFailed;
        if (Terminated()) return WaitFailed;
        PumpMessages();
        Sleep(0);
    }
}

int TCustomSyncEventSocket::CallAndWait(bool& Flag, const std::function<void()>& Proc) {
    Flag = false;
    if (Proc) {
        TSocketHold hold(*this);
        Proc();
    }
    return WaitUntilSet(Flag);
}
