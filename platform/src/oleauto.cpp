// BSTR, VARIANT, OleRun and the type-library registry.
#include "plat/oleauto.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace plat {

const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IConnectionPointContainer = {0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IConnectionPoint = {0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IRunnableObject = {0x00000126, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

std::atomic<long> bstrCount{0};
std::atomic<long> typeObjectCount{0};
std::atomic<int> failingAllocations{0};

constexpr size_t kPrefix = sizeof(uint32_t);

} // namespace

BSTR SysAllocStringByteLen(const char* bytes, UINT length) {
    // Prefix, the bytes, and a zero wide character (two bytes) after them.
    if (length > 0x7FFFFFF0u)
        return nullptr;
    for (int left = failingAllocations.load(); left > 0;)
        if (failingAllocations.compare_exchange_weak(left, left - 1))
            return nullptr;
    auto* block = static_cast<char*>(std::malloc(kPrefix + length + sizeof(WCHAR) + 1));
    if (!block)
        return nullptr;
    const uint32_t byteLength = length;
    std::memcpy(block, &byteLength, kPrefix);
    if (bytes)
        std::memcpy(block + kPrefix, bytes, length);
    std::memset(block + kPrefix + length, 0, sizeof(WCHAR) + 1);
    ++bstrCount;
    return reinterpret_cast<BSTR>(block + kPrefix);
}

BSTR SysAllocStringLen(LPCOLESTR text, UINT length) {
    if (length > 0x3FFFFFF0u)
        return nullptr;
    return SysAllocStringByteLen(reinterpret_cast<const char*>(text), length * UINT(sizeof(WCHAR)));
}

BSTR SysAllocString(LPCOLESTR text) {
    if (!text)
        return nullptr;
    UINT length = 0;
    while (text[length])
        ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    if (!text)
        return;
    --bstrCount;
    std::free(reinterpret_cast<char*>(text) - kPrefix);
}

UINT SysStringByteLen(BSTR text) {
    if (!text)
        return 0;
    uint32_t byteLength;
    std::memcpy(&byteLength, reinterpret_cast<char*>(text) - kPrefix, kPrefix);
    return byteLength;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / UINT(sizeof(WCHAR)); }

void VariantInit(VARIANT* value) {
    if (!value)
        return;
    std::memset(value, 0, sizeof *value);
    value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* value) {
    if (!value)
        return E_INVALIDARG;
    switch (value->vt) {
    case VT_BSTR:
        SysFreeString(value->bstrVal);
        break;
    case VT_UNKNOWN:
        if (value->punkVal)
            value->punkVal->Release();
        break;
    case VT_DISPATCH:
        if (value->pdispVal)
            value->pdispVal->Release();
        break;
    default:
        break;
    }
    VariantInit(value);
    return S_OK;
}

HRESULT OleRun(IUnknown* object) {
    if (!object)
        return E_INVALIDARG;
    IRunnableObject* runnable = nullptr;
    if (FAILED(object->QueryInterface(IID_IRunnableObject, reinterpret_cast<void**>(&runnable))) || !runnable)
        return S_OK;
    const HRESULT hr = runnable->Run(nullptr);
    runnable->Release();
    return hr;
}

namespace {

bool sameNameIgnoringCase(const OLECHAR* wide, const std::string& name) {
    size_t i = 0;
    for (; wide[i] && i < name.size(); ++i) {
        OLECHAR a = wide[i];
        char b = name[i];
        if (a >= 'A' && a <= 'Z')
            a = OLECHAR(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z')
            b = char(b - 'A' + 'a');
        if (a != OLECHAR(static_cast<unsigned char>(b)))
            return false;
    }
    return wide[i] == 0 && i == name.size();
}

class RefCounted {
public:
    RefCounted() { ++typeObjectCount; }
    virtual ~RefCounted() { --typeObjectCount; }

protected:
    std::atomic<ULONG> count{1};
};

class TypeInfo final : public ITypeInfo, RefCounted {
public:
    explicit TypeInfo(std::shared_ptr<const TypeDescription> description) : description(std::move(description)) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<ITypeInfo*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return ++count; }
    ULONG Release() override {
        const ULONG left = --count;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT GetIDsOfNames(OLECHAR** names, UINT nameCount, MEMBERID* ids) override {
        if (!names || !ids)
            return E_INVALIDARG;
        HRESULT result = S_OK;
        for (UINT i = 0; i < nameCount; ++i) {
            ids[i] = DISPID_UNKNOWN;
            if (!names[i]) {
                result = DISP_E_UNKNOWNNAME;
                continue;
            }
            bool found = false;
            for (const TypeMember& member : description->members) {
                if (sameNameIgnoringCase(names[i], member.name)) {
                    ids[i] = member.id;
                    found = true;
                    break;
                }
            }
            if (!found)
                result = DISP_E_UNKNOWNNAME;
        }
        return result;
    }

    HRESULT Invoke(void* instance, MEMBERID id, WORD flags, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                   UINT* argumentError) override {
        if (!instance)
            return E_INVALIDARG;
        if (!(flags & DISPATCH_METHOD))
            return DISP_E_MEMBERNOTFOUND;
        const TypeMember* member = nullptr;
        for (const TypeMember& candidate : description->members) {
            if (candidate.id == id) {
                member = &candidate;
                break;
            }
        }
        if (!member || !member->call)
            return DISP_E_MEMBERNOTFOUND;
        const UINT given = parameters ? parameters->cArgs : 0;
        if (given != member->parameters.size() || (given && !parameters->rgvarg))
            return DISP_E_BADPARAMCOUNT;
        std::vector<VARIANT> arguments;
        for (UINT i = 0; i < given; ++i) {
            // DISPPARAMS holds the last argument first.
            const VARIANT& argument = parameters->rgvarg[given - 1 - i];
            const VARTYPE expected = member->parameters[i];
            const bool objectExpected = expected == VT_UNKNOWN || expected == VT_DISPATCH;
            const bool objectGiven = argument.vt == VT_UNKNOWN || argument.vt == VT_DISPATCH;
            if (argument.vt != expected && !(objectExpected && objectGiven)) {
                if (argumentError)
                    *argumentError = given - 1 - i;
                return DISP_E_TYPEMISMATCH;
            }
            arguments.push_back(argument);
        }
        return member->call(instance, arguments);
    }

private:
    std::shared_ptr<const TypeDescription> description;
};

struct LibraryEntry {
    WORD major;
    WORD minor;
    std::vector<std::shared_ptr<const TypeDescription>> types;
};

std::mutex& libraryLock() {
    static std::mutex lock;
    return lock;
}
std::map<GUID, LibraryEntry>& libraries() {
    static auto* registry = new std::map<GUID, LibraryEntry>();
    return *registry;
}

class TypeLib final : public ITypeLib, RefCounted {
public:
    explicit TypeLib(std::vector<std::shared_ptr<const TypeDescription>> types) : types(std::move(types)) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid != IID_IUnknown)
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<ITypeLib*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return ++count; }
    ULONG Release() override {
        const ULONG left = --count;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
        if (!info)
            return E_INVALIDARG;
        *info = nullptr;
        for (const auto& type : types) {
            if (type->iid == guid) {
                *info = new TypeInfo(type);
                return S_OK;
            }
        }
        return TYPE_E_ELEMENTNOTFOUND;
    }

private:
    std::vector<std::shared_ptr<const TypeDescription>> types;
};

} // namespace

HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID, ITypeLib** library) {
    if (!library)
        return E_INVALIDARG;
    *library = nullptr;
    std::vector<std::shared_ptr<const TypeDescription>> types;
    {
        std::lock_guard<std::mutex> guard(libraryLock());
        auto it = libraries().find(libid);
        if (it == libraries().end() || it->second.major != major || it->second.minor < minor)
            return TYPE_E_LIBNOTREGISTERED;
        types = it->second.types;
    }
    *library = new TypeLib(std::move(types));
    return S_OK;
}

void registerTypeLib(REFGUID libid, WORD major, WORD minor, std::vector<TypeDescription> types) {
    LibraryEntry entry{major, minor, {}};
    for (auto& type : types)
        entry.types.push_back(std::make_shared<const TypeDescription>(std::move(type)));
    std::lock_guard<std::mutex> guard(libraryLock());
    libraries()[libid] = std::move(entry);
}

void unregisterTypeLib(REFGUID libid) {
    std::lock_guard<std::mutex> guard(libraryLock());
    libraries().erase(libid);
}

namespace testing {
long liveBstrCount() { return bstrCount.load(); }
long liveTypeObjectCount() { return typeObjectCount.load(); }
void failBstrAllocations(int count) { failingAllocations = count; }
} // namespace testing

} // namespace plat
