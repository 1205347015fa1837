// Texts of the layer's own multimedia result codes.

#include <algorithm>
#include <cstring>

#include "dshow.h"

namespace {

const char* TextOf(HRESULT code) {
    switch (code) {
        case DSHOW_E_FILENOTFOUND: return "The sound file was not found.";
        case DSHOW_E_FILEUNREADABLE: return "The sound file cannot be read.";
        case DSHOW_E_NOTSOUND: return "The file is not a sound file that can be decoded.";
        case DSHOW_E_TRUNCATED: return "The sound file is damaged or cut short.";
        case DSHOW_E_DECODE: return "Decoding the sound file failed.";
        default: return nullptr;
    }
}

}  // namespace

DWORD AMGetErrorTextA(HRESULT code, LPSTR buffer, DWORD size) {
    const char* text = TextOf(code);
    if (text == nullptr || buffer == nullptr || size == 0) return 0;
    const size_t length = std::min<size_t>(std::strlen(text), size - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = 0;
    return static_cast<DWORD>(length);
}
