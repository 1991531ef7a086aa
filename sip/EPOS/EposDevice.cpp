#include "EposDevice.h"

#include "Phone.h"
#include "kmt/log.h"

#include <stdexcept>

using namespace dsea::callcontrol::sdk;

namespace epos_device {

namespace {
// The library's texts, printable ASCII only, for the log.
std::string printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 256))
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}
} // namespace

EposDevice* EposDevice::create(kbrphone::Phone* phone) {
    try {
        return new EposDevice(phone);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logEpos, 1) << "Cannot create EPOS device: " << e.what();
    } catch (...) {
        KMT_LOG(kmt::logEpos, 1) << "Cannot create EPOS device";
    }
    return nullptr;
}

EposDevice::EposDevice(kbrphone::Phone* phone) : AbstractPhoneDevice(phone) {
    const ApplicationInfo application{"Brimel Softphone", "Brimel", "8"};
    callControl = CreateCallControlInstance(application, this, this, kmt::logEpos.effectiveLevel() > 5);
    if (!callControl)
        throw std::runtime_error("CreateCallControlInstance failed");
    eventHandler = callControl->GetSoftphoneEventHandler();
    if (!eventHandler) {
        delete callControl;
        throw std::runtime_error("ICallControlInterface::GetSoftphoneEventHandler failed");
    }
}

EposDevice::~EposDevice() {
    // The instance goes first: its threads stop, so no listener call reaches a device being destroyed.
    delete callControl;
    eventHandler.reset();
}

void EposDevice::start() { eventHandler->Start(); }

void EposDevice::setMute(bool muted) { eventHandler->Mute(muted); }

void EposDevice::activateCall(const std::string& lineId) {
    KMT_LOG(kmt::logEpos, 2) << "Send activate call: " << lineId;
    std::lock_guard<std::mutex> guard(callTableLock);
    for (const CallRecord& record : callTable) {
        if (record.lineId == lineId) {
            eventHandler->ActivateCall(record.lineId);
            return;
        }
    }
}

void EposDevice::holdCall(const std::string& lineId) {
    KMT_LOG(kmt::logEpos, 2) << "Send hold call: " << lineId;
    std::lock_guard<std::mutex> guard(callTableLock);
    for (const CallRecord& record : callTable) {
        if (record.lineId == lineId) {
            eventHandler->HoldCall(record.lineId);
            return;
        }
    }
}

void EposDevice::lineStateChanged(const char* lineId_, int state, bool active, bool initiator, const char* localName,
                                  const char* localUri, const char* remoteName, const char* remoteUri) {
    try {
        const std::string lineId = lineId_ ? lineId_ : "";
        const bool wasActive = isLineActive(lineId);
        const bool hadOpenLines = hasOpenLines();
        AbstractPhoneDevice::lineStateChanged(lineId_, state, active, initiator, localName, localUri, remoteName,
                                              remoteUri);
        KMT_LOG(kmt::logEpos, 2) << "Line state changed: status=" << state << " was_active=" << wasActive
                                 << " had_open_lines=" << hadOpenLines << " active=" << isLineActive(lineId)
                                 << " has_open_lines=" << hasOpenLines();
        try {
            switch (state) {
            case 1:
            case 5: {
                KMT_LOG(kmt::logEpos, 2) << "send " << (state == 1 ? "outgoing" : "incoming") << " call: " << lineId;
                std::lock_guard<std::mutex> guard(callTableLock);
                callTable.push_back({callCounter + 1, lineId});
                ++callCounter;
                if (state == 1)
                    eventHandler->OutgoingCall(callTable.back().lineId);
                else
                    eventHandler->IncomingCall(callTable.back().lineId);
                break;
            }
            case 3:
            case 4:
            case 8:
            case 9:
            case 11: {
                std::lock_guard<std::mutex> guard(callTableLock);
                for (const CallRecord& record : callTable) {
                    if (record.lineId == lineId) {
                        eventHandler->EndCall(record.lineId);
                        std::vector<CallRecord> kept;
                        for (CallRecord& other : callTable)
                            if (other.lineId != lineId)
                                kept.push_back(std::move(other));
                        callTable.swap(kept);
                        break;
                    }
                }
                break;
            }
            case 6:
                activateCall(lineId);
                if (wasActive && !active)
                    holdCall(lineId);
                else if (!wasActive && active)
                    activateCall(lineId);
                break;
            default:
                break;
            }
        } catch (const std::exception& e) {
            KMT_LOG(kmt::logEpos, 1) << "Ignoring exception: " << e.what();
        }
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logEpos, 1) << "Ignoring exception: " << e.what();
    }
}

// ---- listener

void EposDevice::OnLoginStateChanged(int state) {
    switch (state) {
    case 0: KMT_LOG(kmt::logEpos, 2) << "logged out"; break;
    case 1: KMT_LOG(kmt::logEpos, 2) << "logged in standalone"; break;
    case 2: KMT_LOG(kmt::logEpos, 2) << "logged in sdk"; break;
    case 3: KMT_LOG(kmt::logEpos, 2) << "connecting"; break;
    case 4: KMT_LOG(kmt::logEpos, 1) << "unsupported version"; break;
    default: break;
    }
}

void EposDevice::OnHeadsetAvailable(const HeadsetInfo& h) {
    KMT_LOG(kmt::logEpos, 2) << "headset available: " << printable(h.name) << printable(h.id);
}

void EposDevice::OnHeadsetRemoved(const HeadsetInfo& h) {
    KMT_LOG(kmt::logEpos, 2) << "headset removed: " << printable(h.name) << printable(h.id);
}

void EposDevice::OnHeadsetConnected(const HeadsetInfo& h) {
    KMT_LOG(kmt::logEpos, 2) << "headset connnected: " << printable(h.name) << printable(h.id);
}

void EposDevice::OnHeadsetDisconnected(const HeadsetInfo& h) {
    KMT_LOG(kmt::logEpos, 2) << "headset disconnnected: " << printable(h.name) << printable(h.id);
}

bool EposDevice::knownCall(const std::string& callId) {
    std::lock_guard<std::mutex> guard(callTableLock);
    for (const CallRecord& record : callTable)
        if (record.lineId == callId)
            return true;
    KMT_LOG(kmt::logEpos, 1) << "request for an unknown call: ignored";
    return false;
}

void EposDevice::OnAnswerCall(const std::string& callId) {
    if (knownCall(callId) && getPhone())
        getPhone()->answerIncoming(callId.c_str());
}

void EposDevice::OnHoldCall(const std::string& callId) {
    if (knownCall(callId) && getPhone())
        getPhone()->putOnHold(callId.c_str());
}

void EposDevice::OnResumeCall(const std::string& callId) {
    if (knownCall(callId) && getPhone())
        getPhone()->activate(callId.c_str());
}

void EposDevice::OnEndCall(const std::string& callId) {
    if (knownCall(callId) && getPhone())
        getPhone()->hangup(callId.c_str());
}

void EposDevice::OnRejectCall(const std::string& callId) {
    if (knownCall(callId) && getPhone())
        getPhone()->rejectIncoming(callId.c_str());
}

void EposDevice::OnMute(bool muted) {
    if (getPhone())
        getPhone()->setMute(muted);
}

void EposDevice::OnSystemInformationResponse(const std::string& first, const std::string& second) {
    KMT_LOG(kmt::logEpos, 2) << "response system information: " << printable(first) << printable(second);
}

void EposDevice::Log(int level, const std::string& text) {
    KMT_LOG(kmt::logEpos, 4) << "log(" << level << "): " << printable(text);
}

} // namespace epos_device
