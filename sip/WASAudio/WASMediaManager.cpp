#include "WASAudio/WASMediaManager.h"

#include "WASAudio/WASMediaDevice.h"
#include "kmt/log.h"
#include "kmt/utf.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace wasmedia {

using namespace plat;

const GUID kAudioSessionGuid = {0x70AE88BF, 0x8E71, 0x4536, {0x86, 0xBE, 0xEA, 0x3D, 0x37, 0x0C, 0xC7, 0xFD}};

void checkAudioClientResult(const char* call, HRESULT result) {
    if (SUCCEEDED(result))
        return;
    const char* text;
    switch (static_cast<uint32_t>(result)) {
    case 0x88890001u:
        text = "audio client no initialized";
        break;
    case 0x88890004u:
        text = "audio device invalidated";
        break;
    case 0x88890006u:
        text = "buffer too large";
        break;
    case 0x88890007u:
        text = "out of order";
        break;
    case 0x88890008u:
        text = "unsupported format";
        break;
    case 0x8889000Au:
        text = "audio device in use";
        break;
    case 0x8889000Bu:
        text = "buffer operation pending";
        break;
    case 0x88890014u:
        text = "event handle not set";
        break;
    case 0x88890016u:
        text = "buffer size error";
        break;
    default:
        text = "unknown error";
        break;
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(result));
    throw std::runtime_error(std::string(call) + ": error " + hex + ": " + text);
}

ComApartment::ComApartment() {
    entered = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_SPEED_OVER_MEMORY));
}

ComApartment::~ComApartment() {
    // Only a successful CoInitializeEx is balanced; a thread of the other model keeps its own.
    if (entered)
        CoUninitialize();
}

bool boundLevel(float& level) {
    if (std::isnan(level))
        return false;
    if (level < 0.0f)
        level = 0.0f;
    if (level > 1.0f)
        level = 1.0f;
    return true;
}

ComRef<IAudioEndpointVolume> activateEndpointVolume(IMMDevice* endpoint) {
    ComRef<IAudioEndpointVolume> volume;
    checkAudioClientResult(
        "Activate IAudioEndpointVolume",
        endpoint->Activate(IID_IAudioEndpointVolume, CLSCTX_ALL, nullptr, volume.putVoid()));
    return volume;
}

// Runs one volume call; a failure is logged (with the one message every level call logs) and
// reported as false so that a getter keeps its default.
template <class Call>
bool levelCall(Call&& call) {
    try {
        call();
        return true;
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logWasapi, 1) << "getLevel failed: " << e.what();
        return false;
    }
}

float getEndpointVolume(IMMDevice* endpoint) {
    float level = 1.0f;
    return levelCall([&] {
               checkAudioClientResult("GetMasterVolumeLevelScalar",
                                      activateEndpointVolume(endpoint)->GetMasterVolumeLevelScalar(&level));
           })
               ? level
               : 1.0f;
}

void setEndpointVolume(IMMDevice* endpoint, float level) {
    levelCall([&] {
        checkAudioClientResult(
            "SetMasterVolume", activateEndpointVolume(endpoint)->SetMasterVolumeLevelScalar(level, &kAudioSessionGuid));
    });
}

ComRef<ISimpleAudioVolume> activateSessionVolume(IMMDevice* endpoint) {
    ComRef<IAudioSessionManager> manager;
    checkAudioClientResult(
        "Activate IAudioSessionManager",
        endpoint->Activate(IID_IAudioSessionManager, CLSCTX_ALL, nullptr, manager.putVoid()));
    ComRef<ISimpleAudioVolume> volume;
    checkAudioClientResult("GetSimpleAudioVolume",
                           manager->GetSimpleAudioVolume(&kAudioSessionGuid, 0, volume.put()));
    return volume;
}

float getSessionVolume(IMMDevice* endpoint) {
    float level = 1.0f;
    return levelCall([&] {
               checkAudioClientResult("GetMasterVolume", activateSessionVolume(endpoint)->GetMasterVolume(&level));
           })
               ? level
               : 1.0f;
}

void setSessionVolume(IMMDevice* endpoint, float level) {
    levelCall([&] {
        checkAudioClientResult("SetMasterVolume",
                               activateSessionVolume(endpoint)->SetMasterVolume(level, &kAudioSessionGuid));
    });
}

float getOutputLevel(IMMDevice* endpoint) {
    return getSessionVolume(endpoint) * getEndpointVolume(endpoint);
}

void setOutputLevel(IMMDevice* endpoint, float level) {
    const float endpointLevel = getEndpointVolume(endpoint);
    if (level > endpointLevel) {
        setEndpointVolume(endpoint, level);
        setSessionVolume(endpoint, 1.0f);
    } else {
        // An endpoint at 0 (so level is 0 too) gives a session volume of 0, not 0 / 0.
        float session = endpointLevel > 0.0f ? level / endpointLevel : 0.0f;
        boundLevel(session);
        setSessionVolume(endpoint, session);
    }
}

namespace {
// The audio back ends' notes about their devices (an underrun mended, a card that failed).
void logAudioNote(int level, const char* text) {
    KMT_LOG(kmt::logWasapi, level) << text;
}
} // namespace

WASMediaManager::WASMediaManager() {
    setAudioNoteSink(logAudioNote);
}
WASMediaManager::~WASMediaManager() = default;

namespace {
ComRef<IMMDeviceEnumerator> createEnumerator() {
    ComRef<IMMDeviceEnumerator> enumerator;
    checkAudioClientResult("CoCreateInstance(IMMDeviceEnumerator)",
                           CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                            IID_IMMDeviceEnumerator, enumerator.putVoid()));
    return enumerator;
}

ComRef<IMMDeviceCollection> activeEndpoints(IMMDeviceEnumerator* enumerator, EDataFlow flow, UINT& count) {
    ComRef<IMMDeviceCollection> collection;
    checkAudioClientResult("EnumAudioEndPoints",
                           enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, collection.put()));
    checkAudioClientResult("IMMDeviceCollection::GetCount", collection->GetCount(&count));
    return collection;
}
} // namespace

std::string WASMediaManager::friendlyName(IMMDevice* endpoint) {
    ComRef<IPropertyStore> store;
    checkAudioClientResult("OpenPropertyStore", endpoint->OpenPropertyStore(STGM_READ, store.put()));
    PROPVARIANT value;
    PropVariantInit(&value);
    const HRESULT hr = store->GetValue(PKEY_Device_FriendlyName, &value);
    try {
        checkAudioClientResult("IPropertyStore::GetValue", hr);
        std::string name =
            value.vt == VT_LPWSTR && value.pwszVal ? kmt::toUtf8(value.pwszVal) : std::string();
        PropVariantClear(&value);
        return name;
    } catch (...) {
        PropVariantClear(&value);
        throw;
    }
}

std::vector<std::string> WASMediaManager::listEndpointNames(EDataFlow flow) {
    std::vector<std::string> names;
    try {
        auto enumerator = createEnumerator();
        UINT count = 0;
        auto collection = activeEndpoints(enumerator.get(), flow, count);
        for (UINT i = 0; i < count; ++i) {
            try {
                ComRef<IMMDevice> endpoint;
                checkAudioClientResult("IMDeviceCollection::GetItem", collection->Item(i, endpoint.put()));
                names.push_back(friendlyName(endpoint.get()));
            } catch (const std::exception& e) {
                KMT_LOG(kmt::logWasapi, 1) << "ignore exception: " << e.what();
            }
        }
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logWasapi, 1) << "caught exception: " << e.what();
        names.clear();
    }
    return names;
}

ComRef<IMMDevice> WASMediaManager::findEndpoint(EDataFlow flow, const std::string& name) {
    auto enumerator = createEnumerator();
    UINT count = 0;
    auto collection = activeEndpoints(enumerator.get(), flow, count);
    for (UINT i = 0; i < count; ++i) {
        try {
            ComRef<IMMDevice> endpoint;
            checkAudioClientResult("IMDeviceCollection::GetItem", collection->Item(i, endpoint.put()));
            if (friendlyName(endpoint.get()) == name)
                return endpoint;
        } catch (const std::exception& e) {
            KMT_LOG(kmt::logWasapi, 1) << "ignore exception: " << e.what();
        }
    }
    ComRef<IMMDevice> fallback;
    checkAudioClientResult("GetDefaultAudioEndpoint",
                           enumerator->GetDefaultAudioEndpoint(flow, eCommunications, fallback.put()));
    return fallback;
}

std::string WASMediaManager::actualDeviceName(EDataFlow flow, const std::string& name) {
    try {
        auto endpoint = findEndpoint(flow, name);
        return friendlyName(endpoint.get());
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logWasapi, 1) << "GetActualDevice: " << e.what();
        return "";
    }
}

MediaDevice* WASMediaManager::createDevice(const std::string& input, const std::string& output,
                                           MediaChannel* consumer, int frameSamples, int sampleRate) {
    ComApartment bracket;
    return new WASMediaDevice(input, output, consumer, frameSamples, sampleRate);
}

std::vector<std::string> WASMediaManager::getInputDevices() {
    ComApartment bracket;
    return listEndpointNames(eCapture);
}

std::vector<std::string> WASMediaManager::getOutputDevices() {
    ComApartment bracket;
    return listEndpointNames(eRender);
}

std::string WASMediaManager::getActualInputDevice(const std::string& configured) {
    ComApartment bracket;
    return actualDeviceName(eCapture, configured);
}

std::string WASMediaManager::getActualOutputDevice(const std::string& configured) {
    ComApartment bracket;
    return actualDeviceName(eRender, configured);
}

void WASMediaManager::setInputLevel(const std::string& device, float level) {
    ComApartment bracket;
    try {
        if (!boundLevel(level))
            throw std::invalid_argument("level is not a number");
        auto endpoint = findEndpoint(eCapture, device);
        ComApartment inner;
        wasmedia::setEndpointVolume(endpoint.get(), level);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logWasapi, 1) << "got exception: " << e.what();
    }
}

float WASMediaManager::getInputLevel(const std::string& device) {
    ComApartment bracket;
    try {
        auto endpoint = findEndpoint(eCapture, device);
        return wasmedia::getEndpointVolume(endpoint.get());
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logWasapi, 1) << "got exception: " << e.what();
        return 1.0f;
    }
}

void WASMediaManager::setOutputLevel(const std::string& device, float level) {
    ComApartment bracket;
    try {
        if (!boundLevel(level))
            throw std::invalid_argument("level is not a number");
        auto endpoint = findEndpoint(eRender, device);
        wasmedia::setOutputLevel(endpoint.get(), level);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logWasapi, 1) << "got exception: " << e.what();
    }
}

float WASMediaManager::getOutputLevel(const std::string& device) {
    ComApartment bracket;
    try {
        auto endpoint = findEndpoint(eRender, device);
        return wasmedia::getOutputLevel(endpoint.get());
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logWasapi, 1) << "got exception: " << e.what();
        return 1.0f;
    }
}

} // namespace wasmedia
