// The HID headset driver on the simulated bus: from an input report pushed on the bus to the phone
// operation it becomes (a key of the 6993:B711 keypad reaching buttonPressed on the phone's loop), and the
// CPU the device thread uses while a device fails every read.
#include "../tests/support/HidDevices.h"
#include "Phone.h"
#include "ThreadedPhoneDevice.h"
#include "hid/BrimelHIDManager.h"

#include "plat/hidsim.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

namespace {

class BenchPhone : public kbrphone::Phone {
public:
    explicit BenchPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
    void buttonPressed(int) override {
        std::lock_guard<std::mutex> guard(lock);
        ++presses;
        changed.notify_all();
    }
    bool waitPresses(long count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(5), [&] { return presses >= count; });
    }

    std::mutex lock;
    std::condition_variable changed;
    long presses = 0;
};

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

CBrimelHIDManager::Timing fastTiming() {
    CBrimelHIDManager::Timing t;
    t.startDelayMs = 0;
    t.scanPauseMs = 10;
    return t;
}

void ReportToPhoneOperation(benchmark::State& state) {
    plat::testing::setHidBackend("sim");
    plat::hidsim::clear();
    const int id = plat::hidsim::addDevice(0x6993, 0xB711, hidtest::descriptorOf(0x6993, 0xB711));
    NoDevice creator;
    BenchPhone phone(creator);
    std::thread loop([&] { phone.run(); });
    auto* manager = new CBrimelHIDManager(&phone);
    manager->setTiming(fastTiming());
    {
        ThreadedPhoneDevice<CBrimelHIDManager> device(&phone, manager);
        device.start();
        if (!plat::hidsim::waitReading(id, 5000)) {
            state.SkipWithError("the driver did not find the keypad");
        } else {
            const std::vector<uint8_t> key = {0x00, 0x00, 0xB4, 0, 0, 0, 0, 0, 0}; // "Two"
            long count = 0;
            for (auto _ : state) {
                const auto begin = std::chrono::steady_clock::now();
                plat::hidsim::pushInput(id, key);
                if (!phone.waitPresses(++count)) {
                    state.SkipWithError("a key press was lost");
                    break;
                }
                state.SetIterationTime(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
            }
        }
    }
    phone.stop();
    loop.join();
    plat::hidsim::clear();
}
BENCHMARK(ReportToPhoneOperation)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

double processCpuMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// A device that fails every read, at the driver's own pauses: the CPU it costs per second of waiting.
void FailingDeviceSearch(benchmark::State& state) {
    plat::testing::setHidBackend("sim");
    plat::hidsim::clear();
    const int id = plat::hidsim::addDevice(0x047F, 0xC00E, hidtest::descriptorOf(0x047F, 0xC00E));
    plat::hidsim::failReads(id, true);
    auto* manager = new CBrimelHIDManager(nullptr);
    CBrimelHIDManager::Timing t;
    t.startDelayMs = 0;
    manager->setTiming(t);
    ThreadedPhoneDevice<CBrimelHIDManager> device(nullptr, manager);
    device.start();
    double cpu = 0, wall = 0;
    uint64_t reads = 0;
    for (auto _ : state) {
        const double cpu0 = processCpuMs();
        const uint64_t reads0 = plat::hidsim::readCount(id);
        const auto begin = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(11));
        wall += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
        cpu += processCpuMs() - cpu0;
        reads += plat::hidsim::readCount(id) - reads0;
    }
    state.counters["cpu_ms_per_s"] = cpu / (wall / 1000.0);
    state.counters["reads_per_s"] = double(reads) / (wall / 1000.0);
    plat::hidsim::clear();
}
BENCHMARK(FailingDeviceSearch)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
