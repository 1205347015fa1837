// Apartment start-up and object creation over the layer's class registry.

#include <cstdlib>
#include <mutex>
#include <vector>

#include "ole32.h"

namespace {

struct TRegisteredClass {
    CLSID Clsid;
    LPFNCREATECLASSOBJECT Create;
};

// Function-local so that libraries registering from their load-time initialisers find it
// ready whatever the order of initialisation.
struct TClassRegistry {
    std::mutex Lock;
    std::vector<TRegisteredClass> Classes;
};

TClassRegistry& Registry() {
    static TClassRegistry registry;
    return registry;
}

LPFNCREATECLASSOBJECT FindClass(REFCLSID clsid) {
    TClassRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    for (const TRegisteredClass& entry : registry.Classes)
        if (entry.Clsid == clsid) return entry.Create;
    return nullptr;
}

thread_local int initCount = 0;

}  // namespace

HRESULT CoInitialize(LPVOID) {
    return initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (initCount > 0) --initCount;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    LPFNCREATECLASSOBJECT create = FindClass(clsid);
    if (create == nullptr) return REGDB_E_CLASSNOTREG;
    return create(riid, object);
}

LPFNCREATECLASSOBJECT CoRegisterLayerClass(REFCLSID clsid, LPFNCREATECLASSOBJECT create) {
    TClassRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    for (auto it = registry.Classes.begin(); it != registry.Classes.end(); ++it) {
        if (!(it->Clsid == clsid)) continue;
        LPFNCREATECLASSOBJECT previous = it->Create;
        if (create != nullptr)
            it->Create = create;
        else
            registry.Classes.erase(it);
        return previous;
    }
    if (create != nullptr) registry.Classes.push_back({clsid, create});
    return nullptr;
}

LPVOID CoTaskMemAlloc(SIZE_T size) {
    return std::malloc(size == 0 ? 1 : size);
}

void CoTaskMemFree(LPVOID memory) {
    std::free(memory);
}
