// BSTR and VARIANT, type libraries with GetIDsOfNames and Invoke, and OleRun.
#include "plat/oleauto.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

using namespace plat;

namespace {

const GUID kLib = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const IID kEvents = {0x99999999, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};

// The interface the type library describes.
struct IEvents : IDispatch {
    virtual HRESULT onNumber(LONG value, BSTR text) = 0;
    virtual HRESULT onObject(IUnknown* object) = 0;
};

struct Counted : IUnknown {
    std::atomic<ULONG> refs{1};
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IUnknown*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
};

struct Events : IEvents, Counted {
    std::vector<std::string> calls;
    HRESULT QueryInterface(REFIID riid, void** object) override { return Counted::QueryInterface(riid, object); }
    ULONG AddRef() override { return Counted::AddRef(); }
    ULONG Release() override { return Counted::Release(); }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    HRESULT onNumber(LONG value, BSTR text) override {
        calls.push_back("number " + std::to_string(value) + " " + std::to_string(SysStringLen(text)));
        return S_OK;
    }
    HRESULT onObject(IUnknown* object) override {
        calls.push_back(object ? "object" : "null");
        return S_FALSE;
    }
};

void registerEvents(WORD minor = 2) {
    TypeDescription events{kEvents, {}};
    events.members.push_back({"onNumber", 1, {VT_I4, VT_BSTR}, [](void* self, const std::vector<VARIANT>& a) {
                                  return static_cast<IEvents*>(self)->onNumber(a[0].lVal, a[1].bstrVal);
                              }});
    events.members.push_back({"onObject", 2, {VT_DISPATCH}, [](void* self, const std::vector<VARIANT>& a) {
                                  return static_cast<IEvents*>(self)->onObject(a[0].punkVal);
                              }});
    registerTypeLib(kLib, 3, minor, {events});
}

struct ComTypes : ::testing::Test {
    void SetUp() override {
        bstrs = plat::testing::liveBstrCount();
        types = plat::testing::liveTypeObjectCount();
    }
    void TearDown() override {
        unregisterTypeLib(kLib);
        EXPECT_EQ(plat::testing::liveBstrCount(), bstrs);
        EXPECT_EQ(plat::testing::liveTypeObjectCount(), types);
    }
    // The type information of kEvents in kLib 3.0.
    ITypeInfo* loadEvents() {
        ITypeLib* lib = nullptr;
        EXPECT_EQ(LoadRegTypeLib(kLib, 3, 0, 0, &lib), S_OK);
        if (!lib)
            return nullptr;
        ITypeInfo* info = nullptr;
        EXPECT_EQ(lib->GetTypeInfoOfGuid(kEvents, &info), S_OK);
        lib->Release();
        return info;
    }
    long bstrs = 0;
    long types = 0;
};

TEST_F(ComTypes, BstrKeepsByteLengthAndCopiesBytes) {
    const char16_t text[] = u"h\u00e9llo";
    BSTR a = SysAllocString(text);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(SysStringLen(a), 5u);
    EXPECT_EQ(SysStringByteLen(a), 10u);
    EXPECT_EQ(std::u16string(a), u"h\u00e9llo");
    // An odd byte length survives a byte-for-byte copy and stays terminated.
    BSTR b = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(b), 3u);
    EXPECT_EQ(std::memcmp(b, "abc", 3), 0);
    BSTR c = SysAllocStringByteLen(reinterpret_cast<const char*>(a), SysStringByteLen(a));
    EXPECT_NE(c, a);
    EXPECT_EQ(std::u16string(c), std::u16string(a));
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    for (BSTR s : {a, b, c, empty})
        SysFreeString(s);
}

TEST_F(ComTypes, VariantClearFreesWhatItHolds) {
    Counted object;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UNKNOWN;
    v.punkVal = &object;
    object.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(object.refs.load(), 1u);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"x");
    EXPECT_EQ(VariantClear(&v), S_OK); // the fixture finds no BSTR left
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST_F(ComTypes, TypeLibraryLoadsByIdAndVersion) {
    ITypeLib* lib = nullptr;
    EXPECT_EQ(LoadRegTypeLib(kLib, 3, 0, 0, &lib), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(lib, nullptr);
    registerEvents(2);
    struct Case {
        WORD major, minor;
        HRESULT expected;
    } cases[] = {{3, 0, S_OK}, {3, 2, S_OK}, {3, 3, TYPE_E_LIBNOTREGISTERED}, {2, 0, TYPE_E_LIBNOTREGISTERED}};
    for (const Case& c : cases) {
        lib = nullptr;
        EXPECT_EQ(LoadRegTypeLib(kLib, c.major, c.minor, 0, &lib), c.expected) << c.major << "." << c.minor;
        if (lib) {
            ITypeInfo* info = nullptr;
            EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IDispatch, &info), TYPE_E_ELEMENTNOTFOUND);
            EXPECT_EQ(info, nullptr);
            lib->Release();
        }
    }
}

TEST_F(ComTypes, NamesMapToIdsIgnoringCase) {
    registerEvents();
    ITypeInfo* info = loadEvents();
    ASSERT_NE(info, nullptr);
    std::u16string n1 = u"ONNUMBER", n2 = u"onObject", n3 = u"missing";
    OLECHAR* names[] = {n1.data(), n2.data(), n3.data()};
    MEMBERID ids[3] = {7, 7, 7};
    EXPECT_EQ(info->GetIDsOfNames(names, 2, ids), S_OK);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], 2);
    EXPECT_EQ(info->GetIDsOfNames(names, 3, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    info->Release();
}

TEST_F(ComTypes, InvokeCallsTheSlotWithArgumentsInDeclarationOrder) {
    registerEvents();
    ITypeInfo* info = loadEvents();
    ASSERT_NE(info, nullptr);
    Events sink;
    IEvents* asInterface = &sink;
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    // Reverse order: the BSTR (second parameter) comes first.
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(u"abc");
    args[1].vt = VT_I4;
    args[1].lVal = 42;
    DISPPARAMS params{args, nullptr, 2, 0};
    EXPECT_EQ(info->Invoke(asInterface, 1, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);

    UINT badArgument = 99;
    DISPPARAMS oneArg{args, nullptr, 1, 0};
    struct Case {
        MEMBERID id;
        DISPPARAMS* params;
        HRESULT expected;
    } cases[] = {{3, &params, DISP_E_MEMBERNOTFOUND}, {1, &oneArg, DISP_E_BADPARAMCOUNT},
                 {1, nullptr, DISP_E_BADPARAMCOUNT}, {2, &oneArg, DISP_E_TYPEMISMATCH}};
    for (const Case& c : cases)
        EXPECT_EQ(info->Invoke(asInterface, c.id, DISPATCH_METHOD, c.params, nullptr, nullptr, &badArgument),
                  c.expected)
            << c.id;
    EXPECT_EQ(badArgument, 0u);
    EXPECT_EQ(info->Invoke(nullptr, 1, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), E_INVALIDARG);

    // An object argument, and the member's own result comes back.
    VARIANT object;
    VariantInit(&object);
    object.vt = VT_DISPATCH;
    object.pdispVal = &sink;
    DISPPARAMS objectParams{&object, nullptr, 1, 0};
    EXPECT_EQ(info->Invoke(asInterface, 2, DISPATCH_METHOD, &objectParams, nullptr, nullptr, nullptr), S_FALSE);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"number 42 3", "object"}));
    VariantClear(&args[0]);
    info->Release();
}

struct Runnable : Counted, IRunnableObject {
    HRESULT runResult = S_OK;
    int runs = 0;
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IRunnableObject) {
            AddRef();
            *object = static_cast<IRunnableObject*>(this);
            return S_OK;
        }
        return Counted::QueryInterface(riid, object);
    }
    ULONG AddRef() override { return Counted::AddRef(); }
    ULONG Release() override { return Counted::Release(); }
    HRESULT GetRunningClass(CLSID*) override { return E_NOTIMPL; }
    HRESULT Run(void*) override {
        ++runs;
        return runResult;
    }
    BOOL IsRunning() override { return runs > 0; }
    HRESULT LockRunning(BOOL, BOOL) override { return S_OK; }
    HRESULT SetContainedObject(BOOL) override { return S_OK; }
};

TEST(OleRun, RunsRunnableObjectsAndPassesTheirResult) {
    Counted plain;
    EXPECT_EQ(OleRun(&plain), S_OK);
    EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
    Runnable runnable;
    EXPECT_EQ(OleRun(static_cast<Counted*>(&runnable)), S_OK);
    runnable.runResult = E_FAIL;
    EXPECT_EQ(OleRun(static_cast<Counted*>(&runnable)), E_FAIL);
    EXPECT_EQ(runnable.runs, 2);
    EXPECT_EQ(runnable.refs.load(), 1u);
    EXPECT_EQ(plain.refs.load(), 1u);
}

} // namespace
