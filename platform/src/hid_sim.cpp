// The simulated HID bus: devices plugged in by tests, their reports carried in memory.
#include "hid_internal.h"

#include "plat/hidsim.h"
#include "plat/time.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

namespace plat {
namespace hidimpl {

namespace {

struct SimDevice {
    int id;
    uint16_t vendorId, productId, version;
    std::vector<uint8_t> descriptor;
    std::vector<InterfaceInfo> interfaces; // of the current instance
    unsigned generation = 0;
    bool plugged = false;
    // Open handles of the current instance, with the top level each serves.
    std::vector<std::pair<int, std::weak_ptr<ReadQueue>>> handles;
    std::vector<hidsim::SentReport> sent;
    std::map<uint8_t, std::vector<uint8_t>> features;
    bool failReads = false;
    bool failWrites = false;
    bool hangWrites = false;
    uint64_t reads = 0;
    int openCount = 0;
    uint64_t opens = 0;
    bool holdAttributes = false;
    int held = 0; // callers held in HidD_GetAttributes now
};

std::mutex busLock;
std::condition_variable busChanged;
std::vector<std::shared_ptr<SimDevice>> bus; // enumeration order
std::map<int, std::shared_ptr<SimDevice>> allDevices;
int nextId = 1;
uint64_t enumerationCount = 0;

std::shared_ptr<SimDevice> findDevice(int id) {
    auto it = allDevices.find(id);
    return it == allDevices.end() ? nullptr : it->second;
}

int64_t nowMs() {
    return processClockMs();
}

void plugIn(const std::shared_ptr<SimDevice>& d) {
    ++d->generation;
    d->plugged = true;
    d->handles.clear();
    d->interfaces = interfacesOf("sim" + std::to_string(d->id) + "." + std::to_string(d->generation), d->vendorId,
                                 d->productId, d->version, d->descriptor, false);
    bus.push_back(d);
}

void pullOut(const std::shared_ptr<SimDevice>& d) {
    if (!d->plugged)
        return;
    d->plugged = false;
    bus.erase(std::remove(bus.begin(), bus.end(), d), bus.end());
    for (auto& h : d->handles) {
        if (auto q = h.second.lock())
            q->fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    d->handles.clear();
}

class SimLink : public DeviceLink {
public:
    SimLink(std::shared_ptr<SimDevice> device_, unsigned generation_, std::shared_ptr<ReadQueue> queue_)
        : device(std::move(device_)), generation(generation_), queue(std::move(queue_)) {}

    DWORD write(const uint8_t* data, size_t length, bool& pending) override {
        std::lock_guard<std::mutex> guard(busLock);
        if (!live())
            return ERROR_DEVICE_NOT_CONNECTED;
        if (device->failWrites)
            return ERROR_GEN_FAILURE;
        record(hidsim::SentReport::Write, data, length);
        pending = device->hangWrites;
        return 0;
    }
    DWORD setOutputReport(const uint8_t* data, size_t length) override {
        std::lock_guard<std::mutex> guard(busLock);
        if (!live())
            return ERROR_DEVICE_NOT_CONNECTED;
        if (device->failWrites)
            return ERROR_GEN_FAILURE;
        record(hidsim::SentReport::OutputReport, data, length);
        return 0;
    }
    DWORD getFeature(uint8_t* buffer, size_t length) override {
        std::lock_guard<std::mutex> guard(busLock);
        if (!live())
            return ERROR_DEVICE_NOT_CONNECTED;
        record(hidsim::SentReport::FeatureRead, buffer, 1);
        auto it = device->features.find(buffer[0]);
        const uint8_t id = buffer[0];
        std::fill(buffer, buffer + length, 0);
        buffer[0] = id;
        if (it != device->features.end())
            std::copy_n(it->second.begin(), std::min(length, it->second.size()), buffer);
        return 0;
    }
    void close() override {
        std::lock_guard<std::mutex> guard(busLock);
        --device->openCount;
    }

    DWORD startingRead() override {
        std::lock_guard<std::mutex> guard(busLock);
        ++device->reads;
        return device->failReads ? ERROR_GEN_FAILURE : 0;
    }
    void attributesAsked() override {
        std::unique_lock<std::mutex> guard(busLock);
        if (!device->holdAttributes)
            return;
        ++device->held;
        busChanged.notify_all();
        // Bounded: a test that forgets to let go does not hang the caller for good.
        busChanged.wait_for(guard, std::chrono::seconds(10), [this] { return !device->holdAttributes; });
        --device->held;
    }

private:
    bool live() const { return device->plugged && device->generation == generation; }
    void record(hidsim::SentReport::Kind kind, const uint8_t* data, size_t length) {
        device->sent.push_back(hidsim::SentReport{kind, std::vector<uint8_t>(data, data + length), nowMs()});
        busChanged.notify_all();
    }

    std::shared_ptr<SimDevice> device;
    unsigned generation;
    std::shared_ptr<ReadQueue> queue;
};

class SimBackend : public Backend {
public:
    std::vector<InterfaceInfo> enumerate() override {
        std::lock_guard<std::mutex> guard(busLock);
        ++enumerationCount;
        std::vector<InterfaceInfo> out;
        for (const auto& d : bus)
            out.insert(out.end(), d->interfaces.begin(), d->interfaces.end());
        return out;
    }
    bool lookup(const std::string& path, InterfaceInfo& out) override {
        std::lock_guard<std::mutex> guard(busLock);
        for (const auto& d : bus) {
            for (const InterfaceInfo& info : d->interfaces) {
                if (info.path == path) {
                    out = info;
                    return true;
                }
            }
        }
        return false;
    }
    bool open(FileObject& file) override {
        std::lock_guard<std::mutex> guard(busLock);
        for (const auto& d : bus) {
            for (const InterfaceInfo& info : d->interfaces) {
                if (info.path != file.info.path)
                    continue;
                file.link.reset(new SimLink(d, d->generation, file.queue));
                d->handles.emplace_back(info.topLevel, file.queue);
                ++d->openCount;
                ++d->opens;
                return true;
            }
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
};

} // namespace

Backend& simBackend() {
    static SimBackend* backend = new SimBackend;
    return *backend;
}

} // namespace hidimpl

namespace hidsim {

using namespace hidimpl;

int addDevice(uint16_t vendorId, uint16_t productId, const std::vector<uint8_t>& descriptor, uint16_t version) {
    std::lock_guard<std::mutex> guard(busLock);
    auto d = std::make_shared<SimDevice>();
    d->id = nextId++;
    d->vendorId = vendorId;
    d->productId = productId;
    d->version = version;
    d->descriptor = descriptor;
    allDevices[d->id] = d;
    plugIn(d);
    return d->id;
}

void unplug(int id) {
    std::lock_guard<std::mutex> guard(busLock);
    if (auto d = findDevice(id))
        pullOut(d);
}

void replug(int id) {
    std::lock_guard<std::mutex> guard(busLock);
    if (auto d = findDevice(id)) {
        pullOut(d);
        plugIn(d);
    }
}

void clear() {
    std::lock_guard<std::mutex> guard(busLock);
    for (auto& entry : allDevices)
        pullOut(entry.second);
    allDevices.clear();
}

bool pushInput(int id, const std::vector<uint8_t>& report) {
    std::vector<std::shared_ptr<ReadQueue>> targets;
    {
        std::lock_guard<std::mutex> guard(busLock);
        auto d = findDevice(id);
        if (!d || !d->plugged || report.empty())
            return false;
        // The interface whose input reports carry this id (the first one for a device without ids).
        int topLevel = -1;
        if (!d->interfaces.empty() && d->interfaces[0].parsed) {
            const auto& tops = *d->interfaces[0].parsed;
            for (size_t i = 0; i < tops.size() && topLevel < 0; ++i) {
                if (tops[i].carriesReport(HidP_Input, report[0]))
                    topLevel = int(i);
            }
        }
        if (topLevel < 0)
            topLevel = 0;
        for (auto& h : d->handles) {
            if (h.first != topLevel)
                continue;
            if (auto q = h.second.lock())
                targets.push_back(q);
        }
    }
    for (auto& q : targets)
        q->deliver(report.data(), report.size());
    return true;
}

void setFeature(int id, const std::vector<uint8_t>& report) {
    std::lock_guard<std::mutex> guard(busLock);
    if (auto d = findDevice(id); d && !report.empty())
        d->features[report[0]] = report;
}

std::vector<SentReport> sent(int id) {
    std::lock_guard<std::mutex> guard(busLock);
    auto d = findDevice(id);
    return d ? d->sent : std::vector<SentReport>();
}

std::vector<SentReport> takeSent(int id) {
    std::lock_guard<std::mutex> guard(busLock);
    std::vector<SentReport> out;
    if (auto d = findDevice(id))
        out.swap(d->sent);
    return out;
}

bool waitSent(int id, size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> guard(busLock);
    return busChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        auto d = findDevice(id);
        return d && d->sent.size() >= count;
    });
}

void failReads(int id, bool fail) {
    std::lock_guard<std::mutex> guard(busLock);
    if (auto d = findDevice(id))
        d->failReads = fail;
}

void failWrites(int id, bool fail) {
    std::lock_guard<std::mutex> guard(busLock);
    if (auto d = findDevice(id))
        d->failWrites = fail;
}

void hangWrites(int id, bool hang) {
    std::lock_guard<std::mutex> guard(busLock);
    if (auto d = findDevice(id))
        d->hangWrites = hang;
}

uint64_t readCount(int id) {
    std::lock_guard<std::mutex> guard(busLock);
    auto d = findDevice(id);
    return d ? d->reads : 0;
}

uint64_t opens(int id) {
    std::lock_guard<std::mutex> guard(busLock);
    auto d = findDevice(id);
    return d ? d->opens : 0;
}

uint64_t enumerations() {
    std::lock_guard<std::mutex> guard(busLock);
    return enumerationCount;
}

void holdAttributes(int id, bool hold) {
    std::lock_guard<std::mutex> guard(busLock);
    if (auto d = findDevice(id))
        d->holdAttributes = hold;
    busChanged.notify_all();
}

bool waitAttributesHeld(int id, int timeoutMs) {
    std::unique_lock<std::mutex> guard(busLock);
    return busChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        auto d = findDevice(id);
        return d && d->held > 0;
    });
}

int openHandles(int id) {
    std::lock_guard<std::mutex> guard(busLock);
    auto d = findDevice(id);
    return d ? d->openCount : 0;
}

bool waitReading(int id, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(busLock);
            auto d = findDevice(id);
            if (d) {
                for (auto& h : d->handles) {
                    auto q = h.second.lock();
                    if (q && q->reading())
                        return true;
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace hidsim
} // namespace plat

extern "C" {
int kbr_hidsim_add(unsigned vendorId, unsigned productId, const unsigned char* descriptor, unsigned length) {
    return plat::hidsim::addDevice(uint16_t(vendorId), uint16_t(productId),
                                   std::vector<uint8_t>(descriptor, descriptor + length));
}
void kbr_hidsim_unplug(int id) {
    plat::hidsim::unplug(id);
}
void kbr_hidsim_replug(int id) {
    plat::hidsim::replug(id);
}
void kbr_hidsim_clear() {
    plat::hidsim::clear();
}
int kbr_hidsim_push(int id, const unsigned char* report, unsigned length) {
    return plat::hidsim::pushInput(id, std::vector<uint8_t>(report, report + length)) ? 1 : 0;
}
}
