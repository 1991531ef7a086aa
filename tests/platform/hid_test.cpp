// The HID facility: descriptors parsed into caps and usages, enumeration with its size-query contract,
// overlapped reads and writes on the simulated bus, and the hidraw back end on a fake sysfs tree.
#include "support/HidDevices.h"

#include "plat/hid.h"
#include "plat/hidsim.h"
#include "plat/sync.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using namespace plat;
using hidtest::Descriptor;
using hidtest::descriptorOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// The device paths of the present HID interfaces, checking the two-step detail query on the way.
std::vector<std::string> interfacePaths() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    std::vector<std::string> out;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        DWORD size = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        std::vector<uint64_t> storage((size + 7) / 8);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_EQ(detail->cbSize, 8u);
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
        out.push_back(detail->DevicePath);
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return out;
}

class SimBus : public ::testing::Test {
protected:
    void SetUp() override {
        plat::testing::setHidBackend("sim");
        hidsim::clear();
    }
    void TearDown() override {
        for (HANDLE h : handles)
            CloseHandle(h);
        hidsim::clear();
        plat::testing::setHidBackend(nullptr);
    }

    std::vector<std::string> paths() { return interfacePaths(); }

    HANDLE open(const std::string& path, bool overlapped = true) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            handles.push_back(h);
        return h;
    }

    HIDP_CAPS capsOf(HANDLE h) {
        PHIDP_PREPARSED_DATA data = nullptr;
        HIDP_CAPS caps{};
        EXPECT_TRUE(HidD_GetPreparsedData(h, &data));
        EXPECT_EQ(HidP_GetCaps(data, &caps), HIDP_STATUS_SUCCESS);
        HidD_FreePreparsedData(data);
        return caps;
    }

    std::vector<HANDLE> handles;
};

TEST_F(SimBus, CapsOfEachProductShape) {
    struct Case {
        uint16_t vendor, product;
        const char* variant;
        USAGE page, usage;
        USHORT in, out, feature, inputButtons, inputValues;
    };
    const Case cases[] = {
        {0x047F, 0xC00E, "", 0xFFA0, 1, 3, 2, 0, 1, 1},
        {0x047F, 0x0411, "", 0x0B, 5, 6, 3, 3, 1, 2},
        {0x047F, 0xAA14, "", 0x0B, 5, 2, 0, 0, 2, 0},
        {0x047F, 0x0410, "", 0x0B, 5, 2, 0, 0, 2, 0},
        {0x0B0E, 0x9330, "out2", 0x0B, 5, 2, 2, 0, 2, 0},
        {0x0B0E, 0x9330, "", 0x0B, 5, 2, 3, 0, 2, 0},
        {0x0B0E, 0x9350, "", 0x0B, 5, 2, 3, 0, 4, 0},
        {0x1395, 0x740A, "", 0x0B, 5, 3, 2, 0, 3, 0},
        {0x6993, 0xB711, "", 0xFF00, 1, 9, 9, 0, 0, 1},
        {0x6993, 0xB001, "", 0xFF00, 1, 8, 65, 0, 1, 1},
        {0x2603, 0x0280, "", 0x0B, 5, 2, 2, 0, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.vendor) + ":" + std::to_string(c.product) + c.variant);
        hidsim::clear();
        hidsim::addDevice(c.vendor, c.product, descriptorOf(c.vendor, c.product, c.variant));
        const std::vector<std::string> found = paths();
        ASSERT_EQ(found.size(), 1u);
        HANDLE h = open(found[0]);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        ASSERT_TRUE(HidD_GetAttributes(h, &attributes));
        EXPECT_EQ(attributes.VendorID, c.vendor);
        EXPECT_EQ(attributes.ProductID, c.product);
        const HIDP_CAPS caps = capsOf(h);
        EXPECT_EQ(caps.UsagePage, c.page);
        EXPECT_EQ(caps.Usage, c.usage);
        EXPECT_EQ(caps.InputReportByteLength, c.in);
        EXPECT_EQ(caps.OutputReportByteLength, c.out);
        EXPECT_EQ(caps.FeatureReportByteLength, c.feature);
        EXPECT_EQ(caps.NumberInputButtonCaps, c.inputButtons);
        EXPECT_EQ(caps.NumberInputValueCaps, c.inputValues);
    }
}

TEST_F(SimBus, EachTopLevelCollectionIsAnInterfaceOfItsOwn) {
    hidsim::addDevice(0x047F, 0xAB01, descriptorOf(0x047F, 0xAB01));
    const std::vector<std::string> found = paths();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_NE(found[0].find("vid_047f&pid_ab01&col01"), std::string::npos) << found[0];
    const HIDP_CAPS first = capsOf(open(found[0]));
    const HIDP_CAPS second = capsOf(open(found[1]));
    EXPECT_EQ(first.UsagePage, 0x0C);
    EXPECT_EQ(first.InputReportByteLength, 2);
    EXPECT_EQ(second.UsagePage, 0xFFA0);
    EXPECT_EQ(second.InputReportByteLength, 5);
    EXPECT_EQ(second.FeatureReportByteLength, 5);
    EXPECT_EQ(second.OutputReportByteLength, 4);
}

TEST_F(SimBus, DetailQueryContract) {
    hidsim::addDevice(0x0B0E, 0x9350, descriptorOf(0x0B0E, 0x9350));
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data));
    DWORD size = 0;
    ASSERT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr));
    std::vector<uint64_t> storage(size / 8 + 2);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = size; // the whole size instead of the fixed part's
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
    EXPECT_EQ(std::strlen(detail->DevicePath) + 1 + 4, size);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 1, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(open("\\\\?\\hid#nothing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// The usages the library reports for one input report.
std::vector<USAGE> usagesOf(HANDLE h, USAGE page, std::vector<uint8_t> report, NTSTATUS* status = nullptr) {
    PHIDP_PREPARSED_DATA data = nullptr;
    HidD_GetPreparsedData(h, &data);
    ULONG n = HidP_MaxUsageListLength(HidP_Input, page, data);
    std::vector<USAGE> usages(n + 1);
    const NTSTATUS s = HidP_GetUsages(HidP_Input, page, 0, usages.data(), &n, data,
                                      reinterpret_cast<char*>(report.data()), ULONG(report.size()));
    if (status)
        *status = s;
    HidD_FreePreparsedData(data);
    usages.resize(s == HIDP_STATUS_SUCCESS ? n : 0);
    return usages;
}

TEST_F(SimBus, UsagesOfVariableAndArrayButtons) {
    hidsim::addDevice(0x1395, 0x740A, descriptorOf(0x1395, 0x740A));
    hidsim::addDevice(0x2603, 0x0280, descriptorOf(0x2603, 0x0280));
    const std::vector<std::string> found = paths();
    ASSERT_EQ(found.size(), 2u);
    HANDLE variable = open(found[0]);
    HANDLE array = open(found[1]);
    EXPECT_THAT(usagesOf(variable, 0x0B, {0, 0x03, 0x00}), ElementsAre(0x20, 0x2F));
    EXPECT_THAT(usagesOf(variable, 0x0B, {0, 0x02, 0xFF}), ElementsAre(0x2F));
    EXPECT_THAT(usagesOf(variable, 0x09, {0, 0x03, 0x0A}), ElementsAre(0x02, 0x04));
    EXPECT_THAT(usagesOf(variable, 0x09, {0, 0x00, 0x00}), ElementsAre());
    EXPECT_THAT(usagesOf(array, 0x0B, {1, 0x31}), ElementsAre(0x31));
    EXPECT_THAT(usagesOf(array, 0x0B, {1, 0x00}), ElementsAre()); // index 0 names no usage

    NTSTATUS status = 0;
    usagesOf(variable, 0x0B, {0, 0x03}, &status); // one byte short
    EXPECT_EQ(status, HIDP_STATUS_INVALID_REPORT_LENGTH);
    usagesOf(array, 0x0B, {7, 0x31}, &status); // no input report 7
    EXPECT_EQ(status, HIDP_STATUS_INCOMPATIBLE_REPORT_ID);
    usagesOf(variable, 0x0C, {0, 0x03, 0x00}, &status);
    EXPECT_EQ(status, HIDP_STATUS_USAGE_NOT_FOUND);

    PHIDP_PREPARSED_DATA data = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(variable, &data));
    std::vector<uint8_t> report = {0, 0x03, 0x00};
    USAGE one[1];
    ULONG n = 1;
    EXPECT_EQ(HidP_GetUsages(HidP_Input, 0x0B, 0, one, &n, data, reinterpret_cast<char*>(report.data()), 3),
              HIDP_STATUS_BUFFER_TOO_SMALL);
    HIDP_BUTTON_CAPS caps[3];
    USHORT length = 3;
    ASSERT_EQ(HidP_GetButtonCaps(HidP_Input, caps, &length, data), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(length, 3);
    EXPECT_FALSE(caps[0].IsRange);
    EXPECT_EQ(caps[0].NotRange.Usage, 0x20);
    EXPECT_EQ(caps[1].NotRange.Usage, 0x2F);
    EXPECT_TRUE(caps[2].IsRange);
    EXPECT_EQ(caps[2].UsagePage, 0x09);
    EXPECT_EQ(caps[2].Range.UsageMin, 1);
    EXPECT_EQ(caps[2].Range.UsageMax, 8);
    length = 2;
    EXPECT_EQ(HidP_GetButtonCaps(HidP_Input, caps, &length, data), HIDP_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0x0B, data), 2u);
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0x09, data), 8u);
    HidD_FreePreparsedData(data);
}

TEST_F(SimBus, MalformedDescriptorsGiveNoPreparsedData) {
    const std::vector<std::vector<uint8_t>> bad = {
        {},                                   // nothing
        {0x05, 0x0B, 0x09, 0x05, 0xA1, 0x01}, // collection never closed
        {0x05, 0x0B, 0x09},                   // item cut off
        {0xC0},                               // end without collection
        {0xB4},                               // pop without push
        {0x81, 0x02},                         // main item outside a collection
        // The Linux HID core's limits: Report Size above 256 bits, Report Count above 12288 (also one
        // that no main item uses, and with entries of no bits), a report above 16384 bytes.
        {0xA1, 0x01, 0x76, 0x01, 0x01, 0x95, 0x01, 0x81, 0x02, 0xC0},             // 257-bit field
        {0xA1, 0x01, 0x75, 0x01, 0x96, 0x01, 0x30, 0x81, 0x02, 0xC0},             // 12289 buttons
        {0xA1, 0x01, 0x75, 0x20, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0xC0},             // 65535 entries
        {0xA1, 0x01, 0x75, 0x00, 0x97, 0xF0, 0xFF, 0xFF, 0xFF, 0x81, 0x00, 0xC0}, // 0xFFFFFFF0 of 0 bits
        {0xA1, 0x01, 0x75, 0x00, 0x97, 0x00, 0x2D, 0x31, 0x01, 0x81, 0x00, 0xC0}, // 20,000,000 of 0 bits
        {0xA1, 0x01, 0x96, 0x01, 0x30, 0xC0},                                     // count never used
        {0xA1, 0x01, 0x75, 0x08, 0x96, 0x00, 0x30, 0x81, 0x02, 0x81, 0x02, 0xC0}, // 24576-byte report
        {0xA1, 0x01, 0x85, 0x00, 0xC0},                               // report id 0
        {0xFE, 0x10, 0x00},                                           // long item past the end
    };
    for (const auto& descriptor : bad) {
        SCOPED_TRACE(::testing::PrintToString(descriptor));
        hidsim::clear();
        hidsim::addDevice(0x1111, 0x2222, descriptor);
        const std::vector<std::string> found = paths();
        ASSERT_EQ(found.size(), 1u);
        HANDLE h = open(found[0]);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        PHIDP_PREPARSED_DATA data = nullptr;
        EXPECT_FALSE(HidD_GetPreparsedData(h, &data));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
        HIDP_CAPS caps;
        EXPECT_EQ(HidP_GetCaps(nullptr, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    }
}

// Descriptors at the kernel's limits are taken: the longest report, the widest field, the most entries;
// entries of no bits carry nothing, whatever their count.
TEST_F(SimBus, DescriptorsAtTheKernelLimitsAreTaken) {
    Descriptor longest; // 12288 + 4095 data bytes and the report id: 16384
    longest.page(0xFF00).usage(0x01).application().id(1).usage(0x02).logical(0, 255).size(8);
    longest.raw({0x96, 0x00, 0x30}).input(0x02).raw({0x96, 0xFF, 0x0F}).input(0x02).end();
    Descriptor widest;
    widest.page(0xFF00).usage(0x01).application().usage(0x02).raw({0x76, 0x00, 0x01}).count(1).input(0x02).end();
    Descriptor zeroBits; // two telephony buttons, then 12288 array entries of no bits
    zeroBits.page(0x0B).usage(0x05).application().usage(0x20).usage(0x2F).buttons(2).padding(6);
    zeroBits.usageRange(0x01, 0x10).size(0).raw({0x96, 0x00, 0x30}).input(0x00).end();
    struct Case {
        const char* name;
        std::vector<uint8_t> descriptor;
        USHORT inputLength;
        ULONG maxUsages;
    };
    const Case cases[] = {
        {"longest report", longest.bytes, 16384, 0},
        {"widest field", widest.bytes, 33, 0},
        {"entries of no bits", zeroBits.bytes, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hidsim::clear();
        hidsim::addDevice(0x1111, 0x2222, c.descriptor);
        const std::vector<std::string> found = paths();
        ASSERT_EQ(found.size(), 1u);
        HANDLE h = open(found[0]);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(capsOf(h).InputReportByteLength, c.inputLength);
        PHIDP_PREPARSED_DATA data = nullptr;
        ASSERT_TRUE(HidD_GetPreparsedData(h, &data));
        EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0, data), c.maxUsages);
        HidD_FreePreparsedData(data);
    }
    std::vector<uint8_t> report = {0, 0x03};
    EXPECT_THAT(usagesOf(open(paths()[0]), 0x0B, report), ElementsAre(0x20, 0x2F));
}

// The usage list of one report is as long as the buttons of the report with the most of them, and each
// button capability tells the count of its own main item.
TEST_F(SimBus, UsageListLengthIsThatOfOneReport) {
    Descriptor d;
    d.page(0x09).usage(0x01).application();
    d.id(1).usageRange(1, 8).buttons(8);
    d.id(2).usageRange(1, 4).buttons(4).padding(4);
    d.id(3).usage(0x01).usage(0x02).usage(0x03).buttons(3).padding(5);
    d.end();
    hidsim::addDevice(0x1111, 0x2222, d.bytes);
    HANDLE h = open(paths()[0]);
    PHIDP_PREPARSED_DATA data = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &data));
    EXPECT_EQ(HidP_MaxUsageListLength(HidP_Input, 0x09, data), 8u);
    HIDP_BUTTON_CAPS caps[5];
    USHORT length = 5;
    ASSERT_EQ(HidP_GetButtonCaps(HidP_Input, caps, &length, data), HIDP_STATUS_SUCCESS);
    ASSERT_EQ(length, 5);
    const USHORT counts[] = {8, 4, 3, 3, 3};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(caps[i].ReportCount, counts[i]) << "capability " << i;
    HidD_FreePreparsedData(data);
}

TEST_F(SimBus, OverlappedReadsCompleteQueueCancelAndFail) {
    const int id = hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    HANDLE h = open(paths()[0]);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t buffer[3] = {0xEE, 0xEE, 0xEE};
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD bytes = 0;

    // Waits, then completes with the report.
    EXPECT_FALSE(ReadFile(h, buffer, 3, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_TRUE(hidsim::waitReading(id, 1000));
    EXPECT_TRUE(hidsim::pushInput(id, {0x14, 0x08, 0x00}));
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, 3u);
    EXPECT_THAT(buffer, ElementsAre(0x14, 0x08, 0x00));

    // A short report is padded with zeros, a long one cut to the buffer; queued reports complete at once.
    EXPECT_TRUE(hidsim::pushInput(id, {0x14}));
    EXPECT_TRUE(hidsim::pushInput(id, {0x14, 0x01, 0x02, 0x03, 0x04}));
    ResetEvent(event);
    EXPECT_TRUE(ReadFile(h, buffer, 3, &bytes, &ov));
    EXPECT_EQ(bytes, 1u);
    EXPECT_THAT(buffer, ElementsAre(0x14, 0x00, 0x00));
    EXPECT_TRUE(ReadFile(h, buffer, 3, &bytes, &ov));
    EXPECT_EQ(bytes, 3u);
    EXPECT_THAT(buffer, ElementsAre(0x14, 0x01, 0x02));

    // Cancelled: the event is set, the status says aborted and a later report does not touch the buffer.
    ResetEvent(event);
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_FALSE(ReadFile(h, buffer, 3, nullptr, &ov));
    EXPECT_TRUE(CancelIo(h));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_THAT(buffer, ElementsAre(0xEE, 0xEE, 0xEE));

    // Unplugged: the pending read ends in an error and later reads fail at once.
    ResetEvent(event);
    EXPECT_FALSE(ReadFile(h, buffer, 3, nullptr, &ov));
    hidsim::unplug(id);
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ReadFile(h, buffer, 3, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(hidsim::pushInput(id, {0x14, 0x08, 0x00}));
    CloseHandle(event);
}

TEST_F(SimBus, WritesOutputAndFeatureReportsAreRecorded) {
    const int id = hidsim::addDevice(0x047F, 0xAB01, descriptorOf(0x047F, 0xAB01));
    HANDLE h = open(paths()[1]);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    uint8_t write[] = {0x06, 0x0B, 0x00, 0x00};
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, write, 4, &written, &ov));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    uint8_t output[] = {0x60, 0x01};
    EXPECT_TRUE(HidD_SetOutputReport(h, output, 2));
    hidsim::setFeature(id, {0x05, 0x08, 0x01});
    uint8_t feature[5] = {0x05, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_TRUE(HidD_GetFeature(h, feature, 5));
    EXPECT_THAT(feature, ElementsAre(0x05, 0x08, 0x01, 0x00, 0x00));
    const std::vector<hidsim::SentReport> sent = hidsim::takeSent(id);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].kind, hidsim::SentReport::Write);
    EXPECT_THAT(sent[0].bytes, ElementsAre(0x06, 0x0B, 0x00, 0x00));
    EXPECT_EQ(sent[1].kind, hidsim::SentReport::OutputReport);
    EXPECT_THAT(sent[1].bytes, ElementsAre(0x60, 0x01));
    EXPECT_EQ(sent[2].kind, hidsim::SentReport::FeatureRead);

    // Failing and hanging writes.
    hidsim::failWrites(id, true);
    EXPECT_FALSE(HidD_SetOutputReport(h, output, 2));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    hidsim::failWrites(id, false);
    hidsim::hangWrites(id, true);
    ResetEvent(event);
    EXPECT_FALSE(WriteFile(h, write, 4, &written, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    // Reads refused by the device fail at once.
    hidsim::failReads(id, true);
    uint8_t buffer[5];
    EXPECT_FALSE(ReadFile(h, buffer, 5, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    CloseHandle(event);
}

TEST_F(SimBus, ReplugMakesANewInstanceAndHandlesAreCounted) {
    const int id = hidsim::addDevice(0x047F, 0xC00E, descriptorOf(0x047F, 0xC00E));
    const std::string before = paths()[0];
    HANDLE old = open(before);
    EXPECT_EQ(hidsim::openHandles(id), 1);
    hidsim::unplug(id);
    EXPECT_TRUE(paths().empty());
    EXPECT_EQ(open(before), INVALID_HANDLE_VALUE);
    hidsim::replug(id);
    const std::string after = paths()[0];
    EXPECT_NE(before, after);
    uint8_t report[] = {0x19, 0x03};
    EXPECT_FALSE(HidD_SetOutputReport(old, report, 2));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    HANDLE fresh = open(after);
    EXPECT_TRUE(HidD_SetOutputReport(fresh, report, 2));
    EXPECT_EQ(hidsim::openHandles(id), 2);
    CloseHandle(old);
    handles.erase(handles.begin());
    EXPECT_EQ(hidsim::openHandles(id), 1);
}

TEST_F(SimBus, PlainExportsDriveTheSameBus) {
    const std::vector<uint8_t> descriptor = descriptorOf(0x047F, 0xC00E);
    const int id = kbr_hidsim_add(0x047F, 0xC00E, descriptor.data(), unsigned(descriptor.size()));
    ASSERT_GT(id, 0);
    HANDLE h = open(paths()[0]);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const unsigned char report[] = {0x14, 0x08, 0x00};
    EXPECT_EQ(kbr_hidsim_push(id, report, 3), 1);
    uint8_t buffer[3] = {};
    OVERLAPPED ov{};
    DWORD bytes = 0;
    EXPECT_TRUE(ReadFile(h, buffer, 3, &bytes, &ov));
    EXPECT_THAT(buffer, ElementsAre(0x14, 0x08, 0x00));
    kbr_hidsim_unplug(id);
    EXPECT_TRUE(paths().empty());
    EXPECT_EQ(kbr_hidsim_push(id, report, 3), 0);
    kbr_hidsim_replug(id);
    EXPECT_EQ(paths().size(), 1u);
    kbr_hidsim_clear();
    EXPECT_TRUE(paths().empty());
}

// A fake sysfs tree and a device node that is a SOCK_SEQPACKET socket.
class Hidraw : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kbr-hidraw-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        setenv("KBR_HIDRAW_SYSFS", (root + "/sys").c_str(), 1);
        setenv("KBR_HIDRAW_DEV", (root + "/dev").c_str(), 1);
        mkdir((root + "/dev").c_str(), 0700);
        plat::testing::setHidBackend("hidraw");
    }
    void TearDown() override {
        for (int fd : fds)
            close(fd);
        plat::testing::setHidBackend(nullptr);
        std::system(("rm -rf " + root).c_str());
        unsetenv("KBR_HIDRAW_SYSFS");
        unsetenv("KBR_HIDRAW_DEV");
    }

    void addNode(int index, const std::string& hidId, const std::vector<uint8_t>& descriptor) {
        const std::string dir = root + "/sys/class/hidraw/hidraw" + std::to_string(index) + "/device";
        std::system(("mkdir -p " + dir).c_str());
        std::ofstream(dir + "/uevent") << "DRIVER=hid-generic\nHID_ID=" << hidId << "\nHID_NAME=Test\n";
        std::ofstream out(dir + "/report_descriptor", std::ios::binary);
        out.write(reinterpret_cast<const char*>(descriptor.data()), std::streamsize(descriptor.size()));
    }
    // Listens on the node; returns the listening socket.
    int listenNode(int index) {
        const std::string path = root + "/dev/hidraw" + std::to_string(index);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(fd, 4), 0);
        fds.push_back(fd);
        return fd;
    }
    int accepted(int listener) {
        int fd = accept(listener, nullptr, nullptr);
        fds.push_back(fd);
        return fd;
    }

    std::string root;
    std::vector<int> fds;
};

TEST_F(Hidraw, EnumeratesOpensReadsWritesAndNoticesTheDeviceGoing) {
    addNode(3, "0003:0000047F:0000C00E", descriptorOf(0x047F, 0xC00E));
    addNode(1, "0003:00000B0E:00009350", descriptorOf(0x0B0E, 0x9350));
    addNode(2, "garbage", {0x00});
    const int listener = listenNode(1);

    const std::vector<std::string> found = interfacePaths();
    ASSERT_EQ(found.size(), 2u); // the node without ids is left out; numeric order
    EXPECT_NE(found[0].find("vid_0b0e&pid_9350"), std::string::npos);
    EXPECT_NE(found[1].find("vid_047f&pid_c00e"), std::string::npos);

    EXPECT_EQ(CreateFileA(found[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE); // no node behind it
    HANDLE h = CreateFileA(found[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const int device = accepted(listener);
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    ASSERT_TRUE(HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(attributes.VendorID, 0x0B0E);

    // The device has no numbered reports: hidraw gives the data alone and the library shows id 0 first.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    uint8_t buffer[2] = {0xEE, 0xEE};
    EXPECT_FALSE(ReadFile(h, buffer, 2, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    const uint8_t report[] = {0x04};
    ASSERT_EQ(send(device, report, 1, 0), 1);
    ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, 2u);
    EXPECT_THAT(buffer, ElementsAre(0x00, 0x04));

    // Output reports go out one per message, report number first.
    ResetEvent(event);
    const uint8_t out[] = {0x00, 0x00, 0x04};
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, out, 3, &written, &ov));
    uint8_t got[16];
    EXPECT_EQ(recv(device, got, sizeof got, 0), 3);
    EXPECT_THAT(std::vector<uint8_t>(got, got + 3), ElementsAre(0x00, 0x00, 0x04));
    const uint8_t set2[] = {0x00, 0x00, 0x08};
    EXPECT_TRUE(HidD_SetOutputReport(h, const_cast<uint8_t*>(set2), 3));
    EXPECT_EQ(recv(device, got, sizeof got, 0), 3);
    EXPECT_EQ(got[2], 0x08);

    // The device goes: the pending read ends in an error.
    ResetEvent(event);
    EXPECT_FALSE(ReadFile(h, buffer, 2, nullptr, &ov));
    close(device);
    fds.erase(std::find(fds.begin(), fds.end(), device));
    ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(h);
    CloseHandle(event);
}

// A device whose descriptor the layer refuses is listed, cannot be used, and is reported once, not at
// every enumeration; a device plugged in later is seen by the next enumeration.
TEST_F(Hidraw, RefusedDescriptorIsReportedOnceAndLaterDevicesAreSeen) {
    Descriptor hostile; // Report Count 20,000,000 of zero-bit entries
    hostile.page(0x0B).usage(0x05).application().size(0).raw({0x97, 0x00, 0x2D, 0x31, 0x01}).input(0x00).end();
    addNode(0, "0003:00000E7D:00000001", hostile.bytes);
    ::testing::internal::CaptureStderr();
    for (int pass = 0; pass < 3; ++pass) {
        const std::vector<std::string> found = interfacePaths();
        ASSERT_EQ(found.size(), pass == 0 ? 1u : 2u);
        HANDLE h = CreateFileA(found[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        PHIDP_PREPARSED_DATA data = nullptr;
        EXPECT_FALSE(h != INVALID_HANDLE_VALUE && HidD_GetPreparsedData(h, &data));
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (pass == 0)
            addNode(1, "0003:0000047F:0000C00E", descriptorOf(0x047F, 0xC00E));
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    size_t lines = 0;
    for (size_t at = err.find("refused"); at != std::string::npos; at = err.find("refused", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << err;
    EXPECT_NE(err.find("hid: report descriptor of 0e7d:0001 (" + root + "/dev/hidraw0) refused: report count "
                       "above 12288; the device is not used"),
              std::string::npos)
        << err;
}

TEST_F(Hidraw, NumberedReportsKeepTheirNumberAndReachOnlyTheirCollection) {
    addNode(0, "0003:0000047F:0000AB01", descriptorOf(0x047F, 0xAB01));
    const int listener = listenNode(0);
    hidsim::clear();
    const std::vector<std::string> found = interfacePaths();
    ASSERT_EQ(found.size(), 2u);
    HANDLE h = CreateFileA(found[1].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const int device = accepted(listener);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    uint8_t buffer[5] = {};
    EXPECT_FALSE(ReadFile(h, buffer, 5, nullptr, &ov));
    const uint8_t other[] = {0x01, 0x01};       // the consumer collection's report
    const uint8_t mine[] = {0x04, 0x10, 0x00, 0x01, 0x00};
    ASSERT_EQ(send(device, other, 2, 0), 2);
    ASSERT_EQ(send(device, mine, 5, 0), 5);
    ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_THAT(buffer, ElementsAre(0x04, 0x10, 0x00, 0x01, 0x00));
    CloseHandle(h);
    CloseHandle(event);
}

} // namespace
