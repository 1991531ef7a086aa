#include "JabraDevice.h"

#include "LineActions.h"
#include "Phone.h"
#include "jabra/JabraSdk.h"
#include "kmt/log.h"

#include "plat/dl.h"

#include <stdexcept>

namespace jabra_device {

namespace {

const char kLibrary[] = "libjabra.dll";
const char kAppId[] = "Qm7TxR2vLp9WcN4hYs8KdF3gJa6ZuB1eVo5XiM0nHq4=";

// ---- the SDK's functions, bound on first call as a delayed import binds them

std::mutex bindLock;
plat::HMODULE sdkModule = nullptr;

plat::FARPROC bind(const char* name) {
    std::lock_guard<std::mutex> guard(bindLock);
    if (!sdkModule)
        sdkModule = plat::LoadLibraryA(kLibrary);
    if (!sdkModule)
        throw std::runtime_error(std::string("cannot load ") + kLibrary + " for " + name);
    plat::FARPROC function = plat::GetProcAddress(sdkModule, name);
    if (!function)
        throw std::runtime_error(std::string("cannot bind ") + name);
    return function;
}

template <class F>
F bound(const char* name) {
    return reinterpret_cast<F>(bind(name));
}

#define JABRA_CALL(function, ...)                                                                            \
    ([&] {                                                                                                   \
        static const auto target = bound<decltype(&::function)>(#function);                                 \
        return target(__VA_ARGS__);                                                                          \
    }())

// The device the SDK's callbacks reach; they hold the lock while they use it.
std::mutex instanceLock;
JabraDevice* currentInstance = nullptr;

void firstScanDoneCallback() { JabraDevice::onFirstScanDone(); }

void deviceAttachedCallback(Jabra_DeviceInfo info) {
    // The SDK's texts may be anything: only printable ASCII is kept for the log.
    std::string name;
    if (info.deviceName) {
        for (const char* p = info.deviceName; *p && name.size() < 128; ++p)
            name += (*p >= 0x20 && *p < 0x7F) ? *p : '?';
    }
    JabraDevice::onDeviceAttached(info.deviceID, name.c_str());
    JABRA_CALL(Jabra_FreeDeviceInfo, info);
}

void deviceRemovedCallback(unsigned short id) { JabraDevice::onDeviceRemoved(id); }

void buttonCallback(unsigned short id, Jabra_HidInput input, bool value) { JabraDevice::onButtonInput(id, input, value); }

const char* trueFalse(bool value) { return value ? "true" : "false"; }

} // namespace

JabraDevice* JabraDevice::create(kbrphone::Phone* phone) {
    plat::HMODULE module = plat::LoadLibraryA(kLibrary);
    if (!module) {
        KMT_LOG(kmt::logJabra, 1) << "Cannot load jabra library";
        return nullptr;
    }
    plat::FreeLibrary(module);
    auto* device = new JabraDevice(phone);
    {
        std::lock_guard<std::mutex> guard(instanceLock);
        currentInstance = device;
    }
    bool started = false;
    try {
        JABRA_CALL(Jabra_SetAppID, kAppId);
        started = JABRA_CALL(Jabra_InitializeV2, &firstScanDoneCallback, &deviceAttachedCallback,
                             &deviceRemovedCallback, nullptr, &buttonCallback, false, nullptr);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logJabra, 1) << e.what();
    }
    if (!started) {
        {
            std::lock_guard<std::mutex> guard(instanceLock);
            currentInstance = nullptr;
        }
        device->uninitializeOnDestroy = false;
        delete device;
        throw std::runtime_error("Cannot initialize the jabra sdk");
    }
    return device;
}

JabraDevice::JabraDevice(kbrphone::Phone* phone) : AbstractPhoneDevice(phone) {}

JabraDevice::~JabraDevice() {
    // Late callbacks on the SDK's threads find no device from here on; one in progress is waited for.
    {
        std::lock_guard<std::mutex> guard(instanceLock);
        if (currentInstance == this)
            currentInstance = nullptr;
    }
    if (uninitializeOnDestroy) {
        try {
            static const auto uninitialize = bound<decltype(&::Jabra_Uninitialize)>("Jabra_Uninitialize");
            uninitialize();
        } catch (const std::exception& e) {
            KMT_LOG(kmt::logJabra, 1) << e.what();
        }
    }
}

// ---- callbacks

void JabraDevice::onFirstScanDone() { KMT_LOG(kmt::logJabra, 2) << "First scan for devices done"; }

void JabraDevice::onDeviceAttached(unsigned short id, const char* name) {
    KMT_LOG(kmt::logJabra, 2) << "Device attached " << name << " (" << id << ")";
    std::lock_guard<std::mutex> guard(instanceLock);
    if (currentInstance)
        currentInstance->deviceAttached(id, name);
}

void JabraDevice::onDeviceRemoved(unsigned short id) {
    KMT_LOG(kmt::logJabra, 2) << "Device removed " << id;
    std::lock_guard<std::mutex> guard(instanceLock);
    if (currentInstance)
        currentInstance->deviceRemoved(id);
}

void JabraDevice::onButtonInput(unsigned short id, int input, bool value) {
    KMT_LOG(kmt::logJabra, 2) << "Device input " << id << ": " << input << " = " << value;
    std::lock_guard<std::mutex> guard(instanceLock);
    if (!currentInstance)
        return;
    try {
        currentInstance->buttonInput(input, value);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logJabra, 1) << "Caught Exception: " << e.what();
    } catch (...) {
        KMT_LOG(kmt::logJabra, 1) << "Caught unknown exception";
    }
}

void JabraDevice::deviceAttached(int id, const std::string& name) {
    std::lock_guard<std::mutex> guard(deviceListLock);
    attachedDevices.push_back({id, name});
}

void JabraDevice::deviceRemoved(int id) {
    std::lock_guard<std::mutex> guard(deviceListLock);
    std::vector<Attached> kept;
    for (Attached& device : attachedDevices)
        if (device.id != id)
            kept.push_back(std::move(device));
    attachedDevices.swap(kept);
    if (deviceSelected && selectedDeviceId == id)
        deviceSelected = false;
}

void JabraDevice::buttonInput(int input, bool value) {
    kbrphone::Phone* phone = getPhone();
    switch (input) {
    case 1:
    case 24:
        if (value) {
            if (isRinging())
                answerRingingLine();
        } else if (input == 1) {
            std::lock_guard<std::recursive_mutex> guard(tableLock);
            hangupLine(firstActiveIndex());
        }
        break;
    case 2:
        if (phone)
            phone->setMute(value);
        break;
    case 3:
        swapButton();
        break;
    case 18: {
        std::lock_guard<std::mutex> guard(deviceListLock);
        deviceBlocked = value;
        break;
    }
    case 22: {
        std::lock_guard<std::recursive_mutex> guard(tableLock);
        int last = -1;
        for (size_t i = 0; i < lineTable.size(); ++i)
            if (lineTable[i].state == kbrphone::lineOffered)
                last = static_cast<int>(i);
        rejectLine(last);
        break;
    }
    default:
        if (input >= 5 && input <= 16 && phone)
            kbrphone::post(phone, new kbrphone::PhoneButtonAction(phone, input - 5));
        break;
    }
}

// ---- line states to the headset

void JabraDevice::lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char* localName,
                                   const char* localUri, const char* remoteName, const char* remoteUri) {
    const std::string id = lineId ? lineId : "";
    const bool wasActive = isLineActive(id);
    const bool hadOpenLines = hasOpenLines();
    AbstractPhoneDevice::lineStateChanged(lineId, state, active, initiator, localName, localUri, remoteName,
                                          remoteUri);
    try {
        const bool hasOpen = hasOpenLines();
        KMT_LOG(kmt::logJabra, 2) << "Line state changed: status=" << state << " was_active=" << wasActive
                                  << " had_open_lines=" << hadOpenLines << " active=" << isLineActive(id)
                                  << " has_open_lines=" << hasOpen;
        switch (state) {
        case 1:
            if (!hadOpenLines)
                setOffHook(true);
            break;
        case 5:
            setOnline(true);
            updateRinger();
            break;
        case 6:
            updateRinger();
            if (!hadOpenLines && hasOpenLines())
                setOffHook(true);
            break;
        case 7:
        case 8:
        case 9: {
            updateRinger();
            if (!hadOpenLines || hasOpenLines()) {
                bool empty;
                {
                    std::lock_guard<std::recursive_mutex> guard(tableLock);
                    empty = lineTable.empty();
                }
                if (empty)
                    setOnline(false);
            } else {
                setOffHook(false);
            }
            break;
        }
        default:
            break;
        }
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logJabra, 1) << "Ignoring exception: " << e.what();
    } catch (...) {
        KMT_LOG(kmt::logJabra, 1) << "Ignoring unknown exception";
    }
}

bool JabraDevice::selectDevice(int& id) {
    std::lock_guard<std::mutex> guard(deviceListLock);
    if (!deviceSelected) {
        if (attachedDevices.empty() || deviceBlocked)
            return false;
        selectedDeviceId = attachedDevices.back().id;
        deviceSelected = true;
    }
    id = selectedDeviceId;
    return true;
}

bool JabraDevice::setOffHook(bool offHook) {
    int id;
    if (!selectDevice(id))
        return false;
    KMT_LOG(kmt::logJabra, 2) << "Set device " << (offHook ? "off" : "on") << " hook";
    JABRA_CALL(Jabra_SetOffHook, static_cast<unsigned short>(id), offHook);
    if (!offHook) {
        JABRA_CALL(Jabra_SetOnline, static_cast<unsigned short>(id), false);
        std::lock_guard<std::mutex> guard(deviceListLock);
        deviceSelected = false;
        deviceBlocked = false;
    }
    return true;
}

bool JabraDevice::setOnline(bool online) {
    int id;
    if (!selectDevice(id))
        return false;
    KMT_LOG(kmt::logJabra, 2) << "Set device online state: " << online;
    const Jabra_ReturnCode status = JABRA_CALL(Jabra_SetOnline, static_cast<unsigned short>(id), online);
    if (status == Return_Ok) {
        if (!online) {
            std::lock_guard<std::mutex> guard(deviceListLock);
            deviceSelected = false;
            deviceBlocked = false;
        }
        return true;
    }
    KMT_LOG(kmt::logJabra, 2) << "Set device " << id << " online(" << trueFalse(online) << ")"
                              << " failed: " << status;
    return false;
}

void JabraDevice::updateRinger() {
    if (!ringerEnabled())
        return;
    int id;
    if (!selectDevice(id))
        return;
    const bool ringing = isRinging();
    KMT_LOG(kmt::logJabra, 2) << "SetRinger: " << ringing;
    const Jabra_ReturnCode status = JABRA_CALL(Jabra_SetRinger, static_cast<unsigned short>(id), ringing);
    if (status != Return_Ok) {
        KMT_LOG(kmt::logJabra, 2) << "Set RingerEnabled(" << id << " ," << trueFalse(ringing) << ")"
                                  << " failed: " << status;
    }
}

void JabraDevice::setMute(bool muted) {
    int id;
    if (!selectDevice(id))
        return;
    try {
        JABRA_CALL(Jabra_SetMute, static_cast<unsigned short>(id), muted);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logJabra, 1) << "Ignoring exception: " << e.what();
    }
}

} // namespace jabra_device
