#pragma once
// COM basics of the platform layer: GUIDs, IUnknown, apartment start-up, object creation over
// the registry of the classes the layer provides, and CLSID text conversions.

#include "wintypes.h"

// Texts that COM hands over are UTF-16, as on the platform the system was designed for.
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCLSID = CLSID*;

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Result codes of COM calls beyond the general ones of wintypes.h.
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);

// Classes live in the process (the layer's libraries); other contexts are not served.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;  // objects free themselves in Release
};
using LPUNKNOWN = IUnknown*;

// The first call on a thread returns S_OK, every further one S_FALSE; each needs its
// CoUninitialize.
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();

// Creates an object of a class that the layer has registered. An outer object (aggregation) is
// refused with CLASS_E_NOAGGREGATION, an unknown class with REGDB_E_CLASSNOTREG.
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* object);

LPVOID CoTaskMemAlloc(SIZE_T size);
void CoTaskMemFree(LPVOID memory);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38 characters in upper case, zero-terminated, in
// memory from CoTaskMemAlloc that the caller frees with CoTaskMemFree.
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text);
// The inverse; hex digits of either case, braces required. Anything else: CO_E_CLASSSTRING.
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);

// ---- the layer's class registry -------------------------------------------------------------
// A class's creation function: a new object asked for riid, or a failure with *object null.
using LPFNCREATECLASSOBJECT = HRESULT (*)(REFIID riid, LPVOID* object);

// Makes CoCreateInstance create clsid through create (null removes the class). Returns the
// function that served the class before, null if none; the layer's libraries register their
// classes when they are loaded.
LPFNCREATECLASSOBJECT CoRegisterLayerClass(REFCLSID clsid, LPFNCREATECLASSOBJECT create);
