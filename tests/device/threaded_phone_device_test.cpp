// A device run on a thread of its own: its loop runs there, calls are forwarded on the caller's thread,
// and the loop is told to end and joined before the device goes.
#include "ThreadedPhoneDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using ::testing::ElementsAre;

namespace {

struct Record {
    std::mutex lock;
    std::vector<std::string> calls;
    std::thread::id loopThread;
    std::atomic<bool> loopRunning{false};
    std::atomic<bool> loopEnded{false};
    std::atomic<bool> deletedWhileLooping{false};
    void add(const std::string& c) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(c);
    }
};

class LoopingDevice {
public:
    explicit LoopingDevice(Record& r) : record(r) {}
    ~LoopingDevice() {
        if (record.loopRunning && !record.loopEnded)
            record.deletedWhileLooping = true;
        record.add("deleted");
    }
    void start() {
        record.loopThread = std::this_thread::get_id();
        record.loopRunning = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stopped && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        record.loopEnded = true;
    }
    void stop() {
        record.add("stop");
        stopped = true;
    }
    void lineStateChanged(const char* lineId, int state, bool, bool, const char*, const char*, const char*,
                          const char*) {
        record.add(std::string("line ") + lineId + " " + std::to_string(state));
    }
    void setMute(bool muted) { record.add(muted ? "mute" : "unmute"); }

private:
    Record& record;
    std::atomic<bool> stopped{false};
};

TEST(ThreadedPhoneDevice, LoopOnItsThreadCallsForwardedStopAndJoinBeforeDelete) {
    Record record;
    {
        ThreadedPhoneDevice<LoopingDevice> device(nullptr, new LoopingDevice(record));
        device.start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!record.loopRunning && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(record.loopRunning);
        EXPECT_NE(record.loopThread, std::this_thread::get_id());
        device.lineStateChanged("a", 5, false, false, "", "", "", "");
        device.setMute(true);
        device.setAudioDevices("mic", "speaker"); // not forwarded
    }
    EXPECT_TRUE(record.loopEnded);
    EXPECT_FALSE(record.deletedWhileLooping);
    EXPECT_THAT(record.calls, ElementsAre("line a 5", "mute", "stop", "deleted"));
}

TEST(ThreadedPhoneDevice, NeverStartedDeviceGoesAtOnce) {
    Record record;
    { ThreadedPhoneDevice<LoopingDevice> device(nullptr, new LoopingDevice(record)); }
    EXPECT_THAT(record.calls, ElementsAre("stop", "deleted"));
}

} // namespace
