#pragma once
// Reference counting and interface lookup shared by the layer's COM objects.
//
// An interface names the interface it extends as Base and its own identifier as Iid:
//     struct IAudioData : IUnknown { using Base = IUnknown; static constexpr IID Iid = {...}; ... };
// A class derives from TComObject<Interfaces...>; QueryInterface then serves every listed
// interface, each one's bases, and IUnknown. Objects start with one reference.

#include <atomic>
#include <type_traits>

#include "ole32.h"

template <class... Interfaces>
class TComObject : public Interfaces... {
public:
    TComObject() = default;
    TComObject(const TComObject&) = delete;
    TComObject& operator=(const TComObject&) = delete;

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        void* found = nullptr;
        ((found = found ? found : Find<Interfaces>(static_cast<Interfaces*>(this), riid)), ...);
        *object = found;
        if (found == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++FRefCount; }
    ULONG Release() override {
        ULONG count = --FRefCount;
        if (count == 0) delete this;
        return count;
    }

protected:
    virtual ~TComObject() = default;

private:
    template <class I>
    static void* Find(I* self, REFIID riid) {
        if constexpr (std::is_same_v<I, IUnknown>) {
            return riid == IID_IUnknown ? self : nullptr;
        } else {
            if (riid == I::Iid) return self;
            return Find<typename I::Base>(static_cast<typename I::Base*>(self), riid);
        }
    }

    std::atomic<ULONG> FRefCount{1};
};
