// The EPOS call-control stand-in: one instance at a time, a thread of its own that calls the
// application's listener, and a soft-phone event handler that records what it is told.
#include "dsea/CallControl.h"
#include "dsea/CallControlDriver.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

using namespace dsea::callcontrol::sdk;

namespace {

std::mutex stateLock;
bool present = false;
bool handlerMissing = false;
std::string lastApplication;
std::vector<std::string> calls;
std::atomic<int> instanceCount{0};
std::atomic<int> createCount{0};

void record(const std::string& call) {
    std::lock_guard<std::mutex> guard(stateLock);
    calls.push_back(call);
}

class Handler final : public ISoftphoneEventHandler {
public:
    int Version() override { return 1; }
    void Start() override { record("Start"); }
    void Stop() override { record("Stop"); }
    void OutgoingCall(const std::string& id) override { record("OutgoingCall " + id); }
    void IncomingCall(const std::string& id) override { record("IncomingCall " + id); }
    void ActivateCall(const std::string& id) override { record("ActivateCall " + id); }
    void HoldCall(const std::string& id) override { record("HoldCall " + id); }
    void EndCall(const std::string& id) override { record("EndCall " + id); }
    void RejectCall(const std::string& id) override { record("RejectCall " + id); }
    void Mute(bool muted) override { record(std::string("Mute ") + (muted ? "1" : "0")); }
};

class Instance;
std::mutex instanceLock;
Instance* current = nullptr;

class Instance final : public ICallControlInterface {
public:
    Instance(ICallControlListener* listener, ILogger* logger) : listener(listener), logger(logger) {
        ++instanceCount;
        worker = std::thread([this] { serve(); });
        std::lock_guard<std::mutex> guard(instanceLock);
        current = this;
    }
    ~Instance() override {
        {
            std::lock_guard<std::mutex> guard(instanceLock);
            if (current == this)
                current = nullptr;
        }
        {
            std::lock_guard<std::mutex> guard(queueLock);
            stopping = true;
            queueReady.notify_one();
        }
        worker.join();
        --instanceCount;
    }

    std::shared_ptr<ISoftphoneEventHandler> GetSoftphoneEventHandler() override {
        std::lock_guard<std::mutex> guard(stateLock);
        if (handlerMissing)
            return nullptr;
        return handler;
    }

    // Runs event on the library's thread and waits for it; false when the instance is going.
    bool raise(std::function<void(ICallControlListener&, ILogger&)> event) {
        auto done = std::make_shared<std::promise<bool>>();
        std::future<bool> finished = done->get_future();
        {
            std::lock_guard<std::mutex> guard(queueLock);
            if (stopping)
                return false;
            queue.push_back([this, event, done] {
                event(*listener, *logger);
                done->set_value(true);
            });
            queueReady.notify_one();
        }
        return finished.get();
    }

private:
    void serve() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> guard(queueLock);
                queueReady.wait(guard, [this] { return stopping || !queue.empty(); });
                if (queue.empty())
                    return; // stopping, and every event taken has run
                task = std::move(queue.front());
                queue.pop_front();
            }
            task();
        }
    }

    ICallControlListener* listener;
    ILogger* logger;
    std::shared_ptr<ISoftphoneEventHandler> handler = std::make_shared<Handler>();
    std::thread worker;
    std::mutex queueLock;
    std::condition_variable queueReady;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
};

bool onCurrent(std::function<void(ICallControlListener&, ILogger&)> event) {
    // Held until the event has run: deleting the instance waits for it.
    std::lock_guard<std::mutex> guard(instanceLock);
    if (!current)
        return false;
    return current->raise(std::move(event));
}

bool presentNow() {
    std::lock_guard<std::mutex> guard(stateLock);
    if (present)
        return true;
    const char* env = std::getenv("KBR_EPOS_PRESENT");
    return env && std::string(env) == "1";
}

} // namespace

__attribute__((visibility("default"))) ICallControlInterface* CreateCallControlInstance(
    const ApplicationInfo& application, ICallControlListener* listener, ILogger* logger, bool verbose) {
    ++createCount;
    {
        std::lock_guard<std::mutex> guard(stateLock);
        lastApplication = application.name + "/" + application.vendor + "/" + application.version +
                          " verbose=" + (verbose ? "1" : "0");
    }
    if (!presentNow() || !listener || !logger)
        return nullptr;
    return new Instance(listener, logger);
}

namespace dsea {
namespace driver {

void setPresent(bool value) {
    std::lock_guard<std::mutex> guard(stateLock);
    present = value;
}

void setHandlerMissing(bool missing) {
    std::lock_guard<std::mutex> guard(stateLock);
    handlerMissing = missing;
}

std::string application() {
    std::lock_guard<std::mutex> guard(stateLock);
    return lastApplication;
}

int instances() { return instanceCount.load(); }
int createCalls() { return createCount.load(); }

bool loginState(int state) {
    return onCurrent([state](ICallControlListener& l, ILogger&) { l.OnLoginStateChanged(state); });
}

bool headset(const std::string& event, const std::string& id, const std::string& name) {
    const HeadsetInfo info{id, name};
    return onCurrent([event, info](ICallControlListener& l, ILogger&) {
        if (event == "available")
            l.OnHeadsetAvailable(info);
        else if (event == "removed")
            l.OnHeadsetRemoved(info);
        else if (event == "connected")
            l.OnHeadsetConnected(info);
        else if (event == "disconnected")
            l.OnHeadsetDisconnected(info);
    });
}

bool request(const std::string& what, const std::string& callId) {
    return onCurrent([what, callId](ICallControlListener& l, ILogger&) {
        if (what == "answer")
            l.OnAnswerCall(callId);
        else if (what == "hold")
            l.OnHoldCall(callId);
        else if (what == "resume")
            l.OnResumeCall(callId);
        else if (what == "end")
            l.OnEndCall(callId);
        else if (what == "reject")
            l.OnRejectCall(callId);
    });
}

bool mute(bool muted) {
    return onCurrent([muted](ICallControlListener& l, ILogger&) { l.OnMute(muted); });
}

bool systemInformation(const std::string& first, const std::string& second) {
    return onCurrent([first, second](ICallControlListener& l, ILogger&) { l.OnSystemInformationResponse(first, second); });
}

bool log(int level, const std::string& text) {
    return onCurrent([level, text](ICallControlListener&, ILogger& logger) { logger.Log(level, text); });
}

std::vector<std::string> takeCalls() {
    std::lock_guard<std::mutex> guard(stateLock);
    std::vector<std::string> out;
    out.swap(calls);
    return out;
}

} // namespace driver
} // namespace dsea

// The driver for tests hosted in a JVM.
extern "C" {
__attribute__((visibility("default"))) void epos_driver_set_present(int value) { dsea::driver::setPresent(value != 0); }
__attribute__((visibility("default"))) int epos_driver_request(const char* what, const char* callId) {
    return dsea::driver::request(what ? what : "", callId ? callId : "");
}
__attribute__((visibility("default"))) int epos_driver_mute(int muted) { return dsea::driver::mute(muted != 0); }
__attribute__((visibility("default"))) int epos_driver_take_calls(char* buffer, int size) {
    std::string all;
    for (const std::string& call : dsea::driver::takeCalls())
        all += call + "\n";
    if (buffer && size > 0) {
        const size_t n = all.size() < size_t(size - 1) ? all.size() : size_t(size - 1);
        all.copy(buffer, n);
        buffer[n] = '\0';
    }
    return int(all.size());
}
}
