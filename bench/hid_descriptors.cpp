// What a headset's report descriptor costs the HID driver: each descriptor is plugged into the simulated
// bus, the driver sets the device up as its device thread does and decodes a few input reports, in a
// child process of its own (address space capped at 3 GiB) so that each peak RSS stands alone and a
// descriptor that aborts the driver shows as its exit status. Prints one line per descriptor.
//
//   bench_hid_descriptors            every descriptor
//   bench_hid_descriptors NAME...    only those named
#include "../tests/support/HidDevices.h"
#include "hid/BrimelHIDManager.h"

#include "plat/hid.h"
#include "plat/hidsim.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Case {
    const char* name;
    std::vector<uint8_t> descriptor;
    bool reportIds; // the reports decoded are numbered 1 and 2, else unnumbered
};

// Two one-bit buttons, then an array field of zero-bit entries with the given count.
std::vector<uint8_t> zeroSizeArray(uint32_t count) {
    return {0x05, 0x0B, 0x09, 0x05, 0xA1, 0x01, 0x09, 0x20, 0x09, 0x2F, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
            0x95, 0x02, 0x81, 0x02, 0x75, 0x06, 0x95, 0x01, 0x81, 0x03, 0x19, 0x01, 0x29, 0x10, 0x75, 0x00,
            0x97, uint8_t(count), uint8_t(count >> 8), uint8_t(count >> 16), uint8_t(count >> 24), 0x81, 0x00,
            0xC0};
}

long peakRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

std::string lastPath() {
    plat::GUID guid;
    plat::HidD_GetHidGuid(&guid);
    plat::HDEVINFO set =
        plat::SetupDiGetClassDevsA(&guid, nullptr, nullptr, plat::DIGCF_PRESENT | plat::DIGCF_DEVICEINTERFACE);
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

// The child: set up, decode, print. Its exit status is 0 when it got that far.
int runCase(const Case& c) {
    const rlimit cap{3ul << 30, 3ul << 30};
    setrlimit(RLIMIT_AS, &cap);
    plat::testing::setHidBackend("sim");
    plat::hidsim::addDevice(0x0E7D, 0x0001, c.descriptor);
    plat::HANDLE h = plat::CreateFileA(lastPath().c_str(), plat::GENERIC_READ | plat::GENERIC_WRITE, 0, nullptr,
                                       plat::OPEN_EXISTING, plat::FILE_FLAG_OVERLAPPED, nullptr);
    if (h == plat::INVALID_HANDLE_VALUE) {
        std::printf("%-22s %5zu bytes  not opened\n", c.name, c.descriptor.size());
        return 0;
    }
    CBrimelHIDManager manager(nullptr);
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    const bool setUp = manager.attachForDecoding(h);
    const double setupMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    double decodeMs = 0;
    const int reports = 20;
    if (setUp) {
        std::vector<uint8_t>& report = manager.reportBuffer();
        for (int i = 0; i < reports; ++i) {
            std::fill(report.begin(), report.end(), 0);
            report[0] = c.reportIds ? uint8_t(1 + i % 2) : 0;
            if (report.size() > 1)
                report[1] = 0x01;
            const auto t = Clock::now();
            manager.decodeReport();
            decodeMs += std::chrono::duration<double, std::milli>(Clock::now() - t).count();
        }
    }
    std::printf("%-22s %5zu bytes  %s  setup %8.1f ms  decode %8.2f ms/report  peak RSS %7.1f MB\n", c.name,
                c.descriptor.size(), setUp ? "set up " : "refused", setupMs, setUp ? decodeMs / reports : 0.0,
                peakRssKb() / 1024.0);
    std::fflush(stdout);
    plat::CloseHandle(h);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const Case cases[] = {
        {"buttons_30_reports", hidtest::manyButtonReports(30), true},
        {"buttons_60_reports", hidtest::manyButtonReports(60), true},
        {"buttons_200_reports", hidtest::manyButtonReports(200), true},
        {"size0_count_12288", zeroSizeArray(12288), false},
        {"size0_count_20000000", zeroSizeArray(20000000), false},
        {"size0_count_fffffff0", zeroSizeArray(0xFFFFFFF0u), false},
    };
    for (const Case& c : cases) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc; ++i)
            wanted = wanted || std::strcmp(argv[i], c.name) == 0;
        if (!wanted)
            continue;
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0)
            _exit(runCase(c));
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFSIGNALED(status))
            std::printf("%-22s %5zu bytes  killed by signal %d (exit %d)\n", c.name, c.descriptor.size(),
                        WTERMSIG(status), 128 + WTERMSIG(status));
        else if (WEXITSTATUS(status) != 0)
            std::printf("%-22s %5zu bytes  exit %d\n", c.name, c.descriptor.size(), WEXITSTATUS(status));
    }
    return 0;
}
