// The headset device as the phone sees it, and the creator that chooses it.
#pragma once

namespace kbrphone {
class Phone;
}

class PhoneDeviceInterface {
public:
    virtual ~PhoneDeviceInterface() = default;
    // Called once on the loop thread before the loop runs.
    virtual void start() = 0;
    // Every stored state change of every line but the twin line, on the loop thread.
    virtual void lineStateChanged(const char* lineId, int state, bool active, bool initiator,
                                  const char* localName, const char* localUri, const char* remoteName,
                                  const char* remoteUri) = 0;
    virtual void setAudioDevices(const char* input, const char* output) {}
    virtual void setMute(bool muted) {}
};

class PhoneDeviceCreatorBase {
public:
    virtual ~PhoneDeviceCreatorBase() = default;
    // Makes the phone's device into device; null means the phone runs without one.
    virtual void create(PhoneDeviceInterface*& device, kbrphone::Phone* phone) = 0;
};

// The creator the engine starts with: the Plantronics hub when it answers; else Jabra and EPOS
// together, or EPOS alone; else the USB HID driver on its own thread, beside Jabra when present.
class DefaultPhoneDeviceCreator : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone* phone) override;

protected:
    // The HID fallback; a separate step so that a creator can choose another.
    virtual PhoneDeviceInterface* createHidDevice(kbrphone::Phone* phone);
};

// Two devices as one: every call goes to first, then to second. Owns both.
class CombindedPhoneDevice : public PhoneDeviceInterface {
public:
    CombindedPhoneDevice(kbrphone::Phone* phone, PhoneDeviceInterface* first, PhoneDeviceInterface* second)
        : phone(phone), first(first), second(second) {}
    ~CombindedPhoneDevice() override;

    void start() override;
    void lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char* localName,
                          const char* localUri, const char* remoteName, const char* remoteUri) override;
    void setAudioDevices(const char*, const char*) override {}
    void setMute(bool muted) override;

    PhoneDeviceInterface* getFirst() const { return first; }
    PhoneDeviceInterface* getSecond() const { return second; }

private:
    kbrphone::Phone* phone;
    PhoneDeviceInterface* first;
    PhoneDeviceInterface* second;
};
