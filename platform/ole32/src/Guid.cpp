// CLSID texts: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".

#include <array>
#include <cstring>

#include "ole32.h"

namespace {

constexpr int GuidTextLength = 38;

// The 16 bytes of a GUID in the order their hex digits appear in the text.
std::array<BYTE, 16> TextOrder(const GUID& guid) {
    std::array<BYTE, 16> bytes{};
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(guid.Data1 >> (24 - 8 * i));
    bytes[4] = static_cast<BYTE>(guid.Data2 >> 8);
    bytes[5] = static_cast<BYTE>(guid.Data2);
    bytes[6] = static_cast<BYTE>(guid.Data3 >> 8);
    bytes[7] = static_cast<BYTE>(guid.Data3);
    for (int i = 0; i < 8; ++i) bytes[8 + i] = guid.Data4[i];
    return bytes;
}

GUID FromTextOrder(const std::array<BYTE, 16>& bytes) {
    GUID guid{};
    for (int i = 0; i < 4; ++i) guid.Data1 = (guid.Data1 << 8) | bytes[i];
    guid.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = bytes[8 + i];
    return guid;
}

// Text positions after which a dash follows, counted in bytes written so far.
bool DashAfter(int byteCount) {
    return byteCount == 4 || byteCount == 6 || byteCount == 8 || byteCount == 10;
}

int HexValue(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

}  // namespace

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
    if (text == nullptr) return E_POINTER;
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((GuidTextLength + 1) * sizeof(OLECHAR)));
    *text = out;
    if (out == nullptr) return E_OUTOFMEMORY;
    static constexpr char digits[] = "0123456789ABCDEF";
    const std::array<BYTE, 16> bytes = TextOrder(clsid);
    int pos = 0;
    out[pos++] = u'{';
    for (int i = 0; i < 16; ++i) {
        out[pos++] = static_cast<OLECHAR>(digits[bytes[i] >> 4]);
        out[pos++] = static_cast<OLECHAR>(digits[bytes[i] & 0xF]);
        if (DashAfter(i + 1)) out[pos++] = u'-';
    }
    out[pos++] = u'}';
    out[pos] = 0;
    return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    if (text == nullptr || clsid == nullptr) return E_INVALIDARG;
    std::array<BYTE, 16> bytes{};
    int pos = 0;
    if (text[pos++] != u'{') return CO_E_CLASSSTRING;
    for (int i = 0; i < 16; ++i) {
        const int high = HexValue(text[pos]);
        const int low = high < 0 ? -1 : HexValue(text[pos + 1]);
        if (low < 0) return CO_E_CLASSSTRING;
        bytes[i] = static_cast<BYTE>(high * 16 + low);
        pos += 2;
        if (DashAfter(i + 1) && text[pos++] != u'-') return CO_E_CLASSSTRING;
    }
    if (text[pos++] != u'}' || text[pos] != 0) return CO_E_CLASSSTRING;
    *clsid = FromTextOrder(bytes);
    return S_OK;
}
