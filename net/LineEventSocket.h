#pragma once
// TCustomLineEventSocket cuts the received bytes into lines while line mode is on, with echo,
// simple editing and a limit; TCustomSyncEventSocket waits for a flag while pumping messages.
// With line mode off, which is how the programs use them, both behave as the plain socket.

#include <functional>
#include <memory>
#include <string>

#include "SocksEventSocket.h"

using TLineLimitEvent = std::function<void(TObject* Sender, int RcvdLength, bool& ClearData)>;

// Held bytes are offered again from the message loop after LineMode changed.
inline constexpr UINT WM_LINE_REFIRE = WM_USER + 20;

class TCustomLineEventSocket : public TCustomSocksEventSocket {
public:
    ~TCustomLineEventSocket() override;

    bool LineMode() const { return FLineMode; }
    void SetLineMode(bool Value) { ChangeLineMode(Value); }
    int LineHeld() const { return FLineHeld; }

    int LineLimit = 65536;  // bytes of one line; 0 or less: no limit
    std::string LineEnd = "\r\n";
    bool LineEcho = false;
    bool LineEdit = false;
    TLineLimitEvent OnLineLimitExceeded;

    void HandleMessage(TSocketMessage& Message) override;
    int RecvData(void* Buffer, int BufferSize, int Flags) override;
    // S, then LineEnd; the count of both, whatever the send did. An empty S sends nothing.
    virtual int SendTextLine(const std::string& S);

protected:
    explicit TCustomLineEventSocket(TComponent* AOwner) : TCustomSocksEventSocket(AOwner) {}

    int QueryRcvdCount() override;
    bool FireDataAvailable(WORD ErrCode) override;
    void FireSessionClosed(WORD ErrCode) override;
    virtual void FireLineLimitExceeded(int RcvdLength, bool& ClearData);
    virtual void ChangeLineMode(bool Value);
    virtual void EditLine(int& Count);
    void AfterDup() override;
    void HandleCloseEvent(TSocketMessage& Message) override;
    bool PeerEndKeptBack() const override { return FLineCloseDue != INVALID_SOCKET && FLineCloseDue == FHSocket; }

private:
    // Identifies the session and its buffer; a call out (handler, echo, limit event) after
    // which it differs has closed, reset or begun anew, and the line code must stop at once.
    struct TLineTicket {
        SOCKET Handle;
        unsigned Generation;
    };
    TLineTicket Ticket() const { return {FHSocket, FLineGeneration}; }
    bool Changed(const TLineTicket& T) const { return T.Handle != FHSocket || T.Generation != FLineGeneration; }
    // Lines are cut: line mode is on with a line end to look for.
    bool Assembling() const { return FLineMode && !LineEnd.empty(); }

    void HandleLineRefire();
    // One read of line mode: the new bytes held, echoed or edited, then every complete line
    // delivered and the limit applied. The error code of the read is not looked at.
    bool AssembleLines();
    // Room for Needed bytes, contents kept; false when the count cannot be represented.
    bool ReserveLineBuf(long long Needed);
    void ReleaseLineBuf();
    // The outermost assembly has returned, or a line's handler has taken its line: a read or a
    // close of the peer that came meanwhile follows now, from the message loop.
    void FollowKeptBack();
    // A line's handler runs and has taken all of its line: the bytes behind it are no longer the
    // assembly's to keep back.
    bool LineTaken() const { return FLineInHandler && FLineDeliverLen == 0; }
    // Handles an event that such a handler's modal loop serves as the message loop would: the
    // delivery ends, the held bytes are searched from their start, and the outer assembly,
    // whose ticket no longer holds, stops once the handler returns.
    template <class TStep>
    void TakeOver(TStep Step);
    // Ends the delivery of the current line: its untaken rest (FLineDeliverLen bytes, already at
    // the start) stays held and the bytes behind the line (from FLineBehind) follow it.
    void EndDelivery();
    void Terminate() {
        if (FLineBuf) FLineBuf[FLineHeld] = 0;
    }
    // Offers the held bytes as plain data while lines are not cut; false once the session or
    // buffer changed.
    bool DeliverHeldPlain(const TLineTicket& T);
    // Copies Count bytes from At on and, unless Flags ask for a peek, moves the Remaining bytes
    // behind them to At.
    void TakeFrom(int At, void* Buffer, int Count, int Remaining, int Flags);

    std::unique_ptr<char[]> FLineBuf;
    int FLineBufSize = 0;
    int FLineHeld = 0;
    bool FLineMode = false;
    int FLineDeliverLen = 0;
    int FLineBehind = 0;  // while a line is delivered: where the bytes behind it start
    bool FLineSeen = false;
    bool FLineDropFlag = false;
    unsigned FLineGeneration = 0;  // counts every release of FLineBuf and every TakeOver
    int FLineDepth = 0;            // nesting of line assembly (a modal loop inside a handler)
    bool FLineInHandler = false;   // what the innermost assembly calls is a line's handler
    bool FLineMissed = false;      // a nested read event left its bytes on the socket
    bool FLineRescan = false;      // the held bytes must be searched from their start
    SOCKET FLineCloseDue = INVALID_SOCKET;  // the peer closed this handle; kept back for the assembly
    WORD FLineCloseError = 0;

protected:
    int FWaitTimeout = 0;  // milliseconds; 0: no time-out
};

class TCustomSyncEventSocket : public TCustomLineEventSocket {
public:
    // 0 once Flag is set; 12001 on time-out, on the application's terminate request or after
    // the socket's pump saw WM_QUIT.
    virtual int CallAndWait(bool& Flag, const std::function<void()>& Proc);
    virtual int WaitUntilSet(bool& Flag);
    int WaitTimeout() const { return FWaitTimeout; }
    // Milliseconds; 0 or less: wait without a time-out.
    void SetWaitTimeout(int Milliseconds) { FWaitTimeout = Milliseconds > 0 ? Milliseconds : 0; }

protected:
    explicit TCustomSyncEventSocket(TComponent* AOwner) : TCustomLineEventSocket(AOwner) {}
    // The clock of the time-out, in milliseconds; it may wrap.
    virtual DWORD WaitClock() const;
};

// How WaitUntilSet learns of the application's terminate request; a program installs it at
// start. Without one only the time-out and the socket's quit flag end a wait.
using TEventSocketTerminateQuery = bool (*)();
void SetEventSocketTerminateQuery(TEventSocketTerminateQuery Query);
