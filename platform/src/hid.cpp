// Device interface enumeration, the HID library and overlapped file I/O on HID device handles.
#include "hid_internal.h"

#include "plat/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>

namespace plat {

// ---- preparsed data

struct HidpPreparsedData {
    static constexpr uint32_t kMagic = 0x48494450; // "HIDP"
    uint32_t magic = kMagic;
    hidimpl::TopLevel top;
};

struct DeviceInfoSet {
    static constexpr uint32_t kMagic = 0x53455455;
    uint32_t magic = kMagic;
    std::vector<hidimpl::InterfaceInfo> interfaces;
};

namespace hidimpl {

namespace {

const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

std::mutex backendLock;
Backend* forcedBackend = nullptr;

// The interfaces made from the descriptors seen last, by key: an enumeration that finds a device as it
// was reuses them, so a descriptor is parsed (and a refused one reported) once per device, not once per
// enumeration.
struct SeenDescriptor {
    std::string key;
    uint16_t vendorId, productId, version;
    std::vector<uint8_t> descriptor;
    std::vector<InterfaceInfo> interfaces;
};
constexpr size_t kSeenDescriptors = 64;
std::mutex seenLock;
std::deque<SeenDescriptor> seen; // most recent first

} // namespace

Backend& currentBackend() {
    std::lock_guard<std::mutex> guard(backendLock);
    if (forcedBackend)
        return *forcedBackend;
    // Headsets come and go, so the machine's devices serve unless the simulated bus is asked for; the
    // hidraw back end sees each device from the moment its node appears.
    const char* name = std::getenv("KBR_HID");
    if (name && std::strcmp(name, "sim") == 0)
        return simBackend();
    return hidrawBackend();
}

std::vector<InterfaceInfo> interfacesOf(const std::string& key, uint16_t vendorId, uint16_t productId,
                                        uint16_t version, const std::vector<uint8_t>& descriptor,
                                        bool reportRefusal) {
    {
        std::lock_guard<std::mutex> guard(seenLock);
        for (const SeenDescriptor& d : seen) {
            if (d.key == key && d.vendorId == vendorId && d.productId == productId && d.version == version &&
                d.descriptor == descriptor)
                return d.interfaces;
        }
    }
    auto parsed = std::make_shared<std::vector<TopLevel>>();
    std::string error;
    const bool ok = parseDescriptor(descriptor.data(), descriptor.size(), *parsed, error);
    if (!ok && reportRefusal) {
        // As the Linux HID core does with such a device: it is listed, but nothing can use it.
        std::fprintf(stderr, "hid: report descriptor of %04x:%04x (%s) refused: %s; the device is not used\n",
                     vendorId, productId, key.c_str(), error.c_str());
    }
    const size_t count = ok ? parsed->size() : 1;
    std::vector<InterfaceInfo> out;
    for (size_t i = 0; i < count; ++i) {
        InterfaceInfo info;
        char head[64];
        std::snprintf(head, sizeof head, "\\\\?\\hid#vid_%04x&pid_%04x", vendorId, productId);
        info.path = head;
        if (count > 1) {
            char col[32];
            std::snprintf(col, sizeof col, "&col%02zu", i + 1);
            info.path += col;
        }
        info.path += "#" + key + "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
        info.vendorId = vendorId;
        info.productId = productId;
        info.version = version;
        info.topLevel = int(i);
        if (ok)
            info.parsed = parsed;
        out.push_back(std::move(info));
    }
    std::lock_guard<std::mutex> guard(seenLock);
    for (auto it = seen.begin(); it != seen.end(); ++it) {
        if (it->key == key) {
            seen.erase(it);
            break;
        }
    }
    seen.push_front(SeenDescriptor{key, vendorId, productId, version, descriptor, out});
    if (seen.size() > kSeenDescriptors)
        seen.pop_back();
    return out;
}

bool Backend::lookup(const std::string& path, InterfaceInfo& out) {
    for (InterfaceInfo& info : enumerate()) {
        if (info.path == path) {
            out = std::move(info);
            return true;
        }
    }
    return false;
}

// ---- ReadQueue

void ReadQueue::complete(const uint8_t* data, size_t n, DWORD code) {
    // Called with the lock held and a read pending.
    // A failed or cancelled read leaves the buffer as it was.
    const size_t copied = code ? 0 : std::min<size_t>(n, length);
    if (copied)
        std::memcpy(buffer, data, copied);
    if (!code && copied < length)
        std::memset(buffer + copied, 0, length - copied);
    overlapped->Internal = code;
    overlapped->InternalHigh = code ? 0 : copied;
    HANDLE event = overlapped->hEvent;
    buffer = nullptr;
    overlapped = nullptr;
    length = 0;
    if (event)
        SetEvent(event);
}

void ReadQueue::deliver(const uint8_t* data, size_t n) {
    std::lock_guard<std::mutex> guard(lock);
    if (error)
        return;
    if (overlapped) {
        complete(data, n, 0);
        return;
    }
    if (reports.size() >= kMaxQueued)
        reports.pop_front(); // the oldest report is dropped, as a full input buffer does
    reports.emplace_back(data, data + n);
    arrived.notify_all();
}

void ReadQueue::fail(DWORD code) {
    std::lock_guard<std::mutex> guard(lock);
    if (error)
        return;
    error = code;
    reports.clear();
    if (overlapped)
        complete(nullptr, 0, code);
    arrived.notify_all();
}

BOOL ReadQueue::startRead(uint8_t* buf, DWORD len, OVERLAPPED* ov) {
    std::lock_guard<std::mutex> guard(lock);
    if (error)
        return detail::fail<BOOL>(error, FALSE);
    if (overlapped)
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE); // one read at a time per handle
    buffer = buf;
    length = len;
    overlapped = ov;
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    if (!reports.empty()) {
        std::vector<uint8_t> report = std::move(reports.front());
        reports.pop_front();
        complete(report.data(), report.size(), 0);
        return TRUE;
    }
    return detail::fail<BOOL>(ERROR_IO_PENDING, FALSE);
}

BOOL ReadQueue::readBlocking(uint8_t* buf, DWORD len, DWORD* bytesRead) {
    std::unique_lock<std::mutex> guard(lock);
    // Bounded: a synchronous read of a silent device gives up after 10 s.
    if (!arrived.wait_for(guard, std::chrono::seconds(10), [&] { return error || !reports.empty(); }))
        return detail::fail<BOOL>(ERROR_TIMEOUT, FALSE);
    if (error)
        return detail::fail<BOOL>(error, FALSE);
    std::vector<uint8_t> report = std::move(reports.front());
    reports.pop_front();
    const size_t copied = std::min<size_t>(report.size(), len);
    std::memcpy(buf, report.data(), copied);
    if (copied < len)
        std::memset(buf + copied, 0, len - copied);
    if (bytesRead)
        *bytesRead = DWORD(copied);
    return TRUE;
}

void ReadQueue::cancel() {
    std::lock_guard<std::mutex> guard(lock);
    if (overlapped)
        complete(nullptr, 0, ERROR_OPERATION_ABORTED);
}

bool ReadQueue::reading() {
    std::lock_guard<std::mutex> guard(lock);
    return overlapped != nullptr;
}

bool ReadQueue::failed(DWORD* code) {
    std::lock_guard<std::mutex> guard(lock);
    if (code)
        *code = error;
    return error != 0;
}

// ---- FileObject

void FileObject::close() {
    std::call_once(closed, [this] {
        if (queue) {
            queue->cancel();
            queue->fail(ERROR_INVALID_HANDLE);
        }
        if (link)
            link->close();
    });
}

FileObject::~FileObject() {
    close();
}

namespace {

std::shared_ptr<FileObject> findFile(HANDLE h) {
    std::shared_ptr<HandleObject> object = detail::findHandle(h);
    if (!object || object->kind != HandleObject::Kind::File)
        return nullptr;
    return std::static_pointer_cast<FileObject>(object);
}

const TopLevel* topOf(PHIDP_PREPARSED_DATA data) {
    if (!data || data->magic != HidpPreparsedData::kMagic)
        return nullptr;
    return &data->top;
}

} // namespace
} // namespace hidimpl

using namespace hidimpl;

namespace testing {
void setHidBackend(const char* name) {
    std::lock_guard<std::mutex> guard(backendLock);
    if (!name || !*name)
        forcedBackend = nullptr;
    else if (std::strcmp(name, "hidraw") == 0)
        forcedBackend = &hidrawBackend();
    else
        forcedBackend = &simBackend();
}
} // namespace testing

// ---- files

HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, void*, DWORD disposition, DWORD flags, HANDLE) {
    if (!path)
        return detail::fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (disposition != OPEN_EXISTING)
        return detail::fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    Backend& backend = currentBackend();
    InterfaceInfo info;
    if (!backend.lookup(path, info))
        return detail::fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    auto file = std::make_shared<FileObject>();
    file->info = std::move(info);
    file->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    file->queue = std::make_shared<ReadQueue>();
    if (!backend.open(*file))
        return INVALID_HANDLE_VALUE;
    return detail::addHandle(std::move(file));
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD length, DWORD* bytesRead, OVERLAPPED* overlapped) {
    std::shared_ptr<FileObject> file = findFile(h);
    if (!file)
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (!buffer && length)
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (const DWORD refused = file->link->startingRead())
        return detail::fail<BOOL>(refused, FALSE);
    if (file->overlapped) {
        if (!overlapped)
            return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
        const BOOL done = file->queue->startRead(static_cast<uint8_t*>(buffer), length, overlapped);
        if (done && bytesRead)
            *bytesRead = DWORD(overlapped->InternalHigh);
        return done;
    }
    return file->queue->readBlocking(static_cast<uint8_t*>(buffer), length, bytesRead);
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD length, DWORD* bytesWritten, OVERLAPPED* overlapped) {
    std::shared_ptr<FileObject> file = findFile(h);
    if (!file)
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (!buffer || length == 0)
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    if (file->overlapped && !overlapped)
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    bool pending = false;
    const DWORD code = file->link->write(static_cast<const uint8_t*>(buffer), length, pending);
    if (overlapped) {
        overlapped->Internal = pending ? STATUS_PENDING : code;
        overlapped->InternalHigh = (pending || code) ? 0 : length;
    }
    if (code)
        return detail::fail<BOOL>(code, FALSE);
    if (pending)
        return detail::fail<BOOL>(ERROR_IO_PENDING, FALSE);
    if (bytesWritten)
        *bytesWritten = length;
    if (overlapped && overlapped->hEvent)
        SetEvent(overlapped->hEvent);
    return TRUE;
}

BOOL CancelIo(HANDLE h) {
    std::shared_ptr<FileObject> file = findFile(h);
    if (!file)
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    file->queue->cancel();
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* bytes, BOOL wait) {
    if (!findFile(h) || !overlapped)
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (overlapped->Internal == STATUS_PENDING) {
        if (!wait || !overlapped->hEvent)
            return detail::fail<BOOL>(ERROR_IO_INCOMPLETE, FALSE);
        WaitForSingleObject(overlapped->hEvent, INFINITE);
        if (overlapped->Internal == STATUS_PENDING)
            return detail::fail<BOOL>(ERROR_IO_INCOMPLETE, FALSE);
    }
    if (bytes)
        *bytes = DWORD(overlapped->InternalHigh);
    if (overlapped->Internal != 0)
        return detail::fail<BOOL>(DWORD(overlapped->Internal), FALSE);
    return TRUE;
}

// ---- SetupAPI

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND, DWORD flags) {
    auto* set = new DeviceInfoSet;
    if ((flags & DIGCF_DEVICEINTERFACE) && classGuid && IsEqualGUID(*classGuid, kHidGuid))
        set->interfaces = currentBackend().enumerate();
    return set;
}

namespace {
DeviceInfoSet* validSet(HDEVINFO set) {
    if (!set || set == reinterpret_cast<HDEVINFO>(INVALID_HANDLE_VALUE) || set->magic != DeviceInfoSet::kMagic)
        return nullptr;
    return set;
}
} // namespace

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set_, void*, const GUID* interfaceClassGuid, DWORD memberIndex,
                                 SP_DEVICE_INTERFACE_DATA* data) {
    DeviceInfoSet* set = validSet(set_);
    if (!set)
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return detail::fail<BOOL>(ERROR_INVALID_USER_BUFFER, FALSE);
    if (!interfaceClassGuid || !IsEqualGUID(*interfaceClassGuid, kHidGuid) ||
        memberIndex >= set->interfaces.size())
        return detail::fail<BOOL>(ERROR_NO_MORE_ITEMS, FALSE);
    data->InterfaceClassGuid = kHidGuid;
    data->Flags = 1; // active
    data->Reserved = memberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set_, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize, void*) {
    DeviceInfoSet* set = validSet(set_);
    if (!set)
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    if (!data || data->Reserved == 0 || data->Reserved > set->interfaces.size())
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    const std::string& path = set->interfaces[data->Reserved - 1].path;
    const DWORD needed = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize)
        *requiredSize = needed;
    if (!detail) {
        if (detailSize != 0)
            return detail::fail<BOOL>(ERROR_INVALID_USER_BUFFER, FALSE);
        return detail::fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return detail::fail<BOOL>(ERROR_INVALID_USER_BUFFER, FALSE);
    if (detailSize < needed)
        return detail::fail<BOOL>(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set_) {
    DeviceInfoSet* set = validSet(set_);
    if (!set)
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    set->magic = 0;
    delete set;
    return TRUE;
}

// ---- HID library: device handles

void HidD_GetHidGuid(GUID* guid) {
    if (guid)
        *guid = kHidGuid;
}

BOOLEAN HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
    std::shared_ptr<FileObject> file = findFile(h);
    if (!file || !data)
        return detail::fail<BOOLEAN>(ERROR_INVALID_HANDLE, 0);
    if (!file->info.parsed)
        return detail::fail<BOOLEAN>(ERROR_INVALID_DATA, 0);
    auto* p = new HidpPreparsedData;
    p->top = file->info.parsed->at(file->info.topLevel);
    *data = p;
    return 1;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    if (!topOf(data))
        return detail::fail<BOOLEAN>(ERROR_INVALID_PARAMETER, 0);
    data->magic = 0;
    delete data;
    return 1;
}

BOOLEAN HidD_GetAttributes(HANDLE h, HIDD_ATTRIBUTES* attributes) {
    std::shared_ptr<FileObject> file = findFile(h);
    if (!file)
        return detail::fail<BOOLEAN>(ERROR_INVALID_HANDLE, 0);
    if (!attributes || attributes->Size != sizeof(HIDD_ATTRIBUTES))
        return detail::fail<BOOLEAN>(ERROR_INVALID_PARAMETER, 0);
    if (file->overlapped && file->link)
        file->link->attributesAsked();
    attributes->VendorID = file->info.vendorId;
    attributes->ProductID = file->info.productId;
    attributes->VersionNumber = file->info.version;
    return 1;
}

BOOLEAN HidD_GetFeature(HANDLE h, void* buffer, ULONG length) {
    std::shared_ptr<FileObject> file = findFile(h);
    if (!file)
        return detail::fail<BOOLEAN>(ERROR_INVALID_HANDLE, 0);
    if (!buffer || length == 0)
        return detail::fail<BOOLEAN>(ERROR_INVALID_PARAMETER, 0);
    DWORD failed = 0;
    if (file->queue->failed(&failed))
        return detail::fail<BOOLEAN>(failed, 0);
    const DWORD code = file->link->getFeature(static_cast<uint8_t*>(buffer), length);
    return code ? detail::fail<BOOLEAN>(code, 0) : BOOLEAN(1);
}

BOOLEAN HidD_SetOutputReport(HANDLE h, void* buffer, ULONG length) {
    std::shared_ptr<FileObject> file = findFile(h);
    if (!file)
        return detail::fail<BOOLEAN>(ERROR_INVALID_HANDLE, 0);
    if (!buffer || length == 0)
        return detail::fail<BOOLEAN>(ERROR_INVALID_PARAMETER, 0);
    DWORD failed = 0;
    if (file->queue->failed(&failed))
        return detail::fail<BOOLEAN>(failed, 0);
    const DWORD code = file->link->setOutputReport(static_cast<const uint8_t*>(buffer), length);
    return code ? detail::fail<BOOLEAN>(code, 0) : BOOLEAN(1);
}

// ---- HID library: parsing

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps) {
    const TopLevel* top = topOf(data);
    if (!top || !caps)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    std::memset(caps, 0, sizeof *caps);
    caps->Usage = top->usage;
    caps->UsagePage = top->usagePage;
    caps->InputReportByteLength = top->reportLength[HidP_Input];
    caps->OutputReportByteLength = top->reportLength[HidP_Output];
    caps->FeatureReportByteLength = top->reportLength[HidP_Feature];
    caps->NumberLinkCollectionNodes = USHORT(top->collections.size());
    USHORT* button[3] = {&caps->NumberInputButtonCaps, &caps->NumberOutputButtonCaps,
                         &caps->NumberFeatureButtonCaps};
    USHORT* value[3] = {&caps->NumberInputValueCaps, &caps->NumberOutputValueCaps,
                        &caps->NumberFeatureValueCaps};
    USHORT* indices[3] = {&caps->NumberInputDataIndices, &caps->NumberOutputDataIndices,
                          &caps->NumberFeatureDataIndices};
    for (const Field& f : top->fields) {
        if (f.isButton()) {
            *button[f.type] += USHORT(std::max<size_t>(f.usages.size(), 1));
            *indices[f.type] += USHORT(std::max<uint32_t>(f.usageCount(), 1));
        } else if (f.isValue()) {
            *value[f.type] += 1;
            *indices[f.type] += USHORT(std::max<uint32_t>(f.usageCount(), 1));
        }
    }
    return HIDP_STATUS_SUCCESS;
}

namespace {

template <class Caps> void fillCommon(Caps& c, const TopLevel& top, const Field& f, const UsageRange& u) {
    std::memset(&c, 0, sizeof c);
    c.UsagePage = u.page ? u.page : f.usagePage;
    c.ReportID = f.reportId;
    c.BitField = f.flags;
    c.LinkCollection = f.linkCollection;
    c.LinkUsage = top.collections[f.linkCollection].usage;
    c.LinkUsagePage = top.collections[f.linkCollection].usagePage;
    c.IsAbsolute = (f.flags & 0x04) == 0;
    c.IsRange = u.min != u.max;
    if (c.IsRange) {
        c.Range.UsageMin = u.min;
        c.Range.UsageMax = u.max;
    } else {
        c.NotRange.Usage = u.min;
    }
}

// The checks every query of a report type makes first; HIDP_STATUS_SUCCESS when they pass.
NTSTATUS checkQuery(PHIDP_PREPARSED_DATA data, HIDP_REPORT_TYPE type, const void* length, const TopLevel** top) {
    *top = topOf(data);
    if (!*top || !length)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (type < HidP_Input || type > HidP_Feature)
        return HIDP_STATUS_INVALID_REPORT_TYPE;
    return HIDP_STATUS_SUCCESS;
}

} // namespace

NTSTATUS HidP_GetButtonCaps(HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS* caps, USHORT* length,
                            PHIDP_PREPARSED_DATA data) {
    const TopLevel* top = nullptr;
    const NTSTATUS checked = checkQuery(data, type, length, &top);
    if (checked != HIDP_STATUS_SUCCESS)
        return checked;
    USHORT written = 0;
    size_t total = 0;
    for (const Field& f : top->fields) {
        if (f.type != type || !f.isButton())
            continue;
        const UsageRange none{f.usagePage, 0, 0};
        const UsageRange* first = f.usages.empty() ? &none : f.usages.data();
        const size_t count = f.usages.empty() ? 1 : f.usages.size();
        for (size_t i = 0; i < count; ++i) {
            ++total;
            if (caps && written < *length) {
                fillCommon(caps[written], *top, f, first[i]);
                caps[written++].ReportCount = USHORT(f.reportCount);
            }
        }
    }
    *length = written;
    return total > written ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS* caps, USHORT* length,
                           PHIDP_PREPARSED_DATA data) {
    const TopLevel* top = nullptr;
    const NTSTATUS checked = checkQuery(data, type, length, &top);
    if (checked != HIDP_STATUS_SUCCESS)
        return checked;
    USHORT written = 0;
    size_t total = 0;
    for (const Field& f : top->fields) {
        if (f.type != type || !f.isValue())
            continue;
        ++total;
        if (caps && written < *length) {
            const UsageRange u =
                f.usages.empty() ? UsageRange{f.usagePage, 0, 0} : f.usages.front();
            HIDP_VALUE_CAPS& c = caps[written++];
            fillCommon(c, *top, f, u);
            c.BitSize = USHORT(f.reportSize);
            c.ReportCount = USHORT(f.reportCount);
            c.HasNull = (f.flags & 0x40) != 0;
            c.LogicalMin = f.logicalMin;
            c.LogicalMax = f.logicalMax;
            c.PhysicalMin = f.physicalMin;
            c.PhysicalMax = f.physicalMax;
        }
    }
    *length = written;
    return total > written ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

ULONG HidP_MaxUsageListLength(HIDP_REPORT_TYPE type, USAGE usagePage, PHIDP_PREPARSED_DATA data) {
    const TopLevel* top = topOf(data);
    if (!top)
        return 0;
    // HidP_GetUsages reads one report: the most is that of the report with the most such buttons.
    ULONG perReport[256] = {};
    for (const Field& f : top->fields) {
        if (f.type != type || !f.isButton())
            continue;
        bool onPage = usagePage == 0;
        for (const UsageRange& u : f.usages)
            onPage = onPage || u.page == usagePage;
        if (f.usages.empty())
            onPage = onPage || f.usagePage == usagePage;
        if (onPage)
            perReport[f.reportId] += f.reportCount;
    }
    return *std::max_element(std::begin(perReport), std::end(perReport));
}

NTSTATUS HidP_GetUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE* usageList,
                        ULONG* usageLength, PHIDP_PREPARSED_DATA data, char* report_, ULONG reportLength) {
    const TopLevel* top = nullptr;
    const NTSTATUS checked = checkQuery(data, type, usageLength, &top);
    if (checked != HIDP_STATUS_SUCCESS)
        return checked;
    if (!report_ || reportLength == 0 || reportLength != top->reportLength[type])
        return HIDP_STATUS_INVALID_REPORT_LENGTH;
    const auto* report = reinterpret_cast<const uint8_t*>(report_);
    const uint8_t reportId = report[0];
    bool idKnown = false;
    bool pageFound = false;
    ULONG count = 0;
    bool tooSmall = false;
    auto add = [&](const UsageRange& u) {
        if (u.page != usagePage || u.min == 0)
            return;
        if (count < *usageLength && usageList)
            usageList[count++] = u.min;
        else
            tooSmall = true;
    };
    for (const Field& f : top->fields) {
        if (f.type != type || f.reportId != reportId)
            continue;
        idKnown = true;
        if (!f.isButton())
            continue;
        if (linkCollection != 0 && f.linkCollection != linkCollection)
            continue;
        for (const UsageRange& u : f.usages)
            pageFound = pageFound || u.page == usagePage;
        const uint32_t usageCount = f.usageCount();
        if (!f.isArray) {
            const uint32_t last = usageCount ? usageCount - 1 : 0;
            for (uint32_t i = 0; i < f.reportCount; ++i) {
                if (extractBits(report, reportLength, f.bitOffset + i, 1))
                    add(f.usageAt(std::min(i, last)));
            }
        } else {
            for (uint32_t i = 0; i < f.reportCount; ++i) {
                const int64_t v = extractBits(report, reportLength, f.bitOffset + i * f.reportSize, f.reportSize);
                if (v < f.logicalMin || v > f.logicalMax)
                    continue;
                const uint64_t index = uint64_t(v - f.logicalMin);
                if (index >= usageCount)
                    continue;
                add(f.usageAt(uint32_t(index)));
            }
        }
    }
    if (!idKnown)
        return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    if (!pageFound)
        return HIDP_STATUS_USAGE_NOT_FOUND;
    *usageLength = count;
    return tooSmall ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

} // namespace plat
