// The EPOS call-control library's interface as this build declares it: the application's listener
// and logger, the soft-phone event handler, and the call-control instance. Slots are in this order.
#pragma once

#include <memory>
#include <string>

namespace dsea {
namespace callcontrol {
namespace sdk {

struct ApplicationInfo {
    std::string name;
    std::string vendor;
    std::string version;
};

// A headset as the library reports it.
struct HeadsetInfo {
    std::string id;
    std::string name;
};

// What the library tells the application, on threads of the library.
class ICallControlListener {
public:
    virtual ~ICallControlListener() = default;
    virtual void OnLoginStateChanged(int state) = 0;
    virtual void OnHeadsetAvailable(const HeadsetInfo& headset) = 0;
    virtual void OnHeadsetRemoved(const HeadsetInfo& headset) = 0;
    virtual void OnHeadsetConnected(const HeadsetInfo& headset) = 0;
    virtual void OnHeadsetDisconnected(const HeadsetInfo& headset) = 0;
    virtual void OnAnswerCall(const std::string& callId) = 0;
    virtual void OnHoldCall(const std::string& callId) = 0;
    virtual void OnResumeCall(const std::string& callId) = 0;
    virtual void OnEndCall(const std::string& callId) = 0;
    virtual void OnRejectCall(const std::string& callId) = 0;
    virtual void OnAudioStateChanged(int state) = 0;
    virtual void OnMute(bool muted) = 0;
    virtual void OnVolumeChanged(int volume) = 0;
    virtual void OnDeviceSettingChanged(int setting) = 0;
    virtual void OnSystemInformationResponse(const std::string& first, const std::string& second) = 0;
};

class ILogger {
public:
    virtual ~ILogger() = default;
    virtual void Log(int level, const std::string& text) = 0;
};

// What the application tells the library about its calls; calls are named by their id text.
class ISoftphoneEventHandler {
public:
    virtual ~ISoftphoneEventHandler() = default;
    virtual int Version() = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual void OutgoingCall(const std::string& callId) = 0;
    virtual void IncomingCall(const std::string& callId) = 0;
    virtual void ActivateCall(const std::string& callId) = 0;
    virtual void HoldCall(const std::string& callId) = 0;
    virtual void EndCall(const std::string& callId) = 0;
    virtual void RejectCall(const std::string& callId) = 0;
    virtual void Mute(bool muted) = 0;
};

class ICallControlInterface {
public:
    // Deleting the instance stops its threads: no listener call follows.
    virtual ~ICallControlInterface() = default;
    virtual std::shared_ptr<ISoftphoneEventHandler> GetSoftphoneEventHandler() = 0;
};

} // namespace sdk
} // namespace callcontrol
} // namespace dsea

// The library's one import. Null when the call-control service is not available.
dsea::callcontrol::sdk::ICallControlInterface* CreateCallControlInstance(
    const dsea::callcontrol::sdk::ApplicationInfo& application, dsea::callcontrol::sdk::ICallControlListener* listener,
    dsea::callcontrol::sdk::ILogger* logger, bool verbose);
