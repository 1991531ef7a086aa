// Internals of the HID facility: the report-descriptor model, open device handles and the back ends.
#pragma once

#include "internal.h"
#include "plat/hid.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {
namespace hidimpl {

struct UsageRange {
    uint16_t page;
    uint16_t min;
    uint16_t max;
};

// One main item of a report: reportCount fields of reportSize bits from bitOffset (counted from the
// first byte after the report id byte).
struct Field {
    HIDP_REPORT_TYPE type;
    uint8_t reportId;
    uint32_t bitOffset;
    uint32_t reportSize;
    uint32_t reportCount;
    uint16_t flags; // the main item's data bits
    bool isArray;
    bool isConstant;
    int32_t logicalMin;
    int32_t logicalMax;
    int32_t physicalMin;
    int32_t physicalMax;
    uint16_t usagePage; // the global usage page when the item was declared
    std::vector<UsageRange> usages;
    uint16_t linkCollection;

    bool isButton() const { return !isConstant && (isArray || reportSize == 1); }
    bool isValue() const { return !isConstant && !isArray && reportSize > 1; }
    // The usage of the field at position i (variable) or of array index i; page 0 when there is none.
    UsageRange usageAt(uint32_t i) const;
    uint32_t usageCount() const;
};

struct LinkCollection {
    uint16_t usagePage;
    uint16_t usage;
    int parent;
};

// One top-level collection: what the platform shows as one device interface.
struct TopLevel {
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    bool hasReportIds = false;
    std::vector<Field> fields;
    std::vector<LinkCollection> collections; // [0] is the top-level collection itself
    uint16_t reportLength[3] = {0, 0, 0};    // bytes with the id byte, 0 when there is no such report

    bool carriesReport(HIDP_REPORT_TYPE type, uint8_t reportId) const;
};

// The longest report, with its report id byte, that a device may have (the Linux HID core's largest
// report buffer); hidraw never passes a longer one.
constexpr uint32_t kMaxReportBytes = 16384;

// Parses a report descriptor into its top-level collections; false with a reason for a descriptor that
// is malformed or beyond the layer's limits.
bool parseDescriptor(const uint8_t* data, size_t length, std::vector<TopLevel>& out, std::string& error);

// Reads the bits of one field position from a report (byte 0 the id); 0 beyond the report.
uint32_t extractBits(const uint8_t* report, size_t length, uint32_t bitOffset, uint32_t bitCount);

// The reports that reach one open handle and its one pending overlapped read.
class ReadQueue {
public:
    static constexpr size_t kMaxQueued = 32;

    // A report arrives (byte 0 the report id).
    void deliver(const uint8_t* data, size_t length);
    // The device is gone or broken: the pending read and every later one fail with code.
    void fail(DWORD code);
    // Starts an overlapped read; FALSE with the last error set (ERROR_IO_PENDING when it waits).
    BOOL startRead(uint8_t* buffer, DWORD length, OVERLAPPED* overlapped);
    // Waits up to timeoutMs for a report (reads without OVERLAPPED); FALSE with the last error on failure.
    BOOL readBlocking(uint8_t* buffer, DWORD length, DWORD* bytesRead);
    void cancel();
    bool reading();
    bool failed(DWORD* code);

private:
    void complete(const uint8_t* data, size_t length, DWORD code);

    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::vector<uint8_t>> reports;
    DWORD error = 0;
    uint8_t* buffer = nullptr;
    DWORD length = 0;
    OVERLAPPED* overlapped = nullptr;
};

// A back end's side of one open handle.
class DeviceLink {
public:
    virtual ~DeviceLink() = default;
    // Sends an output report through the interrupt pipe; 0 or a Win32 error. pending: it will never complete.
    virtual DWORD write(const uint8_t* data, size_t length, bool& pending) = 0;
    virtual DWORD setOutputReport(const uint8_t* data, size_t length) = 0;
    // buffer[0] holds the report id on entry.
    virtual DWORD getFeature(uint8_t* buffer, size_t length) = 0;
    // Before each ReadFile: 0, or the error the read fails with at once.
    virtual DWORD startingRead() { return 0; }
    // HidD_GetAttributes on an overlapped handle (the simulated bus can hold the caller here).
    virtual void attributesAsked() {}
    // Called once when the handle closes, before the link is destroyed.
    virtual void close() = 0;
};

// One interface as an enumeration found it.
struct InterfaceInfo {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t version = 0;
    int topLevel = 0;            // index into the parsed descriptor
    std::shared_ptr<const std::vector<TopLevel>> parsed; // null when the descriptor did not parse
};

struct FileObject : HandleObject {
    FileObject() : HandleObject(Kind::File) {}
    ~FileObject() override;
    InterfaceInfo info;
    bool overlapped = false;
    std::shared_ptr<ReadQueue> queue;
    std::unique_ptr<DeviceLink> link;
    std::once_flag closed;
    void close();
};

// A back end: lists its interfaces and opens one by path.
class Backend {
public:
    virtual ~Backend() = default;
    virtual std::vector<InterfaceInfo> enumerate() = 0;
    // The interface of one path as enumerate() would give it; false when there is none.
    virtual bool lookup(const std::string& path, InterfaceInfo& out);
    // Connects an open handle to the interface; the last error and false when it cannot.
    virtual bool open(FileObject& file) = 0;
};

Backend& simBackend();
Backend& hidrawBackend();
// The back end in use: hidraw unless KBR_HID is "sim" or a test forces one.
Backend& currentBackend();

// Splits an enumerated descriptor into one InterfaceInfo per top-level collection. A descriptor the layer
// refuses gives one interface without parsed data and, when told to, one line on standard error the
// first time that key shows it (the machine's devices; the simulated bus stays quiet).
std::vector<InterfaceInfo> interfacesOf(const std::string& key, uint16_t vendorId, uint16_t productId,
                                        uint16_t version, const std::vector<uint8_t>& descriptor,
                                        bool reportRefusal);

} // namespace hidimpl

} // namespace plat
