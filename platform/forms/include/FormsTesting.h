#pragma once
// Hooks for tests of programs that use the forms layer.

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "user32.h"

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

    void Add(TMessageBoxRecord record);  // called by the desktop backend

private:
    mutable std::mutex FLock;
    std::vector<TMessageBoxRecord> FRecords;
};

// Lets one test process run Application->Run again after an earlier Run ended.
void ResetApplicationTerminated();

// Writes what the form shows (its client area) to a PNG file; false when it cannot.
bool SaveFormImage(TForm* form, const std::string& pngPath);
