// GUID text, apartments, class creation and the COM result texts.
#include "plat/com.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using namespace plat;

namespace {

const CLSID kClass = {0x750B4A16, 0x1338, 0x4DB0, {0x85, 0xBB, 0xC6, 0xC8, 0x9E, 0x4C, 0xB9, 0xAC}};

// A counted object that answers only IUnknown.
struct Counted final : IUnknown {
    std::atomic<ULONG> refs{1};
    static std::atomic<int> live;
    Counted() { ++live; }
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid != IID_IUnknown) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<IUnknown*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
        const ULONG left = --refs;
        if (left == 0) {
            --live;
            delete this;
        }
        return left;
    }

private:
    ~Counted() = default;
};
std::atomic<int> Counted::live{0};

HRESULT createCounted(REFIID riid, void** object) {
    Counted* c = new Counted;
    const HRESULT hr = c->QueryInterface(riid, object);
    c->Release();
    return hr;
}

std::string systemText(DWORD code) {
    char buffer[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   buffer, sizeof buffer, nullptr);
    return std::string(buffer, n);
}

} // namespace

TEST(ComGuid, TextRoundTripAndRejects) {
    GUID g{};
    ASSERT_TRUE(guidFromString("{750B4A16-1338-4DB0-85BB-C6C89E4CB9AC}", g));
    EXPECT_EQ(kClass, g);
    EXPECT_EQ("{750B4A16-1338-4DB0-85BB-C6C89E4CB9AC}", guidToString(g));
    ASSERT_TRUE(guidFromString("750b4a16-1338-4db0-85bb-c6c89e4cb9ac", g));
    EXPECT_EQ(kClass, g);
    for (const char* bad : {"", "{750B4A16-1338-4DB0-85BB-C6C89E4CB9A}", "{750B4A16-1338-4DB0-85BB-C6C89E4CB9AX}",
                            "750B4A16+1338-4DB0-85BB-C6C89E4CB9AC", "{750B4A16-1338-4DB0-85BB-C6C89E4CB9AC",
                            "{750B4A16-1338-4DB0-85BBC-6C89E4CB9AC}"}) {
        GUID before = kClass;
        EXPECT_FALSE(guidFromString(bad, before)) << bad;
        EXPECT_EQ(kClass, before) << "a rejected text leaves the output alone: " << bad;
    }
    EXPECT_FALSE(guidFromString(nullptr, g));
}

TEST(ComApartment, CountsPerThreadAndRefusesTheOtherModel) {
    std::thread([] {
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_SPEED_OVER_MEMORY));
        EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitialize(nullptr));
        EXPECT_EQ(2, plat::testing::comApartmentDepth());
        CoUninitialize();
        CoUninitialize();
        EXPECT_EQ(0, plat::testing::comApartmentDepth());
        CoUninitialize(); // one too many does no harm
        EXPECT_EQ(0, plat::testing::comApartmentDepth());
        EXPECT_EQ(S_OK, CoInitialize(nullptr));
        CoUninitialize();
    }).join();
}

TEST(ComCreate, RegisteredAbsentAggregatedAndOutsideAnApartment) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CO_E_NOTINITIALIZED, CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);

    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);

    registerComClass(kClass, createCounted);
    ASSERT_EQ(S_OK, CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object));
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(1, Counted::live.load());
    EXPECT_EQ(0u, static_cast<IUnknown*>(object)->Release());
    EXPECT_EQ(0, Counted::live.load());

    const IID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(kClass, nullptr, CLSCTX_ALL, other, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, Counted::live.load()) << "a failed query frees the new object";

    Counted* outer = new Counted;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(kClass, outer, CLSCTX_ALL, IID_IUnknown, &object));
    outer->Release();
    EXPECT_EQ(E_POINTER, CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr));

    unregisterComClass(kClass);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object));
    CoUninitialize();
}

TEST(ComResult, TextsOfTheCodesTheEngineReports) {
    EXPECT_EQ("Class not registered\r\n", systemText(static_cast<DWORD>(REGDB_E_CLASSNOTREG)));
    EXPECT_EQ("CoInitialize has not been called.\r\n", systemText(static_cast<DWORD>(CO_E_NOTINITIALIZED)));
    EXPECT_EQ("Access is denied.\r\n", systemText(static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))));
    EXPECT_EQ(S_OK, HRESULT_FROM_WIN32(ERROR_SUCCESS));
}

TEST(ComMemory, TaskMemoryOfAnySize) {
    void* p = CoTaskMemAlloc(0);
    EXPECT_NE(nullptr, p);
    CoTaskMemFree(p);
    CoTaskMemFree(nullptr);
}
