// The core of the component object model as the engine uses it: GUIDs, IUnknown, apartments,
// CoCreateInstance over a process-wide class registry, and task memory. Automation (BSTR, VARIANT,
// IDispatch) and connection points build on this.
#pragma once

#include "plat/types.h"

#include <functional>
#include <string>

namespace plat {

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

bool operator==(const GUID& a, const GUID& b);
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
// Ordering, so GUIDs can key a map.
bool operator<(const GUID& a, const GUID& b);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional); false when the text is no GUID.
bool guidFromString(const char* text, GUID& out);
// The registry form, upper case with braces.
std::string guidToString(REFGUID guid);

// The base of every interface. The slots are in this order; objects free themselves in Release.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

extern const IID IID_IUnknown;

// Further COM results.
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);

constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
    return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

// Apartment flags and class contexts.
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// Per-thread apartment membership, counted: S_OK for the first call on a thread, S_FALSE for a
// further call of the same model, RPC_E_CHANGED_MODE (not counted) for the other model.
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();

// Creates an object of a registered class. REGDB_E_CLASSNOTREG when the class is absent,
// CLASS_E_NOAGGREGATION with an outer object, CO_E_NOTINITIALIZED on a thread outside any apartment.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, LPVOID* object);

LPVOID CoTaskMemAlloc(size_t size);
void CoTaskMemFree(LPVOID memory);

// The class registry that stands in for the system's registered servers. A factory creates an
// object and queries it for riid (the result of that query is its result).
using ClassFactory = std::function<HRESULT(REFIID riid, void** object)>;
void registerComClass(REFCLSID clsid, ClassFactory factory);
void unregisterComClass(REFCLSID clsid);

namespace testing {
// Apartment depth of the calling thread (0 outside any apartment).
int comApartmentDepth();
} // namespace testing

} // namespace plat
