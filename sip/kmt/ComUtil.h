// Turning a class into a COM object: an interface table, IUnknown with an atomic count, IDispatch over
// a registered type library; the check that turns a failing HRESULT into an exception; and attaching
// a sink to a connection point.
#pragma once

#include "plat/oleauto.h"

#include <atomic>
#include <mutex>
#include <ostream>
#include <vector>

namespace kmt {

// The interface id of an interface type; each interface the templates serve declares its own.
template <class I>
struct InterfaceId;
template <>
struct InterfaceId<plat::IUnknown> {
    static const plat::IID& get() { return plat::IID_IUnknown; }
};
template <>
struct InterfaceId<plat::IDispatch> {
    static const plat::IID& get() { return plat::IID_IDispatch; }
};
#define KMT_INTERFACE_ID(Interface, iidConstant)                                                             \
    template <>                                                                                              \
    struct kmt::InterfaceId<Interface> {                                                                     \
        static const plat::IID& get() { return iidConstant; }                                               \
    }

// The interface table of one object, in registration order. The object is deleted through it.
class IUnknownBase {
public:
    struct Entry {
        plat::IID iid;
        void* pointer;
    };
    IUnknownBase();
    virtual ~IUnknownBase();
    IUnknownBase(const IUnknownBase&) = delete;
    IUnknownBase& operator=(const IUnknownBase&) = delete;

protected:
    void addInterface(const plat::IID& iid, void* pointer) { interfaces.push_back({iid, pointer}); }
    const Entry* findInterface(const plat::IID& iid) const {
        for (const Entry& entry : interfaces)
            if (entry.iid == iid)
                return &entry;
        return nullptr;
    }

private:
    std::vector<Entry> interfaces;

    template <int N, class Interface>
    friend struct IUnknownSuperClass;
};

template <class... Interfaces>
struct ClassList {};

// One interface the object answers: adds its table entry, pointing at the object.
template <int N, class Interface>
struct IUnknownSuperClass {
    static void add(IUnknownBase& table, void* object) { table.addInterface(InterfaceId<Interface>::get(), object); }
};

// The interfaces an object answers, in table order.
template <class List, class... Interfaces>
struct ISuperClassList;
template <class List>
struct ISuperClassList<List> {
    static void add(IUnknownBase&, void*) {}
};
template <class List, class First, class... Rest>
struct ISuperClassList<List, First, Rest...> {
    static void add(IUnknownBase& table, void* object) {
        IUnknownSuperClass<int(sizeof...(Rest)), First>::add(table, object);
        ISuperClassList<List, Rest...>::add(table, object);
    }
};

// I's vtable, the interface table (IUnknown, IDispatch, I, all pointing at the object) and a count
// that starts at 1.
template <class Dispatch, class I>
class IUnknownImpl : public I, public IUnknownBase {
public:
    IUnknownImpl() {
        ISuperClassList<ClassList<Dispatch, I>, plat::IUnknown, Dispatch, I>::add(*this, static_cast<I*>(this));
    }

    plat::HRESULT QueryInterface(const plat::IID& iid, void** out) override {
        if (!out)
            return plat::E_POINTER;
        const Entry* entry = findInterface(iid);
        if (!entry)
            return plat::E_NOINTERFACE;
        static_cast<I*>(entry->pointer)->AddRef();
        *out = entry->pointer;
        return plat::S_OK;
    }
    plat::ULONG AddRef() override { return ++refCount; }
    plat::ULONG Release() override {
        const plat::ULONG left = --refCount;
        if (left == 0)
            delete static_cast<IUnknownBase*>(this);
        return left;
    }

    plat::ULONG referenceCount() const { return refCount.load(); }

private:
    std::atomic<plat::ULONG> refCount{1};
};

// The type information of one object, loaded from the registered type library at first need.
class IDispatchBase {
public:
    IDispatchBase(void* owner, const plat::IID* iid, const plat::GUID* libid, plat::WORD major, plat::WORD minor)
        : owner(owner), iid(iid), libid(libid), major(major), minor(minor) {}
    virtual ~IDispatchBase();
    IDispatchBase(const IDispatchBase&) = delete;
    IDispatchBase& operator=(const IDispatchBase&) = delete;

    plat::HRESULT loadTypeInfo(plat::LCID lcid);

protected:
    void* owner;
    const plat::IID* iid;
    const plat::GUID* libid;
    plat::WORD major;
    plat::WORD minor;
    std::mutex lock;
    plat::ITypeLib* typeLib = nullptr;
    plat::ITypeInfo* typeInfo = nullptr;
};

template <class I, const plat::GUID* Libid, plat::WORD Major, plat::WORD Minor>
class IDispatchImpl : public IUnknownImpl<plat::IDispatch, I>, public IDispatchBase {
public:
    IDispatchImpl() : IDispatchBase(static_cast<I*>(this), &InterfaceId<I>::get(), Libid, Major, Minor) {}

    plat::HRESULT GetTypeInfoCount(plat::UINT* count) override {
        if (!count)
            return plat::E_INVALIDARG;
        *count = 1;
        return plat::S_OK;
    }
    plat::HRESULT GetTypeInfo(plat::UINT, plat::LCID lcid, plat::ITypeInfo** info) override {
        if (!info)
            return plat::E_INVALIDARG;
        const plat::HRESULT hr = loadTypeInfo(lcid);
        if (hr != plat::S_OK)
            return hr;
        if (typeInfo)
            typeInfo->AddRef();
        *info = typeInfo;
        return plat::S_OK;
    }
    plat::HRESULT GetIDsOfNames(const plat::IID&, plat::OLECHAR** names, plat::UINT count, plat::LCID lcid,
                                plat::DISPID* ids) override {
        const plat::HRESULT hr = loadTypeInfo(lcid);
        if (hr != plat::S_OK)
            return hr;
        return typeInfo->GetIDsOfNames(names, count, ids);
    }
    plat::HRESULT Invoke(plat::DISPID id, const plat::IID&, plat::LCID lcid, plat::WORD flags,
                         plat::DISPPARAMS* parameters, plat::VARIANT* result, plat::EXCEPINFO* exception,
                         plat::UINT* argumentError) override {
        const plat::HRESULT hr = loadTypeInfo(lcid);
        if (hr != plat::S_OK)
            return hr;
        return typeInfo->Invoke(owner, id, flags, parameters, result, exception, argumentError);
    }
};

// Objects built on these templates that are alive, process-wide (reference balance checks).
long liveComObjects();

// Holds one reference; releases it when replaced or destroyed.
template <class T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    void reset(T* value = nullptr) {
        if (pointer)
            pointer->Release();
        pointer = value;
    }
    T** out() {
        reset();
        return &pointer;
    }
    T* get() const { return pointer; }
    T* operator->() const { return pointer; }
    explicit operator bool() const { return pointer != nullptr; }

private:
    T* pointer = nullptr;
};

// Writes " : error <hex>: <text>" for an HRESULT; the stream is left in hexadecimal.
void writeHResult(std::ostream& out, plat::HRESULT hr);
// Throws std::runtime_error "<file>(<line>) : error ..." for anything but S_OK.
void checkHResult(plat::HRESULT hr, const char* file, int line);
#define KMT_CHECK_HRESULT(expression) ::kmt::checkHResult((expression), __FILE__, __LINE__)

// Connects sink to the connection point for iid of source; cookie receives the connection.
plat::HRESULT adviseSink(plat::IUnknown* source, plat::IUnknown* sink, const plat::IID& iid, plat::DWORD* cookie);
plat::HRESULT unadviseSink(plat::IUnknown* source, const plat::IID& iid, plat::DWORD cookie);

} // namespace kmt
