// Runs a device with its own endless loop (its start operation) on a thread of its own.
#pragma once

#include "PhoneDeviceInterface.h"
#include "kmt/thread.h"

namespace kbrphone {
class Phone;
}

class ThreadedPhoneDeviceBase {
public:
    virtual ~ThreadedPhoneDeviceBase() = default;
};

// Device must offer start() (the loop, run on the thread), lineStateChanged, setMute and stop(), which
// makes a running start() return soon and keeps a later one from running.
template <class Device>
class ThreadedPhoneDevice : public ThreadedPhoneDeviceBase, public PhoneDeviceInterface, public kmt::Thread {
public:
    // Takes ownership of device.
    ThreadedPhoneDevice(kbrphone::Phone* phone_, Device* device_) : phone(phone_), device(device_) {}

    // The loop is told to end and its thread joined before the device goes.
    ~ThreadedPhoneDevice() override {
        if (device)
            device->stop();
        join();
        delete device;
    }

    void start() override { kmt::Thread::start(); }
    void run() override {
        if (device)
            device->start();
    }

    void lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char* localName,
                          const char* localUri, const char* remoteName, const char* remoteUri) override {
        if (device)
            device->lineStateChanged(lineId, state, active, initiator, localName, localUri, remoteName,
                                     remoteUri);
    }
    void setAudioDevices(const char*, const char*) override {}
    void setMute(bool muted) override {
        if (device)
            device->setMute(muted);
    }

    Device* getDevice() const { return device; }

private:
    kbrphone::Phone* phone;
    Device* device;
};
