// Jabra headsets through the Jabra SDK, bound when first called.
#pragma once

#include "AbstractPhoneDevice.h"

#include <mutex>
#include <string>
#include <vector>

namespace jabra_device {

class JabraDevice : public AbstractPhoneDevice {
public:
    // A device with the SDK running; null (and a log line) when the library is missing. Throws
    // std::runtime_error "Cannot initialize the jabra sdk" when the SDK does not start.
    static JabraDevice* create(kbrphone::Phone* phone);
    ~JabraDevice() override;

    void start() override {}
    void lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char* localName,
                          const char* localUri, const char* remoteName, const char* remoteUri) override;
    void setMute(bool muted) override;

    // The SDK's callbacks; they reach the current device, if any.
    static void onFirstScanDone();
    static void onDeviceAttached(unsigned short id, const char* name);
    static void onDeviceRemoved(unsigned short id);
    static void onButtonInput(unsigned short id, int input, bool value);

private:
    explicit JabraDevice(kbrphone::Phone* phone);

    struct Attached {
        int id;
        std::string name;
    };
    void buttonInput(int input, bool value);
    void deviceAttached(int id, const std::string& name);
    void deviceRemoved(int id);
    // The headset for the call signals, chosen on demand; false when none can be chosen.
    bool selectDevice(int& id);
    bool setOffHook(bool offHook);
    bool setOnline(bool online);
    void updateRinger();

    std::mutex deviceListLock;
    std::vector<Attached> attachedDevices;
    bool uninitializeOnDestroy = true;
    bool deviceSelected = false;
    bool deviceBlocked = false;
    int selectedDeviceId = 0;
};

} // namespace jabra_device
