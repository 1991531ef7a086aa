// The Plantronics hub as a COM server in the class registry: a session manager, one session with its
// call commands, the active device, connection points for both event interfaces, and a thread of
// its own that raises the events.
#include "spokes3g/HubDriver.h"
#include "spokes3g/Spokes3G.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace spokes3g {
namespace hub {

using namespace plat;

namespace {

std::atomic<long> liveCount{0};

std::string narrow(const char16_t* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const char16_t c = text[i];
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

BSTR bstrOf(const std::u16string& text) { return SysAllocStringLen(text.data(), UINT(text.size())); }

// Counted object answering IUnknown, IDispatch (without type information) and its interface.
template <class I>
class HubObject : public I {
public:
    explicit HubObject(const IID& iid) : iid(iid) { ++liveCount; }
    virtual ~HubObject() { --liveCount; }

    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (!out)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == iid) {
            AddRef();
            *out = static_cast<I*>(this);
            return S_OK;
        }
        return queryMore(riid, out);
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
        const ULONG left = --refs;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_INVALIDARG;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    ULONG count() const { return refs.load(); }

protected:
    virtual HRESULT queryMore(REFIID, void**) { return E_NOINTERFACE; }

private:
    IID iid;
    std::atomic<ULONG> refs{1};
};

// ---- failures and the journal

std::mutex stateLock;
std::map<Step, HRESULT> failures;
std::map<Step, bool> nullObjects;
std::vector<std::string> commands;
std::string registeredName;

HRESULT failureOf(Step step) {
    std::lock_guard<std::mutex> guard(stateLock);
    auto it = failures.find(step);
    return it == failures.end() ? S_OK : it->second;
}

bool nullOf(Step step) {
    std::lock_guard<std::mutex> guard(stateLock);
    auto it = nullObjects.find(step);
    return it != nullObjects.end() && it->second;
}

void note(const std::string& entry) {
    std::lock_guard<std::mutex> guard(stateLock);
    commands.push_back(entry);
}

// ---- connection points

class EventPoint final : public IConnectionPoint {
public:
    EventPoint(IUnknown* owner, const IID& iid) : owner(owner), iid(iid) {}
    ~EventPoint() { clear(); }

    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (!out)
            return E_POINTER;
        if (riid != IID_IUnknown && riid != IID_IConnectionPoint)
            return E_NOINTERFACE;
        AddRef();
        *out = static_cast<IConnectionPoint*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return owner->AddRef(); }
    ULONG Release() override { return owner->Release(); }
    HRESULT GetConnectionInterface(IID* out) override {
        if (!out)
            return E_POINTER;
        *out = iid;
        return S_OK;
    }
    HRESULT GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
        if (!sink || !cookie)
            return E_POINTER;
        const HRESULT failure = failureOf(Step::Advise);
        if (failure != S_OK)
            return failure;
        IDispatch* dispatch = nullptr;
        if (sink->QueryInterface(iid, reinterpret_cast<void**>(&dispatch)) != S_OK || !dispatch)
            return CONNECT_E_CANNOTCONNECT;
        std::lock_guard<std::mutex> guard(lock);
        *cookie = nextCookie++;
        sinks[*cookie] = dispatch;
        return S_OK;
    }
    HRESULT Unadvise(DWORD cookie) override {
        IDispatch* sink = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock);
            auto it = sinks.find(cookie);
            if (it == sinks.end())
                return CONNECT_E_NOCONNECTION;
            sink = it->second;
            sinks.erase(it);
        }
        sink->Release();
        return S_OK;
    }
    HRESULT EnumConnections(void**) override { return E_NOTIMPL; }

    // The connected sinks, each with a reference for the caller.
    std::vector<IDispatch*> snapshot() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<IDispatch*> out;
        for (auto& entry : sinks) {
            entry.second->AddRef();
            out.push_back(entry.second);
        }
        return out;
    }
    int size() {
        std::lock_guard<std::mutex> guard(lock);
        return int(sinks.size());
    }
    void clear() {
        std::map<DWORD, IDispatch*> gone;
        {
            std::lock_guard<std::mutex> guard(lock);
            gone.swap(sinks);
        }
        for (auto& entry : gone)
            entry.second->Release();
    }
    const IID& interfaceId() const { return iid; }

private:
    IUnknown* owner;
    IID iid;
    std::mutex lock;
    std::map<DWORD, IDispatch*> sinks;
    DWORD nextCookie = 1;
};

// Calls one event method on sinks through IDispatch::Invoke; the result of the last sink.
HRESULT raise(const std::vector<IDispatch*>& sinks, DISPID id, IDispatch* args) {
    HRESULT result = S_OK;
    for (IDispatch* sink : sinks) {
        VARIANT argument;
        VariantInit(&argument);
        argument.vt = VT_DISPATCH;
        argument.pdispVal = args;
        DISPPARAMS params{&argument, nullptr, 1, 0};
        result = sink->Invoke(id, IID_IUnknown, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                              nullptr);
    }
    return result;
}

void releaseAll(std::vector<IDispatch*>& sinks) {
    for (IDispatch* sink : sinks)
        sink->Release();
    sinks.clear();
}

class Container final : public IConnectionPointContainer {
public:
    Container(IUnknown* owner, const IID& iid) : owner(owner), point(owner, iid) {}
    HRESULT QueryInterface(REFIID riid, void** out) override { return owner->QueryInterface(riid, out); }
    ULONG AddRef() override { return owner->AddRef(); }
    ULONG Release() override { return owner->Release(); }
    HRESULT EnumConnectionPoints(void**) override { return E_NOTIMPL; }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (riid != point.interfaceId())
            return CONNECT_E_NOCONNECTION;
        point.AddRef();
        *out = &point;
        return S_OK;
    }
    EventPoint& eventPoint() { return point; }

private:
    IUnknown* owner;
    EventPoint point;
};

// ---- the hub's objects

class HubCall final : public HubObject<ICOMCall> {
public:
    explicit HubCall(LONG id) : HubObject(IID_ICOMCall), id(id) {}
    HRESULT get_Id(LONG* out) override {
        if (!out)
            return E_POINTER;
        *out = id;
        return S_OK;
    }
    HRESULT put_Id(LONG value) override {
        id = value;
        return S_OK;
    }
    HRESULT get_ConferenceId(LONG*) override { return E_NOTIMPL; }
    HRESULT put_ConferenceId(LONG) override { return E_NOTIMPL; }
    HRESULT get_InConference(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT put_InConference(VARIANT_BOOL) override { return E_NOTIMPL; }

private:
    LONG id;
};

// A contact of the hub: only the phone number is set.
class HubContact final : public HubObject<ICOMContact> {
public:
    explicit HubContact(const std::u16string& number) : HubObject(IID_ICOMContact), number(number) {}
    HRESULT get_Name(BSTR* out) override { return text(u"Headset contact", out); }
    HRESULT put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT get_FriendlyName(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_FriendlyName(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Id(LONG* out) override {
        if (!out)
            return E_POINTER;
        *out = 9;
        return S_OK;
    }
    HRESULT put_Id(LONG) override { return E_NOTIMPL; }
    HRESULT get_SipUri(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_SipUri(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Phone(BSTR* out) override { return text(number, out); }
    HRESULT put_Phone(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Email(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_Email(BSTR) override { return E_NOTIMPL; }
    HRESULT get_WorkPhone(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_WorkPhone(BSTR) override { return E_NOTIMPL; }
    HRESULT get_MobilePhone(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_MobilePhone(BSTR) override { return E_NOTIMPL; }
    HRESULT get_HomePhone(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_HomePhone(BSTR) override { return E_NOTIMPL; }

private:
    static HRESULT text(const std::u16string& value, BSTR* out) {
        if (!out)
            return E_POINTER;
        *out = bstrOf(value);
        return S_OK;
    }
    std::u16string number;
};

class CallEventArgs final : public HubObject<ICOMCallEventArgs> {
public:
    explicit CallEventArgs(const CallEvent& event) : HubObject(IID_ICOMCallEventArgs), event(event) {}
    HRESULT get_CallState(LONG* out) override {
        if (!out)
            return E_POINTER;
        if (!event.withState)
            return E_FAIL;
        *out = event.callState;
        return S_OK;
    }
    HRESULT get_DeviceEventKind(LONG* out) override {
        if (!out)
            return E_POINTER;
        *out = 3;
        return S_OK;
    }
    HRESULT GetEventInfo(BSTR key, BSTR* out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!event.withDtmf || !key || std::u16string(key) != u"DTMFKey")
            return E_FAIL;
        *out = bstrOf(event.dtmf);
        return S_OK;
    }
    HRESULT get_Call(ICOMCall** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (event.callId < 0)
            return E_FAIL;
        *out = new HubCall(event.callId);
        return S_OK;
    }
    HRESULT get_CallSource(BSTR* out) override {
        if (!out)
            return E_POINTER;
        *out = bstrOf(u"headset");
        return S_OK;
    }
    HRESULT get_CallerIdentity(BSTR*) override { return E_NOTIMPL; }

private:
    CallEvent event;
};

class CallRequestArgs final : public HubObject<ICOMCallRequestEventArgs> {
public:
    CallRequestArgs(const std::u16string& number, bool withContact)
        : HubObject(IID_ICOMCallRequestEventArgs), number(number), withContact(withContact) {}
    HRESULT get_Contact(ICOMContact** out) override {
        if (!out)
            return E_POINTER;
        *out = withContact ? new HubContact(number) : nullptr;
        return withContact ? S_OK : E_FAIL;
    }

private:
    std::u16string number;
    bool withContact;
};

class HostCommand final : public HubObject<IDispatch> {
public:
    HostCommand() : HubObject(IID_IDispatch) {}
};

class Device final : public HubObject<ICOMDevice> {
public:
    Device(std::string product, std::string internal, std::string manufacturer, std::string serial)
        : HubObject(IID_ICOMDevice), product(std::move(product)), internal(std::move(internal)),
          manufacturer(std::move(manufacturer)), serial(std::move(serial)) {}
    HRESULT Reserved1() override { return E_NOTIMPL; }
    HRESULT Reserved2() override { return E_NOTIMPL; }
    HRESULT Reserved3() override { return E_NOTIMPL; }
    HRESULT get_InternalName(BSTR* out) override { return name(internal, out); }
    HRESULT get_ProductName(BSTR* out) override { return name(product, out); }
    HRESULT get_ManufacturerName(BSTR* out) override { return name(manufacturer, out); }
    HRESULT get_SerialNumber(BSTR* out) override { return name(serial, out); }
    HRESULT get_HostCommand(IDispatch** out) override {
        if (!out)
            return E_POINTER;
        *out = new HostCommand;
        return S_OK;
    }

private:
    static HRESULT name(const std::string& value, BSTR* out) {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        const HRESULT failure = failureOf(Step::DeviceName);
        if (failure != S_OK)
            return failure;
        *out = bstrOf(widen(value));
        return S_OK;
    }
    std::string product, internal, manufacturer, serial;
};

class CallCommand final : public HubObject<ICOMCallCommand> {
public:
    CallCommand() : HubObject(IID_ICOMCallCommand) {}
    HRESULT IncomingCall(ICOMCall* call, ICOMContact* contact, LONG, LONG) override {
        return record("incoming", call, contact);
    }
    HRESULT OutgoingCall(ICOMCall* call, ICOMContact* contact, LONG) override {
        return record("outgoing", call, contact);
    }
    HRESULT TerminateCall(ICOMCall* call) override { return record("terminate", call, nullptr); }
    HRESULT AnsweredCall(ICOMCall* call) override { return record("answered", call, nullptr); }
    HRESULT HoldCall(ICOMCall* call) override { return record("hold", call, nullptr); }
    HRESULT ResumeCall(ICOMCall* call) override { return record("resume", call, nullptr); }
    HRESULT Reserved7() override { return E_NOTIMPL; }
    HRESULT MuteCall(ICOMCall* call, VARIANT_BOOL mute) override {
        return record(mute == VARIANT_TRUE ? "mute-on" : mute == VARIANT_FALSE ? "mute-off" : "mute-bad", call,
                      nullptr);
    }

private:
    static HRESULT record(const char* what, ICOMCall* call, ICOMContact* contact) {
        if (!call)
            return E_POINTER;
        LONG id = 0;
        if (call->get_Id(&id) != S_OK)
            return E_INVALIDARG;
        std::string entry = std::string(what) + " " + std::to_string(id);
        if (contact) {
            BSTR name = nullptr;
            if (contact->get_Name(&name) != S_OK)
                return E_INVALIDARG;
            entry += " " + narrow(name ? name : u"", SysStringLen(name));
            SysFreeString(name);
        }
        note(entry);
        return failureOf(Step::Commands);
    }
};

class Settings final : public HubObject<ICOMSettings> {
public:
    Settings() : HubObject(IID_ICOMSettings) {}
    HRESULT Reserved1() override { return E_NOTIMPL; }
    HRESULT Reserved2() override { return E_NOTIMPL; }
    HRESULT Reserved3() override { return E_NOTIMPL; }
    HRESULT Reserved4() override { return E_NOTIMPL; }
    HRESULT Reserved5() override { return E_NOTIMPL; }
    HRESULT Reserved6() override { return E_NOTIMPL; }
    HRESULT Reserved7() override { return E_NOTIMPL; }
    HRESULT put_PluginName(BSTR name) override {
        if (!name)
            return E_POINTER;
        std::lock_guard<std::mutex> guard(stateLock);
        registeredName = narrow(name, SysStringLen(name));
        return S_OK;
    }
};

class Session final : public HubObject<ICOMSession> {
public:
    Session() : HubObject(IID_ICOMSession), container(this, IID_ICOMCallEvents) {}
    HRESULT get_CallCommand(ICOMCallCommand** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        const HRESULT failure = failureOf(Step::CallCommand);
        if (failure != S_OK || nullOf(Step::CallCommand))
            return failure;
        commandObject->AddRef();
        *out = commandObject;
        return S_OK;
    }
    HRESULT Reserved2() override { return E_NOTIMPL; }
    HRESULT Reserved3() override { return E_NOTIMPL; }
    HRESULT get_ActiveDevice(ICOMDevice** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        const HRESULT failure = failureOf(Step::ActiveDevice);
        if (failure != S_OK)
            return failure;
        std::lock_guard<std::mutex> guard(deviceLock);
        if (device) {
            device->AddRef();
            *out = device;
        }
        return S_OK;
    }
    void setDevice(Device* next) {
        Device* old;
        {
            std::lock_guard<std::mutex> guard(deviceLock);
            old = device;
            device = next;
        }
        if (old)
            old->Release();
    }
    // Drops the hub's own references to what it made.
    void shutdown() {
        setDevice(nullptr);
        container.eventPoint().clear();
        if (commandObject) {
            commandObject->Release();
            commandObject = nullptr;
        }
    }
    EventPoint& events() { return container.eventPoint(); }
    CallCommand* commandObject = new CallCommand;

protected:
    HRESULT queryMore(REFIID riid, void** out) override {
        if (riid != IID_IConnectionPointContainer)
            return E_NOINTERFACE;
        AddRef();
        *out = static_cast<IConnectionPointContainer*>(&container);
        return S_OK;
    }

private:
    Container container;
    std::mutex deviceLock;
    Device* device = nullptr;
};

// The server object: the session manager, also runnable.
class Server final : public HubObject<ICOMSessionManager>, public IRunnableObject {
public:
    Server() : HubObject(IID_ICOMSessionManager), container(static_cast<ICOMSessionManager*>(this), IID_ICOMSessionManagerEvents) {}

    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_ICOMSessionManager && out && failureOf(Step::Query) != S_OK)
            return failureOf(Step::Query);
        return HubObject::QueryInterface(riid, out);
    }
    ULONG AddRef() override { return HubObject::AddRef(); }
    ULONG Release() override { return HubObject::Release(); }

    HRESULT Register(BSTR name, ICOMSession** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        const HRESULT failure = failureOf(Step::Register);
        if (failure != S_OK || nullOf(Step::Register))
            return failure;
        {
            std::lock_guard<std::mutex> guard(stateLock);
            registeredName = narrow(name ? name : u"", SysStringLen(name));
        }
        session->AddRef();
        *out = session;
        return S_OK;
    }
    HRESULT UnRegister(ICOMSession*) override { return S_OK; }
    HRESULT get_Settings(ICOMSettings** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        const HRESULT failure = failureOf(Step::Settings);
        if (failure != S_OK || nullOf(Step::Settings))
            return failure;
        *out = new Settings;
        return S_OK;
    }

    HRESULT GetRunningClass(CLSID* clsid) override {
        if (!clsid)
            return E_POINTER;
        *clsid = CLSID_COMSessionManager;
        return S_OK;
    }
    HRESULT Run(void*) override { return failureOf(Step::Run); }
    BOOL IsRunning() override { return TRUE; }
    HRESULT LockRunning(BOOL, BOOL) override { return S_OK; }
    HRESULT SetContainedObject(BOOL) override { return S_OK; }

    void shutdown() {
        container.eventPoint().clear();
        if (session) {
            session->shutdown();
            session->Release();
            session = nullptr;
        }
    }
    EventPoint& events() { return container.eventPoint(); }
    Session* session = new Session;

protected:
    HRESULT queryMore(REFIID riid, void** out) override {
        if (riid == IID_IRunnableObject) {
            AddRef();
            *out = static_cast<IRunnableObject*>(this);
            return S_OK;
        }
        if (riid == IID_IConnectionPointContainer) {
            AddRef();
            *out = static_cast<IConnectionPointContainer*>(&container);
            return S_OK;
        }
        return E_NOINTERFACE;
    }

private:
    Container container;
};

// ---- the hub: its server object and its thread

class Hub {
public:
    static Hub& instance() {
        static Hub* hub = new Hub;
        return *hub;
    }

    void install() {
        std::lock_guard<std::mutex> guard(lifeLock);
        if (server)
            return;
        server = new Server;
        worker = std::thread([this] { serve(); });
        registerTypeLibrary();
        registerComClass(CLSID_COMSessionManager, [](REFIID riid, void** out) -> HRESULT {
            const HRESULT failure = failureOf(Step::Create);
            if (failure != S_OK)
                return failure;
            if (nullOf(Step::Create)) {
                *out = nullptr;
                return S_OK;
            }
            Server* current = Hub::instance().currentServer();
            if (!current)
                return REGDB_E_CLASSNOTREG;
            HRESULT hr = current->QueryInterface(riid, out);
            current->Release();
            return hr;
        });
    }

    void uninstall() {
        Server* old;
        {
            std::lock_guard<std::mutex> guard(lifeLock);
            if (!server)
                return;
            unregisterComClass(CLSID_COMSessionManager);
            unregisterTypeLib(LIBID_Spokes3GCOMServerLib);
            post(nullptr);
            worker.join();
            old = server;
            server = nullptr;
        }
        dropKept();
        old->shutdown();
        old->Release();
    }

    Server* currentServer() {
        std::lock_guard<std::mutex> guard(lifeLock);
        if (server)
            server->AddRef();
        return server;
    }

    // Runs task on the hub's thread and waits for its result.
    HRESULT onHubThread(std::function<HRESULT(Server&)> task) {
        Server* current = currentServer();
        if (!current)
            return E_UNEXPECTED;
        auto promise = std::make_shared<std::promise<HRESULT>>();
        std::future<HRESULT> result = promise->get_future();
        post([task, promise, current] {
            const HRESULT hr = task(*current);
            current->Release();
            promise->set_value(hr);
        });
        return result.get();
    }

    void keep() {
        Server* current = currentServer();
        if (!current)
            return;
        std::vector<IDispatch*> sinks = current->session->events().snapshot();
        current->Release();
        std::lock_guard<std::mutex> guard(keptLock);
        for (IDispatch* sink : sinks)
            kept.push_back(sink);
    }
    std::vector<IDispatch*> keptSnapshot() {
        std::lock_guard<std::mutex> guard(keptLock);
        for (IDispatch* sink : kept)
            sink->AddRef();
        return kept;
    }
    void dropKept() {
        std::vector<IDispatch*> gone;
        {
            std::lock_guard<std::mutex> guard(keptLock);
            gone.swap(kept);
        }
        releaseAll(gone);
    }

private:
    void post(std::function<void()> task) {
        std::lock_guard<std::mutex> guard(queueLock);
        queue.push_back(std::move(task));
        queueReady.notify_one();
    }

    void serve() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> guard(queueLock);
                queueReady.wait(guard, [this] { return !queue.empty(); });
                task = std::move(queue.front());
                queue.pop_front();
            }
            if (!task)
                return;
            task();
        }
    }

    static void registerTypeLibrary() {
        TypeDescription callEvents{IID_ICOMCallEvents, {}};
        callEvents.members.push_back(
            {"onCallRequested", DISPID_onCallRequested, {VT_DISPATCH}, [](void* self, const std::vector<VARIANT>& a) {
                 ICOMCallRequestEventArgs* args = nullptr;
                 if (a[0].punkVal)
                     a[0].punkVal->QueryInterface(IID_ICOMCallRequestEventArgs, reinterpret_cast<void**>(&args));
                 const HRESULT hr = static_cast<ICOMCallEvents*>(self)->onCallRequested(args);
                 if (args)
                     args->Release();
                 return hr;
             }});
        callEvents.members.push_back({"onCallStateChanged", DISPID_onCallStateChanged, {VT_DISPATCH},
                                      [](void* self, const std::vector<VARIANT>& a) {
                                          ICOMCallEventArgs* args = nullptr;
                                          if (a[0].punkVal)
                                              a[0].punkVal->QueryInterface(IID_ICOMCallEventArgs,
                                                                           reinterpret_cast<void**>(&args));
                                          const HRESULT hr =
                                              static_cast<ICOMCallEvents*>(self)->onCallStateChanged(args);
                                          if (args)
                                              args->Release();
                                          return hr;
                                      }});
        TypeDescription managerEvents{IID_ICOMSessionManagerEvents, {}};
        managerEvents.members.push_back({"onDeviceStateChanged", DISPID_onDeviceStateChanged, {VT_DISPATCH},
                                         [](void* self, const std::vector<VARIANT>& a) {
                                             return static_cast<ICOMSessionManagerEvents*>(self)->onDeviceStateChanged(
                                                 a[0].pdispVal);
                                         }});
        managerEvents.members.push_back({"onCallStateChanged", DISPID_onCallStateChangedOfManager, {VT_DISPATCH},
                                         [](void* self, const std::vector<VARIANT>& a) {
                                             return static_cast<ICOMSessionManagerEvents*>(self)->onCallStateChanged(
                                                 a[0].pdispVal);
                                         }});
        registerTypeLib(LIBID_Spokes3GCOMServerLib, 3, 0, {callEvents, managerEvents});
    }

    std::mutex lifeLock;
    Server* server = nullptr;
    std::thread worker;
    std::mutex queueLock;
    std::condition_variable queueReady;
    std::deque<std::function<void()>> queue;
    std::mutex keptLock;
    std::vector<IDispatch*> kept;
};

HRESULT raiseCallEvent(std::vector<IDispatch*> sinks, const CallEvent& event) {
    auto* args = new CallEventArgs(event);
    const HRESULT hr = raise(sinks, DISPID_onCallStateChanged, args);
    args->Release();
    releaseAll(sinks);
    return hr;
}

} // namespace

void install() { Hub::instance().install(); }
void uninstall() { Hub::instance().uninstall(); }

void setFailure(Step step, HRESULT result) {
    std::lock_guard<std::mutex> guard(stateLock);
    if (result == S_OK)
        failures.erase(step);
    else
        failures[step] = result;
}

void setNullObject(Step step, bool null) {
    std::lock_guard<std::mutex> guard(stateLock);
    nullObjects[step] = null;
}

void clearFailures() {
    std::lock_guard<std::mutex> guard(stateLock);
    failures.clear();
    nullObjects.clear();
}

void attachDevice(const std::string& product, const std::string& internal, const std::string& manufacturer,
                  const std::string& serial) {
    Hub::instance().onHubThread([&](Server& server) {
        server.session->setDevice(new Device(product, internal, manufacturer, serial));
        std::vector<IDispatch*> sinks = server.events().snapshot();
        const HRESULT hr = raise(sinks, DISPID_onDeviceStateChanged, nullptr);
        releaseAll(sinks);
        return hr;
    });
}

void detachDevice() {
    Hub::instance().onHubThread([&](Server& server) {
        server.session->setDevice(nullptr);
        std::vector<IDispatch*> sinks = server.events().snapshot();
        const HRESULT hr = raise(sinks, DISPID_onDeviceStateChanged, nullptr);
        releaseAll(sinks);
        return hr;
    });
}

HRESULT raiseCallState(const CallEvent& event) {
    return Hub::instance().onHubThread(
        [&](Server& server) { return raiseCallEvent(server.session->events().snapshot(), event); });
}

HRESULT raiseCallRequest(const std::u16string& number, bool withContact) {
    return Hub::instance().onHubThread([&](Server& server) {
        std::vector<IDispatch*> sinks = server.session->events().snapshot();
        auto* args = new CallRequestArgs(number, withContact);
        const HRESULT hr = raise(sinks, DISPID_onCallRequested, args);
        args->Release();
        releaseAll(sinks);
        return hr;
    });
}

void keepSinks() { Hub::instance().keep(); }

HRESULT raiseOnKept(const CallEvent& event) {
    return Hub::instance().onHubThread(
        [&](Server&) { return raiseCallEvent(Hub::instance().keptSnapshot(), event); });
}

void dropKeptSinks() { Hub::instance().dropKept(); }

std::vector<std::string> takeCommands() {
    std::lock_guard<std::mutex> guard(stateLock);
    std::vector<std::string> out;
    out.swap(commands);
    return out;
}

std::string pluginName() {
    std::lock_guard<std::mutex> guard(stateLock);
    return registeredName;
}

int connectedSinks() {
    Server* server = Hub::instance().currentServer();
    if (!server)
        return 0;
    const int count = server->events().size() + server->session->events().size();
    server->Release();
    return count;
}

long liveObjects() { return liveCount.load(); }

long foreignReferences() {
    Server* server = Hub::instance().currentServer();
    if (!server)
        return 0;
    // Besides the reference just taken: the hub's own one on each object.
    const long refs = long(server->count()) - 2 + long(server->session->count()) - 1 +
                      long(server->session->commandObject->count()) - 1;
    server->Release();
    return refs;
}

} // namespace hub
} // namespace spokes3g

// The driver for tests hosted in a JVM.
extern "C" {
__attribute__((visibility("default"))) void spokes3g_hub_install() { spokes3g::hub::install(); }
__attribute__((visibility("default"))) void spokes3g_hub_uninstall() { spokes3g::hub::uninstall(); }
__attribute__((visibility("default"))) int spokes3g_hub_call_state(int callState, int callId, const char* dtmf) {
    spokes3g::hub::CallEvent event;
    event.callState = callState;
    event.callId = callId;
    if (dtmf) {
        event.withDtmf = true;
        event.dtmf = spokes3g::hub::widen(dtmf);
    }
    return spokes3g::hub::raiseCallState(event);
}
__attribute__((visibility("default"))) int spokes3g_hub_call_request(const char* number) {
    return spokes3g::hub::raiseCallRequest(spokes3g::hub::widen(number ? number : ""), number != nullptr);
}
__attribute__((visibility("default"))) void spokes3g_hub_attach_device(const char* product) {
    spokes3g::hub::attachDevice(product ? product : "", "internal", "Plantronics", "0001");
}
// Copies the notices (one a line) into buffer; returns the length they need.
__attribute__((visibility("default"))) int spokes3g_hub_take_commands(char* buffer, int size) {
    std::string all;
    for (const std::string& entry : spokes3g::hub::takeCommands())
        all += entry + "\n";
    if (buffer && size > 0) {
        const size_t n = std::min(all.size(), size_t(size - 1));
        all.copy(buffer, n);
        buffer[n] = '\0';
    }
    return int(all.size());
}
__attribute__((visibility("default"))) long spokes3g_hub_live_objects() { return spokes3g::hub::liveObjects(); }
}
