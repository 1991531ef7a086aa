#include "PlantronicsComObjects.h"

#include "LineActions.h"
#include "Phone.h"
#include "PlantronicsManager.h"
#include "kmt/log.h"
#include "kmt/utf.h"

#include <sstream>

using plat::HRESULT;
using plat::S_OK;

namespace plantronics_device {

namespace {

// The text of a BSTR as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8Of(plat::BSTR text) {
    if (!text)
        return std::string();
    return kmt::toUtf8(std::u16string(text, plat::SysStringLen(text)).c_str());
}

const char* callStateName(plat::LONG state) {
    static const char* const names[] = {
        "CallState_Unknown",          "CallState_AcceptCall",         "CallState_TerminateCall",
        "CallState_HoldCall",         "CallState_Resumecall",         "CallState_Flash",
        "CallState_CallInProgress",   "CallState_CallRinging",        "CallState_CallEnded",
        "CallState_TransferToHeadSet", "CallState_TransferToSpeaker", "CallState_MuteON",
        "CallState_MuteOFF",          "CallState_MobileCallRinging",  "CallState_MobileCallInProgress",
        "CallState_MobileCallEnded",  "CallState_Don",                "CallState_Doff",
        "CallState_CallIdle",         "CallState_Play",               "CallState_Pause",
        "CallState_Stop",             "CallState_DTMFKey",            "CallState_RejectCall",
        "CallState_Hook",             "CallState_HookIdle",           "CallState_HookDocked",
        "CallState_HookUndocked",     "CallState_BaseEvent",          "CallState_AnsweredAndEnded",
        "CallState_UnansweredAndEnded", "CallState_DeviceChange",     "CallState_DeviceArrived",
        "CallState_MakeCall"};
    if (state < 0 || state >= plat::LONG(sizeof names / sizeof names[0]))
        return "<unknown>";
    return names[state];
}

const char* deviceKindName(plat::LONG kind) {
    switch (kind) {
    case 1: return "DeviceEventKind_Docked";
    case 2: return "DeviceEventKind_UnDocked";
    case 3: return "DeviceEventKind_TalkPress";
    case 4: return "DeviceEventKind_Unknown";
    default: return "<unknown>";
    }
}

// A number asked for by the hub may be dialled only when it is printable text.
bool usableNumber(const std::string& number) {
    if (number.empty() || number.size() > 256)
        return false;
    for (unsigned char c : number)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

HRESULT readBstr(plat::BSTR* out, HRESULT hr, std::string& text) {
    if (hr == S_OK)
        text = utf8Of(*out);
    plat::SysFreeString(*out);
    *out = nullptr;
    return hr;
}

} // namespace

// ---- SessionEventSink

SessionEventSink::SessionEventSink(PlantronicsManager* owner_, spokes3g::ICOMSession*& session_) : owner(owner_) {
    if (session_)
        session_->AddRef();
    connection.source = session_;
    try {
        KMT_CHECK_HRESULT(kmt::adviseSink(connection.source, static_cast<spokes3g::ICOMCallEvents*>(this),
                                          spokes3g::IID_ICOMCallEvents, &connection.cookie));
        connection.connected = true;
        session = session_;
        session_ = nullptr;
        KMT_CHECK_HRESULT(session->get_CallCommand(&callCommands));
        if (!callCommands)
            KMT_CHECK_HRESULT(plat::E_POINTER);
    } catch (...) {
        // Undo what was built: the connection (which holds a reference to this object), the
        // session taken over, the source's reference.
        if (connection.connected)
            kmt::unadviseSink(connection.source, spokes3g::IID_ICOMCallEvents, connection.cookie);
        if (callCommands)
            callCommands->Release();
        if (session)
            session->Release();
        if (connection.source)
            connection.source->Release();
        throw;
    }
}

SessionEventSink::~SessionEventSink() {
    callMap.clear();
    if (hostCommand)
        hostCommand->Release();
    if (activeDevice)
        activeDevice->Release();
    if (callCommands)
        callCommands->Release();
    if (session)
        session->Release();
    if (connection.connected)
        kmt::unadviseSink(connection.source, spokes3g::IID_ICOMCallEvents, connection.cookie);
    if (connection.source)
        connection.source->Release();
}

void SessionEventSink::disconnect() {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    owner = nullptr;
    if (connection.connected) {
        connection.connected = false;
        kmt::unadviseSink(connection.source, spokes3g::IID_ICOMCallEvents, connection.cookie);
    }
}

int32_t SessionEventSink::callIdOf(const std::string& lineId) const {
    for (const auto& pair : callMap)
        if (pair.second == lineId)
            return pair.first;
    return -1;
}

const std::string* SessionEventSink::lineOf(int32_t callId) const {
    for (const auto& pair : callMap)
        if (pair.first == callId)
            return &pair.second;
    return nullptr;
}

int32_t SessionEventSink::addCall(const std::string& lineId) {
    const int32_t id = ++counter;
    callMap.emplace_back(id, lineId);
    return id;
}

void SessionEventSink::outgoingCall(const std::string& lineId, const std::string& contactName) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    const int32_t id = addCall(lineId);
    KMT_LOG(kmt::logPlantronics, 2) << "start dialing: lineid = " << lineId << " callid=" << id;
    kmt::ComRef<Contact> contact;
    contact.reset(new Contact(contactName));
    kmt::ComRef<Call> call;
    call.reset(new Call(id));
    KMT_CHECK_HRESULT(callCommands->OutgoingCall(call.get(), contact.get(), 0));
}

void SessionEventSink::incomingCall(const std::string& lineId, const std::string& contactName) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    const int32_t id = addCall(lineId);
    KMT_LOG(kmt::logPlantronics, 2) << "incoming call: lineid = " << lineId << " callid=" << id;
    kmt::ComRef<Contact> contact;
    contact.reset(new Contact(contactName));
    kmt::ComRef<Call> call;
    call.reset(new Call(id));
    KMT_CHECK_HRESULT(callCommands->IncomingCall(call.get(), contact.get(), 0, 0));
}

void SessionEventSink::sendWithCall(const char* what, const std::string& lineId, int32_t callId,
                                    HRESULT (spokes3g::ICOMCallCommand::*method)(spokes3g::ICOMCall*)) {
    KMT_LOG(kmt::logPlantronics, 2) << what << lineId << " callid=" << callId;
    kmt::ComRef<Call> call;
    call.reset(new Call(callId));
    KMT_CHECK_HRESULT((callCommands->*method)(call.get()));
}

void SessionEventSink::answeredCall(const std::string& lineId) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    sendWithCall("answered call: lineid = ", lineId, callIdOf(lineId), &spokes3g::ICOMCallCommand::AnsweredCall);
}

void SessionEventSink::holdCall(const std::string& lineId) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    sendWithCall("hold call: lineid = ", lineId, callIdOf(lineId), &spokes3g::ICOMCallCommand::HoldCall);
}

void SessionEventSink::resumeCall(const std::string& lineId) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    sendWithCall("resume call: lineid = ", lineId, callIdOf(lineId), &spokes3g::ICOMCallCommand::ResumeCall);
}

void SessionEventSink::terminateCall(const std::string& lineId) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    const int32_t id = callIdOf(lineId);
    KMT_LOG(kmt::logPlantronics, 2) << "terminate call: lineid = " << lineId << " callid=" << id;
    std::vector<std::pair<int32_t, std::string>> kept;
    for (auto& pair : callMap)
        if (pair.second != lineId)
            kept.push_back(std::move(pair));
    callMap.swap(kept);
    kmt::ComRef<Call> call;
    call.reset(new Call(id));
    KMT_CHECK_HRESULT(callCommands->TerminateCall(call.get()));
}

void SessionEventSink::muteCall(const std::string& lineId, bool muted) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    kmt::ComRef<Call> call;
    call.reset(new Call(callIdOf(lineId)));
    callCommands->MuteCall(call.get(), muted ? plat::VARIANT_TRUE : plat::VARIANT_FALSE);
}

void SessionEventSink::releaseActiveDevice() {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    if (activeDevice) {
        activeDevice->Release();
        activeDevice = nullptr;
    }
}

void SessionEventSink::attachDevice() {
    std::unique_lock<std::recursive_mutex> guard(sinkLock);
    try {
        if (activeDevice) {
            activeDevice->Release();
            activeDevice = nullptr;
        }
        KMT_CHECK_HRESULT(session->get_ActiveDevice(&activeDevice));
        if (!activeDevice)
            return;
        struct Property {
            const char* label;
            HRESULT (spokes3g::ICOMDevice::*getter)(plat::BSTR*);
        } const properties[] = {{"product name: ", &spokes3g::ICOMDevice::get_ProductName},
                                {"internal name: ", &spokes3g::ICOMDevice::get_InternalName},
                                {"manufacturer name: ", &spokes3g::ICOMDevice::get_ManufacturerName},
                                {"serial number: ", &spokes3g::ICOMDevice::get_SerialNumber}};
        for (const Property& property : properties) {
            plat::BSTR value = nullptr;
            const HRESULT hr = (activeDevice->*property.getter)(&value);
            std::string text;
            try {
                text = utf8Of(value);
            } catch (...) {
                plat::SysFreeString(value);
                throw;
            }
            plat::SysFreeString(value);
            KMT_CHECK_HRESULT(hr);
            std::ostringstream line;
            line << property.label << text << "\n";
            std::fputs(line.str().c_str(), stdout);
            std::fflush(stdout);
        }
        if (hostCommand) {
            hostCommand->Release();
            hostCommand = nullptr;
        }
        KMT_CHECK_HRESULT(activeDevice->get_HostCommand(&hostCommand));
    } catch (const std::exception& e) {
        guard.unlock();
        std::fprintf(stderr, "Exception in attach device: %s\n", e.what());
        std::fflush(stderr);
    }
}

HRESULT SessionEventSink::onCallRequested(spokes3g::ICOMCallRequestEventArgs* args) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    if (!owner) {
        KMT_LOG(kmt::logPlantronics, 2) << "call request after the device was closed: ignored";
        return S_OK;
    }
    if (!args) {
        KMT_LOG(kmt::logPlantronics, 1) << "call request without arguments: ignored";
        return S_OK;
    }
    kmt::ComRef<spokes3g::ICOMContact> contact;
    if (args->get_Contact(contact.out()) != S_OK || !contact) {
        KMT_LOG(kmt::logPlantronics, 1) << "call request without a contact: ignored";
        return S_OK;
    }
    try {
        std::ostringstream log;
        log << "ICOMCallEventEvents::onCallRequested:";
        struct Text {
            const char* name;
            HRESULT (spokes3g::ICOMContact::*getter)(plat::BSTR*);
        } const texts[] = {{"get_Name", &spokes3g::ICOMContact::get_Name},
                           {"get_FriendlyName", &spokes3g::ICOMContact::get_FriendlyName},
                           {"get_Id", nullptr},
                           {"get_SipUri", &spokes3g::ICOMContact::get_SipUri},
                           {"get_Phone", &spokes3g::ICOMContact::get_Phone},
                           {"get_Email", &spokes3g::ICOMContact::get_Email},
                           {"get_WorkPhone", &spokes3g::ICOMContact::get_WorkPhone},
                           {"get_MobilePhone", &spokes3g::ICOMContact::get_MobilePhone},
                           {"get_HomePhone", &spokes3g::ICOMContact::get_HomePhone}};
        for (const Text& t : texts) {
            if (!t.getter) {
                plat::LONG id = 0;
                if (contact->get_Id(&id) == S_OK)
                    log << "\n    " << t.name << " = " << id;
                continue;
            }
            plat::BSTR value = nullptr;
            std::string text;
            if (readBstr(&value, (contact.get()->*t.getter)(&value), text) == S_OK)
                log << "\n    " << t.name << " = " << text;
        }
        KMT_LOG(kmt::logPlantronics, 2) << log.str();

        plat::BSTR phoneText = nullptr;
        std::string number;
        if (readBstr(&phoneText, contact->get_Phone(&phoneText), number) == S_OK) {
            kbrphone::Phone* phone = owner->getPhone();
            if (!usableNumber(number))
                KMT_LOG(kmt::logPlantronics, 1) << "call request with an unusable number: ignored";
            else if (phone)
                kbrphone::post(phone, new kbrphone::PhoneRequestDialingAction(phone, number));
        }
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logPlantronics, 1) << "Ignoring exception: " << e.what();
    }
    return S_OK;
}

HRESULT SessionEventSink::onCallStateChanged(spokes3g::ICOMCallEventArgs* args) {
    std::lock_guard<std::recursive_mutex> guard(sinkLock);
    if (!args) {
        KMT_LOG(kmt::logPlantronics, 1) << "call state event without arguments: ignored";
        return plat::E_FAIL;
    }
    plat::LONG callState = 0;
    const HRESULT stateResult = args->get_CallState(&callState);
    plat::LONG callId = -1;
    {
        kmt::ComRef<spokes3g::ICOMCall> call;
        plat::LONG id = -1;
        if (args->get_Call(call.out()) == S_OK && call && call->get_Id(&id) == S_OK)
            callId = id;
    }
    try {
        std::ostringstream log;
        log << "ICOMCallEvent::onCallStateChanged:";
        if (stateResult == S_OK)
            log << "\n    CallState = " << callStateName(callState);
        plat::LONG kind = 0;
        if (args->get_DeviceEventKind(&kind) == S_OK)
            log << "\n    DeviceKind = " << deviceKindName(kind);
        plat::BSTR value = nullptr;
        std::string text;
        if (readBstr(&value, args->get_CallSource(&value), text) == S_OK)
            log << "\n    call_sourcee: " << text;
        if (readBstr(&value, args->get_CallerIdentity(&value), text) == S_OK)
            log << "\n    caller_identiy = " << text;
        if (callId != -1)
            log << "\n    call_id = " << callId;
        plat::BSTR key = plat::SysAllocString(u"DTMFKey");
        const HRESULT keyResult = readBstr(&value, args->GetEventInfo(key, &value), text);
        if (keyResult == S_OK)
            log << "\n    DTMFKey = " << text;
        else
            log << "\n    DTMFKey not available";
        KMT_LOG(kmt::logPlantronics, 2) << log.str();

        if (stateResult != S_OK) {
            plat::SysFreeString(key);
            return plat::E_FAIL;
        }
        if (!owner) {
            plat::SysFreeString(key);
            KMT_LOG(kmt::logPlantronics, 2) << "call state event after the device was closed: ignored";
            return S_OK;
        }
        kbrphone::Phone* phone = owner->getPhone();
        const std::string* line = lineOf(callId);
        switch (callState) {
        case 1:
        case 2:
        case 3:
        case 4:
            if (!line) {
                KMT_LOG(kmt::logPlantronics, 1) << "call state event for unknown call id " << callId << ": ignored";
            } else if (phone) {
                if (callState == 1)
                    phone->answerIncoming(line->c_str());
                else if (callState == 2)
                    phone->hangup(line->c_str());
                else if (callState == 3)
                    phone->putOnHold(line->c_str());
                else
                    phone->activate(line->c_str());
            }
            break;
        case 5:
            owner->hookButton();
            break;
        case 11:
        case 12:
            if (phone)
                phone->setMute(callState == 11);
            break;
        case 22: {
            plat::BSTR keys = nullptr;
            if (args->GetEventInfo(key, &keys) == S_OK && phone) {
                const plat::UINT length = plat::SysStringLen(keys);
                for (plat::UINT i = 0; i < length; ++i) {
                    const char16_t c = keys[i];
                    int code = -1;
                    if (c >= u'0' && c <= u'9')
                        code = c - u'0';
                    else if (c == u'*')
                        code = 10;
                    else if (c == u'#')
                        code = 11;
                    if (code >= 0)
                        kbrphone::post(phone, new kbrphone::PhoneButtonAction(phone, code));
                }
            }
            plat::SysFreeString(keys);
            break;
        }
        default:
            break;
        }
        plat::SysFreeString(key);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logPlantronics, 1) << "Ignoring exception: " << e.what();
    }
    return S_OK;
}

// ---- SessionManager

SessionManager::SessionManager(PlantronicsManager* owner_, spokes3g::ICOMSessionManager* sessionManager_)
    : owner(owner_), sessionManager(sessionManager_) {
    if (sessionManager)
        sessionManager->AddRef();
    const HRESULT hr = kmt::adviseSink(sessionManager, static_cast<spokes3g::ICOMSessionManagerEvents*>(this),
                                       spokes3g::IID_ICOMSessionManagerEvents, &cookie);
    if (hr != S_OK) {
        if (plat::SUCCEEDED(hr))
            kmt::unadviseSink(sessionManager, spokes3g::IID_ICOMSessionManagerEvents, cookie);
        if (sessionManager)
            sessionManager->Release();
        KMT_CHECK_HRESULT(hr);
    }
    connected = true;
}

SessionManager::~SessionManager() {
    if (connected)
        kmt::unadviseSink(sessionManager, spokes3g::IID_ICOMSessionManagerEvents, cookie);
    if (sessionManager)
        sessionManager->Release();
}

void SessionManager::disconnect() {
    std::lock_guard<std::mutex> guard(ownerLock);
    owner = nullptr;
    if (connected) {
        connected = false;
        kmt::unadviseSink(sessionManager, spokes3g::IID_ICOMSessionManagerEvents, cookie);
    }
}

HRESULT SessionManager::onDeviceStateChanged(plat::IDispatch*) {
    std::lock_guard<std::mutex> guard(ownerLock);
    if (owner)
        owner->deviceChanged();
    return S_OK;
}

HRESULT SessionManager::onCallStateChanged(plat::IDispatch*) { return S_OK; }

// ---- Call

HRESULT Call::get_Id(plat::LONG* value) {
    if (!value)
        return plat::E_POINTER;
    *value = id;
    return S_OK;
}

HRESULT Call::put_Id(plat::LONG value) {
    id = value;
    return S_OK;
}

// ---- Contact

Contact::Contact(const std::string& name_) {
    const kmt::wstring wide = kmt::fromUtf8(name_);
    name = plat::SysAllocString(wide.c_str());
    if (!name)
        throw std::bad_alloc();
}

Contact::~Contact() {
    for (plat::BSTR text : {name, friendlyName, sipUri, phone, email, workPhone, mobilePhone, homePhone})
        plat::SysFreeString(text);
}

HRESULT Contact::get_Id(plat::LONG* value) {
    if (!value)
        return plat::E_POINTER;
    *value = id;
    return S_OK;
}

HRESULT Contact::put_Id(plat::LONG value) {
    id = value;
    return S_OK;
}

HRESULT Contact::getText(plat::BSTR held, plat::BSTR* out) {
    if (!out)
        return plat::E_POINTER;
    *out = nullptr;
    if (!held)
        return S_OK;
    *out = plat::SysAllocStringByteLen(reinterpret_cast<const char*>(held), plat::SysStringByteLen(held));
    // No exception crosses into the hub: a failed copy is answered with its code.
    return *out ? S_OK : plat::E_OUTOFMEMORY;
}

HRESULT Contact::setText(plat::BSTR& held, plat::BSTR value) {
    if (!value)
        return plat::E_POINTER;
    if (value == held)
        return S_OK;
    plat::BSTR copy = plat::SysAllocStringByteLen(reinterpret_cast<const char*>(value), plat::SysStringByteLen(value));
    if (!copy)
        return plat::E_OUTOFMEMORY;
    plat::SysFreeString(held);
    held = copy;
    return S_OK;
}

} // namespace plantronics_device
