// What each supported product's input reports mean, and the reports each command sends it: checked
// byte for byte against the simulated devices.
#include "support/HidDevices.h"

#include "hid/BrimelHIDManager.h"

#include "plat/hidsim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

using namespace plat;
using hidtest::Descriptor;
using hidtest::descriptorOf;
using ::testing::ElementsAreArray;

namespace {

struct Step {
    std::vector<uint8_t> report;
    const char* word;
};

struct DecodeCase {
    const char* name;
    uint16_t vendor, product;
    std::vector<uint8_t> descriptor;
    std::vector<Step> steps;
};

std::string hex(const std::vector<uint8_t>& bytes) {
    std::ostringstream s;
    for (size_t i = 0; i < bytes.size(); ++i)
        s << (i ? " " : "") << std::hex << std::uppercase << (bytes[i] < 16 ? "0" : "") << int(bytes[i]);
    return s.str();
}

// A manager attached to one simulated device, without its thread.
class Attached {
public:
    Attached(uint16_t vendor, uint16_t product, const std::vector<uint8_t>& descriptor) {
        plat::testing::setHidBackend("sim");
        hidsim::clear();
        id = hidsim::addDevice(vendor, product, descriptor);
        GUID guid;
        HidD_GetHidGuid(&guid);
        HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        // The last interface: the vendor collection of a device with two.
        std::string path;
        for (DWORD i = 0;; ++i) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data))
                break;
            char storage[512];
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage);
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, nullptr, nullptr))
                path = detail->DevicePath;
        }
        SetupDiDestroyDeviceInfoList(set);
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        manager = std::make_unique<CBrimelHIDManager>(nullptr);
        CBrimelHIDManager::Timing timing;
        timing.writeTimeoutMs = 200;
        manager->setTiming(timing);
        attached = h != INVALID_HANDLE_VALUE && manager->attachForDecoding(h);
        CBrimelHIDManager::resetDecoderLatches();
    }
    ~Attached() {
        manager.reset();
        hidsim::clear();
        plat::testing::setHidBackend(nullptr);
    }

    std::string decode(const std::vector<uint8_t>& report) {
        std::vector<uint8_t>& buffer = manager->reportBuffer();
        std::fill(buffer.begin(), buffer.end(), 0);
        std::copy_n(report.begin(), std::min(report.size(), buffer.size()), buffer.begin());
        return manager->decodeReport();
    }
    // Reports sent since the last call, as "kind: bytes".
    std::vector<std::string> sent() {
        std::vector<std::string> out;
        for (const hidsim::SentReport& r : hidsim::takeSent(id)) {
            const char* kind = r.kind == hidsim::SentReport::Write          ? "write"
                               : r.kind == hidsim::SentReport::OutputReport ? "set"
                                                                             : "feature";
            out.push_back(std::string(kind) + ": " + hex(r.bytes));
        }
        return out;
    }

    int id = 0;
    bool attached = false;
    std::unique_ptr<CBrimelHIDManager> manager;
};

std::vector<uint8_t> shortB711() {
    Descriptor d;
    d.page(0xFF00).usage(0x01).application().usage(0x02).bytesIn(3).usage(0x03).bytesOut(8).end();
    return d.bytes;
}

std::vector<uint8_t> shortDecoderB() {
    Descriptor d;
    d.page(0x0B).usage(0x05).application().id(0x01).usage(0x20).buttons(1).padding(7).end();
    return d.bytes;
}

// 0E7D:0001 with its two keys under one capability (a usage range).
std::vector<uint8_t> oneCapability() {
    Descriptor d;
    d.page(0x09).usage(0x01).application().usageRange(0x01, 0x02).buttons(2).padding(6).end();
    return d.bytes;
}

// 6993:B001 without any button capability.
std::vector<uint8_t> b001WithoutButtons() {
    Descriptor d;
    d.page(0xFF00).usage(0x01).application().usage(0x02).bytesIn(7).usage(0x03).bytesOut(64).end();
    return d.bytes;
}

TEST(HidDecoding, ReportsBecomeWords) {
    const DecodeCase cases[] = {
        {"C00E", 0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E),
         {{{0x14, 0x01}, "VolumeUp"}, {{0x14, 0x02}, "VolumeDown"}, {{0x14, 0x04}, "Mute"}, {{0x14, 0x08}, "Hook"},
          {{0x14, 0x10}, "Ignored"}, {{0x14, 0x09}, "Ignored"}, {{0x15, 0x08}, "Ignored"}}},
        {"C035", 0x047F, 0xC035, descriptorOf(0x047F, 0xC035), {{{0x14, 0x08}, "Hook"}}},
        {"0411", 0x047F, 0x0411, descriptorOf(0x047F, 0x0411),
         {{{0x01, 0x83, 0x55, 0x55, 0x55, 0x55}, "OnHook"},
          {{0x01, 0x00, 0x08, 0x00, 0x00, 0x00}, "OnHook"},
          {{0x01, 0x40, 0x08, 0x00, 0x00, 0x00}, "OnHook"},
          {{0x01, 0x40, 0x08, 0x00, 0x00, 0x01}, "Ignored"},
          {{0x01, 0x01, 0x08, 0x00, 0x00, 0x00}, "Ignored"},
          {{0x06, 0x17, 0x22}, "OffHook"},
          {{0x06, 0x17, 0x23}, "Ignored"},
          {{0x02, 0x83}, "Ignored"}}},
        {"0411 with a short input report", 0x047F, 0x0411, shortDecoderB(),
         {{{0x01, 0x00, 0x08, 0x00, 0x00, 0x00}, "Ignored"}, {{0x01, 0x83}, "OnHook"}}},
        {"AA14 hook edges and mute edges", 0x047F, 0xAA14, descriptorOf(0x047F, 0xAA14),
         {{{0x02, 0x01}, "Hook"},
          {{0x02, 0x01}, "Ignored"},
          {{0x02, 0x00}, "Hook"},
          {{0x02, 0x02}, "MuteOn"},
          {{0x02, 0x03}, "Hook"},
          {{0x02, 0x03}, "Ignored"},
          {{0x02, 0x00}, "Hook"},
          {{0x02, 0x00}, "MuteOff"},
          {{0x03, 0x01}, "Ignored"}}},
        {"2603:0280", 0x2603, 0x0280, descriptorOf(0x2603, 0x0280),
         {{{0x01, 0x00}, "OnHook"},
          {{0x01, 0x10}, "VolumeUp"},
          {{0x01, 0x00}, "Ignored"},
          {{0x01, 0x01}, "OffHook"},
          {{0x01, 0x00}, "OnHook"},
          {{0x01, 0x31}, "VolumeDown"},
          {{0x01, 0x05}, "Ignored"},
          {{0x01, 0x00}, "Ignored"},
          {{0x01, 0x03}, "Mute"},
          {{0x01, 0x77}, "Ignored"},
          {{0x02, 0x01}, "Ignored"}}},
        {"AB01 without lines", 0x047F, 0xAB01, descriptorOf(0x047F, 0xAB01),
         {{{0x04, 0x00, 0x00, 0x02, 0x00}, "OffHook"},
          {{0x04, 0x00, 0x00, 0x02, 0x00}, "Ignored"},
          {{0x04, 0x00, 0x00, 0x00, 0x00}, "OnHook"},
          {{0x04, 0x00, 0x00, 0x00, 0x00}, "Ignored"},
          {{0x04, 0x10, 0x00, 0x01, 0x00}, "OffHook"},
          {{0x04, 0x10, 0x00, 0x01, 0x00}, "OnHook"},
          {{0x04, 0x10, 0x00, 0x00, 0x00}, "Ignored"},
          {{0x05, 0x10, 0x00, 0x01, 0x00}, "Ignored"}}},
        {"B711", 0x6993, 0xB711, descriptorOf(0x6993, 0xB711),
         {{{0x00, 0x00, 0x96}, "Zero"},
          {{0x00, 0x00, 0xB6}, "One"},
          {{0x00, 0x00, 0xAE}, "Nine"},
          {{0x00, 0x00, 0xB0}, "ExplicitOffHook"},
          {{0x00, 0x00, 0xA6}, "OnHook"},
          {{0x00, 0x00, 0x90}, "Clear"},
          {{0x00, 0x00, 0xAA}, "VolumeDown"},
          {{0x00, 0x00, 0xFF, 0, 0, 0, 0, 0xA8}, "Star"},
          {{0x00, 0x00, 0xFF, 0, 0, 0, 0, 0x55}, "Ignored"},
          {{0x00, 0x00, 0x55}, "Ignored"}}},
        {"B711 with a short input report", 0x6993, 0xB711, shortB711(),
         {{{0x00, 0x00, 0x94}, "Hash"}, {{0x00, 0x00, 0xFF}, "Ignored"}}},
        {"B001", 0x6993, 0xB001, descriptorOf(0x6993, 0xB001),
         {{{0x00, 0x81, 0, 0, 0, 0x00}, "One"},
          {{0x00, 0x81, 0, 0, 0, 0x31}, "Zero"},
          {{0x00, 0x81, 0, 0, 0, 0x22}, "Nine"},
          {{0x00, 0x81, 0, 0, 0, 0xFF}, "Ignored"},
          {{0x00, 0x81, 0, 0, 0, 0x03}, "ExplicitOffHook"},
          {{0x00, 0x85, 0, 0, 0, 0x01}, "OnHook"},
          {{0x00, 0x85, 0, 0, 0, 0x00}, "OffHook"},
          {{0x00, 0x82, 0, 0, 0, 0x01}, "Ignored"}}},
        {"0410", 0x047F, 0x0410, descriptorOf(0x047F, 0x0410),
         {{{0x00, 0xC0}, "Hook"},
          {{0x00, 0x81}, "VolumeUp"},
          {{0x00, 0x82}, "VolumeDown"},
          {{0x00, 0x90}, "Mute"},
          {{0x00, 0x88}, "Down"},
          {{0x00, 0x84}, "Up"},
          {{0x00, 0xA0}, "OffHook"},
          {{0x00, 0x40}, "Ignored"},
          {{0x00, 0x80}, "Ignored"}}},
        {"C005", 0x047F, 0xC005, descriptorOf(0x047F, 0xC005),
         {{{0x00, 0x90}, "MuteOn"},
          {{0x00, 0x80}, "MuteOff"},
          {{0x00, 0x81}, "VolumeUp"},
          {{0x00, 0x82}, "VolumeDown"},
          {{0x00, 0xC0}, "Hook"},
          {{0x00, 0x01}, "Ignored"}}},
        {"0930", 0x0B0E, 0x0930, descriptorOf(0x0B0E, 0x0930),
         {{{0x00, 0x03}, "MuteOn"}, {{0x00, 0x02}, "MuteOff"}, {{0x00, 0x02}, "Hook"}, {{0x00, 0x01}, "Ignored"}}},
        {"9330 with a 3-byte output report", 0x0B0E, 0x9330, descriptorOf(0x0B0E, 0x9330),
         {{{0x00, 0x01}, "Hook"}, {{0x00, 0x03}, "Hook"}, {{0x00, 0x00}, "Ignored"}}},
        {"9330 with a 2-byte output report", 0x0B0E, 0x9330, descriptorOf(0x0B0E, 0x9330, "out2"),
         {{{0x00, 0x03}, "Mute"}, {{0x00, 0x01}, "OffHook"}, {{0x00, 0x00}, "OnHook"}, {{0x00, 0x02}, "OnHook"}}},
        {"9330 with another output length", 0x0B0E, 0x9330, descriptorOf(0x0B0E, 0x9330, "out4"),
         {{{0x00, 0x01}, "Ignored"}}},
        {"9350", 0x0B0E, 0x9350, descriptorOf(0x0B0E, 0x9350),
         {{{0x00, 0x01}, "Hook"},
          {{0x00, 0x08}, "VolumeUp"},
          {{0x00, 0x04}, "VolumeDown"},
          {{0x00, 0x0C}, "VolumeDown"},
          {{0x00, 0x02}, "Mute"},
          {{0x00, 0x00}, "Ignored"}}},
        {"0E7D:0001", 0x0E7D, 0x0001, descriptorOf(0x0E7D, 0x0001),
         {{{0x00, 0x01}, "OffHook"}, {{0x00, 0x02}, "OnHook"}, {{0x00, 0x00}, "Ignored"}}},
        {"740A", 0x1395, 0x740A, descriptorOf(0x1395, 0x740A),
         {{{0x00, 0x03, 0x00}, "MuteOn"},
          {{0x00, 0x03, 0x00}, "MuteOff"},
          {{0x00, 0x00, 0x0A}, "OffHook"},
          {{0x00, 0x00, 0x02}, "OnHook"},
          {{0x00, 0x01, 0x00}, "OffHook"},
          {{0x00, 0x00, 0x00}, "OnHook"}}},
        {"F210", 0x06E6, 0xF210, descriptorOf(0x06E6, 0xF210),
         {{{0x00, 0x01}, "OffHook"}, {{0x00, 0x00}, "OnHook"}, {{0x00, 0x02}, "OnHook"}}},
        {"FFCA", 0x045E, 0xFFCA, descriptorOf(0x045E, 0xFFCA), {{{0x00, 0x03}, "OffHook"}, {{0x00, 0x00}, "OnHook"}}},
        {"0E7D:0001 with one capability", 0x0E7D, 0x0001, oneCapability(),
         {{{0x00, 0x01}, "Ignored"}, {{0x00, 0x02}, "Ignored"}}},
        {"B001 without buttons", 0x6993, 0xB001, b001WithoutButtons(),
         {{{0x00, 0x85, 0, 0, 0, 0x01}, "Ignored"}, {{0x00, 0x81, 0, 0, 0, 0x31}, "Ignored"}}},
        {"090E", 0x0B0E, 0x090E, descriptorOf(0x0B0E, 0x090E), {{{0x00, 0x01}, "Ignored"}, {{0x00, 0x00}, "Ignored"}}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Attached device(c.vendor, c.product, c.descriptor);
        ASSERT_TRUE(device.attached);
        for (const Step& step : c.steps)
            EXPECT_EQ(device.decode(step.report), step.word) << hex(step.report);
    }
}

TEST(HidDecoding, DecodersThatSendReports) {
    {
        SCOPED_TRACE("2603:0280 mute indicator");
        Attached device(0x2603, 0x0280, descriptorOf(0x2603, 0x0280));
        ASSERT_TRUE(device.attached);
        EXPECT_EQ(device.decode({0x01, 0x02}), "Mute");
        EXPECT_EQ(device.decode({0x01, 0x03}), "Mute");
        EXPECT_THAT(device.sent(), ElementsAreArray({"set: 02 02", "set: 02 00"}));
    }
    {
        SCOPED_TRACE("AB01 with an open line: the hook key follows the feature report");
        Attached device(0x047F, 0xAB01, descriptorOf(0x047F, 0xAB01));
        ASSERT_TRUE(device.attached);
        device.manager->lineStateChanged("a", 6, true, true, "", "", "", "");
        device.sent();
        device.manager->featureBuffer() = {0x05, 0x08, 0x00, 0x00, 0x00};
        EXPECT_EQ(device.decode({0x04, 0x10, 0x00, 0x00, 0x00}), "OnHook");
        EXPECT_THAT(device.sent(), ElementsAreArray({"set: 06 01 00 00", "set: 06 03 00 00", "set: 60 00"}));
        device.manager->featureBuffer() = {0x05, 0x00, 0x00, 0x00, 0x00};
        EXPECT_EQ(device.decode({0x04, 0x10, 0x00, 0x00, 0x00}), "OffHook");
        EXPECT_TRUE(device.sent().empty());
    }
    {
        SCOPED_TRACE("AB01 ringing: a second hook key press does not put the device on hook");
        Attached device(0x047F, 0xAB01, descriptorOf(0x047F, 0xAB01));
        ASSERT_TRUE(device.attached);
        device.manager->lineStateChanged("a", 5, false, false, "", "", "", "");
        EXPECT_EQ(device.decode({0x04, 0x10, 0x00, 0x01, 0x00}), "OffHook");
        EXPECT_EQ(device.decode({0x04, 0x10, 0x00, 0x01, 0x00}), "OffHook");
        device.manager.reset(); // the ring signal stops with the manager
    }
}

TEST(HidDecoding, HookEchoOf740A) {
    Attached device(0x1395, 0x740A, descriptorOf(0x1395, 0x740A));
    ASSERT_TRUE(device.attached);
    device.manager->lineStateChanged("a", 1, true, true, "", "", "", ""); // off hook sent
    EXPECT_THAT(device.sent(), ElementsAreArray({"write: 03 02"}));
    EXPECT_EQ(device.decode({0x00, 0x01, 0x00}), "Ignored"); // the echo
    EXPECT_EQ(device.decode({0x00, 0x01, 0x00}), "OffHook");
    device.manager->lineStateChanged("a", 8, false, true, "", "", "", ""); // on hook sent
    EXPECT_THAT(device.sent(), ElementsAreArray({"write: 03 00"}));
    EXPECT_EQ(device.decode({0x00, 0x00, 0x00}), "Ignored");
    EXPECT_EQ(device.decode({0x00, 0x00, 0x00}), "OnHook");
}

struct CommandCase {
    const char* name;
    uint16_t vendor, product;
    const char* variant;
    const char* command;
    std::vector<std::string> sent;
};

std::string b001(uint8_t b1, uint8_t b2, uint8_t b5, uint8_t checksum) {
    std::vector<uint8_t> r(65, 0);
    r[1] = b1;
    r[2] = b2;
    r[5] = b5;
    r[64] = checksum;
    return "set: " + hex(r);
}

TEST(HidCommands, EachProductGetsItsReportsByItsTransport) {
    const CommandCase cases[] = {
        {"C00E init", 0x047F, 0xC00E, "", "DeviceInit", {"set: 19 03", "set: 1A 00"}},
        {"C022 off hook", 0x047F, 0xC022, "", "DeviceOffHook", {"set: 19 0B", "set: 1A 00"}},
        {"C015 on hook", 0x047F, 0xC015, "", "DeviceOnHook", {"set: 19 03"}},
        {"C024 ring", 0x047F, 0xC024, "", "DeviceRingOnce", {"set: 19 07"}},
        {"0411 init", 0x047F, 0x0411, "", "DeviceInit",
         {"set: 01 02 00", "set: 01 06 00", "set: 01 06 04", "set: 01 06 00"}},
        {"0411 off hook", 0x047F, 0x0411, "", "DeviceOffHook", {"set: 01 06 02", "set: 01 06 00"}},
        {"0411 on hook", 0x047F, 0x0411, "", "DeviceOnHook", {"set: 01 06 01", "set: 01 06 00"}},
        {"0411 ring", 0x047F, 0x0411, "", "DeviceRingOnce", {}},
        {"AB01 init", 0x047F, 0xAB01, "", "DeviceInit",
         {"set: 00 FA", "set: 00", "set: 00", "set: 00", "set: 00 FD", "set: 06 01 00 00", "set: 06 03 00 00",
          "set: 60 00"}},
        {"AB02 off hook", 0x047F, 0xAB02, "", "DeviceOffHook", {"set: 06 03 01 00", "set: 60 01"}},
        {"AB11 on hook", 0x047F, 0xAB11, "", "DeviceOnHook",
         {"set: 06 01 00 00", "set: 06 03 00 00", "set: 60 00"}},
        {"AB01 ring", 0x047F, 0xAB01, "", "DeviceRingOnce", {"set: 06 0B 00 00"}},
        {"9330/3 init", 0x0B0E, 0x9330, "", "DeviceInit", {"write: 00 00 00", "write: 00 00 08", "write: 00 00 00"}},
        {"9350 off hook", 0x0B0E, 0x9350, "", "DeviceOffHook", {"write: 00 00 04"}},
        {"9350 on hook", 0x0B0E, 0x9350, "", "DeviceOnHook", {"write: 00 00 08"}},
        {"9330/3 ring", 0x0B0E, 0x9330, "", "DeviceRingOnce", {"write: 00 00 01"}},
        {"9330/2 init", 0x0B0E, 0x9330, "out2", "DeviceInit", {"write: 00 00", "write: 00 00", "write: 00 00"}},
        {"9330/2 off hook", 0x0B0E, 0x9330, "out2", "DeviceOffHook", {"write: 00 02"}},
        {"9330/2 on hook", 0x0B0E, 0x9330, "out2", "DeviceOnHook", {"write: 00 00"}},
        {"9330/2 ring", 0x0B0E, 0x9330, "out2", "DeviceRingOnce", {"write: 00 01"}},
        {"9330/4 ring", 0x0B0E, 0x9330, "out4", "DeviceRingOnce", {}},
        {"740A init", 0x1395, 0x740A, "", "DeviceInit", {}},
        {"740A off hook", 0x1395, 0x740A, "", "DeviceOffHook", {"write: 03 02"}},
        {"740A on hook", 0x1395, 0x740A, "", "DeviceOnHook", {"write: 03 00"}},
        {"740A ring", 0x1395, 0x740A, "", "DeviceRingOnce", {"write: 03 08"}},
        {"B711 init", 0x6993, 0xB711, "", "DeviceInit", {}},
        {"B711 off hook", 0x6993, 0xB711, "", "DeviceOffHook",
         {"write: 00 03 00 00 00 00 00 00 FD", "write: 00 05 01 00 00 00 00 00 FA"}},
        {"B711 on hook", 0x6993, 0xB711, "", "DeviceOnHook", {"write: 00 05 00 00 00 00 00 00 FB"}},
        {"B711 ring", 0x6993, 0xB711, "", "DeviceRingOnce",
         {"write: 00 03 00 00 00 00 00 00 FD", "write: 00 11 FF 00 00 00 00 00 F0",
          "write: 00 02 1D 0C 17 0C 00 00 B2", "write: 00 11 FF 00 00 00 00 00 F0",
          "write: 00 02 1D 0C 17 0C 00 00 B2", "write: 00 03 04 00 00 00 00 00 F9"}},
        {"B001 init", 0x6993, 0xB001, "", "DeviceInit",
         {b001(0x02, 0x01, 0, 0xFD), b001(0x03, 0x01, 0, 0xFC), b001(0x05, 0x01, 0, 0xFA)}},
        {"B001 off hook", 0x6993, 0xB001, "", "DeviceOffHook", {b001(0x03, 0x01, 0, 0xFC), b001(0x05, 0x01, 1, 0xF9)}},
        {"B001 on hook", 0x6993, 0xB001, "", "DeviceOnHook", {b001(0x03, 0x01, 0, 0xFC), b001(0x05, 0x01, 0, 0xFA)}},
        {"B001 ring", 0x6993, 0xB001, "", "DeviceRingOnce", {b001(0x03, 0x01, 1, 0xFB), b001(0x05, 0x01, 1, 0xF9)}},
        {"0410 gets nothing", 0x047F, 0x0410, "", "DeviceOffHook", {}},
        {"C005 gets nothing", 0x047F, 0xC005, "", "DeviceRingOnce", {}},
        {"AA14 gets nothing", 0x047F, 0xAA14, "", "DeviceInit", {}},
        {"0930 gets nothing", 0x0B0E, 0x0930, "", "DeviceOffHook", {}},
        {"090E gets nothing", 0x0B0E, 0x090E, "", "DeviceOffHook", {}},
        {"0E7D gets nothing", 0x0E7D, 0x0001, "", "DeviceRingOnce", {}},
        {"F210 gets nothing", 0x06E6, 0xF210, "", "DeviceOnHook", {}},
        {"2603 gets nothing", 0x2603, 0x0280, "", "DeviceOffHook", {}},
        {"FFCA gets nothing", 0x045E, 0xFFCA, "", "DeviceRingOnce", {}},
        {"an unknown command sends nothing", 0x047F, 0xC00E, "", "DeviceReboot", {}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        Attached device(c.vendor, c.product, descriptorOf(c.vendor, c.product, c.variant));
        ASSERT_TRUE(device.attached);
        device.sent();
        device.manager->sendCommand(c.command);
        EXPECT_THAT(device.sent(), ElementsAreArray(c.sent));
    }
}

TEST(HidCommands, EveryKeypadReportSumsToZero) {
    for (const char* command : {"DeviceInit", "DeviceOffHook", "DeviceOnHook", "DeviceRingOnce"}) {
        for (uint16_t product : {uint16_t(0xB711), uint16_t(0xB001)}) {
            Attached device(0x6993, product, descriptorOf(0x6993, product));
            ASSERT_TRUE(device.attached);
            device.manager->sendCommand(command);
            for (const hidsim::SentReport& r : hidsim::takeSent(device.id)) {
                unsigned sum = 0;
                for (uint8_t b : r.bytes)
                    sum += b;
                EXPECT_EQ(sum % 256, 0u) << command << " " << hex(r.bytes);
            }
        }
    }
}

TEST(HidDecoding, UsageListEndsAfterAFullRecord) {
    Attached device(0x1395, 0x740A, descriptorOf(0x1395, 0x740A));
    ASSERT_TRUE(device.attached);
    // Every button of the keypad page: its record keeps as many usages as it can hold.
    EXPECT_EQ(device.decode({0x00, 0x00, 0xFF}), "OnHook");
    const plat::USAGE* list = device.manager->getUsageList();
    EXPECT_THAT(std::vector<plat::USAGE>(list, list + 9), ElementsAreArray({1, 2, 3, 4, 5, 6, 7, 8, 0}));
    // A shorter list after a longer one keeps nothing of it.
    EXPECT_EQ(device.decode({0x00, 0x03, 0x00}), "MuteOn");
    EXPECT_THAT(std::vector<plat::USAGE>(list, list + 3), ElementsAreArray({0x20, 0x2F, 0}));
}

// Resident memory of the process now, in MB.
double residentMb() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// One report of 1000 button fields of 131 buttons each (all a report may carry), no usages named.
std::vector<uint8_t> manyButtonFields() {
    Descriptor d;
    d.page(0x0B).usage(0x05).application().id(1).logical(0, 1).size(1).count(131);
    d.usageRange(0x01, 0x08).input(0x02);
    for (int i = 1; i < 1000; ++i)
        d.input(0x02);
    d.end();
    return d.bytes;
}

// Each record holds the usages of its own main item, not every button of its page or report: a
// descriptor's records cost what its buttons do, not their square (30 reports of 3 x 10922 buttons
// cost 170 MB when each of the 90 records could hold all 983,000 buttons of the page; one report of
// 1000 fields would cost 260 MB if each record could hold all 131,000 of the report).
TEST(HidDecoding, RecordsAreSizedByTheirOwnButtons) {
    struct Case {
        const char* name;
        std::vector<uint8_t> descriptor;
        std::vector<uint8_t> report;
        std::vector<plat::USAGE> list;
    };
    std::vector<uint8_t> manyReports(4097, 0), manyFields(16376, 0);
    manyReports[0] = 7; // buttons 1 and 2 of report 7: both records of that range keep them
    manyReports[1] = 0x03;
    manyFields[0] = 1; // buttons 1 and 2 of the one field with usages
    manyFields[1] = 0x03;
    const Case cases[] = {
        {"30 reports of three fields", hidtest::manyButtonReports(30), manyReports, {1, 2, 1, 2, 0}},
        {"one report of 1000 fields", manyButtonFields(), manyFields, {1, 2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double before = residentMb();
        Attached device(0x0E7D, 0x0001, c.descriptor);
        ASSERT_TRUE(device.attached);
        EXPECT_LT(residentMb() - before, 32.0);
        EXPECT_EQ(device.decode(c.report), "OffHook");
        const plat::USAGE* list = device.manager->getUsageList();
        EXPECT_THAT(std::vector<plat::USAGE>(list, list + c.list.size()), ElementsAreArray(c.list));
    }
}

} // namespace
