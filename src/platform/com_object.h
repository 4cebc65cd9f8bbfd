// QueryInterface and reference counting for the layer's COM classes, so that
// each class holds only its own behaviour:
//
//   class PropertyBag final : public ComObject<PropertyBag, Implements<IPropertyBag, IID_IPropertyBag>>
#pragma once

#include <atomic>

#include "platform/com.h"

namespace lumivex_platform {

// An interface a class implements and the IIDs QueryInterface answers with
// it: its own and those of the interfaces it extends (IUnknown aside).
template <class Interface, const IID &...iids>
struct Implements {
    using type = Interface;
    static bool answers(REFIID riid) { return ((riid == iids) || ...); }
};

// QueryInterface over the implemented interfaces. IID_IUnknown gives the
// first one, the object's identity. S_OK adds a reference; an IID none of
// them answers: E_NOINTERFACE and *object = nullptr; a null `object`:
// E_POINTER. AddRef and Release are the class's own.
template <class First, class... Rest>
class ComInterfaces : public First::type, public Rest::type... {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
        if (!object) return E_POINTER;
        *object = interface_for(riid);
        if (!*object) return E_NOINTERFACE;
        static_cast<typename First::type *>(this)->AddRef();
        return S_OK;
    }

  protected:
    ~ComInterfaces() = default;

    // The interface `riid` asks for, or nullptr. A subclass with a further
    // interface extends this.
    virtual void *interface_for(REFIID riid) {
        if (riid == IID_IUnknown || First::answers(riid)) return static_cast<typename First::type *>(this);
        void *found = nullptr;
        (void)((Rest::answers(riid) && (found = static_cast<typename Rest::type *>(this))) || ...);
        return found;
    }
};

// A COM object of the layer: ComInterfaces plus an atomic reference count that
// starts at 1 (the creator's); the last Release deletes the Derived object.
template <class Derived, class... Entries>
class ComObject : public ComInterfaces<Entries...> {
  public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs;
        if (n == 0) delete static_cast<Derived *>(this);
        return n;
    }

  protected:
    ~ComObject() = default;

  private:
    std::atomic<ULONG> refs{1};
};

}  // namespace lumivex_platform
