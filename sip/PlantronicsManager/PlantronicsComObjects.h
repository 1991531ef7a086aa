// The COM objects the engine hands to the Plantronics hub: the two event sinks and the call and
// contact values of the call notices.
#pragma once

#include "kmt/ComUtil.h"
#include "spokes3g/Spokes3G.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

KMT_INTERFACE_ID(spokes3g::ICOMCallEvents, spokes3g::IID_ICOMCallEvents);
KMT_INTERFACE_ID(spokes3g::ICOMSessionManagerEvents, spokes3g::IID_ICOMSessionManagerEvents);
KMT_INTERFACE_ID(spokes3g::ICOMCall, spokes3g::IID_ICOMCall);
KMT_INTERFACE_ID(spokes3g::ICOMContact, spokes3g::IID_ICOMContact);

class AbstractPhoneDevice;

namespace plantronics_device {

class PlantronicsManager;

template <class I>
using Spokes3GObject = kmt::IDispatchImpl<I, &spokes3g::LIBID_Spokes3GCOMServerLib, 3, 0>;

// The call notices of one registered session and the events the hub raises on it.
class SessionEventSink : public Spokes3GObject<spokes3g::ICOMCallEvents> {
public:
    // Connects to the session's call events and gets its call commands; takes over session (the
    // caller's variable becomes null). Throws std::runtime_error when the connection fails.
    SessionEventSink(PlantronicsManager* owner, spokes3g::ICOMSession*& session);

    plat::HRESULT onCallRequested(spokes3g::ICOMCallRequestEventArgs* args) override;
    plat::HRESULT onCallStateChanged(spokes3g::ICOMCallEventArgs* args) override;

    // Withdraws the connection and forgets the owner: events after this do nothing.
    void disconnect();

    std::recursive_mutex& lock() { return sinkLock; }
    // The notices; each takes the sink lock and throws on a failing call into the hub.
    void outgoingCall(const std::string& lineId, const std::string& contactName);
    void incomingCall(const std::string& lineId, const std::string& contactName);
    void answeredCall(const std::string& lineId);
    void holdCall(const std::string& lineId);
    void resumeCall(const std::string& lineId);
    void terminateCall(const std::string& lineId);
    void muteCall(const std::string& lineId, bool muted);
    // Reads the active device and its properties again (the attach).
    void attachDevice();
    void releaseActiveDevice();

    // The call id of the line's oldest pair, -1 when none; the caller holds the sink lock.
    int32_t callIdOf(const std::string& lineId) const;

private:
    ~SessionEventSink() override;
    int32_t addCall(const std::string& lineId);
    void sendWithCall(const char* what, const std::string& lineId, int32_t callId,
                      plat::HRESULT (spokes3g::ICOMCallCommand::*method)(spokes3g::ICOMCall*));
    const std::string* lineOf(int32_t callId) const;

    std::recursive_mutex sinkLock;
    PlantronicsManager* owner;
    struct {
        spokes3g::ICOMSession* source = nullptr;
        plat::DWORD cookie = 0;
        bool connected = false;
    } connection;
    spokes3g::ICOMSession* session = nullptr;
    spokes3g::ICOMCallCommand* callCommands = nullptr;
    spokes3g::ICOMDevice* activeDevice = nullptr;
    plat::IDispatch* hostCommand = nullptr;
    int32_t counter = 0;
    std::vector<std::pair<int32_t, std::string>> callMap;
};

// Device changes of the hub.
class SessionManager : public Spokes3GObject<spokes3g::ICOMSessionManagerEvents> {
public:
    // Connects to the session manager's events; throws std::runtime_error when that fails.
    SessionManager(PlantronicsManager* owner, spokes3g::ICOMSessionManager* sessionManager);

    plat::HRESULT onDeviceStateChanged(plat::IDispatch* args) override;
    plat::HRESULT onCallStateChanged(plat::IDispatch* args) override;

    void disconnect();

private:
    ~SessionManager() override;

    std::mutex ownerLock;
    PlantronicsManager* owner;
    spokes3g::ICOMSessionManager* sessionManager;
    plat::DWORD cookie = 0;
    bool connected = false;
};

class Call : public Spokes3GObject<spokes3g::ICOMCall> {
public:
    explicit Call(int32_t id) : id(id) {}
    plat::HRESULT get_Id(plat::LONG* value) override;
    plat::HRESULT put_Id(plat::LONG value) override;
    plat::HRESULT get_ConferenceId(plat::LONG*) override { return plat::E_NOTIMPL; }
    plat::HRESULT put_ConferenceId(plat::LONG) override { return plat::E_NOTIMPL; }
    plat::HRESULT get_InConference(plat::VARIANT_BOOL*) override { return plat::E_NOTIMPL; }
    plat::HRESULT put_InConference(plat::VARIANT_BOOL) override { return plat::E_NOTIMPL; }

private:
    int32_t id;
};

class Contact : public Spokes3GObject<spokes3g::ICOMContact> {
public:
    // Name from UTF-8; every other property empty, Id 0.
    explicit Contact(const std::string& name);
    ~Contact() override;

    plat::HRESULT get_Name(plat::BSTR* value) override { return getText(name, value); }
    plat::HRESULT put_Name(plat::BSTR value) override { return setText(name, value); }
    plat::HRESULT get_FriendlyName(plat::BSTR* value) override { return getText(friendlyName, value); }
    plat::HRESULT put_FriendlyName(plat::BSTR value) override { return setText(friendlyName, value); }
    plat::HRESULT get_Id(plat::LONG* value) override;
    plat::HRESULT put_Id(plat::LONG value) override;
    plat::HRESULT get_SipUri(plat::BSTR* value) override { return getText(sipUri, value); }
    plat::HRESULT put_SipUri(plat::BSTR value) override { return setText(sipUri, value); }
    plat::HRESULT get_Phone(plat::BSTR* value) override { return getText(phone, value); }
    plat::HRESULT put_Phone(plat::BSTR value) override { return setText(phone, value); }
    plat::HRESULT get_Email(plat::BSTR* value) override { return getText(email, value); }
    plat::HRESULT put_Email(plat::BSTR value) override { return setText(email, value); }
    plat::HRESULT get_WorkPhone(plat::BSTR* value) override { return getText(workPhone, value); }
    plat::HRESULT put_WorkPhone(plat::BSTR value) override { return setText(workPhone, value); }
    plat::HRESULT get_MobilePhone(plat::BSTR* value) override { return getText(mobilePhone, value); }
    plat::HRESULT put_MobilePhone(plat::BSTR value) override { return setText(mobilePhone, value); }
    plat::HRESULT get_HomePhone(plat::BSTR* value) override { return getText(homePhone, value); }
    plat::HRESULT put_HomePhone(plat::BSTR value) override { return setText(homePhone, value); }

private:
    static plat::HRESULT getText(plat::BSTR held, plat::BSTR* out);
    static plat::HRESULT setText(plat::BSTR& held, plat::BSTR value);

    plat::BSTR name = nullptr;
    plat::BSTR friendlyName = nullptr;
    int32_t id = 0;
    plat::BSTR sipUri = nullptr;
    plat::BSTR phone = nullptr;
    plat::BSTR email = nullptr;
    plat::BSTR workPhone = nullptr;
    plat::BSTR mobilePhone = nullptr;
    plat::BSTR homePhone = nullptr;
};

} // namespace plantronics_device
