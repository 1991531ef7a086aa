// The COM object templates, the HRESULT check and sink connection.
#include "kmt/ComUtil.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace plat;

namespace {

const GUID kLib = {0x69ED1B66, 0x6D98, 0x4C42, {0x85, 0x8E, 0x7D, 0x8C, 0xB2, 0x72, 0x8A, 0xB9}};
const IID kIPing = {0x12345678, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

struct IPing : IDispatch {
    virtual HRESULT ping(LONG value) = 0;
};

} // namespace

KMT_INTERFACE_ID(IPing, kIPing);

namespace {

int liveObjects = 0;

class Ping : public kmt::IDispatchImpl<IPing, &kLib, 3, 0> {
public:
    Ping() { ++liveObjects; }
    ~Ping() override { --liveObjects; }
    HRESULT ping(LONG value) override {
        last = value;
        return S_OK;
    }
    LONG last = 0;
};

void registerPingLib() {
    TypeDescription type{kIPing,
                         {{"ping", 5, {VT_I4}, [](void* self, const std::vector<VARIANT>& a) {
                               return static_cast<IPing*>(self)->ping(a[0].lVal);
                           }}}};
    registerTypeLib(kLib, 3, 0, {type});
}

TEST(ComObject, QueryInterfaceAnswersItsThreeInterfacesWithOnePointer) {
    auto* object = new Ping;
    struct Case {
        const IID* iid;
        HRESULT expected;
    } cases[] = {{&IID_IUnknown, S_OK}, {&IID_IDispatch, S_OK}, {&kIPing, S_OK},
                 {&IID_IConnectionPoint, E_NOINTERFACE}};
    ULONG expectedCount = 1;
    for (const Case& c : cases) {
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(object->QueryInterface(*c.iid, &out), c.expected) << guidToString(*c.iid);
        if (c.expected == S_OK) {
            EXPECT_EQ(out, static_cast<IPing*>(object));
            ++expectedCount;
        } else {
            EXPECT_EQ(out, reinterpret_cast<void*>(0x1)); // untouched
        }
        EXPECT_EQ(object->referenceCount(), expectedCount);
    }
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    while (expectedCount-- > 1)
        object->Release();
    EXPECT_EQ(liveObjects, 1);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(liveObjects, 0);
}

TEST(ComObject, TypeInformationLoadsLazilyAndRetriesAfterAFailure) {
    const long typesBefore = plat::testing::liveTypeObjectCount();
    auto* object = new Ping;
    UINT count = 0;
    EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(object->GetTypeInfoCount(nullptr), E_INVALIDARG);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(object->GetTypeInfo(0, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(object->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(info, nullptr);

    registerPingLib();
    EXPECT_EQ(object->GetTypeInfo(7, 0, &info), S_OK); // the index is not checked
    ASSERT_NE(info, nullptr);
    info->Release();

    // Invoke reaches the class's own method through the type information.
    std::u16string name = u"Ping";
    OLECHAR* names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_IUnknown, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 5);
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_I4;
    arg.lVal = -3;
    DISPPARAMS params{&arg, nullptr, 1, 0};
    EXPECT_EQ(object->Invoke(id, IID_IUnknown, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(object->last, -3);

    // Once loaded it is kept even when the library goes away.
    unregisterTypeLib(kLib);
    EXPECT_EQ(object->GetTypeInfo(0, 0x409, &info), S_OK);
    info->Release();
    object->Release();
    EXPECT_EQ(plat::testing::liveTypeObjectCount(), typesBefore);
}

std::string messageOf(HRESULT hr) {
    try {
        kmt::checkHResult(hr, "dir/file.cpp", 42);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no exception>";
}

TEST(CheckHResult, OnlySuccessPassesAndFailuresAreNamed) {
    struct Case {
        HRESULT hr;
        const char* message;
    } cases[] = {
        {S_OK, "<no exception>"},
        {S_FALSE, "dir/file.cpp(42) : error 1: false"},
        {REGDB_E_CLASSNOTREG, "dir/file.cpp(42) : error 80040154: Class not registered"},
        {E_POINTER, "dir/file.cpp(42) : error 80004003: Invalid pointer"},
        {static_cast<HRESULT>(0xC00D521Au), "dir/file.cpp(42) : error c00d521a: Topology is missing a source"},
        {E_UNEXPECTED, "dir/file.cpp(42) : error 8000ffff: unknown error:8000ffff"},
        {2, "dir/file.cpp(42) : error 2: unknown error:2"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(messageOf(c.hr), c.message);
}

// A connection-point container whose every step can be made to fail; it counts references.
struct Source : IConnectionPointContainer, IConnectionPoint {
    int refs = 1;
    HRESULT qiResult = S_OK, findResult = S_OK, adviseResult = S_OK, unadviseResult = S_OK;
    IUnknown* sink = nullptr;
    DWORD unadvised = 0;
    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (riid != IID_IConnectionPointContainer || qiResult != S_OK)
            return qiResult != S_OK ? qiResult : E_NOINTERFACE;
        ++refs;
        *out = static_cast<IConnectionPointContainer*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT EnumConnectionPoints(void**) override { return E_NOTIMPL; }
    HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        if (findResult != S_OK || iid != kIPing)
            return findResult != S_OK ? findResult : CONNECT_E_NOCONNECTION;
        ++refs;
        *point = this;
        return S_OK;
    }
    HRESULT GetConnectionInterface(IID*) override { return E_NOTIMPL; }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
    HRESULT Advise(IUnknown* s, DWORD* cookie) override {
        if (adviseResult != S_OK)
            return adviseResult;
        sink = s;
        *cookie = 77;
        return S_OK;
    }
    HRESULT Unadvise(DWORD cookie) override {
        unadvised = cookie;
        return unadviseResult;
    }
    HRESULT EnumConnections(void**) override { return E_NOTIMPL; }
};

TEST(SinkConnection, StopsAtTheFirstFailureAndReleasesWhatItGot) {
    enum Step { None, Qi, Find, Advise };
    struct Case {
        Step failing;
        HRESULT expected;
    } cases[] = {{None, S_OK}, {Qi, E_NOINTERFACE}, {Find, CONNECT_E_NOCONNECTION}, {Advise, CONNECT_E_CANNOTCONNECT}};
    for (const Case& c : cases) {
        Source source;
        source.qiResult = c.failing == Qi ? E_NOINTERFACE : S_OK;
        source.findResult = c.failing == Find ? CONNECT_E_NOCONNECTION : S_OK;
        source.adviseResult = c.failing == Advise ? CONNECT_E_CANNOTCONNECT : S_OK;
        Ping sink;
        DWORD cookie = 0;
        EXPECT_EQ(kmt::adviseSink(static_cast<IConnectionPointContainer*>(&source), static_cast<IPing*>(&sink),
                                  kIPing, &cookie),
                  c.expected);
        EXPECT_EQ(source.refs, 1) << c.failing;
        EXPECT_EQ(cookie, c.failing == None ? 77u : 0u);
        source.unadviseResult = c.failing == None ? S_OK : E_FAIL;
        EXPECT_EQ(kmt::unadviseSink(static_cast<IConnectionPointContainer*>(&source), kIPing, 77),
                  c.failing == None || c.failing == Advise ? source.unadviseResult : c.expected);
        EXPECT_EQ(source.refs, 1);
    }
    Source source;
    DWORD cookie = 0;
    EXPECT_EQ(kmt::adviseSink(static_cast<IConnectionPointContainer*>(&source), nullptr, IID_IDispatch, &cookie),
              CONNECT_E_NOCONNECTION);
    EXPECT_EQ(kmt::adviseSink(nullptr, nullptr, kIPing, &cookie), E_POINTER);
}

} // namespace
