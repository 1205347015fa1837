#pragma once
// Hooks for tests of programs that use the forms layer.

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "user32.h"

class TControl;
class TForm;

struct TMessageBoxRecord {
    HWND Owner = nullptr;
    std::string Caption;
    std::string Text;
    UINT Type = 0;
    DWORD ThreadId = 0;
    UINT Icon() const { return Type & MB_ICONMASK; }
};

// While one exists, MessageBoxA shows nothing: each call is recorded and answered with IDOK
// at once, on the calling thread.
class TMessageBoxRecorder {
public:
    TMessageBoxRecorder();
    ~TMessageBoxRecorder();
    TMessageBoxRecorder(const TMessageBoxRecorder&) = delete;
    TMessageBoxRecorder& operator=(const TMessageBoxRecorder&) = delete;

    std::vector<TMessageBoxRecord> Records() const;
    std::size_t Count() const;
    void Clear();

    // Runs on the showing thread once a box is recorded and before it is answered, standing for
    // the time the user takes to read it: a test can keep serving the queue there, as the
    // box's modal loop does. Set it before the boxes come.
    std::function<void(const TMessageBoxRecord&)> WhileOpen;

    void Add(TMessageBoxRecord record);  // called by the desktop backend

private:
    mutable std::mutex FLock;
    std::vector<TMessageBoxRecord> FRecords;
};

// Serves the application's messages until condition holds or timeoutMs have passed; the
// result is the condition's.
bool ProcessUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000);
void ProcessFor(DWORD ms);
// As a click with the mouse: through the widget, so an escaping exception reaches the
// application's error box.
void ClickWidget(TControl* control);

// Lets one test process run Application->Run again after an earlier Run ended.
void ResetApplicationTerminated();

// Writes what the form shows (its client area) to a PNG file; false when it cannot.
bool SaveFormImage(TForm* form, const std::string& pngPath);

// The captions of the form that do not fit, one readable line each; empty when all fit.
// Every caption of a label, button, check box, radio button and group box, measured in its
// control's font where the control draws it, must lie inside the room its control gives it
// and inside the control's parent, and no other control beside it may reach into it. Call it
// on the main thread.
std::vector<std::string> CaptionProblems(TForm* form);
// Problems one to a line, indented, for the message of a failed check.
std::string ProblemLines(const std::vector<std::string>& problems);
