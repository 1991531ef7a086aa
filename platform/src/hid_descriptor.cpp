// Report descriptor parser: items, globals with push and pop, locals, collections and main items, into
// fields with their bit positions per report, grouped by top-level collection.
#include "hid_internal.h"

#include <algorithm>
#include <map>

namespace plat {
namespace hidimpl {

namespace {

// Limits that keep a hostile descriptor from costing more than a real one ever needs. The first four are
// those of the Linux HID core, so a descriptor is refused here exactly when the kernel would not bind the
// device: a descriptor of at most 4096 bytes, a Report Size of at most 256 bits, a Report Count of at
// most 12288, and reports of at most 16384 bytes with their report id byte (the kernel's largest report
// buffer).
constexpr size_t kMaxDescriptor = 4096;
constexpr uint32_t kMaxReportSize = 256;
constexpr uint32_t kMaxReportCount = 12288;
constexpr uint32_t kMaxReportBits = 8 * (kMaxReportBytes - 1);
constexpr int kMaxDepth = 16;
constexpr int kMaxPush = 8;
constexpr size_t kMaxUsages = 1024;
constexpr size_t kMaxFields = 1024;

struct Globals {
    uint16_t usagePage = 0;
    int32_t logicalMin = 0;
    int32_t logicalMax = 0;
    int32_t physicalMin = 0;
    int32_t physicalMax = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint8_t reportId = 0;
};

struct PendingUsage {
    bool extended; // the page came with the usage
    uint32_t min;
    uint32_t max;
};

uint32_t unsignedValue(const uint8_t* p, int size) {
    uint32_t v = 0;
    for (int i = 0; i < size; ++i)
        v |= uint32_t(p[i]) << (8 * i);
    return v;
}

int32_t signedValue(const uint8_t* p, int size) {
    const uint32_t v = unsignedValue(p, size);
    switch (size) {
    case 1:
        return int8_t(v);
    case 2:
        return int16_t(v);
    case 4:
        return int32_t(v);
    default:
        return 0;
    }
}

} // namespace

uint32_t Field::usageCount() const {
    uint32_t n = 0;
    for (const UsageRange& u : usages)
        n += uint32_t(u.max - u.min) + 1;
    return n;
}

UsageRange Field::usageAt(uint32_t i) const {
    for (const UsageRange& u : usages) {
        const uint32_t span = uint32_t(u.max - u.min) + 1;
        if (i < span)
            return UsageRange{u.page, uint16_t(u.min + i), uint16_t(u.min + i)};
        i -= span;
    }
    return UsageRange{0, 0, 0};
}

bool TopLevel::carriesReport(HIDP_REPORT_TYPE type, uint8_t reportId) const {
    for (const Field& f : fields) {
        if (f.type == type && f.reportId == reportId)
            return true;
    }
    return false;
}

uint32_t extractBits(const uint8_t* report, size_t length, uint32_t bitOffset, uint32_t bitCount) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < bitCount && i < 32; ++i) {
        const uint64_t bit = uint64_t(bitOffset) + i;
        const uint64_t byte = 1 + bit / 8;
        if (byte >= length)
            break;
        if (report[byte] & (1u << (bit % 8)))
            v |= 1u << i;
    }
    return v;
}

bool parseDescriptor(const uint8_t* data, size_t length, std::vector<TopLevel>& out, std::string& error) {
    out.clear();
    if (length > kMaxDescriptor) {
        error = "descriptor longer than 4096 bytes";
        return false;
    }
    Globals globals;
    std::vector<Globals> stack;
    std::vector<PendingUsage> usages;
    bool haveMin = false;
    uint32_t pendingMin = 0;
    bool pendingMinExtended = false;
    int depth = 0;
    int currentCollection = -1; // link collection index within the current top level
    bool anyReportId = false;
    // Bits used so far per (type, report id), per top level.
    std::map<std::pair<int, int>, uint32_t> bits;
    size_t fieldTotal = 0;

    size_t pos = 0;
    while (pos < length) {
        const uint8_t prefix = data[pos];
        if (prefix == 0xFE) { // long item: skipped
            if (pos + 2 >= length) {
                error = "long item runs past the end";
                return false;
            }
            pos += 3 + data[pos + 1];
            if (pos > length) {
                error = "long item runs past the end";
                return false;
            }
            continue;
        }
        int size = prefix & 3;
        if (size == 3)
            size = 4;
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        if (pos + 1 + size > length) {
            error = "item runs past the end";
            return false;
        }
        const uint8_t* value = data + pos + 1;
        const uint32_t u = unsignedValue(value, size);
        const int32_t s = signedValue(value, size);
        pos += 1 + size;

        if (type == 0) { // main
            if (tag == 0xA) { // collection
                if (depth >= kMaxDepth) {
                    error = "collections nested too deep";
                    return false;
                }
                uint16_t usagePage = globals.usagePage;
                uint16_t usage = 0;
                if (!usages.empty()) {
                    usage = uint16_t(usages[0].min);
                    if (usages[0].extended)
                        usagePage = uint16_t(usages[0].min >> 16);
                }
                if (depth == 0) {
                    TopLevel top;
                    top.usagePage = usagePage;
                    top.usage = usage;
                    top.collections.push_back(LinkCollection{usagePage, usage, -1});
                    out.push_back(std::move(top));
                    currentCollection = 0;
                    bits.clear();
                } else {
                    TopLevel& top = out.back();
                    top.collections.push_back(LinkCollection{usagePage, usage, currentCollection});
                    currentCollection = int(top.collections.size()) - 1;
                }
                ++depth;
            } else if (tag == 0xC) { // end collection
                if (depth == 0) {
                    error = "end collection without collection";
                    return false;
                }
                --depth;
                if (depth > 0)
                    currentCollection = out.back().collections[currentCollection].parent;
                else
                    currentCollection = -1;
            } else if (tag == 0x8 || tag == 0x9 || tag == 0xB) { // input, output, feature
                if (depth == 0) {
                    error = "main item outside a collection";
                    return false;
                }
                Field f{};
                f.type = tag == 0x8 ? HidP_Input : tag == 0x9 ? HidP_Output : HidP_Feature;
                f.reportId = globals.reportId;
                f.reportSize = globals.reportSize;
                // Entries of no bits carry nothing: such a field has no entries to walk.
                f.reportCount = globals.reportSize == 0 ? 0 : globals.reportCount;
                f.flags = uint16_t(u);
                f.isConstant = (u & 0x01) != 0;
                f.isArray = (u & 0x02) == 0;
                f.logicalMin = globals.logicalMin;
                f.logicalMax = globals.logicalMax;
                f.physicalMin = globals.physicalMin;
                f.physicalMax = globals.physicalMax;
                f.usagePage = globals.usagePage;
                f.linkCollection = uint16_t(currentCollection);
                for (const PendingUsage& p : usages) {
                    const uint16_t page = p.extended ? uint16_t(p.min >> 16) : globals.usagePage;
                    uint16_t lo = uint16_t(p.min);
                    uint16_t hi = uint16_t(p.max);
                    if (hi < lo)
                        std::swap(lo, hi);
                    f.usages.push_back(UsageRange{page, lo, hi});
                }
                uint32_t& used = bits[{int(f.type), int(f.reportId)}];
                const uint64_t total = uint64_t(used) + uint64_t(f.reportSize) * f.reportCount;
                if (total > kMaxReportBits) {
                    error = "report longer than 16384 bytes";
                    return false;
                }
                f.bitOffset = used;
                used = uint32_t(total);
                if (++fieldTotal > kMaxFields) {
                    error = "too many main items";
                    return false;
                }
                TopLevel& top = out.back();
                const uint32_t bytes = (used + 7) / 8 + 1;
                top.reportLength[f.type] = std::max<uint16_t>(top.reportLength[f.type], uint16_t(bytes));
                top.fields.push_back(std::move(f));
            } else {
                error = "unknown main item";
                return false;
            }
            usages.clear();
            haveMin = false;
        } else if (type == 1) { // global
            switch (tag) {
            case 0x0:
                globals.usagePage = uint16_t(u);
                break;
            case 0x1:
                globals.logicalMin = s;
                break;
            case 0x2:
                // A maximum written without sign bit room (for example 255 in one byte) is unsigned.
                globals.logicalMax = (globals.logicalMin >= 0) ? int32_t(u) : s;
                break;
            case 0x3:
                globals.physicalMin = s;
                break;
            case 0x4:
                globals.physicalMax = (globals.physicalMin >= 0) ? int32_t(u) : s;
                break;
            case 0x5: // unit exponent
            case 0x6: // unit
                break;
            case 0x7:
                if (u > kMaxReportSize) {
                    error = "report size above 256 bits";
                    return false;
                }
                globals.reportSize = u;
                break;
            case 0x8:
                if (u == 0 || u > 255) {
                    error = "report id out of range";
                    return false;
                }
                globals.reportId = uint8_t(u);
                anyReportId = true;
                break;
            case 0x9:
                if (u > kMaxReportCount) {
                    error = "report count above 12288";
                    return false;
                }
                globals.reportCount = u;
                break;
            case 0xA:
                if (int(stack.size()) >= kMaxPush) {
                    error = "push stack full";
                    return false;
                }
                stack.push_back(globals);
                break;
            case 0xB:
                if (stack.empty()) {
                    error = "pop without push";
                    return false;
                }
                globals = stack.back();
                stack.pop_back();
                break;
            default:
                error = "unknown global item";
                return false;
            }
        } else if (type == 2) { // local
            if (usages.size() >= kMaxUsages) {
                error = "too many usages";
                return false;
            }
            switch (tag) {
            case 0x0:
                usages.push_back(PendingUsage{size == 4, u, u});
                break;
            case 0x1:
                haveMin = true;
                pendingMin = u;
                pendingMinExtended = size == 4;
                break;
            case 0x2:
                if (haveMin) {
                    usages.push_back(PendingUsage{pendingMinExtended, pendingMin, u});
                    haveMin = false;
                }
                break;
            default: // designators, strings, delimiters
                break;
            }
        } else {
            error = "reserved item type";
            return false;
        }
    }
    if (depth != 0) {
        error = "collection not closed";
        return false;
    }
    if (out.empty()) {
        error = "no top-level collection";
        return false;
    }
    for (TopLevel& top : out)
        top.hasReportIds = anyReportId;
    return true;
}

} // namespace hidimpl
} // namespace plat
