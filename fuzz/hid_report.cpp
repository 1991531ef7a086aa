// Fuzzes the HID driver's setup and report decoding: a supported product with its own report descriptor
// or with one taken from the input, then a series of input reports of any length, decoded as the device
// thread decodes them (decoders that send reports send them to the simulated device). Input: byte 0 the
// product, byte 1 flags (1: a descriptor follows, 2: a line state byte follows, 4: the descriptor length
// has two bytes), then the descriptor's length and bytes, the line state, and the reports.
#include "../tests/support/HidDevices.h"
#include "hid/BrimelHIDManager.h"

#include "plat/hid.h"
#include "plat/hidsim.h"

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const hidtest::Product kProducts[] = {
    {0x6993, 0xB711, ""}, {0x047F, 0x0410, ""}, {0x047F, 0x0411, ""}, {0x047F, 0xAB01, ""},
    {0x047F, 0xAB02, ""}, {0x047F, 0xAB11, ""}, {0x047F, 0xC005, ""}, {0x047F, 0xC00E, ""},
    {0x047F, 0xAA14, ""}, {0x0B0E, 0x0930, ""}, {0x0B0E, 0x9330, ""}, {0x0B0E, 0x9330, "out2"},
    {0x0B0E, 0x9350, ""}, {0x0B0E, 0x090E, ""}, {0x0E7D, 0x0001, ""}, {0x1395, 0x740A, ""},
    {0x06E6, 0xF210, ""}, {0x2603, 0x0280, ""}, {0x045E, 0xFFCA, ""}, {0x6993, 0xB001, ""},
};

std::string lastPath() {
    plat::GUID guid;
    plat::HidD_GetHidGuid(&guid);
    plat::HDEVINFO set = plat::SetupDiGetClassDevsA(&guid, nullptr, nullptr,
                                                    plat::DIGCF_PRESENT | plat::DIGCF_DEVICEINTERFACE);
    std::string path;
    for (plat::DWORD i = 0;; ++i) {
        plat::SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!plat::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data))
            break;
        char storage[512];
        auto* detail = reinterpret_cast<plat::SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage);
        detail->cbSize = sizeof(plat::SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (plat::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof storage, nullptr, nullptr))
            path = detail->DevicePath;
    }
    plat::SetupDiDestroyDeviceInfoList(set);
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    static const bool once = [] {
        plat::testing::setHidBackend("sim");
        return true;
    }();
    (void)once;
    const hidtest::Product& product = kProducts[data[0] % (sizeof kProducts / sizeof kProducts[0])];
    size_t pos = 2;
    std::vector<uint8_t> descriptor;
    if (data[1] & 1) {
        // The descriptor's length: one byte counting 4-byte units, or with bit 2 two bytes (low first)
        // counting bytes, for descriptors up to the 4096 bytes a device may have and beyond.
        size_t n = 0;
        if (data[1] & 4) {
            n = pos + 1 < size ? size_t(data[pos]) | size_t(data[pos + 1]) << 8 : 0;
            pos += 2;
        } else if (pos < size) {
            n = data[pos++] * 4u;
        }
        pos = std::min(pos, size);
        const size_t take = std::min(n, size - pos);
        descriptor.assign(data + pos, data + pos + take);
        pos += take;
    } else {
        descriptor = hidtest::descriptorOf(product.vendor, product.product, product.variant);
    }
    plat::hidsim::clear();
    plat::hidsim::addDevice(product.vendor, product.product, descriptor);
    plat::HANDLE h = plat::CreateFileA(lastPath().c_str(), plat::GENERIC_READ | plat::GENERIC_WRITE, 0, nullptr,
                                       plat::OPEN_EXISTING, plat::FILE_FLAG_OVERLAPPED, nullptr);
    if (h == plat::INVALID_HANDLE_VALUE)
        return 0;
    {
        CBrimelHIDManager manager(nullptr);
        CBrimelHIDManager::Timing timing;
        timing.writeTimeoutMs = 10;
        manager.setTiming(timing);
        if ((data[1] & 2) && pos < size)
            manager.lineStateChanged("fuzz", data[pos++] % 12, true, false, "", "", "", "");
        if (manager.attachForDecoding(h)) {
            // Each report: a length byte, then that many bytes (as many as are left).
            while (pos < size) {
                const size_t want = data[pos++];
                const size_t n = std::min(want, size - pos);
                std::vector<uint8_t>& report = manager.reportBuffer();
                std::fill(report.begin(), report.end(), 0);
                std::memcpy(report.data(), data + pos, std::min(n, report.size()));
                pos += n;
                const std::string word = manager.decodeReport();
                if (word.empty())
                    __builtin_trap();
                const plat::USAGE* list = manager.getUsageList();
                size_t k = 0;
                while (k < CBrimelHIDManager::kUsageListSize && list[k] != 0)
                    ++k;
                if (k == CBrimelHIDManager::kUsageListSize)
                    __builtin_trap(); // the usage list always ends
            }
        }
    }
    plat::CloseHandle(h);
    return 0;
}
