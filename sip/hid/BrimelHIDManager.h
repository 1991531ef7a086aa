// The USB HID headset driver: finds one supported headset, handset or keypad, turns its input reports
// into phone operations and sends it the phone's hook and ring state.
#pragma once

#include "AbstractPhoneDevice.h"
#include "kmt/scheduler.h"
#include "kmt/thread.h"

#include "plat/hid.h"
#include "plat/sync.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class CBrimelHIDManager;

// Sends "DeviceRingOnce" at once and then every ring interval while a line rings.
class RingerThread : public kmt::Thread {
public:
    explicit RingerThread(CBrimelHIDManager* manager);
    ~RingerThread() override;
    void run() override;
    void ringTick();
    // Ends run() soon; safe before run() has started.
    void stop();

private:
    CBrimelHIDManager* manager;
    kmt::EventScheduler scheduler;
    kmt::EventCallback<RingerThread> tick;
};

class CBrimelHIDManager : public AbstractPhoneDevice {
public:
    // The pauses of the driver's loop; tests shorten them.
    struct Timing {
        int startDelayMs = 2000;
        int lostPauseMs = 5000;
        int scanPauseMs = 1000;
        int readTimeoutMs = 1000;
        int writeTimeoutMs = 5000;
        int ringIntervalMs = 3000;
    };

    struct ButtonRecord {
        uint8_t valid = 1;
        uint16_t usagePage = 0;
        plat::NTSTATUS status = plat::HIDP_STATUS_SUCCESS;
        uint32_t reportId = 0;
        uint16_t usageMin = 0;
        uint16_t usageMax = 0;
        // The most usages of this record's own main item that it can keep: its button count, at most the
        // usages it names.
        uint32_t maxUsageCount = 0;
        std::vector<plat::USAGE> usages;
    };

    static constexpr size_t kUsageListSize = 100;

    explicit CBrimelHIDManager(kbrphone::Phone* phone);
    ~CBrimelHIDManager() override;

    // The device thread's body: search, open, serve, lose and search again until stop().
    void start() override { run(); }
    void run();
    // Makes run() return soon (a pending read is cancelled, every pause cut short); for the owner's
    // destructor.
    void stop();

    void lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char* localName,
                          const char* localUri, const char* remoteName, const char* remoteUri) override;

    // Sends the product's reports of a command word; one command's reports are never interleaved with
    // another's.
    void sendCommand(std::string command);

    void setTiming(const Timing& t);
    uint16_t getVendorId() const { return vendorId.load(); }
    uint16_t getProductId() const { return productId.load(); }
    bool ringerRunning();

    // Decoding, by product (also driven directly by tests and the fuzz target).
    std::string decodeReport();
    void buildUsageList();
    bool matchUsages(const char* pattern) const;
    std::string decodeUsages();
    const plat::USAGE* getUsageList() const { return usageList; }

    // The decoders' process-wide latches back at their first values (tests).
    static void resetDecoderLatches();
    // Makes the device state that decoding reads as if this device had just been set up (tests, fuzzing).
    bool attachForDecoding(plat::HANDLE handle);
    std::vector<uint8_t>& reportBuffer() { return inputReport; }
    std::vector<uint8_t>& featureBuffer() { return featureReport; }

private:
    friend class RingerThread;

    // One interface as a search pass found it.
    struct Candidate {
        std::string path;
        uint16_t vendor;
        uint16_t product;
        plat::HIDP_CAPS caps;
    };

    // One pass of the search: every interface present, enumerated and probed once.
    std::vector<Candidate> probeInterfaces();
    // One turn of the device thread's loop: search, set up, serve until lost.
    void serveOnce();
    void scanForDevice();
    bool openDevice(uint16_t vendor, uint16_t product);
    void publishDevice(plat::HANDLE handle, const plat::HIDD_ATTRIBUTES& opened);
    bool findDevicePath(uint16_t vendor, uint16_t product, std::string& path);
    bool setupDevice();
    void runDevice();
    std::string readEvent();
    bool readReport();
    // Each is false when the device is gone or broken: the command ends and the device is lost.
    bool setOutputReport(size_t length, const uint8_t* bytes);
    bool writeReport(size_t length, const uint8_t* bytes);
    // A write showed the device gone or broken: commands send nothing more to it and its read ends.
    void markDeviceLost(const char* why);
    void logLastError(int location);
    void upButton();
    void postButton(int code);
    // Waits up to ms for stop(); true when stopped.
    bool pause(int ms);
    void stopRinger();
    void closeDevice();

    std::string decoderA();
    std::string decoderB();
    std::string decoderC();
    std::string decoderD();
    std::string decoderE();
    // Byte i of the input report; 0 past its end (short reports are never read past).
    uint8_t reportByte(size_t i) const { return i < inputReport.size() ? inputReport[i] : 0; }

    Timing timing;
    int scanPauseMs;
    std::atomic<uint16_t> vendorId{0};
    std::atomic<uint16_t> productId{0};
    plat::HANDLE hidDeviceHandle = nullptr;
    int readTimeoutMs = 1000;
    plat::DWORD lastError = 0;
    plat::HANDLE readCompletion = nullptr;
    plat::HANDLE writeCompletion = nullptr;
    plat::HANDLE stopEvent = nullptr;
    std::atomic<bool> stopping{false};
    // Set (with lostEvent) when a write found the device gone or broken; cleared when one is opened.
    std::atomic<bool> deviceLost{false};
    plat::HANDLE lostEvent = nullptr;
    plat::OVERLAPPED readOverlapped{};
    std::string devicePath;
    // The interfaces of the current search pass.
    std::vector<Candidate> candidates;

    plat::HIDD_ATTRIBUTES attributes{};
    plat::HIDP_CAPS caps{};
    plat::PHIDP_PREPARSED_DATA preparsedData = nullptr;
    plat::NTSTATUS parseStatus = 0;
    std::vector<plat::HIDP_BUTTON_CAPS> buttonCaps;
    std::vector<plat::HIDP_VALUE_CAPS> valueCaps;
    std::vector<ButtonRecord> buttonRecords;
    // Where HidP_GetUsages puts the usages of one page of a report: the most one input report carries.
    std::vector<plat::USAGE> reportUsages;
    std::vector<uint8_t> inputReport;
    std::vector<uint8_t> featureReport;
    uint8_t featureReportId = 0;
    plat::USAGE usageList[kUsageListSize] = {};
    int muteState = 0;

    std::mutex hookEchoLock;
    uint8_t onHookEchoPending = 0;
    uint8_t offHookEchoPending = 0;

    // Held for a whole command and while the device thread replaces the device handle, its ids and caps.
    std::recursive_mutex commandLock;
    // Guards ringerThread (phone thread and destructor).
    std::mutex ringerLock;
    RingerThread* ringerThread = nullptr;
};

// The phone's HID device as the device choice makes it: the driver on a thread of its own.
PhoneDeviceInterface* createHIDPhoneDevice(kbrphone::Phone* phone);
