// Serving and clicking as a test of a program does it.

#include <QAbstractButton>

#include "Forms.h"
#include "FormsTesting.h"
#include "QtSide.h"

bool ProcessUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Application->ProcessMessages();
        Sleep(1);
    }
    return true;
}

void ProcessFor(DWORD ms) { ProcessUntil([] { return false; }, ms); }

void ClickWidget(TControl* control) { qobject_cast<QAbstractButton*>(control->Widget().Widget.data())->click(); }
