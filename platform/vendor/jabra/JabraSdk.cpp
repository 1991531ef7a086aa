// The Jabra SDK stand-in: headsets attached, removed and pressed by a driver, reported through the
// application's callbacks on a thread of the SDK's own, and the states the application sets kept
// per headset.
#include "jabra/JabraSdk.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define JABRA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct DeviceState {
    int hook = 0;
    int online = 0;
    int ringer = 0;
    int mute = 0;
};

struct Sdk {
    std::mutex lock;
    bool initializeResult = true;
    bool initialized = false;
    std::string appId;
    Jabra_FirstScanDoneFunc firstScanDone = nullptr;
    Jabra_DeviceAttachedFunc deviceAttached = nullptr;
    Jabra_DeviceRemovedFunc deviceRemoved = nullptr;
    Jabra_ButtonInDataTranslatedFunc button = nullptr;
    std::map<unsigned short, DeviceState> devices;
    std::map<std::string, int> statuses;
    std::vector<std::string> calls;
    int unfreed = 0;

    // The SDK's thread.
    std::thread worker;
    std::mutex queueLock;
    std::condition_variable queueReady;
    std::deque<std::function<void()>> queue;

    void record(const std::string& call) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call);
    }
    int statusOf(const char* function) {
        std::lock_guard<std::mutex> guard(lock);
        auto it = statuses.find(function);
        return it == statuses.end() ? Return_Ok : it->second;
    }
    void setState(unsigned short id, int DeviceState::*field, bool value) {
        std::lock_guard<std::mutex> guard(lock);
        auto it = devices.find(id);
        if (it != devices.end())
            it->second.*field = value ? 1 : 0;
    }

    // Runs task on the SDK's thread (started on first use) and waits for it.
    void onSdkThread(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> guard(queueLock);
            if (!worker.joinable())
                worker = std::thread([this] { serve(); });
        }
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        {
            std::lock_guard<std::mutex> guard(queueLock);
            queue.push_back([task, done] {
                task();
                done->set_value();
            });
            queueReady.notify_one();
        }
        finished.get();
    }
    void serve() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> guard(queueLock);
                queueReady.wait(guard, [this] { return !queue.empty(); });
                task = std::move(queue.front());
                queue.pop_front();
            }
            task();
        }
    }
};

Sdk& sdk() {
    // Never destroyed: its thread serves until the process ends.
    static Sdk* instance = new Sdk;
    return *instance;
}

char* copyText(const char* text) {
    const size_t n = std::strlen(text);
    char* out = static_cast<char*>(std::malloc(n + 1));
    std::memcpy(out, text, n + 1);
    return out;
}

} // namespace

// ---- the SDK

JABRA_EXPORT void Jabra_SetAppID(const char* appId) {
    sdk().record(std::string("SetAppID ") + (appId ? appId : "(null)"));
    std::lock_guard<std::mutex> guard(sdk().lock);
    sdk().appId = appId ? appId : "";
}

JABRA_EXPORT bool Jabra_InitializeV2(Jabra_FirstScanDoneFunc firstScanDone, Jabra_DeviceAttachedFunc deviceAttached,
                                     Jabra_DeviceRemovedFunc deviceRemoved, Jabra_ButtonInDataRawFunc raw,
                                     Jabra_ButtonInDataTranslatedFunc translated, bool nonJabra, void* config) {
    Sdk& s = sdk();
    s.record(std::string("InitializeV2") + (raw ? " raw" : "") + (nonJabra ? " nonjabra" : "") +
             (config ? " config" : ""));
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.initializeResult || s.appId.size() != 44)
        return false;
    s.initialized = true;
    s.firstScanDone = firstScanDone;
    s.deviceAttached = deviceAttached;
    s.deviceRemoved = deviceRemoved;
    s.button = translated;
    return true;
}

JABRA_EXPORT bool Jabra_Uninitialize() {
    sdk().record("Uninitialize");
    std::lock_guard<std::mutex> guard(sdk().lock);
    sdk().initialized = false;
    return true;
}

JABRA_EXPORT void Jabra_FreeDeviceInfo(Jabra_DeviceInfo info) {
    std::free(info.deviceName);
    std::free(info.serialNumber);
    std::lock_guard<std::mutex> guard(sdk().lock);
    --sdk().unfreed;
}

JABRA_EXPORT Jabra_ReturnCode Jabra_SetOffHook(unsigned short id, bool offHook) {
    sdk().record("SetOffHook " + std::to_string(id) + " " + (offHook ? "1" : "0"));
    const int status = sdk().statusOf("SetOffHook");
    if (status == Return_Ok)
        sdk().setState(id, &DeviceState::hook, offHook);
    return status;
}

JABRA_EXPORT Jabra_ReturnCode Jabra_SetOnline(unsigned short id, bool online) {
    sdk().record("SetOnline " + std::to_string(id) + " " + (online ? "1" : "0"));
    const int status = sdk().statusOf("SetOnline");
    if (status == Return_Ok)
        sdk().setState(id, &DeviceState::online, online);
    return status;
}

JABRA_EXPORT Jabra_ReturnCode Jabra_SetRinger(unsigned short id, bool ringer) {
    sdk().record("SetRinger " + std::to_string(id) + " " + (ringer ? "1" : "0"));
    const int status = sdk().statusOf("SetRinger");
    if (status == Return_Ok)
        sdk().setState(id, &DeviceState::ringer, ringer);
    return status;
}

JABRA_EXPORT bool Jabra_SetMute(unsigned short id, bool mute) {
    sdk().record("SetMute " + std::to_string(id) + " " + (mute ? "1" : "0"));
    if (sdk().statusOf("SetMute") != Return_Ok)
        return false;
    sdk().setState(id, &DeviceState::mute, mute);
    return true;
}

// ---- the driver

JABRA_EXPORT void jabra_driver_reset() {
    Sdk& s = sdk();
    std::lock_guard<std::mutex> guard(s.lock);
    s.initializeResult = true;
    s.devices.clear();
    s.statuses.clear();
    s.calls.clear();
}

JABRA_EXPORT void jabra_driver_set_initialize_result(bool result) {
    std::lock_guard<std::mutex> guard(sdk().lock);
    sdk().initializeResult = result;
}

JABRA_EXPORT void jabra_driver_first_scan_done() {
    sdk().onSdkThread([] {
        Jabra_FirstScanDoneFunc callback;
        {
            std::lock_guard<std::mutex> guard(sdk().lock);
            callback = sdk().firstScanDone;
        }
        if (callback)
            callback();
    });
}

JABRA_EXPORT void jabra_driver_attach(unsigned short id, const char* name) {
    const std::string text = name ? name : "";
    sdk().onSdkThread([id, text] {
        Jabra_DeviceAttachedFunc callback;
        {
            std::lock_guard<std::mutex> guard(sdk().lock);
            sdk().devices[id] = DeviceState{};
            callback = sdk().deviceAttached;
            if (callback)
                ++sdk().unfreed;
        }
        if (callback) {
            Jabra_DeviceInfo info{id, 0x0100, 0x0B0E, copyText(text.c_str()), copyText("SN0000")};
            callback(info);
        }
    });
}

JABRA_EXPORT void jabra_driver_remove(unsigned short id) {
    sdk().onSdkThread([id] {
        Jabra_DeviceRemovedFunc callback;
        {
            std::lock_guard<std::mutex> guard(sdk().lock);
            sdk().devices.erase(id);
            callback = sdk().deviceRemoved;
        }
        if (callback)
            callback(id);
    });
}

JABRA_EXPORT void jabra_driver_button(unsigned short id, int input, bool value) {
    sdk().onSdkThread([id, input, value] {
        Jabra_ButtonInDataTranslatedFunc callback;
        {
            std::lock_guard<std::mutex> guard(sdk().lock);
            callback = sdk().button;
        }
        if (callback)
            callback(id, input, value);
    });
}

JABRA_EXPORT void jabra_driver_set_status(const char* function, int status) {
    if (!function)
        return;
    std::lock_guard<std::mutex> guard(sdk().lock);
    sdk().statuses[function] = status;
}

JABRA_EXPORT int jabra_driver_take_calls(char* buffer, int size) {
    std::string all;
    {
        std::lock_guard<std::mutex> guard(sdk().lock);
        for (const std::string& call : sdk().calls)
            all += call + "\n";
        sdk().calls.clear();
    }
    if (buffer && size > 0) {
        const size_t n = all.size() < size_t(size - 1) ? all.size() : size_t(size - 1);
        all.copy(buffer, n);
        buffer[n] = '\0';
    }
    return int(all.size());
}

JABRA_EXPORT int jabra_driver_state(unsigned short id, const char* which) {
    std::lock_guard<std::mutex> guard(sdk().lock);
    auto it = sdk().devices.find(id);
    if (it == sdk().devices.end() || !which)
        return -1;
    const std::string w = which;
    if (w == "hook")
        return it->second.hook;
    if (w == "online")
        return it->second.online;
    if (w == "ringer")
        return it->second.ringer;
    if (w == "mute")
        return it->second.mute;
    return -1;
}

JABRA_EXPORT int jabra_driver_unfreed_records() {
    std::lock_guard<std::mutex> guard(sdk().lock);
    return sdk().unfreed;
}
