// The HID headset driver on the simulated bus: from an input report pushed on the bus to the phone
// operation it becomes (a key of the 6993:B711 keypad reaching buttonPressed on the phone's loop), the
// CPU the device thread uses while a device fails every read, and the CPU of the idle search over a
// hidraw tree of 20 interfaces none of which is a supported headset.
#include "../tests/support/HidDevices.h"
#include "Phone.h"
#include "ThreadedPhoneDevice.h"
#include "hid/BrimelHIDManager.h"

#include "plat/hidsim.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

// 20 hidraw interfaces (keyboards, mice and the like of other vendors), each with its sysfs entry and a
// node the driver can open, and the driver searching them at its own 1000 ms pause: the CPU per second.
void IdleScanOverHidraw(benchmark::State& state) {
    char pattern[] = "/tmp/kbr-bench-hidraw-XXXXXX";
    if (!mkdtemp(pattern)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string root = pattern;
    for (int i = 0; i < 20; ++i) {
        const std::string device = root + "/sys/class/hidraw/hidraw" + std::to_string(i) + "/device";
        if (std::system(("mkdir -p " + device + " " + root + "/dev").c_str()) != 0) {
            state.SkipWithError("cannot make the sysfs tree");
            return;
        }
        char id[64];
        std::snprintf(id, sizeof id, "HID_ID=0003:0000046D:0000C%03X\n", 0x300 + i);
        std::ofstream(device + "/uevent") << id << "HID_NAME=Keyboard\n";
        hidtest::Descriptor d;
        d.page(0x01).usage(0x06).application();
        d.page(0x07).usageRange(0xE0, 0xE7).buttons(8).padding(8);
        d.raw({0x19, 0x00, 0x29, 0xFF}).logical(0, 255).size(8).count(6).input(0x00);
        d.page(0x08).usageRange(0x01, 0x05).logical(0, 1).size(1).count(5).output(0x02).size(3).count(1).output(0x03);
        d.end();
        d.page(0x0C).usage(0x01).application().id(2).usageRange(0x01, 0xFF).logical(0, 255).size(8).count(2).input(0x00).end();
        std::ofstream(device + "/report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(d.bytes.data()), std::streamsize(d.bytes.size()));
        std::ofstream(root + "/dev/hidraw" + std::to_string(i)) << "";
    }
    setenv("KBR_HIDRAW_SYSFS", (root + "/sys").c_str(), 1);
    setenv("KBR_HIDRAW_DEV", (root + "/dev").c_str(), 1);
    plat::testing::setHidBackend("hidraw");
    {
        auto* manager = new CBrimelHIDManager(nullptr);
        CBrimelHIDManager::Timing t;
        t.startDelayMs = 0;
        manager->setTiming(t);
        ThreadedPhoneDevice<CBrimelHIDManager> device(nullptr, manager);
        device.start();
        double cpu = 0, wall = 0;
        for (auto _ : state) {
            const double cpu0 = processCpuMs();
            const auto begin = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(10));
            wall += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
            cpu += processCpuMs() - cpu0;
        }
        state.counters["cpu_ms_per_s"] = cpu / (wall / 1000.0);
    }
    plat::testing::setHidBackend(nullptr);
    unsetenv("KBR_HIDRAW_SYSFS");
    unsetenv("KBR_HIDRAW_DEV");
    (void)!std::system(("rm -rf " + root).c_str());
}
BENCHMARK(IdleScanOverHidraw)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
