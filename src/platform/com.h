// COM calls of the portable layer: class ids, IUnknown, CoInitialize,
// CoCreateInstance, task memory, BSTR strings, VARIANT, monikers and
// property bags. Only what the capture graph uses is here.
//
// Interfaces are C++ abstract classes with the Windows names, methods and
// argument shapes; the layer's objects are reference counted and deleted by
// their last Release. Strings are UTF-16 (OLECHAR is char16_t).
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/types.h"

#define STDMETHODCALLTYPE
#define OLESTR(str) u##str

typedef const OLECHAR *LPCOLESTR;
typedef OLECHAR *LPOLESTR;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID &REFGUID;
typedef const IID &REFIID;
typedef const CLSID &REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)

extern const GUID GUID_NULL;
extern const IID IID_IUnknown;
extern const IID IID_IMoniker;
extern const IID IID_IEnumMoniker;
extern const IID IID_IPropertyBag;

#define CLSCTX_INPROC_SERVER 0x1

#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005)
#ifndef E_UNEXPECTED
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#endif

class IUnknown {
  public:
    // S_OK and an added reference for a supported interface; otherwise
    // E_NOINTERFACE and *object = nullptr.
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    // The last Release deletes the layer's objects.
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

  protected:
    ~IUnknown() = default;
};

// Counts per thread: S_OK for the first call on a thread, S_FALSE for later
// ones. CoCreateInstance on a thread that has not called it fails with
// CO_E_NOTINITIALIZED.
HRESULT CoInitialize(LPVOID reserved);
// Undoes one CoInitialize of the calling thread.
void CoUninitialize();

// Creates one of the five classes of the capture graph (CLSID_FilterGraph,
// CLSID_CaptureGraphBuilder2, CLSID_SystemDeviceEnum, the sample grabber
// {C1F400A0-3F08-11D3-9F0B-006008039E37} and the null renderer
// {C1F400A4-3F08-11D3-9F0B-006008039E37}) and returns the asked interface
// with one reference. Any other class: REGDB_E_CLASSNOTREG. An outer object:
// CLASS_E_NOAGGREGATION. An interface the class lacks: E_NOINTERFACE. The
// context flags are not looked at. On failure *object is nullptr.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD context, REFIID riid, LPVOID *object);

// Heap blocks that cross the interface (media types, format blocks).
LPVOID CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(LPVOID block);

// Zero-terminated UTF-16 strings with a length prefix; nullptr in gives
// nullptr out. SysFreeString(nullptr) does nothing.
BSTR SysAllocString(const OLECHAR *text);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);

typedef unsigned short VARTYPE;
enum VARENUM { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8 };

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONG lVal;
        BSTR bstrVal;
    };
};
#define V_VT(v) ((v)->vt)
#define V_BSTR(v) ((v)->bstrVal)
#define V_I4(v) ((v)->lVal)

// VT_EMPTY, no value.
void VariantInit(VARIANT *variant);
// Frees a held BSTR and leaves VT_EMPTY; S_OK.
HRESULT VariantClear(VARIANT *variant);

class IBindCtx;
class IErrorLog;

class IPropertyBag : public IUnknown {
  public:
    // Reads a named property into an empty VARIANT (VT_BSTR for names).
    // A property the object does not have: E_FAIL, the VARIANT untouched.
    // A VARIANT asking for another type (vt not VT_EMPTY or VT_BSTR):
    // DISP_E_TYPEMISMATCH.
    virtual HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT *value, IErrorLog *log) = 0;
};

class IMoniker : public IUnknown {
  public:
    // IID_IPropertyBag only: the named object's properties; anything else
    // E_NOINTERFACE. Bind context and left moniker are not used.
    virtual HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx *context, IMoniker *left, REFIID riid,
                                                    void **object) = 0;
};

class IEnumMoniker : public IUnknown {
  public:
    // Up to `count` monikers, each with one reference; S_OK when all were
    // fetched, S_FALSE when fewer remained. *fetched (if given) is the number.
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, IMoniker **monikers, ULONG *fetched) = 0;
};
