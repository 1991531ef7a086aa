// The HID driver on the hidraw back end: a fake sysfs tree names the headset and its node is a
// SOCK_SEQPACKET socket standing in for /dev/hidrawN (one report per message).
#include "support/HidDevices.h"

#include "ThreadedPhoneDevice.h"
#include "hid/BrimelHIDManager.h"

#include "plat/hid.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Accepts every connection to the node; the driver's probes come and go, its device handle stays.
// Connections are told apart by their number in the order accepted: a descriptor number is reused.
class FakeNode {
public:
    explicit FakeNode(const std::string& path) {
        listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        bound = bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(listener, 16) == 0;
        acceptor = std::thread([this] {
            while (!stopping) {
                pollfd p{listener, POLLIN, 0};
                if (poll(&p, 1, 20) == 1) {
                    int fd = accept(listener, nullptr, nullptr);
                    std::lock_guard<std::mutex> guard(lock);
                    if (fd >= 0)
                        connections.push_back({fd, ++accepted});
                }
            }
        });
    }
    ~FakeNode() {
        stopping = true;
        acceptor.join();
        for (const Connection& c : connections)
            close(c.fd);
        close(listener);
    }

    // The next report any open connection sends within the time, with the connection it came on.
    bool receive(std::vector<uint8_t>& report, int& from, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            std::vector<Connection> open;
            {
                std::lock_guard<std::mutex> guard(lock);
                open = connections;
            }
            for (const Connection& c : open) {
                uint8_t buffer[256];
                const ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    report.assign(buffer, buffer + n);
                    from = c.number;
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    // Sends a report on every open connection (the driver's probes ignore it).
    void broadcast(const std::vector<uint8_t>& report) {
        std::lock_guard<std::mutex> guard(lock);
        for (const Connection& c : connections)
            send(c.fd, report.data(), report.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // Closes one connection: the device went away.
    void drop(int number) {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = connections.begin(); it != connections.end(); ++it) {
            if (it->number == number) {
                close(it->fd);
                connections.erase(it);
                return;
            }
        }
    }

    bool bound = false;

private:
    struct Connection {
        int fd;
        int number;
    };
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<Connection> connections;
    int accepted = 0;
    std::thread acceptor;
};

class HidrawDriver : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kbr-hidraw-driver-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        ASSERT_EQ(std::system(("mkdir -p " + root + "/dev").c_str()), 0);
        setenv("KBR_HIDRAW_SYSFS", (root + "/sys").c_str(), 1);
        setenv("KBR_HIDRAW_DEV", (root + "/dev").c_str(), 1);
        plat::testing::setHidBackend("hidraw");
    }
    void TearDown() override {
        threaded.reset();
        node.reset();
        plat::testing::setHidBackend(nullptr);
        unsetenv("KBR_HIDRAW_SYSFS");
        unsetenv("KBR_HIDRAW_DEV");
        std::system(("rm -rf " + root).c_str());
    }

    void plug(uint16_t vendor, uint16_t product) {
        const std::string device = root + "/sys/class/hidraw/hidraw0/device";
        ASSERT_EQ(std::system(("mkdir -p " + device).c_str()), 0);
        char id[64];
        std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X\n", vendor, product);
        std::ofstream(device + "/uevent") << id << "HID_NAME=Headset\n";
        const std::vector<uint8_t> descriptor = hidtest::descriptorOf(vendor, product);
        std::ofstream out(device + "/report_descriptor", std::ios::binary);
        out.write(reinterpret_cast<const char*>(descriptor.data()), std::streamsize(descriptor.size()));
        out.close();
        node = std::make_unique<FakeNode>(root + "/dev/hidraw0");
        ASSERT_TRUE(node->bound);
    }
    void start() {
        manager = new CBrimelHIDManager(nullptr);
        CBrimelHIDManager::Timing timing;
        timing.startDelayMs = 0;
        timing.readTimeoutMs = 50;
        timing.lostPauseMs = 100;
        timing.scanPauseMs = 20;
        manager->setTiming(timing);
        threaded = std::make_unique<ThreadedPhoneDevice<CBrimelHIDManager>>(nullptr, manager);
        threaded->start();
    }

    std::string root;
    std::unique_ptr<FakeNode> node;
    CBrimelHIDManager* manager = nullptr;
    std::unique_ptr<ThreadedPhoneDevice<CBrimelHIDManager>> threaded;
};

TEST_F(HidrawDriver, CommandsReachTheNodeAndALostNodeIsFoundAgain) {
    plug(0x047F, 0xC00E);
    start();
    std::vector<uint8_t> report;
    int headset = -1;
    ASSERT_TRUE(node->receive(report, headset, 5000));
    EXPECT_EQ(report, (std::vector<uint8_t>{0x19, 0x03}));
    ASSERT_TRUE(node->receive(report, headset, 2000));
    EXPECT_EQ(report, (std::vector<uint8_t>{0x1A, 0x00}));
    EXPECT_EQ(manager->getProductId(), 0xC00E);

    manager->lineStateChanged("a", 5, false, false, "", "", "", ""); // rings at once
    ASSERT_TRUE(node->receive(report, headset, 2000));
    EXPECT_EQ(report, (std::vector<uint8_t>{0x19, 0x07}));
    manager->lineStateChanged("a", 8, false, false, "", "", "", "");
    ASSERT_TRUE(node->receive(report, headset, 2000));
    EXPECT_EQ(report, (std::vector<uint8_t>{0x19, 0x03})); // the ring stop puts it on hook

    node->drop(headset); // unplugged: the driver's read ends, it searches and opens the node again
    int again = -1;
    ASSERT_TRUE(node->receive(report, again, 5000));
    EXPECT_EQ(report, (std::vector<uint8_t>{0x19, 0x03}));
    EXPECT_NE(again, headset);
}

TEST_F(HidrawDriver, InputReportsAreReadAndDecoded) {
    plug(0x2603, 0x0280);
    start();
    // The mute key: the driver answers with the mute indicator report once it reads the key.
    std::vector<uint8_t> report;
    int headset = -1;
    bool answered = false;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!answered && Clock::now() < deadline) {
        node->broadcast({0x01, 0x02});
        answered = node->receive(report, headset, 100);
    }
    ASSERT_TRUE(answered);
    EXPECT_EQ(report, (std::vector<uint8_t>{0x02, 0x02}));
    node->broadcast({0x01, 0x03});
    ASSERT_TRUE(node->receive(report, headset, 2000));
    EXPECT_EQ(report, (std::vector<uint8_t>{0x02, 0x00}));
}

// Without a choice the machine's hidraw devices serve, also when there was none at start: a headset
// plugged in later is found by the next search.
TEST_F(HidrawDriver, HeadsetPluggedInAfterStartIsFoundWithoutChoosingTheBackEnd) {
    plat::testing::setHidBackend(nullptr);
    unsetenv("KBR_HID");
    start(); // no hidraw class folder, no node
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // several passes find nothing
    plug(0x047F, 0xC00E);
    std::vector<uint8_t> report;
    int headset = -1;
    ASSERT_TRUE(node->receive(report, headset, 5000));
    EXPECT_EQ(report, (std::vector<uint8_t>{0x19, 0x03}));
    EXPECT_EQ(manager->getProductId(), 0xC00E);
}

} // namespace
