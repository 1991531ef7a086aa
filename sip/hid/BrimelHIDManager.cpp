#include "hid/BrimelHIDManager.h"

#include "LineActions.h"
#include "Phone.h"
#include "ThreadedPhoneDevice.h"
#include "kmt/ident.h"
#include "kmt/log.h"

#include "plat/file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

using namespace plat;

namespace {

// One supported product and what its interface's caps must show besides the ids.
enum class OpenCondition { none, inputButtons, pageFFA0, usage1PageFFA0, usage5 };

struct SupportedDevice {
    uint16_t vendor;
    uint16_t product;
    OpenCondition condition;
};

const SupportedDevice kDevices[] = {
    {0x6993, 0xB711, OpenCondition::none},           {0x047F, 0x0410, OpenCondition::inputButtons},
    {0x047F, 0x0411, OpenCondition::inputButtons},   {0x047F, 0xAB01, OpenCondition::pageFFA0},
    {0x047F, 0xAB02, OpenCondition::pageFFA0},       {0x047F, 0xAB11, OpenCondition::pageFFA0},
    {0x047F, 0xC005, OpenCondition::inputButtons},   {0x047F, 0xC00E, OpenCondition::usage1PageFFA0},
    {0x047F, 0xC022, OpenCondition::usage1PageFFA0}, {0x047F, 0xC00F, OpenCondition::usage1PageFFA0},
    {0x047F, 0xC024, OpenCondition::usage1PageFFA0}, {0x047F, 0xAA14, OpenCondition::usage5},
    {0x047F, 0xC015, OpenCondition::usage1PageFFA0}, {0x047F, 0xC035, OpenCondition::usage1PageFFA0},
    {0x0B0E, 0x0930, OpenCondition::inputButtons},   {0x0B0E, 0x9330, OpenCondition::inputButtons},
    {0x0B0E, 0x9350, OpenCondition::inputButtons},   {0x0B0E, 0x090E, OpenCondition::inputButtons},
    {0x0E7D, 0x0001, OpenCondition::inputButtons},   {0x1395, 0x740A, OpenCondition::inputButtons},
    {0x06E6, 0xF210, OpenCondition::inputButtons},   {0x2603, 0x0280, OpenCondition::inputButtons},
    {0x045E, 0xFFCA, OpenCondition::inputButtons},   {0x6993, 0xB001, OpenCondition::none},
};

OpenCondition conditionOf(uint16_t vendor, uint16_t product) {
    for (const SupportedDevice& d : kDevices) {
        if (d.vendor == vendor && d.product == product)
            return d.condition;
    }
    return OpenCondition::inputButtons;
}

bool conditionHolds(OpenCondition condition, const HIDP_CAPS& caps) {
    switch (condition) {
    case OpenCondition::none:
        return true;
    case OpenCondition::inputButtons:
        return caps.NumberInputButtonCaps >= 1;
    case OpenCondition::pageFFA0:
        return caps.UsagePage == 0xFFA0;
    case OpenCondition::usage1PageFFA0:
        return caps.Usage == 1 && caps.UsagePage == 0xFFA0;
    case OpenCondition::usage5:
        return caps.Usage == 5;
    }
    return false;
}

bool isProduct(uint16_t vendor, uint16_t product, uint16_t v, std::initializer_list<uint16_t> products) {
    if (vendor != v)
        return false;
    for (uint16_t p : products) {
        if (p == product)
            return true;
    }
    return false;
}

// Process-wide latches of the decoders, kept across device changes.
uint8_t hookLatch = 0;
uint8_t muteLatch = 0;
uint8_t offHookLatch = 0;
uint8_t onHookBitLatch = 1;

using Reports = std::vector<std::vector<uint8_t>>;

// A 65-byte report of the 6993:B001 keypad: byte 1, byte 2 and byte 5 as given, the checksum last.
std::vector<uint8_t> b001Report(uint8_t b1, uint8_t b2, uint8_t b5) {
    std::vector<uint8_t> r(65, 0);
    r[1] = b1;
    r[2] = b2;
    r[5] = b5;
    unsigned sum = 0;
    for (size_t i = 0; i < 64; ++i)
        sum += r[i];
    r[64] = uint8_t(0x100 - (sum & 0xFF));
    return r;
}

// Bytes as space-separated hex for a log line, streamed only when the line is written.
kmt::HexBytes hexOf(const uint8_t* data, size_t length) {
    return kmt::HexBytes{data, length, " "};
}

} // namespace

// ---- RingerThread

RingerThread::RingerThread(CBrimelHIDManager* manager_) : manager(manager_), tick(this, &RingerThread::ringTick) {}

RingerThread::~RingerThread() {
    scheduler.stop();
    join();
}

void RingerThread::run() {
    scheduler.addTimer(0, &tick);
    scheduler.run();
    scheduler.removeTimer(&tick);
}

void RingerThread::ringTick() {
    try {
        if (manager->isRinging())
            manager->sendCommand("DeviceRingOnce");
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logHid, 1) << "Ring signal failed: " << e.what();
    }
    scheduler.addTimer(manager->timing.ringIntervalMs, &tick);
}

void RingerThread::stop() {
    scheduler.stop();
}

// ---- CBrimelHIDManager

CBrimelHIDManager::CBrimelHIDManager(kbrphone::Phone* phone) : AbstractPhoneDevice(phone), scanPauseMs(1000) {
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    lostEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

CBrimelHIDManager::~CBrimelHIDManager() {
    stop();
    stopRinger();
    closeDevice();
    if (preparsedData)
        HidD_FreePreparsedData(preparsedData);
    if (readCompletion)
        CloseHandle(readCompletion);
    if (writeCompletion)
        CloseHandle(writeCompletion);
    if (stopEvent)
        CloseHandle(stopEvent);
    if (lostEvent)
        CloseHandle(lostEvent);
}

void CBrimelHIDManager::setTiming(const Timing& t) {
    timing = t;
    scanPauseMs = t.scanPauseMs;
}

void CBrimelHIDManager::stop() {
    stopping = true;
    if (stopEvent)
        SetEvent(stopEvent);
}

bool CBrimelHIDManager::pause(int ms) {
    if (stopping.load())
        return true;
    if (!stopEvent) {
        Sleep(DWORD(ms));
        return stopping.load();
    }
    return WaitForSingleObject(stopEvent, DWORD(ms)) == WAIT_OBJECT_0 || stopping.load();
}

void CBrimelHIDManager::closeDevice() {
    std::lock_guard<std::recursive_mutex> guard(commandLock);
    if (hidDeviceHandle && hidDeviceHandle != INVALID_HANDLE_VALUE)
        CloseHandle(hidDeviceHandle);
    hidDeviceHandle = nullptr;
}

void CBrimelHIDManager::run() {
    readTimeoutMs = timing.readTimeoutMs;
    lastError = 0;
    closeDevice();
    vendorId = 0;
    productId = 0;
    if (!readCompletion)
        readCompletion = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!writeCompletion)
        writeCompletion = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (pause(timing.startDelayMs))
        return;
    while (!stopping.load()) {
        serveOnce();
        if (stopping.load())
            break;
        KMT_LOG(kmt::logHid, 3) << "Lost contact with device\n";
        if (pause(timing.lostPauseMs))
            break;
    }
    // The device stays open until the manager goes; nothing reads it any more.
}

void CBrimelHIDManager::serveOnce() {
    // Nothing a device does (a descriptor that asks too much, memory running out) may end the thread:
    // the device is closed and searched for again after the pause.
    const char* failure = nullptr;
    std::string what;
    try {
        KMT_LOG(kmt::logHid, 3) << "Waiting/scanning for device";
        scanForDevice();
        if (stopping.load())
            return;
        KMT_LOG(kmt::logHid, 3) << "Device found. Calling setupDevice()";
        if (setupDevice()) {
            KMT_LOG(kmt::logHid, 3) << "Setup OK. Calling runDevice()";
            runDevice();
        } else {
            KMT_LOG(kmt::logHid, 3) << "Setup Failed";
            logLastError(1);
        }
        return;
    } catch (const std::exception& e) {
        failure = "exception";
        try {
            what = e.what();
        } catch (...) {
        }
    } catch (...) {
        failure = "unknown exception";
    }
    candidates.clear();
    candidates.shrink_to_fit();
    closeDevice();
    try {
        KMT_LOG(kmt::logHid, 1) << "Device failed (" << failure << (what.empty() ? "" : ": ") << what
                                << "); it is closed and searched for again";
    } catch (...) {
        // Not even the log line could be written; the search goes on all the same.
    }
}

void CBrimelHIDManager::scanForDevice() {
    for (;;) {
        if (stopping.load())
            return;
        // The interfaces are enumerated and probed once per pass; each table row then looks among them.
        candidates = probeInterfaces();
        for (const SupportedDevice& d : kDevices) {
            if (stopping.load())
                return;
            if (openDevice(d.vendor, d.product)) {
                candidates.clear();
                char text[10];
                std::snprintf(text, sizeof text, "%#x", unsigned(vendorId.load()));
                KMT_LOG(kmt::logHid, 3) << "Vendor ID : " << text;
                std::snprintf(text, sizeof text, "%#x", unsigned(productId.load()));
                KMT_LOG(kmt::logHid, 3) << "Product ID: " << text;
                return;
            }
        }
        candidates.clear();
        if (pause(scanPauseMs))
            return;
    }
}

bool CBrimelHIDManager::openDevice(uint16_t vendor, uint16_t product) {
    closeDevice();
    devicePath.clear();
    valueCaps.clear();
    std::string path;
    if (!findDevicePath(vendor, product, path))
        return false;
    devicePath = path;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    HIDD_ATTRIBUTES opened{};
    opened.Size = sizeof(HIDD_ATTRIBUTES);
    HidD_GetAttributes(h, &opened);
    if (opened.ProductID != product) {
        CloseHandle(h);
        return false;
    }
    std::lock_guard<std::recursive_mutex> guard(commandLock);
    if (lostEvent)
        ResetEvent(lostEvent);
    publishDevice(h, opened);
    return true;
}

// The handle, the ids that choose the command reports and the caps are published together, so a
// command from another thread never sends one product's reports to another: until setupDevice has
// the new caps, the caps are empty. Called with the command lock held.
void CBrimelHIDManager::publishDevice(HANDLE handle, const HIDD_ATTRIBUTES& opened) {
    attributes = opened;
    caps = HIDP_CAPS{};
    vendorId = opened.VendorID;
    productId = opened.ProductID;
    deviceLost = false;
    hidDeviceHandle = handle;
}

bool CBrimelHIDManager::findDevicePath(uint16_t vendor, uint16_t product, std::string& path) {
    for (const Candidate& c : candidates) {
        if (c.vendor == vendor && c.product == product && conditionHolds(conditionOf(vendor, product), c.caps)) {
            path = c.path;
            return true;
        }
    }
    return false;
}

std::vector<CBrimelHIDManager::Candidate> CBrimelHIDManager::probeInterfaces() {
    std::vector<Candidate> found;
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == reinterpret_cast<HDEVINFO>(INVALID_HANDLE_VALUE))
        return found;
    // A thrown allocation failure must not leak the set.
    struct SetGuard {
        HDEVINFO set;
        ~SetGuard() { SetupDiDestroyDeviceInfoList(set); }
    } setGuard{set};
    for (DWORD index = 0; !stopping.load(); ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data))
            break;
        DWORD size = 0;
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr)) {
            KMT_LOG(kmt::logHid, 4) << "SetupDiGetDeviceInterfaceDetail(a) failed";
            continue;
        }
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || size > 65536)
            continue;
        std::vector<uint64_t> storage((size + 7) / 8);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
            logLastError(2);
            KMT_LOG(kmt::logHid, 4) << "SetupDiGetDeviceInterfaceDetail(b) failed";
            continue;
        }
        const std::string candidate(detail->DevicePath);
        HANDLE probe = CreateFileA(candidate.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (probe == INVALID_HANDLE_VALUE)
            continue;
        PHIDP_PREPARSED_DATA probeData = nullptr;
        HIDD_ATTRIBUTES probeAttributes{};
        probeAttributes.Size = 12;
        HIDP_CAPS probeCaps{};
        bool probeOk = false;
        if (!HidD_GetPreparsedData(probe, &probeData)) {
            KMT_LOG(kmt::logHid, 4) << "HidD_GetPreparsedData() failed";
        } else if (!HidD_GetAttributes(probe, &probeAttributes)) {
            KMT_LOG(kmt::logHid, 4) << "HidD_GetAttributes() failed";
        } else if (HidP_GetCaps(probeData, &probeCaps) != HIDP_STATUS_SUCCESS) {
            KMT_LOG(kmt::logHid, 4) << "HidP_GetCaps() failed";
        } else {
            probeOk = true;
        }
        if (probeData)
            HidD_FreePreparsedData(probeData);
        CloseHandle(probe);
        if (probeData && probeOk)
            found.push_back(Candidate{candidate, probeAttributes.VendorID, probeAttributes.ProductID, probeCaps});
    }
    return found;
}

bool CBrimelHIDManager::setupDevice() {
    // The phone and ring threads read the caps while they send commands.
    std::lock_guard<std::recursive_mutex> guard(commandLock);
    if (preparsedData) {
        HidD_FreePreparsedData(preparsedData);
        preparsedData = nullptr;
    }
    if (!HidD_GetPreparsedData(hidDeviceHandle, &preparsedData)) {
        preparsedData = nullptr;
        KMT_LOG(kmt::logHid, 4) << "HidD_GetPreparsedData() failed";
        return false;
    }
    parseStatus = HidP_GetCaps(preparsedData, &caps);
    if (parseStatus != HIDP_STATUS_SUCCESS) {
        KMT_LOG(kmt::logHid, 4) << "HidP_GetCaps() failed";
        return false;
    }
    KMT_LOG(kmt::logHid, 3) << "InputReportByteLength   : " << caps.InputReportByteLength;
    KMT_LOG(kmt::logHid, 3) << "OutputReportByteLength  : " << caps.OutputReportByteLength;
    KMT_LOG(kmt::logHid, 3) << "FeatureReportByteLength : " << caps.FeatureReportByteLength;
    KMT_LOG(kmt::logHid, 3) << "NumberInputButtonCaps   : " << caps.NumberInputButtonCaps;
    KMT_LOG(kmt::logHid, 3) << "NumberOutputButtonCaps  : " << caps.NumberOutputButtonCaps;
    if (caps.NumberInputButtonCaps == 0 && vendorId.load() != 0x6993) {
        KMT_LOG(kmt::logHid, 4) << "NumberInputButtonCaps is 0";
        return false;
    }
    buttonCaps.assign(size_t(caps.NumberInputButtonCaps) + 1, HIDP_BUTTON_CAPS{});
    USHORT count = caps.NumberInputButtonCaps;
    parseStatus = HidP_GetButtonCaps(HidP_Input, buttonCaps.data(), &count, preparsedData);
    if (parseStatus != HIDP_STATUS_SUCCESS) {
        KMT_LOG(kmt::logHid, 4) << "HidP_GetButtonCaps() failed";
        return false;
    }
    buttonRecords.clear();
    for (USHORT i = 0; i < count; ++i) {
        const HIDP_BUTTON_CAPS& c = buttonCaps[i];
        ButtonRecord r;
        r.usagePage = c.UsagePage;
        r.reportId = c.ReportID;
        r.usageMin = c.IsRange ? c.Range.UsageMin : c.NotRange.Usage;
        r.usageMax = c.IsRange ? c.Range.UsageMax : c.NotRange.Usage;
        // Sized by its own main item (never by all the buttons of its page), so the records together
        // cost what the descriptor's buttons do, not its button count squared.
        const uint32_t named = uint32_t(std::max(r.usageMin, r.usageMax) - std::min(r.usageMin, r.usageMax)) + 1;
        r.maxUsageCount = std::min<uint32_t>(c.ReportCount, named);
        r.usages.assign(r.maxUsageCount, 0);
        buttonRecords.push_back(std::move(r));
    }
    reportUsages.assign(HidP_MaxUsageListLength(HidP_Input, 0, preparsedData), 0);
    valueCaps.assign(caps.NumberInputValueCaps, HIDP_VALUE_CAPS{});
    if (caps.NumberInputValueCaps != 0) {
        USHORT values = caps.NumberInputValueCaps;
        parseStatus = HidP_GetValueCaps(HidP_Input, valueCaps.data(), &values, preparsedData);
        if (parseStatus != HIDP_STATUS_SUCCESS) {
            KMT_LOG(kmt::logHid, 4) << "HidP_GetValueCaps() failed";
            return false;
        }
    }
    inputReport.assign(caps.InputReportByteLength, 0);
    featureReport.clear();
    featureReportId = 0;
    if (vendorId.load() == 0x047F) {
        const uint16_t p = productId.load();
        if (p == 0xAB01 || p == 0xAB02 || p == 0xAB11)
            featureReportId = 5;
        else if (p == 0x0411)
            featureReportId = 4;
        if (featureReportId)
            featureReport.assign(caps.FeatureReportByteLength, 0);
    }
    return true;
}

bool CBrimelHIDManager::attachForDecoding(HANDLE handle) {
    HIDD_ATTRIBUTES opened{};
    opened.Size = sizeof(HIDD_ATTRIBUTES);
    if (!HidD_GetAttributes(handle, &opened))
        return false;
    {
        std::lock_guard<std::recursive_mutex> guard(commandLock);
        publishDevice(handle, opened);
    }
    if (!readCompletion)
        readCompletion = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!writeCompletion)
        writeCompletion = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return setupDevice();
}

void CBrimelHIDManager::postButton(int code) {
    if (phone)
        kbrphone::post(phone, new kbrphone::PhoneButtonAction(phone, code));
}

void CBrimelHIDManager::runDevice() {
    sendCommand("DeviceInit");
    struct Button {
        const char* word;
        int code;
    };
    static const Button buttons[] = {
        {"OnHook", 12}, {"ExplicitOffHook", 20}, {"Zero", 0},   {"One", 1},       {"Two", 2},
        {"Three", 3},   {"Four", 4},             {"Five", 5},   {"Six", 6},       {"Seven", 7},
        {"Eight", 8},   {"Nine", 9},             {"Star", 10},  {"Hash", 11},     {"VolumeUp", 16},
        {"VolumeDown", 17}, {"Mute", 18},        {"Clear", 19},
    };
    while (!stopping.load()) {
        const std::string word = readEvent();
        if (word == "ABORT")
            return;
        if (word == "Hook") {
            hookButton();
        } else if (word == "OffHook") {
            answerRingingLine();
        } else if (word == "Down") {
            swapButton();
        } else if (word == "Up") {
            upButton();
        } else {
            for (const Button& b : buttons) {
                if (word == b.word) {
                    postButton(b.code);
                    break;
                }
            }
        }
    }
}

void CBrimelHIDManager::upButton() {
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    const int n = static_cast<int>(lineTable.size());
    if (n == 0)
        return;
    const int i = firstActiveIndex();
    if (i < 0) {
        activateLine(0);
        return;
    }
    int target = -1;
    for (int j = 1; j < n; ++j) {
        const int k = (n + i - j) % n;
        if (lineTable[k].state == kbrphone::lineConnected) {
            target = k;
            break;
        }
    }
    activateLine(target);
}

std::string CBrimelHIDManager::readEvent() {
    KMT_LOG(kmt::logHid, 4) << "\nWaiting for device report...\n";
    if (!readReport())
        return "ABORT";
    const std::string word = decodeReport();
    KMT_LOG(kmt::logHid, 4) << "Got command: " << word;
    return word;
}

bool CBrimelHIDManager::readReport() {
    if (inputReport.empty())
        return false; // a device without input reports has nothing to read
    for (;;) {
        if (stopping.load() || deviceLost.load())
            return false;
        ResetEvent(readCompletion);
        readOverlapped = OVERLAPPED{};
        readOverlapped.hEvent = readCompletion;
        inputReport[0] = 0;
        KMT_LOG(kmt::logHid, 6) << "Calling readFile(hidDeviceHandle)";
        if (!ReadFile(hidDeviceHandle, inputReport.data(), DWORD(inputReport.size()), nullptr, &readOverlapped)) {
            const DWORD error = GetLastError();
            if (error != 0 && error != ERROR_IO_PENDING) {
                logLastError(3);
                CancelIo(hidDeviceHandle);
                return false;
            }
        }
        // The read also ends when the manager stops or a write found the device lost.
        HANDLE waits[3] = {readCompletion, stopEvent, lostEvent};
        const DWORD result = WaitForMultipleObjects(stopEvent && lostEvent ? 3 : 1, waits, FALSE, DWORD(readTimeoutMs));
        if (result == WAIT_TIMEOUT || result == WAIT_OBJECT_0 + 1 || result == WAIT_OBJECT_0 + 2) {
            CancelIo(hidDeviceHandle);
            // A report that arrived just before the cancel is kept, not lost.
            DWORD bytes = 0;
            if (result == WAIT_TIMEOUT && GetOverlappedResult(hidDeviceHandle, &readOverlapped, &bytes, FALSE))
                break;
            if (result != WAIT_TIMEOUT)
                return false;
            continue;
        }
        if (result != WAIT_OBJECT_0) {
            logLastError(4);
            CancelIo(hidDeviceHandle);
            return false;
        }
        // The read ended; one that ended in an error (the device went away) is a failed read.
        DWORD bytes = 0;
        if (!GetOverlappedResult(hidDeviceHandle, &readOverlapped, &bytes, FALSE)) {
            logLastError(4);
            return false;
        }
        break;
    }
    const uint16_t v = vendorId.load();
    const uint16_t p = productId.load();
    if (isProduct(v, p, 0x047F, {0x0411, 0xAB01, 0xAB02, 0xAB11})) {
        KMT_LOG(kmt::logHid, 4) << "Received report: "
                                << hexOf(inputReport.data(), std::min<size_t>(5, inputReport.size()));
        if (!featureReport.empty()) {
            featureReport[0] = featureReportId;
            HidD_GetFeature(hidDeviceHandle, featureReport.data(), ULONG(featureReport.size()));
        }
        KMT_LOG(kmt::logHid, 4) << "Features       : " << hexOf(featureReport.data(), featureReport.size());
        Sleep(10);
    } else {
        KMT_LOG(kmt::logHid, 4) << "Received report: " << hexOf(inputReport.data(), inputReport.size());
    }
    return true;
}

void CBrimelHIDManager::lineStateChanged(const char* lineId, int state, bool active, bool initiator,
                                         const char* localName, const char* localUri, const char* remoteName,
                                         const char* remoteUri) {
    const bool before = hasOpenLines();
    AbstractPhoneDevice::lineStateChanged(lineId, state, active, initiator, localName, localUri, remoteName,
                                          remoteUri);
    {
        std::lock_guard<std::recursive_mutex> guard(commandLock);
        if (!hidDeviceHandle || hidDeviceHandle == INVALID_HANDLE_VALUE)
            return;
    }
    const bool after = hasOpenLines();
    KMT_LOG(kmt::logHid, 3) << "lineStateChanged: hasOpenLines()=" << (after ? 1 : 0)
                            << ", is_initiator=" << (initiator ? 1 : 0) << ", lineState=" << state;
    bool sent = false;
    if ((!before && after) || (active && state == kbrphone::lineConnected)) {
        KMT_LOG(kmt::logHid, 2) << "Calling sendToDevice(DEVICE_OFF_HOOK) (a)";
        {
            std::lock_guard<std::mutex> guard(hookEchoLock);
            offHookEchoPending = 1;
            onHookEchoPending = 0;
        }
        sendCommand("DeviceOffHook");
        sent = true;
    } else if (before && !after) {
        KMT_LOG(kmt::logHid, 2) << "Calling sendToDevice(DEVICE_ON_HOOK) (c)";
        {
            std::lock_guard<std::mutex> guard(hookEchoLock);
            onHookEchoPending = 1;
            offHookEchoPending = 0;
        }
        sendCommand("DeviceOnHook");
        sent = true;
    }
    if (!ringerEnabled())
        return;
    if (isRinging()) {
        KMT_LOG(kmt::logHid, 2) << "Start ringtone";
        std::lock_guard<std::mutex> guard(ringerLock);
        if (!ringerThread && !stopping.load()) {
            ringerThread = new RingerThread(this);
            ringerThread->start();
        }
    } else {
        KMT_LOG(kmt::logHid, 2) << "Stop ringtone";
        if (!sent)
            sendCommand(after ? "DeviceOffHook" : "DeviceOnHook");
        stopRinger();
    }
}

void CBrimelHIDManager::stopRinger() {
    RingerThread* ringer = nullptr;
    {
        std::lock_guard<std::mutex> guard(ringerLock);
        ringer = ringerThread;
        ringerThread = nullptr;
    }
    if (ringer) {
        ringer->stop();
        ringer->join();
        delete ringer;
    }
}

bool CBrimelHIDManager::ringerRunning() {
    std::lock_guard<std::mutex> guard(ringerLock);
    return ringerThread != nullptr;
}

void CBrimelHIDManager::logLastError(int location) {
    lastError = GetLastError();
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, lastError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n && text)
        KMT_LOG(kmt::logHid, 4) << text;
    else
        KMT_LOG(kmt::logHid, 4) << "Error " << lastError << " (no text for this code)";
    KMT_LOG(kmt::logHid, 4) << "Code location = " << location;
    if (text)
        LocalFree(text);
}

// ---- decoding

void CBrimelHIDManager::resetDecoderLatches() {
    hookLatch = 0;
    muteLatch = 0;
    offHookLatch = 0;
    onHookBitLatch = 1;
}

std::string CBrimelHIDManager::decodeReport() {
    const uint16_t v = vendorId.load();
    const uint16_t p = productId.load();
    if (inputReport.empty())
        return "Ignored";
    if (isProduct(v, p, 0x047F, {0xAB01, 0xAB02, 0xAB11}))
        return decoderA();
    if (isProduct(v, p, 0x047F, {0x0411}))
        return decoderB();
    if (isProduct(v, p, 0x047F, {0xC00E, 0xC00F, 0xC015, 0xC022, 0xC024, 0xC035}))
        return decoderC();
    if (isProduct(v, p, 0x047F, {0xAA14}))
        return decoderD();
    if (isProduct(v, p, 0x2603, {0x0280}))
        return decoderE();
    buildUsageList();
    return decodeUsages();
}

std::string CBrimelHIDManager::decoderA() {
    if (reportByte(0) != 4)
        return "Ignored";
    const uint8_t feature1 = featureReport.size() > 1 ? featureReport[1] : 0;
    if (reportByte(1) & 0x10) {
        if (hasOpenLines()) {
            if (feature1 & 0x08) {
                offHookLatch = 0;
                sendCommand("DeviceOnHook");
                return "OnHook";
            }
            offHookLatch = 1;
            return "OffHook";
        }
        if (reportByte(3) & 0x01) {
            if (offHookLatch == 1 && !isRinging()) {
                offHookLatch = 0;
                sendCommand("DeviceOnHook");
                return "OnHook";
            }
            offHookLatch = 1;
            return "OffHook";
        }
        return "Ignored";
    }
    if (reportByte(3) & 0x02) {
        if (onHookBitLatch == 1) {
            onHookBitLatch = 0;
            return "OffHook";
        }
        return "Ignored";
    }
    if (onHookBitLatch == 0) {
        onHookBitLatch = 1;
        return "OnHook";
    }
    return "Ignored";
}

std::string CBrimelHIDManager::decoderB() {
    if (reportByte(0) == 0x01) {
        const uint8_t m = reportByte(1);
        if ((m & 0x83) == 0x83)
            return "OnHook";
        if ((m & 0xBF) == 0 && reportByte(2) == 0x08 && reportByte(3) == 0x00 && reportByte(5) == 0x00)
            return "OnHook";
        return "Ignored";
    }
    if (reportByte(0) == 0x06 && reportByte(1) == 0x17 && reportByte(2) == 0x22)
        return "OffHook";
    return "Ignored";
}

std::string CBrimelHIDManager::decoderC() {
    if (reportByte(0) != 0x14)
        return "Ignored";
    switch (reportByte(1)) {
    case 0x01:
        return "VolumeUp";
    case 0x02:
        return "VolumeDown";
    case 0x04:
        return "Mute";
    case 0x08:
        return "Hook";
    default:
        return "Ignored";
    }
}

std::string CBrimelHIDManager::decoderD() {
    if (reportByte(0) != 0x02)
        return "Ignored";
    const uint8_t b = reportByte(1);
    if ((b & 0x01) && hookLatch == 0) {
        hookLatch = 1;
        return "Hook";
    }
    if (!(b & 0x01) && hookLatch == 1) {
        hookLatch = 0;
        return "Hook";
    }
    if ((b & 0x02) && muteLatch == 0) {
        muteLatch = 1;
        return "MuteOn";
    }
    if (!(b & 0x02) && muteLatch == 1) {
        muteLatch = 0;
        return "MuteOff";
    }
    return "Ignored";
}

std::string CBrimelHIDManager::decoderE() {
    if (reportByte(0) != 0x01)
        return "Ignored";
    const uint8_t c = reportByte(1);
    switch (c) {
    case 0x01:
        hookLatch = 0;
        return "OffHook";
    case 0x00:
        return hookLatch == 0 ? "OnHook" : "Ignored";
    case 0x04:
    case 0x05:
    case 0x08:
    case 0x09:
        hookLatch = 1;
        return "Ignored";
    case 0x10:
    case 0x11:
        hookLatch = 1;
        return "VolumeUp";
    case 0x30:
    case 0x31:
        hookLatch = 1;
        return "VolumeDown";
    case 0x02:
    case 0x03: {
        muteState = muteState == 0 ? 1 : 0;
        const uint8_t report[2] = {0x02, uint8_t(muteState == 1 ? 0x02 : 0x00)};
        setOutputReport(2, report);
        hookLatch = 1;
        return "Mute";
    }
    default:
        return "Ignored";
    }
}

void CBrimelHIDManager::buildUsageList() {
    usageList[0] = 0;
    const uint16_t v = vendorId.load();
    const uint16_t p = productId.load();
    if (caps.NumberInputButtonCaps == 0) {
        if (v == 0x6993 && p == 0xB711) {
            usageList[0] = reportByte(2) == 0xFF ? reportByte(7) : reportByte(2);
            usageList[1] = 0;
        }
        return;
    }
    if (caps.NumberInputButtonCaps == 1) {
        if (v == 0x6993 && p == 0xB001) {
            usageList[0] = reportByte(1);
            usageList[1] = reportByte(5) == 0 ? 0xFE : reportByte(5);
            usageList[2] = 0;
        }
        return;
    }
    // The usages of each page of the report are asked for once, into the report's usage buffer; each
    // record then keeps those of its own range, as many as its main item can carry.
    struct PageUsages {
        USAGE page;
        size_t offset;
        ULONG count;
        NTSTATUS status;
    };
    PageUsages pages[8];
    size_t pageCount = 0;
    size_t used = 0;
    size_t k = 0;
    for (ButtonRecord& r : buttonRecords) {
        if (r.reportId != reportByte(0) || r.valid != 1)
            continue;
        PageUsages* page = nullptr;
        for (size_t i = 0; i < pageCount && !page; ++i) {
            if (pages[i].page == r.usagePage)
                page = &pages[i];
        }
        PageUsages asked;
        if (!page) {
            ULONG n = ULONG(reportUsages.size() - used);
            asked = PageUsages{r.usagePage, used, 0, 0};
            asked.status = HidP_GetUsages(HidP_Input, r.usagePage, 0, reportUsages.data() + used, &n, preparsedData,
                                          reinterpret_cast<char*>(inputReport.data()), ULONG(inputReport.size()));
            asked.count = asked.status == HIDP_STATUS_SUCCESS ? std::min<ULONG>(n, ULONG(reportUsages.size() - used)) : 0;
            used += asked.count;
            if (pageCount < std::size(pages)) {
                pages[pageCount] = asked;
                page = &pages[pageCount++];
            } else {
                page = &asked; // more pages than remembered: asked again for each record, and freed after
                used -= asked.count;
            }
        }
        r.status = page->status;
        r.usages.assign(r.maxUsageCount, 0);
        ULONG kept = 0;
        for (ULONG i = 0; i < page->count && kept < r.maxUsageCount; ++i) {
            const USAGE u = reportUsages[page->offset + i];
            if (u < r.usageMin || u > r.usageMax)
                continue;
            r.usages[kept++] = u;
            if (k < kUsageListSize - 1) {
                usageList[k++] = u;
                usageList[k] = 0x30;
            }
        }
        if (kept < r.maxUsageCount) {
            r.usages[kept] = 0;
            if (k < kUsageListSize)
                usageList[k] = 0;
        }
    }
    // The list ends after the last kept usage, also when a record was full (its placeholder would
    // otherwise let entries of an earlier report follow).
    usageList[k] = 0;
}

bool CBrimelHIDManager::matchUsages(const char* pattern) const {
    for (size_t i = 0; pattern[i] != 0; ++i) {
        if (i >= kUsageListSize || uint8_t(pattern[i]) != uint8_t(usageList[i] & 0xFF))
            return false;
    }
    return true;
}

namespace {
struct Row {
    const char* pattern;
    const char* word;
};
} // namespace

std::string CBrimelHIDManager::decodeUsages() {
    const uint16_t v = vendorId.load();
    const uint16_t p = productId.load();
    auto firstMatch = [this](const Row* rows, size_t n) -> const char* {
        for (size_t i = 0; i < n; ++i) {
            if (matchUsages(rows[i].pattern))
                return rows[i].word;
        }
        return nullptr;
    };
    if (v == 0x047F && p == 0x0410) {
        static const Row rows[] = {{"\xB7\xA1", "Hook"},    {"\xB1\xA1", "VolumeUp"}, {"\xB2\xA1", "VolumeDown"},
                                   {"\xB5\xA1", "Mute"},    {"\xB4\xA1", "Down"},     {"\xB3\xA1", "Up"},
                                   {"\xB6\xA1", "OffHook"}};
        const char* word = firstMatch(rows, std::size(rows));
        if (!word)
            return "Ignored";
        const std::string w = word;
        if (w == "Down" || w == "Up" || w == "OffHook")
            playBeep();
        return w;
    }
    if (v == 0x047F && p == 0xC005) {
        static const Row rows[] = {{"\xB5\xAB", "MuteOn"},
                                   {"\xAB", "MuteOff"},
                                   {"\xB1\xAB", "VolumeUp"},
                                   {"\xB2\xAB", "VolumeDown"},
                                   {"\xB7\xAB", "Hook"}};
        const char* word = firstMatch(rows, std::size(rows));
        return word ? word : "Ignored";
    }
    if (v == 0x0B0E && p == 0x0930) {
        if (matchUsages("\x2F\x20")) {
            muteState = 1;
            return "MuteOn";
        }
        if (matchUsages("\x20")) {
            if (muteState == 1) {
                muteState = 0;
                return "MuteOff";
            }
            return "Hook";
        }
        return "Ignored";
    }
    if (v == 0x0B0E && p == 0x9330) {
        if (caps.OutputReportByteLength == 3)
            return matchUsages("\x20") ? "Hook" : "Ignored";
        if (caps.OutputReportByteLength == 2) {
            if (matchUsages("\x20\x2F"))
                return "Mute";
            if (matchUsages("\x20"))
                return "OffHook";
            return "OnHook";
        }
        return "Ignored";
    }
    if (v == 0x0B0E && p == 0x9350) {
        static const Row rows[] = {{"\x20", "Hook"}, {"\xEA", "VolumeUp"}, {"\xE9", "VolumeDown"}, {"\x2F", "Mute"}};
        const char* word = firstMatch(rows, std::size(rows));
        return word ? word : "Ignored";
    }
    if (v == 0x0E7D && p == 0x0001) {
        static const Row rows[] = {{"\x01", "OffHook"}, {"\x02", "OnHook"}};
        const char* word = firstMatch(rows, std::size(rows));
        return word ? word : "Ignored";
    }
    if (v == 0x1395 && p == 0x740A) {
        if (matchUsages("\x20\x2F")) {
            if (muteState == 1) {
                muteState = 0;
                return "MuteOff";
            }
            muteState = 1;
            return "MuteOn";
        }
        if (matchUsages("\x02\x04"))
            return "OffHook";
        if (matchUsages("\x02"))
            return "OnHook";
        std::lock_guard<std::mutex> guard(hookEchoLock);
        if (matchUsages("\x20")) {
            onHookEchoPending = 0;
            if (offHookEchoPending) {
                offHookEchoPending = 0;
                return "Ignored";
            }
            return "OffHook";
        }
        offHookEchoPending = 0;
        if (onHookEchoPending) {
            onHookEchoPending = 0;
            return "Ignored";
        }
        return "OnHook";
    }
    if ((v == 0x06E6 && p == 0xF210) || (v == 0x045E && p == 0xFFCA))
        return matchUsages("\x20") ? "OffHook" : "OnHook";
    if (v == 0x6993 && p == 0xB711) {
        static const Row rows[] = {
            {"\x96", "Zero"},  {"\xB6", "One"},   {"\xB4", "Two"},    {"\xB2", "Three"},
            {"\xBC", "Four"},  {"\xBA", "Five"},  {"\xB8", "Six"},    {"\xA2", "Seven"},
            {"\xA0", "Eight"}, {"\xAE", "Nine"},  {"\xA8", "Star"},   {"\x94", "Hash"},
            {"\xB0", "ExplicitOffHook"}, {"\xA6", "OnHook"}, {"\xA4", "Mute"}, {"\x90", "Clear"},
            {"\x92", "VolumeUp"}, {"\xAA", "VolumeDown"}};
        const char* word = firstMatch(rows, std::size(rows));
        return word ? word : "Ignored";
    }
    if (v == 0x6993 && p == 0xB001) {
        static const Row rows[] = {
            {"\x81\xFF", "Ignored"}, {"\x81\x31", "Zero"},  {"\x81\xFE", "One"},   {"\x81\x01", "Two"},
            {"\x81\x02", "Three"},   {"\x81\x10", "Four"},  {"\x81\x11", "Five"},  {"\x81\x12", "Six"},
            {"\x81\x20", "Seven"},   {"\x81\x21", "Eight"}, {"\x81\x22", "Nine"},  {"\x81\x30", "Star"},
            {"\x81\x32", "Hash"},    {"\x81\x03", "ExplicitOffHook"}, {"\x81\x13", "OnHook"},
            {"\x81\x34", "Clear"},   {"\x81\x33", "VolumeUp"}, {"\x81\x24", "VolumeDown"},
            {"\x85\x01", "OnHook"},  {"\x85\xFE", "OffHook"}};
        const char* word = firstMatch(rows, std::size(rows));
        return word ? word : "Ignored";
    }
    return "Ignored";
}

// ---- commands

void CBrimelHIDManager::sendCommand(std::string command) {
    KMT_LOG(kmt::logHid, 4) << "sendCommand(" << command << ") called";
    std::lock_guard<std::recursive_mutex> guard(commandLock);
    if (!hidDeviceHandle || hidDeviceHandle == INVALID_HANDLE_VALUE || deviceLost.load())
        return;
    const uint16_t v = vendorId.load();
    const uint16_t p = productId.load();
    Reports reports;
    bool viaWrite = false;
    if (isProduct(v, p, 0x047F, {0xC00E, 0xC00F, 0xC015, 0xC022, 0xC024, 0xC035})) {
        if (command == "DeviceInit")
            reports = {{0x19, 0x03}, {0x1A, 0x00}};
        else if (command == "DeviceOffHook")
            reports = {{0x19, 0x0B}, {0x1A, 0x00}};
        else if (command == "DeviceOnHook")
            reports = {{0x19, 0x03}};
        else if (command == "DeviceRingOnce")
            reports = {{0x19, 0x07}};
    } else if (isProduct(v, p, 0x047F, {0x0411})) {
        if (command == "DeviceInit")
            reports = {{0x01, 0x02, 0x00}, {0x01, 0x06, 0x00}, {0x01, 0x06, 0x04}, {0x01, 0x06, 0x00}};
        else if (command == "DeviceOffHook")
            reports = {{0x01, 0x06, 0x02}, {0x01, 0x06, 0x00}};
        else if (command == "DeviceOnHook")
            reports = {{0x01, 0x06, 0x01}, {0x01, 0x06, 0x00}};
    } else if (isProduct(v, p, 0x047F, {0xAB01, 0xAB02, 0xAB11})) {
        if (command == "DeviceInit")
            reports = {{0x00, 0xFA},
                       {0x00},
                       {0x00},
                       {0x00},
                       {0x00, 0xFD},
                       {0x06, 0x01, 0x00, 0x00},
                       {0x06, 0x03, 0x00, 0x00},
                       {0x60, 0x00}};
        else if (command == "DeviceOffHook")
            reports = {{0x06, 0x03, 0x01, 0x00}, {0x60, 0x01}};
        else if (command == "DeviceOnHook")
            reports = {{0x06, 0x01, 0x00, 0x00}, {0x06, 0x03, 0x00, 0x00}, {0x60, 0x00}};
        else if (command == "DeviceRingOnce")
            reports = {{0x06, 0x0B, 0x00, 0x00}};
    } else if ((v == 0x0B0E && p == 0x9330 && caps.OutputReportByteLength == 3) || (v == 0x0B0E && p == 0x9350)) {
        viaWrite = true;
        if (command == "DeviceInit")
            reports = {{0x00, 0x00, 0x00}, {0x00, 0x00, 0x08}, {0x00, 0x00, 0x00}};
        else if (command == "DeviceOffHook")
            reports = {{0x00, 0x00, 0x04}};
        else if (command == "DeviceOnHook")
            reports = {{0x00, 0x00, 0x08}};
        else if (command == "DeviceRingOnce")
            reports = {{0x00, 0x00, 0x01}};
    } else if (v == 0x0B0E && p == 0x9330 && caps.OutputReportByteLength == 2) {
        viaWrite = true;
        if (command == "DeviceInit")
            reports = {{0x00, 0x00}, {0x00, 0x00}, {0x00, 0x00}};
        else if (command == "DeviceOffHook")
            reports = {{0x00, 0x02}};
        else if (command == "DeviceOnHook")
            reports = {{0x00, 0x00}};
        else if (command == "DeviceRingOnce")
            reports = {{0x00, 0x01}};
    } else if (v == 0x1395 && p == 0x740A) {
        viaWrite = true;
        if (command == "DeviceOffHook")
            reports = {{0x03, 0x02}};
        else if (command == "DeviceOnHook")
            reports = {{0x03, 0x00}};
        else if (command == "DeviceRingOnce")
            reports = {{0x03, 0x08}};
    } else if (v == 0x6993 && p == 0xB711) {
        viaWrite = true;
        if (command == "DeviceOffHook")
            reports = {{0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFD},
                       {0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFA}};
        else if (command == "DeviceOnHook")
            reports = {{0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFB}};
        else if (command == "DeviceRingOnce")
            reports = {{0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFD},
                       {0x00, 0x11, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0},
                       {0x00, 0x02, 0x1D, 0x0C, 0x17, 0x0C, 0x00, 0x00, 0xB2},
                       {0x00, 0x11, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0},
                       {0x00, 0x02, 0x1D, 0x0C, 0x17, 0x0C, 0x00, 0x00, 0xB2},
                       {0x00, 0x03, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF9}};
    } else if (v == 0x6993 && p == 0xB001) {
        if (command == "DeviceInit")
            reports = {b001Report(0x02, 0x01, 0), b001Report(0x03, 0x01, 0), b001Report(0x05, 0x01, 0)};
        else if (command == "DeviceOffHook")
            reports = {b001Report(0x03, 0x01, 0), b001Report(0x05, 0x01, 0x01)};
        else if (command == "DeviceOnHook")
            reports = {b001Report(0x03, 0x01, 0), b001Report(0x05, 0x01, 0)};
        else if (command == "DeviceRingOnce")
            reports = {b001Report(0x03, 0x01, 0x01), b001Report(0x05, 0x01, 0x01)};
    }
    // A device that is gone or broken ends the command: its other reports would only wait in vain.
    for (const std::vector<uint8_t>& r : reports) {
        if (!(viaWrite ? writeReport(r.size(), r.data()) : setOutputReport(r.size(), r.data())))
            return;
    }
}

void CBrimelHIDManager::markDeviceLost(const char* why) {
    if (deviceLost.exchange(true))
        return;
    KMT_LOG(kmt::logHid, 2) << why << "; the device is treated as lost";
    if (lostEvent)
        SetEvent(lostEvent);
}

bool CBrimelHIDManager::setOutputReport(size_t length, const uint8_t* bytes) {
    KMT_LOG(kmt::logHid, 4) << "Sending report: " << hexOf(bytes, length);
    std::lock_guard<std::recursive_mutex> guard(commandLock);
    std::vector<uint8_t> copy(bytes, bytes + length);
    if (HidD_SetOutputReport(hidDeviceHandle, copy.data(), ULONG(length)))
        return true;
    // A device may refuse one report on its control pipe and work on; only one that is gone is lost.
    const DWORD error = GetLastError();
    if (error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_INVALID_HANDLE) {
        markDeviceLost("Sending report failed");
        return false;
    }
    return true;
}

bool CBrimelHIDManager::writeReport(size_t length, const uint8_t* bytes) {
    KMT_LOG(kmt::logHid, 5) << "Write overlap: " << hexOf(bytes, length);
    std::lock_guard<std::recursive_mutex> guard(commandLock);
    ResetEvent(writeCompletion);
    OVERLAPPED overlapped{};
    overlapped.hEvent = writeCompletion;
    KMT_LOG(kmt::logHid, 6) << "Calling WriteFile(hidDeviceHandle)";
    DWORD written = 0;
    if (!WriteFile(hidDeviceHandle, bytes, DWORD(length), &written, &overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            // Failed at once: nothing will complete, so nothing is waited for.
            KMT_LOG(kmt::logHid, 5) << "Write overlapped data: Got other error";
            logLastError(5);
            if (error == ERROR_INVALID_PARAMETER || error == ERROR_INSUFFICIENT_BUFFER)
                return true; // this report does not suit the device; the device itself is fine
            markDeviceLost("Write failed");
            return false;
        }
    }
    HANDLE waits[2] = {writeCompletion, stopEvent};
    const DWORD result = WaitForMultipleObjects(stopEvent ? 2 : 1, waits, FALSE, DWORD(timing.writeTimeoutMs));
    if (result == WAIT_TIMEOUT) {
        KMT_LOG(kmt::logHid, 5) << "Write overlapped data: Got timeout";
        CancelIo(hidDeviceHandle);
        // A device that takes no report within the write timeout takes none: one timeout is all a
        // command waits.
        markDeviceLost("Write timed out");
        return false;
    }
    if (result != WAIT_OBJECT_0) {
        KMT_LOG(kmt::logHid, 5) << "Write overlapped data: Got other error";
        logLastError(5);
        CancelIo(hidDeviceHandle);
        return false;
    }
    if (overlapped.Internal != 0) {
        // Completed, but with an error: the device went away while the report was on its way.
        SetLastError(DWORD(overlapped.Internal));
        KMT_LOG(kmt::logHid, 5) << "Write overlapped data: Got other error";
        logLastError(5);
        markDeviceLost("Write failed");
        return false;
    }
    KMT_LOG(kmt::logHid, 5) << "Write overlapped OK";
    return true;
}

PhoneDeviceInterface* createHIDPhoneDevice(kbrphone::Phone* phone) {
    return new ThreadedPhoneDevice<CBrimelHIDManager>(phone, new CBrimelHIDManager(phone));
}
