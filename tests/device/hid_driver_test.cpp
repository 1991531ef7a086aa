// The HID driver on its thread against the simulated bus: the search and its order, buttons as phone
// operations, the phone's line states as hook and ring reports, loss and return of the device, and
// the threads stopping.
#include "phone/phone_fakes.h"
#include "support/HidDevices.h"

#include "ThreadedPhoneDevice.h"
#include "hid/BrimelHIDManager.h"

#include "plat/hidsim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <new>
#include <thread>

using namespace phonetest;
using hidtest::Descriptor;
using hidtest::descriptorOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Clock = std::chrono::steady_clock;

// Memory that runs out, on demand: while failFrom is set, every allocation of at least that many bytes
// throws std::bad_alloc, as it does when the process has no memory left for it.
namespace {
std::atomic<size_t> failFrom{0};
}

void* operator new(std::size_t n) {
    const size_t limit = failFrom.load(std::memory_order_relaxed);
    if (limit && n >= limit)
        throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// Records of the hid category down to level 4.
class HidLog : public testsupport::LogLines {
public:
    static HidLog& instance() {
        static HidLog* log = [] {
            auto* l = new HidLog;
            kmt::DebugRoot::instance()->addOutput(l);
            return l;
        }();
        return *log;
    }
    void write(const char* category, int, const char*, int, std::ostringstream& text) override {
        if (std::string(category) == "hid")
            keep(text.str());
    }
    int level(const kmt::DebugCategory& category, int proposed) override {
        return category.getName() == "hid" ? 4 : proposed;
    }
};
HidLog& hidLog = HidLog::instance();

std::string hex(const std::vector<uint8_t>& bytes) {
    std::ostringstream s;
    for (size_t i = 0; i < bytes.size(); ++i)
        s << (i ? " " : "") << std::hex << std::uppercase << (bytes[i] < 16 ? "0" : "") << int(bytes[i]);
    return s.str();
}

std::vector<std::string> sentText(int id) {
    std::vector<std::string> out;
    for (const plat::hidsim::SentReport& r : plat::hidsim::sent(id))
        out.push_back(hex(r.bytes));
    return out;
}

class HidHeadsetDriver : public ::testing::Test {
protected:
    void SetUp() override {
        plat::testing::setHidBackend("sim");
        plat::hidsim::clear();
        CBrimelHIDManager::resetDecoderLatches();
        FakeCreator creator(journal, false);
        phone = std::make_unique<TestPhone>(nullptr, creator, journal);
        protocol = new FakeProtocol(phone.get(), journal);
        for (int i = 0; i < 3; ++i)
            protocol->newLine();
        journal.take();
        hidLog.take();
        timing.startDelayMs = 0;
        timing.lostPauseMs = 100;
        timing.scanPauseMs = 20;
        timing.readTimeoutMs = 50;
        timing.writeTimeoutMs = 500;
        timing.ringIntervalMs = 100;
    }
    void TearDown() override {
        device.reset();
        drain(*phone);
        for (int i = 1; i <= 3; ++i)
            delete phone->findLine("line" + std::to_string(i));
        phone.reset();
        plat::hidsim::clear();
        plat::testing::setHidBackend(nullptr);
    }

    void start(bool withPhone = true) {
        manager = new CBrimelHIDManager(withPhone ? phone.get() : nullptr);
        manager->setTiming(timing);
        device = std::make_unique<ThreadedPhoneDevice<CBrimelHIDManager>>(withPhone ? phone.get() : nullptr,
                                                                          manager);
        device->start();
    }
    void report(const char* lineId, int state, bool active) {
        device->lineStateChanged(lineId, state, active, false, "Local", "sip:local@127.0.0.1", "Remote",
                                 "sip:remote@127.0.0.1");
    }
    // Phone operations that ran, waiting up to 2 s for at least count.
    std::vector<std::string> operations(size_t count) {
        std::vector<std::string> out;
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < deadline) {
            drain(*phone);
            for (std::string& e : journal.take())
                out.push_back(std::move(e));
            if (out.size() >= count)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return out;
    }
    // Pushes a report once the driver listens, and waits for its word.
    bool press(int id, const std::vector<uint8_t>& bytes, const std::string& word) {
        if (!plat::hidsim::waitReading(id, 2000) || !plat::hidsim::pushInput(id, bytes))
            return false;
        return waitLog("Got command: " + word);
    }
    bool waitLog(const std::string& line, int timeoutMs = 3000) { return waitLogs({line}, timeoutMs); }
    // Waits for every one of the lines after those found before, in any order (two threads may log
    // them either way round); the next search starts after the last of them.
    bool waitLogs(const std::vector<std::string>& lines, int timeoutMs = 3000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (std::string& l : hidLog.take())
                seen.push_back(l);
            size_t after = searched;
            bool all = true;
            for (const std::string& line : lines) {
                auto it = std::find(seen.begin() + long(searched), seen.end(), line);
                all = all && it != seen.end();
                after = all ? std::max(after, size_t(it - seen.begin()) + 1) : after;
            }
            if (all) {
                searched = after;
                return true;
            }
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    Journal journal;
    std::unique_ptr<TestPhone> phone;
    FakeProtocol* protocol = nullptr;
    CBrimelHIDManager::Timing timing;
    CBrimelHIDManager* manager = nullptr;
    std::unique_ptr<ThreadedPhoneDevice<CBrimelHIDManager>> device;
    std::vector<std::string> seen;
    size_t searched = 0;
};

TEST_F(HidHeadsetDriver, EarlierTableRowWinsAndInitGoesOutBeforeTheFirstRead) {
    const int later = plat::hidsim::addDevice(0x0B0E, 0x9350, descriptorOf(0x0B0E, 0x9350));
    const int earlier = plat::hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    start();
    ASSERT_TRUE(plat::hidsim::waitReading(earlier, 3000));
    EXPECT_THAT(sentText(earlier), ElementsAre("19 03", "1A 00"));
    EXPECT_TRUE(sentText(later).empty());
    EXPECT_EQ(manager->getVendorId(), 0x047F);
    EXPECT_EQ(manager->getProductId(), 0xC00E);
    EXPECT_TRUE(waitLog("Vendor ID : 0x47f"));
    EXPECT_TRUE(waitLog("Product ID: 0xc00e"));
    EXPECT_TRUE(waitLog("Setup OK. Calling runDevice()"));
}

TEST_F(HidHeadsetDriver, DevicePluggedInLaterIsFound) {
    start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int id = plat::hidsim::addDevice(0x6993, 0xB711, descriptorOf(0x6993, 0xB711));
    EXPECT_TRUE(plat::hidsim::waitReading(id, 3000)); // accepted without input buttons
    EXPECT_EQ(manager->getProductId(), 0xB711);
}

TEST_F(HidHeadsetDriver, InterfacesThatDoNotQualifyArePassedOver) {
    Descriptor consumerOnly;
    consumerOnly.page(0x0C).usage(0x01).application().id(1).usage(0xE9).buttons(1).padding(7).end();
    Descriptor noButtons;
    noButtons.page(0x0B).usage(0x05).application().usage(0x20).bytesIn(2).end();
    Descriptor wrongUsage;
    wrongUsage.page(0xFFA0).usage(0x02).application().id(0x14).usageRange(1, 8).buttons(8).end();
    Descriptor notUsage5;
    notUsage5.page(0x0B).usage(0x01).application().id(0x02).usage(0x20).buttons(1).padding(7).end();
    struct Case {
        const char* name;
        uint16_t vendor, product;
        std::vector<uint8_t> descriptor;
    };
    const Case cases[] = {
        {"AB01 without its vendor collection", 0x047F, 0xAB01, consumerOnly.bytes},
        {"a headset without input buttons", 0x0E7D, 0x0001, noButtons.bytes},
        {"C00E with usage 2", 0x047F, 0xC00E, wrongUsage.bytes},
        {"AA14 with usage 1", 0x047F, 0xAA14, notUsage5.bytes},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plat::hidsim::clear();
        const int skipped = plat::hidsim::addDevice(c.vendor, c.product, c.descriptor);
        const int last = plat::hidsim::addDevice(0x6993, 0xB001, descriptorOf(0x6993, 0xB001));
        start();
        EXPECT_TRUE(plat::hidsim::waitReading(last, 3000));
        EXPECT_EQ(plat::hidsim::readCount(skipped), 0u);
        EXPECT_TRUE(plat::hidsim::sent(skipped).empty());
        device.reset();
    }
}

TEST_F(HidHeadsetDriver, ButtonsBecomePhoneOperations) {
    const int id = plat::hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    start();
    report("line1", 5, false);
    ASSERT_TRUE(press(id, {0x14, 0x08, 0x00}, "Hook"));
    EXPECT_THAT(operations(1), ElementsAre("line1 answerIncoming"));
    report("line1", 6, true);
    ASSERT_TRUE(press(id, {0x14, 0x08, 0x00}, "Hook"));
    EXPECT_THAT(operations(1), ElementsAre("line1 hangup"));
    ASSERT_TRUE(press(id, {0x14, 0x01, 0x00}, "VolumeUp"));
    ASSERT_TRUE(press(id, {0x14, 0x02, 0x00}, "VolumeDown"));
    ASSERT_TRUE(press(id, {0x14, 0x04, 0x00}, "Mute"));
    ASSERT_TRUE(press(id, {0x14, 0x10, 0x00}, "Ignored"));
    EXPECT_THAT(operations(3), ElementsAre("button 16", "button 17", "button 18"));
}

TEST_F(HidHeadsetDriver, KeypadKeysBecomeButtonCodes) {
    const int id = plat::hidsim::addDevice(0x6993, 0xB711, descriptorOf(0x6993, 0xB711));
    start();
    const struct {
        uint8_t key;
        const char* word;
    } keys[] = {{0x96, "Zero"}, {0xB4, "Two"}, {0xAE, "Nine"}, {0xA8, "Star"}, {0x94, "Hash"},
                {0xB0, "ExplicitOffHook"}, {0xA6, "OnHook"}, {0x90, "Clear"}, {0x92, "VolumeUp"}};
    for (const auto& k : keys)
        ASSERT_TRUE(press(id, {0x00, 0x00, k.key, 0, 0, 0, 0, 0, 0}, k.word)) << k.word;
    EXPECT_THAT(operations(9), ElementsAre("button 0", "button 2", "button 9", "button 10", "button 11",
                                           "button 20", "button 12", "button 19", "button 16"));
}

TEST_F(HidHeadsetDriver, UpAndDownWalkTheConnectedLines) {
    const int id = plat::hidsim::addDevice(0x047F, 0x0410, descriptorOf(0x047F, 0x0410));
    start();
    report("line1", 6, false);
    report("line2", 6, true);
    report("line3", 6, false);
    ASSERT_TRUE(press(id, {0x00, 0x88}, "Down"));
    ASSERT_TRUE(press(id, {0x00, 0x84}, "Up"));
    EXPECT_THAT(operations(2), ElementsAre("line3 activate", "line1 activate"));
    EXPECT_TRUE(phone->hasLocalSound()); // both keys beep
    report("line1", 8, false);
    report("line3", 5, false);
    ASSERT_TRUE(press(id, {0x00, 0x84}, "Up")); // no other connected line: nothing
    report("line2", 6, false);
    ASSERT_TRUE(press(id, {0x00, 0x84}, "Up")); // no active line: the first record
    EXPECT_THAT(operations(1), ElementsAre("line2 activate"));
}

TEST_F(HidHeadsetDriver, LineStatesSendHookAndRingReports) {
    const int id = plat::hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    start();
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    plat::hidsim::takeSent(id);
    report("line1", 5, false); // offered: rings at once, then every interval
    EXPECT_TRUE(manager->ringerRunning());
    ASSERT_TRUE(plat::hidsim::waitSent(id, 3, 3000));
    report("line1", 6, true); // answered
    EXPECT_FALSE(manager->ringerRunning());
    std::vector<plat::hidsim::SentReport> sent = plat::hidsim::takeSent(id);
    ASSERT_GE(sent.size(), 5u);
    for (size_t i = 0; i + 2 < sent.size(); ++i) {
        EXPECT_EQ(hex(sent[i].bytes), "19 07");
        if (i > 0) { // the lower bound only: a slow machine may ring later, never sooner
            EXPECT_GE(sent[i].timeMs - sent[i - 1].timeMs, 90);
        }
    }
    EXPECT_EQ(hex(sent[sent.size() - 2].bytes), "19 0B");
    EXPECT_EQ(hex(sent.back().bytes), "1A 00");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_TRUE(plat::hidsim::takeSent(id).empty()); // the ring signal has stopped

    report("line2", 6, true); // another line becomes the active connected one
    EXPECT_THAT(sentText(id), ElementsAre("19 0B", "1A 00"));
    plat::hidsim::takeSent(id);
    report("line2", 8, false); // lines stay open: the ring stop puts the device off hook again
    EXPECT_THAT(sentText(id), ElementsAre("19 0B", "1A 00"));
    plat::hidsim::takeSent(id);
    report("line1", 8, false); // the last open line ends
    EXPECT_THAT(sentText(id), ElementsAre("19 03"));
    EXPECT_TRUE(waitLog("Calling sendToDevice(DEVICE_ON_HOOK) (c)"));
}

TEST_F(HidHeadsetDriver, WithoutAnOpenDeviceLineStatesOnlyUpdateTheTable) {
    start();
    report("line1", 5, false);
    EXPECT_FALSE(manager->ringerRunning());
    EXPECT_EQ(manager->lines().size(), 1u);
}

TEST_F(HidHeadsetDriver, UnpluggedMidCallAndPluggedBackIsFoundAgain) {
    const int id = plat::hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    start();
    report("line1", 6, true);
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    plat::hidsim::unplug(id);
    EXPECT_TRUE(waitLog("Lost contact with device\n"));
    // The read that the loss ended is a failed read, not a report to decode.
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const std::string& l) { return l.rfind("Got command: ", 0) == 0; }),
              0);
    plat::hidsim::replug(id);
    ASSERT_TRUE(waitLog("Setup OK. Calling runDevice()"));
    ASSERT_TRUE(press(id, {0x14, 0x08, 0x00}, "Hook"));
    EXPECT_THAT(operations(1), ElementsAre("line1 hangup"));
    const std::vector<std::string> sent = sentText(id);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "19 03"), 2); // DeviceInit once per find
}

// CPU time of the whole process in ms.
double processCpuMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

TEST_F(HidHeadsetDriver, DeviceThatFailsEveryReadIsSearchedForAtThePauseNotInALoop) {
    const int id = plat::hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    plat::hidsim::failReads(id, true);
    start();
    const auto begin = Clock::now();
    const double cpuBefore = processCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    const double cpuMs = processCpuMs() - cpuBefore;
    const uint64_t reads = plat::hidsim::readCount(id);
    // One read per find, one find per lost pause (100 ms here).
    EXPECT_GE(reads, 2u);
    EXPECT_LE(reads, uint64_t(elapsedMs / timing.lostPauseMs) + 2);
    EXPECT_LT(cpuMs, elapsedMs / 2) << "the search spins";
    EXPECT_TRUE(waitLog("A device attached to the system is not functioning.\r\n"));
    EXPECT_TRUE(waitLog("Code location = 3"));
}

TEST_F(HidHeadsetDriver, StopsPromptlyWhileAWriteHangs) {
    timing.writeTimeoutMs = 60000;
    const int id = plat::hidsim::addDevice(0x0B0E, 0x9350, descriptorOf(0x0B0E, 0x9350));
    plat::hidsim::hangWrites(id, true);
    start();
    ASSERT_TRUE(plat::hidsim::waitSent(id, 1, 3000)); // the first init report hangs
    const auto begin = Clock::now();
    device.reset();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - begin).count(), 10.0);
}

TEST_F(HidHeadsetDriver, RingerStopsWithTheDevice) {
    const int id = plat::hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    start();
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    report("line1", 5, false);
    ASSERT_TRUE(plat::hidsim::waitSent(id, 3, 3000));
    device.reset();
    const size_t count = plat::hidsim::sent(id).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(plat::hidsim::sent(id).size(), count);
}

// With the ringer switched off an offered call does not ring the headset; switched on again, the next
// offered call does.
TEST_F(HidHeadsetDriver, RingerOffLeavesTheHeadsetQuiet) {
    const int id = plat::hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    start();
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    plat::hidsim::takeSent(id);
    phone->enableRinger(false);
    report("line1", 5, false);
    EXPECT_FALSE(manager->ringerRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    for (const std::string& sent : sentText(id))
        EXPECT_NE(sent, "19 07") << "a ring report with the ringer off";
    report("line1", 8, false);
    plat::hidsim::takeSent(id);

    phone->enableRinger(true);
    report("line2", 5, false);
    EXPECT_TRUE(manager->ringerRunning());
    ASSERT_TRUE(plat::hidsim::waitSent(id, 1, 3000));
    EXPECT_EQ(sentText(id).front(), "19 07");
    report("line2", 8, false);
}

TEST_F(HidHeadsetDriver, CommandsFromThreeThreadsAreNotInterleaved) {
    const int id = plat::hidsim::addDevice(0x0B0E, 0x9350, descriptorOf(0x0B0E, 0x9350));
    start(false);
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    plat::hidsim::takeSent(id);
    auto send = [this](const char* command) {
        for (int i = 0; i < 100; ++i)
            manager->sendCommand(command);
    };
    std::thread a(send, "DeviceInit");
    std::thread b(send, "DeviceRingOnce");
    std::thread c(send, "DeviceInit");
    a.join();
    b.join();
    c.join();
    const std::vector<std::string> sent = sentText(id);
    ASSERT_EQ(sent.size(), 700u);
    for (size_t i = 0; i < sent.size();) {
        if (sent[i] == "00 00 01") {
            ++i;
            continue;
        }
        ASSERT_LE(i + 3, sent.size());
        ASSERT_THAT(std::vector<std::string>(sent.begin() + long(i), sent.begin() + long(i) + 3),
                    ElementsAre("00 00 00", "00 00 08", "00 00 00"))
            << "at " << i;
        i += 3;
    }
}

TEST_F(HidHeadsetDriver, FeatureReportIsReadWithEachInputReport) {
    const int id = plat::hidsim::addDevice(0x047F, 0xAB01, descriptorOf(0x047F, 0xAB01));
    plat::hidsim::setFeature(id, {0x05, 0x08, 0x00, 0x00, 0x00});
    start();
    report("line1", 6, true);
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    plat::hidsim::takeSent(id);
    ASSERT_TRUE(press(id, {0x04, 0x10, 0x00, 0x00, 0x00}, "OnHook")); // hook key, the feature says on hook
    EXPECT_TRUE(std::find(seen.begin(), seen.end(), "Received report: 04 10 00 00 00") != seen.end());
    EXPECT_TRUE(std::find(seen.begin(), seen.end(), "Features       : 05 08 00 00 00") != seen.end());
    EXPECT_THAT(operations(1), ElementsAre("button 12"));
    const std::vector<plat::hidsim::SentReport> sent = plat::hidsim::takeSent(id);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].kind, plat::hidsim::SentReport::FeatureRead);
    EXPECT_EQ(hex(sent[0].bytes), "05");
    EXPECT_EQ(hex(sent[1].bytes), "06 01 00 00");
    EXPECT_EQ(hex(sent[3].bytes), "60 00");
}

// A keypad whose input reports are 12001 bytes long (byte 2 still carries the key).
std::vector<uint8_t> longB711() {
    Descriptor d;
    d.page(0xFF00).usage(0x01).application().usage(0x02).logical(0, 255).size(8).raw({0x96, 0xE0, 0x2E});
    d.input(0x02).usage(0x03).bytesOut(8).end();
    return d.bytes;
}

// Memory running out while the device is set up ends neither the device thread nor the process: the
// device is closed, searched for again, and served once memory is there again.
TEST_F(HidHeadsetDriver, FailureOnTheDeviceThreadClosesTheDeviceAndSearchesAgain) {
    const int id = plat::hidsim::addDevice(0x6993, 0xB711, longB711());
    failFrom = 12001; // the input report buffer
    start();
    const bool failed = waitLog("Device failed (exception: std::bad_alloc); it is closed and searched for again");
    failFrom = 0;
    ASSERT_TRUE(failed);
    EXPECT_EQ(plat::hidsim::openHandles(id), 0);
    std::vector<uint8_t> key(12001, 0);
    key[2] = 0xB4;
    ASSERT_TRUE(press(id, key, "Two"));
    EXPECT_THAT(operations(1), ElementsAre("button 2"));
}

// Descriptors beyond the kernel's limits leave their device unused (the next supported one is served);
// one of many reports of many buttons is served as any other.
TEST_F(HidHeadsetDriver, HostileDescriptorsAreLeftUnused) {
    Descriptor hugeCount; // 20,000,000 array entries of no bits
    hugeCount.page(0x0B).usage(0x05).application().usage(0x20).usage(0x2F).buttons(2).padding(6);
    hugeCount.usageRange(0x01, 0x10).size(0).raw({0x97, 0x00, 0x2D, 0x31, 0x01}).input(0x00).end();
    Descriptor wide; // a 300-bit field
    wide.page(0x0B).usage(0x05).application().usage(0x20).buttons(1).raw({0x76, 0x2C, 0x01, 0x95, 0x01}).input(0x02).end();
    const std::vector<uint8_t> refused[] = {hugeCount.bytes, wide.bytes};
    for (const std::vector<uint8_t>& descriptor : refused) {
        plat::hidsim::clear();
        const int hostile = plat::hidsim::addDevice(0x0E7D, 0x0001, descriptor);
        const int keypad = plat::hidsim::addDevice(0x6993, 0xB001, descriptorOf(0x6993, 0xB001));
        start();
        EXPECT_TRUE(plat::hidsim::waitReading(keypad, 3000));
        EXPECT_EQ(plat::hidsim::readCount(hostile), 0u);
        EXPECT_EQ(manager->getProductId(), 0xB001);
        device.reset();
    }
    plat::hidsim::clear();
    const int many = plat::hidsim::addDevice(0x0E7D, 0x0001, hidtest::manyButtonReports(60));
    start();
    std::vector<uint8_t> report(4097, 0);
    report[0] = 60;
    report[1] = 0x01;
    ASSERT_TRUE(press(many, report, "OffHook"));
}

// A headset whose writes fail at once (6993:B711 writes with WriteFile): the ring command ends at its
// first report and the device is lost, so the phone's loop is not held for the write timeout of every
// report (5 s each, 40 s for ringing and answering); once it works again it is found and served.
TEST_F(HidHeadsetDriver, WritesThatFailEndTheCommandAndLoseTheDevice) {
    timing.writeTimeoutMs = 5000;
    const int id = plat::hidsim::addDevice(0x6993, 0xB711, descriptorOf(0x6993, 0xB711));
    start();
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    plat::hidsim::failWrites(id, true);
    report("line1", 5, false); // rings at once
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto begin = Clock::now();
    report("line1", 6, true); // answered
    const double blockedMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    EXPECT_LT(blockedMs, timing.writeTimeoutMs) << "the loop waited for writes that could not complete";
    // The device thread sees the device lost at its next read, maybe before the writer has logged why.
    EXPECT_TRUE(waitLogs({"Write failed; the device is treated as lost", "Lost contact with device\n"}));
    plat::hidsim::failWrites(id, false);
    ASSERT_TRUE(waitLog("Setup OK. Calling runDevice()"));
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    plat::hidsim::takeSent(id);
    report("line1", 8, false);
    EXPECT_THAT(sentText(id), ElementsAre("00 05 00 00 00 00 00 00 FB"));
}

// A write that never completes is waited for once: the rest of the command is not sent and the device
// is lost.
TEST_F(HidHeadsetDriver, WriteThatNeverCompletesIsWaitedForOnce) {
    timing.writeTimeoutMs = 200;
    timing.lostPauseMs = 3000;
    const int id = plat::hidsim::addDevice(0x6993, 0xB711, descriptorOf(0x6993, 0xB711));
    start();
    ASSERT_TRUE(plat::hidsim::waitReading(id, 3000));
    plat::hidsim::hangWrites(id, true);
    report("line1", 5, false); // the ring command has six reports
    // The write's cancel also ends the device thread's read, so the loss may be logged first.
    ASSERT_TRUE(waitLogs({"Write timed out; the device is treated as lost", "Lost contact with device\n"}));
    EXPECT_THAT(sentText(id), ElementsAre("00 03 00 00 00 00 00 00 FD"));
    report("line1", 8, false); // the lost device gets nothing more
    EXPECT_EQ(sentText(id).size(), 1u);
}

// The product ids are those of the handle they come with: a command sent while the driver is still
// opening a new device sends nothing, never the previous product's reports to it.
TEST_F(HidHeadsetDriver, CommandWhileANewDeviceOpensSendsNoOtherProductsReports) {
    const int first = plat::hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    const int second = plat::hidsim::addDevice(0x0B0E, 0x9350, descriptorOf(0x0B0E, 0x9350));
    start();
    ASSERT_TRUE(plat::hidsim::waitReading(first, 3000));
    plat::hidsim::holdAttributes(second, true);
    plat::hidsim::unplug(first);
    const bool held = plat::hidsim::waitAttributesHeld(second, 3000); // the driver has just opened it
    if (held)
        manager->sendCommand("DeviceOffHook");
    plat::hidsim::holdAttributes(second, false);
    ASSERT_TRUE(held);
    ASSERT_TRUE(plat::hidsim::waitReading(second, 3000));
    EXPECT_THAT(sentText(second), ElementsAre("00 00 00", "00 00 08", "00 00 00")); // its init alone
    EXPECT_EQ(manager->getProductId(), 0x9350);
}

// An idle search enumerates the interfaces once per pass and opens each once, not once per table row.
TEST_F(HidHeadsetDriver, IdleSearchEnumeratesOncePerPass) {
    timing.scanPauseMs = 10000;
    const int keyboard = plat::hidsim::addDevice(0x046D, 0xC31C, descriptorOf(0x046D, 0xC31C));
    const uint64_t base = plat::hidsim::enumerations();
    start();
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while ((plat::hidsim::enumerations() == base || plat::hidsim::opens(keyboard) == 0) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the rest of the first pass
    EXPECT_EQ(plat::hidsim::enumerations() - base, 1u);
    EXPECT_EQ(plat::hidsim::opens(keyboard), 1u);
}

} // namespace
