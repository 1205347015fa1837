#include "ThreadedTimer.h"

#include <map>

#include "SysUtils.h"

namespace {

const bool registered = [] {
    RegisterComponentClass("TThreadedTimer", [](TComponent* AOwner) -> TComponent* { return new TThreadedTimer(AOwner); });
    return true;
}();

TThreadPriority PriorityValue(const TStreamValue& value) {
    static const std::map<std::string, TThreadPriority> names = {
        {"tpIdle", tpIdle},     {"tpLowest", tpLowest},   {"tpLower", tpLower},          {"tpNormal", tpNormal},
        {"tpHigher", tpHigher}, {"tpHighest", tpHighest}, {"tpTimeCritical", tpTimeCritical}};
    const auto found = names.find(value.AsIdentifier());
    if (found == names.end()) throw EReadError("Invalid property value: " + value.AsIdentifier());
    return found->second;
}

}  // namespace

// ---- TTimerThread -------------------------------------------------------------------------------

TTimerThread::TTimerThread(TThreadedTimer* AOwner) : TThread(true), FOwner(AOwner) {}

void TTimerThread::Execute() {
    // Terminated is also where a paused worker waits: between two waits, holding nothing.
    while (!Terminated()) {
        // Read before the wait: an enabling counts its generation up before it signals, so a
        // wait that began in an earlier enabling either ends by that signal or ticks with the
        // old generation, which the main thread drops.
        const unsigned generation = FOwner->Generation();
        if (WaitForSingleObject(FStopEvent, FInterval.load()) == WAIT_TIMEOUT)
            Synchronize([this, generation] { FOwner->DoTimer(generation); });
    }
}

// ---- TThreadedTimer -----------------------------------------------------------------------------

TThreadedTimer::TThreadedTimer(TComponent* AOwner)
    : TComponent(AOwner), FTimerThread(std::make_unique<TTimerThread>(this)) {
    FTimerThread->SetPriority(tpNormal);
    FTimerThread->FStopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!FTimerThread->FStopEvent) throw EThread("TThreadedTimer: the timer's event cannot be created");
}

TThreadedTimer::~TThreadedTimer() {
    FDestroying = true;
    FTimerThread->Terminate();
    SetEvent(FTimerThread->FStopEvent);
    ResumeWorker();
    // Runs a tick that is on its way meanwhile; DoTimer drops it.
    FTimerThread->WaitFor();
    CloseHandle(FTimerThread->FStopEvent);
    FTimerThread.reset();
}

void TThreadedTimer::DoTimer(unsigned Generation) {
    if (FDestroying || Generation != FGeneration.load() || !FEnabled.load() || !OnTimer) return;
    OnTimer(this);
}

void TThreadedTimer::ChangeEnabled(bool Value) {
    if (Value == FEnabled.load()) return;
    FEnabled = Value;
    ++FGeneration;
    if (!Value) {
        PauseWorker();
        return;
    }
    if (FTimerThread->Interval() == 0 && !AllowZero) return;
    SetEvent(FTimerThread->FStopEvent);
    ResumeWorker();
}

DWORD TThreadedTimer::QueryInterval() const { return FTimerThread->Interval(); }

void TThreadedTimer::ChangeInterval(DWORD Value) {
    if (Value == FTimerThread->Interval()) return;
    const bool enabled = FEnabled.load();
    ChangeEnabled(false);
    FTimerThread->SetInterval(Value);
    ChangeEnabled(enabled);
}

TThreadPriority TThreadedTimer::QueryThreadPriority() const { return FTimerThread->Priority(); }

void TThreadedTimer::ChangeThreadPriority(TThreadPriority Value) { FTimerThread->SetPriority(Value); }

void TThreadedTimer::PauseWorker() {
    if (!FTimerThread->Suspended()) FTimerThread->Suspend();
}

void TThreadedTimer::ResumeWorker() {
    if (FTimerThread->Suspended()) FTimerThread->Resume();
}

void TThreadedTimer::DefinePublished(TPublishedTable& table) {
    TComponent::DefinePublished(table);
    table.Property("AllowZero", [this](const TStreamValue& v) { AllowZero = v.AsBoolean(); });
    table.Property("Enabled", [this](const TStreamValue& v) { SetEnabled(v.AsBoolean()); });
    table.Property("Interval", [this](const TStreamValue& v) { SetInterval(static_cast<DWORD>(v.AsInteger())); });
    table.Event("OnTimer", OnTimer);
    table.Property("ThreadPriority", [this](const TStreamValue& v) { SetThreadPriority(PriorityValue(v)); });
}
