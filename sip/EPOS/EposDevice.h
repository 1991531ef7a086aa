// EPOS headsets through the EPOS call-control library.
#pragma once

#include "AbstractPhoneDevice.h"
#include "dsea/CallControl.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace epos_device {

class EposDevice : public AbstractPhoneDevice,
                   public dsea::callcontrol::sdk::ICallControlListener,
                   public dsea::callcontrol::sdk::ILogger {
public:
    // The device, or null (with a log line) when the call-control library gives no instance.
    static EposDevice* create(kbrphone::Phone* phone);
    ~EposDevice() override;

    void start() override;
    void lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char* localName,
                          const char* localUri, const char* remoteName, const char* remoteUri) override;
    void setMute(bool muted) override;

    // The library's listener, on its threads.
    void OnLoginStateChanged(int state) override;
    void OnHeadsetAvailable(const dsea::callcontrol::sdk::HeadsetInfo& headset) override;
    void OnHeadsetRemoved(const dsea::callcontrol::sdk::HeadsetInfo& headset) override;
    void OnHeadsetConnected(const dsea::callcontrol::sdk::HeadsetInfo& headset) override;
    void OnHeadsetDisconnected(const dsea::callcontrol::sdk::HeadsetInfo& headset) override;
    void OnAnswerCall(const std::string& callId) override;
    void OnHoldCall(const std::string& callId) override;
    void OnResumeCall(const std::string& callId) override;
    void OnEndCall(const std::string& callId) override;
    void OnRejectCall(const std::string& callId) override;
    void OnAudioStateChanged(int) override {}
    void OnMute(bool muted) override;
    void OnVolumeChanged(int) override {}
    void OnDeviceSettingChanged(int) override {}
    void OnSystemInformationResponse(const std::string& first, const std::string& second) override;

    void Log(int level, const std::string& text) override;

private:
    explicit EposDevice(kbrphone::Phone* phone);

    struct CallRecord {
        int number;
        std::string lineId;
    };
    // The line of a reported call with that id text; false when none.
    bool knownCall(const std::string& callId);
    void activateCall(const std::string& lineId);
    void holdCall(const std::string& lineId);

    dsea::callcontrol::sdk::ICallControlInterface* callControl = nullptr;
    std::shared_ptr<dsea::callcontrol::sdk::ISoftphoneEventHandler> eventHandler;
    std::mutex callTableLock;
    int callCounter = 0;
    std::vector<CallRecord> callTable;
};

} // namespace epos_device
