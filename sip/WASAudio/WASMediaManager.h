// The audio device layer over the platform's multimedia device and core audio interfaces:
// endpoint lists and lookup by friendly name, volumes, and the result check shared with the device.
#pragma once

#include "MediaManager.h"
#include "plat/audio.h"

#include <string>
#include <vector>

namespace wasmedia {

// Throws std::runtime_error "<call>: error <hex>: <text>" for a failed result.
void checkAudioClientResult(const char* call, plat::HRESULT result);

// The engine's own audio session: its streams join it and the session volume addresses it.
extern const plat::GUID kAudioSessionGuid;

// Holds one interface reference and releases it.
template <class I>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(I* p_) : p(p_) {}
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ComRef(ComRef&& o) noexcept : p(o.p) { o.p = nullptr; }
    ComRef& operator=(ComRef&& o) noexcept {
        if (this != &o) {
            reset();
            p = o.p;
            o.p = nullptr;
        }
        return *this;
    }
    void reset(I* n = nullptr) {
        if (p)
            p->Release();
        p = n;
    }
    I* get() const { return p; }
    I* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
    // For out-parameters: releases what is held.
    I** put() {
        reset();
        return &p;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

private:
    I* p = nullptr;
};

// A multithreaded apartment for the lifetime of the object.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool entered;
};

// Endpoint volume (the endpoint's master scalar) and the engine's session volume.
ComRef<plat::IAudioEndpointVolume> activateEndpointVolume(plat::IMMDevice* endpoint);
float getEndpointVolume(plat::IMMDevice* endpoint);
void setEndpointVolume(plat::IMMDevice* endpoint, float level);
ComRef<plat::ISimpleAudioVolume> activateSessionVolume(plat::IMMDevice* endpoint);
float getSessionVolume(plat::IMMDevice* endpoint);
void setSessionVolume(plat::IMMDevice* endpoint, float level);
// The output level rule: endpoint scalar times session volume.
float getOutputLevel(plat::IMMDevice* endpoint);
void setOutputLevel(plat::IMMDevice* endpoint, float level);
// A level bounded to 0..1; false (nothing to set) for NaN.
bool boundLevel(float& level);

class WASMediaManager : public MediaManager {
public:
    WASMediaManager();
    ~WASMediaManager() override;

    MediaDevice* createDevice(const std::string& input, const std::string& output, MediaChannel* consumer,
                              int frameSamples, int sampleRate) override;
    std::vector<std::string> getInputDevices() override;
    std::vector<std::string> getOutputDevices() override;
    std::string getActualInputDevice(const std::string& configured) override;
    std::string getActualOutputDevice(const std::string& configured) override;
    void setInputLevel(const std::string& device, float level) override;
    float getInputLevel(const std::string& device) override;
    void setOutputLevel(const std::string& device, float level) override;
    float getOutputLevel(const std::string& device) override;

    static std::vector<std::string> listEndpointNames(plat::EDataFlow flow);
    static std::string friendlyName(plat::IMMDevice* endpoint);
    // The active endpoint named name, else the default communications endpoint (throws when none).
    static ComRef<plat::IMMDevice> findEndpoint(plat::EDataFlow flow, const std::string& name);
    static std::string actualDeviceName(plat::EDataFlow flow, const std::string& name);

private:
    ComApartment apartment;
};

} // namespace wasmedia
