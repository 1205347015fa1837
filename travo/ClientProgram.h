#pragma once
// The entry of a program on the window-side simulator client: as every program's, and the
// socket's waits serve the application's events, not only the thread's queue.

#include "EventSocket.h"
#include "ProgramEntry.h"

template <class TMainForm>
int RunClientProgram(const char* Title, TMainForm*& MainForm) {
    return RunProgram(Title, MainForm, [] { SetEventSocketApplicationPump([] { Application->ProcessMessages(); }); });
}
