// Automation on top of the COM core: BSTR and VARIANT, IDispatch, type libraries registered by the
// servers that describe them (LoadRegTypeLib, GetIDsOfNames and Invoke through the type information),
// connection points and OleRun. Only what the engine calls.
#pragma once

#include "plat/com.h"

#include <functional>
#include <string>
#include <vector>

namespace plat {

// Length-prefixed UTF-16 text; the 32-bit byte length sits just before the characters, and a
// terminating zero follows them. A null BSTR is an empty text.
using BSTR = WCHAR*;
using OLECHAR = WCHAR;
using LPCOLESTR = const OLECHAR*;

BSTR SysAllocString(LPCOLESTR text);
BSTR SysAllocStringLen(LPCOLESTR text, UINT length);
// Copies length bytes (not characters) of bytes; null bytes gives uninitialised room.
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);

using VARIANT_BOOL = int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

using VARTYPE = uint16_t;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_DISPATCH = 9;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_UNKNOWN = 13;

struct IDispatch;

struct VARIANT {
    VARTYPE vt;
    union {
        LONG lVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
    };
};
using VARIANTARG = VARIANT;

void VariantInit(VARIANT* value);
// Frees a BSTR, releases an object; leaves VT_EMPTY.
HRESULT VariantClear(VARIANT* value);

using DISPID = LONG;
using MEMBERID = DISPID;
using LCID = DWORD;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr WORD DISPATCH_METHOD = 0x1;
constexpr LCID LOCALE_USER_DEFAULT = 0x400;

struct DISPPARAMS {
    VARIANTARG* rgvarg; // arguments in reverse order, as automation passes them
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    void* pfnDeferredFillIn;
    HRESULT scode;
};

constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = static_cast<HRESULT>(0x8002802Bu);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = static_cast<HRESULT>(0x8002801Du);
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200u);
constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202u);

// The type information of one interface: the names and ids of its members, and the way to call
// them on an object that implements it.
struct ITypeInfo : IUnknown {
    virtual HRESULT GetIDsOfNames(OLECHAR** names, UINT count, MEMBERID* ids) = 0;
    virtual HRESULT Invoke(void* instance, MEMBERID id, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                           EXCEPINFO* exception, UINT* argumentError) = 0;
};

struct ITypeLib : IUnknown {
    virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) = 0;
};

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, OLECHAR** names, UINT count, LCID lcid, DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                           EXCEPINFO* exception, UINT* argumentError) = 0;
};

struct IConnectionPointContainer;

struct IConnectionPoint : IUnknown {
    virtual HRESULT GetConnectionInterface(IID* iid) = 0;
    virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
    virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
    virtual HRESULT Unadvise(DWORD cookie) = 0;
    virtual HRESULT EnumConnections(void** enumerator) = 0;
};

struct IConnectionPointContainer : IUnknown {
    virtual HRESULT EnumConnectionPoints(void** enumerator) = 0;
    virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;
};

// What OleRun asks of an object that must be put into its running state first.
struct IRunnableObject : IUnknown {
    virtual HRESULT GetRunningClass(CLSID* clsid) = 0;
    virtual HRESULT Run(void* bindContext) = 0;
    virtual BOOL IsRunning() = 0;
    virtual HRESULT LockRunning(BOOL lock, BOOL lastUnlockCloses) = 0;
    virtual HRESULT SetContainedObject(BOOL contained) = 0;
};

extern const IID IID_IDispatch;
extern const IID IID_IConnectionPointContainer;
extern const IID IID_IConnectionPoint;
extern const IID IID_IRunnableObject;

// Puts an object into its running state: IRunnableObject::Run when it has one, else S_OK.
HRESULT OleRun(IUnknown* object);

// Loads a registered type library: TYPE_E_LIBNOTREGISTERED when no library of that id with that
// major version and at least that minor version is registered.
HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** library);

// The description a server registers for its type library. A member's call receives the object as
// the interface the type information describes (void* of that interface) and the arguments in the
// order of the declaration (reversed from DISPPARAMS already).
struct TypeMember {
    std::string name;
    MEMBERID id;
    std::vector<VARTYPE> parameters;
    std::function<HRESULT(void* instance, const std::vector<VARIANT>& arguments)> call;
};
struct TypeDescription {
    IID iid;
    std::vector<TypeMember> members;
};
void registerTypeLib(REFGUID libid, WORD major, WORD minor, std::vector<TypeDescription> types);
void unregisterTypeLib(REFGUID libid);

namespace testing {
// BSTRs allocated and not yet freed, process-wide.
long liveBstrCount();
// Type libraries and type information objects alive.
long liveTypeObjectCount();
// The next count BSTR allocations fail (return null), as when memory runs out.
void failBstrAllocations(int count);
} // namespace testing

} // namespace plat
