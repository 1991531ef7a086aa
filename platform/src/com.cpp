// GUIDs, apartments, the class registry and task memory.
#include "plat/com.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace plat {

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

bool operator==(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

bool operator<(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1)
        return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2)
        return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3)
        return a.Data3 < b.Data3;
    return std::memcmp(a.Data4, b.Data4, sizeof a.Data4) < 0;
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads count hex digits at text[pos]; false on anything else.
bool readHex(const char* text, size_t pos, int count, uint32_t& value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        const int d = hexDigit(text[pos + i]);
        if (d < 0)
            return false;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    return true;
}

struct Apartment {
    int depth = 0;
    DWORD model = 0;
};
thread_local Apartment apartment;

std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}

std::map<GUID, ClassFactory>& classes() {
    static std::map<GUID, ClassFactory> registry;
    return registry;
}

} // namespace

bool guidFromString(const char* text, GUID& out) {
    if (!text)
        return false;
    size_t length = std::strlen(text);
    if (length == 38 && text[0] == '{' && text[37] == '}') {
        ++text;
        length = 36;
    }
    if (length != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return false;
    uint32_t d1, d2, d3, b;
    if (!readHex(text, 0, 8, d1) || !readHex(text, 9, 4, d2) || !readHex(text, 14, 4, d3))
        return false;
    GUID g{d1, static_cast<WORD>(d2), static_cast<WORD>(d3), {}};
    static const size_t offsets[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        if (!readHex(text, offsets[i], 2, b))
            return false;
        g.Data4[i] = static_cast<BYTE>(b);
    }
    out = g;
    return true;
}

std::string guidToString(REFGUID g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return text;
}

HRESULT CoInitializeEx(LPVOID, DWORD coInit) {
    const DWORD model = coInit & COINIT_APARTMENTTHREADED;
    if (apartment.depth > 0 && apartment.model != model)
        return RPC_E_CHANGED_MODE;
    apartment.model = model;
    return apartment.depth++ == 0 ? S_OK : S_FALSE;
}

HRESULT CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize() {
    if (apartment.depth > 0)
        --apartment.depth;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD, REFIID riid, LPVOID* object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (apartment.depth == 0)
        return CO_E_NOTINITIALIZED;
    ClassFactory factory;
    {
        std::lock_guard<std::mutex> guard(registryLock());
        auto it = classes().find(clsid);
        if (it == classes().end())
            return REGDB_E_CLASSNOTREG;
        factory = it->second;
    }
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return factory(riid, object);
}

LPVOID CoTaskMemAlloc(size_t size) { return std::malloc(size ? size : 1); }

void CoTaskMemFree(LPVOID memory) { std::free(memory); }

void registerComClass(REFCLSID clsid, ClassFactory factory) {
    std::lock_guard<std::mutex> guard(registryLock());
    classes()[clsid] = std::move(factory);
}

void unregisterComClass(REFCLSID clsid) {
    std::lock_guard<std::mutex> guard(registryLock());
    classes().erase(clsid);
}

namespace testing {
int comApartmentDepth() { return apartment.depth; }
} // namespace testing

} // namespace plat
