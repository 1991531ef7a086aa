// Report descriptors of the supported headsets, handsets and keypads, written item by item, for the
// simulated HID bus. Each gives the interface shape the driver looks for (usage page and usage, report
// lengths, button capabilities) and places the buttons where the product's reports carry them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace hidtest {

class Descriptor {
public:
    Descriptor& raw(std::initializer_list<uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    Descriptor& page(uint16_t p) { return p > 0xFF ? raw({0x06, uint8_t(p), uint8_t(p >> 8)}) : raw({0x05, uint8_t(p)}); }
    Descriptor& usage(uint16_t u) { return u > 0xFF ? raw({0x0A, uint8_t(u), uint8_t(u >> 8)}) : raw({0x09, uint8_t(u)}); }
    Descriptor& usageRange(uint8_t lo, uint8_t hi) { return raw({0x19, lo, 0x29, hi}); }
    Descriptor& application() { return raw({0xA1, 0x01}); }
    Descriptor& logical(int lo, int hi) {
        raw({0x15, uint8_t(lo)});
        return hi > 127 ? raw({0x26, uint8_t(hi), uint8_t(hi >> 8)}) : raw({0x25, uint8_t(hi)});
    }
    Descriptor& size(uint8_t bits) { return raw({0x75, bits}); }
    Descriptor& count(uint8_t n) { return raw({0x95, n}); }
    Descriptor& id(uint8_t reportId) { return raw({0x85, reportId}); }
    Descriptor& input(uint8_t flags) { return raw({0x81, flags}); }
    Descriptor& output(uint8_t flags) { return raw({0x91, flags}); }
    Descriptor& feature(uint8_t flags) { return raw({0xB1, flags}); }
    Descriptor& end() { return raw({0xC0}); }

    // count one-bit buttons, each named by the usage items before.
    Descriptor& buttons(uint8_t n) { return logical(0, 1).size(1).count(n).input(0x02); }
    Descriptor& padding(uint8_t bits) { return size(1).count(bits).input(0x03); }
    Descriptor& bytesIn(uint8_t n) { return logical(0, 255).size(8).count(n).input(0x02); }
    Descriptor& bytesOut(uint8_t n) { return logical(0, 255).size(8).count(n).output(0x02); }
    Descriptor& bytesFeature(uint8_t n) { return logical(0, 255).size(8).count(n).feature(0x02); }

    std::vector<uint8_t> bytes;
};

constexpr uint16_t kTelephony = 0x0B;
constexpr uint16_t kConsumer = 0x0C;
constexpr uint16_t kButton = 0x09;

struct Product {
    uint16_t vendor;
    uint16_t product;
    const char* variant; // "" or a second shape of the same product
};

inline std::vector<uint8_t> descriptorOf(uint16_t vendor, uint16_t product, const std::string& variant = "") {
    Descriptor d;
    if (vendor == 0x047F && (product == 0xC00E || product == 0xC00F || product == 0xC015 || product == 0xC022 ||
                             product == 0xC024 || product == 0xC035)) {
        d.page(0xFFA0).usage(0x01).application();
        d.id(0x14).usageRange(0x01, 0x08).buttons(8).usage(0x09).bytesIn(1);
        d.id(0x19).usage(0x03).bytesOut(1);
        d.id(0x1A).usage(0x04).bytesOut(1);
        d.end();
    } else if (vendor == 0x047F && (product == 0xAB01 || product == 0xAB02 || product == 0xAB11)) {
        // A consumer control collection first: the driver must pass over it.
        d.page(kConsumer).usage(0x01).application();
        d.id(0x01).usage(0xE9).usage(0xEA).buttons(2).padding(6);
        d.end();
        d.page(0xFFA0).usage(0x03).application();
        d.id(0x04).usageRange(0x01, 0x08).buttons(8).usage(0x20).bytesIn(3);
        d.id(0x05).usage(0x21).bytesFeature(4);
        d.id(0x06).usage(0x22).bytesOut(3);
        d.id(0x60).usage(0x23).bytesOut(1);
        d.end();
    } else if (vendor == 0x047F && product == 0x0411) {
        d.page(kTelephony).usage(0x05).application();
        d.id(0x01).usage(0x20).buttons(1).padding(7).page(0xFFA0).usage(0x30).bytesIn(4);
        d.id(0x06).usage(0x31).bytesIn(2);
        d.id(0x04).usage(0x32).bytesFeature(2);
        d.id(0x01).usage(0x33).bytesOut(2);
        d.end();
    } else if (vendor == 0x047F && product == 0xAA14) {
        d.page(kTelephony).usage(0x05).application();
        d.id(0x02).usage(0x20).usage(0x2F).buttons(2).padding(6);
        d.end();
    } else if (vendor == 0x2603 && product == 0x0280) {
        d.page(kTelephony).usage(0x05).application();
        d.id(0x01).usageRange(0x00, 0xFF).logical(0, 255).size(8).count(1).input(0x00);
        d.id(0x02).page(0x08).usage(0x09).bytesOut(1);
        d.end();
    } else if (vendor == 0x047F && (product == 0x0410 || product == 0xC005)) {
        d.page(kTelephony).usage(0x05).application();
        d.usageRange(0xB1, 0xB7).buttons(7).usage(product == 0x0410 ? 0xA1 : 0xAB).buttons(1);
        d.end();
    } else if (vendor == 0x0B0E && product == 0x0930) {
        d.page(kTelephony).usage(0x05).application();
        d.usage(0x2F).buttons(1).usage(0x20).buttons(1).padding(6);
        d.page(0x08).usage(0x17).bytesOut(1);
        d.end();
    } else if (vendor == 0x0B0E && product == 0x9330) {
        const uint8_t outBytes = variant == "out2" ? 1 : variant == "out4" ? 3 : 2;
        d.page(kTelephony).usage(0x05).application();
        d.usage(0x20).buttons(1).usage(0x2F).buttons(1).padding(6);
        d.page(0x08).usage(0x17).bytesOut(outBytes);
        d.end();
    } else if (vendor == 0x0B0E && product == 0x9350) {
        d.page(kTelephony).usage(0x05).application();
        d.usage(0x20).buttons(1).usage(0x2F).buttons(1);
        d.page(kConsumer).usage(0xE9).buttons(1).usage(0xEA).buttons(1).padding(4);
        d.page(0x08).usage(0x17).bytesOut(2);
        d.end();
    } else if (vendor == 0x0E7D && product == 0x0001) {
        d.page(kButton).usage(0x01).application();
        d.usage(0x01).usage(0x02).buttons(2).padding(6);
        d.end();
    } else if (vendor == 0x1395 && product == 0x740A) {
        d.page(kTelephony).usage(0x05).application();
        d.usage(0x20).buttons(1).usage(0x2F).buttons(1).padding(6);
        d.page(kButton).usageRange(0x01, 0x08).buttons(8);
        d.page(0x08).usage(0x17).bytesOut(1);
        d.end();
    } else if ((vendor == 0x06E6 && product == 0xF210) || (vendor == 0x045E && product == 0xFFCA) ||
               (vendor == 0x0B0E && product == 0x090E)) {
        d.page(kTelephony).usage(0x05).application();
        d.usage(0x20).buttons(1).usage(0x2F).buttons(1).padding(6);
        d.end();
    } else if (vendor == 0x6993 && product == 0xB711) {
        d.page(0xFF00).usage(0x01).application();
        d.usage(0x02).bytesIn(8);
        d.usage(0x03).bytesOut(8);
        d.end();
    } else if (vendor == 0x6993 && product == 0xB001) {
        d.page(0xFF00).usage(0x01).application();
        d.usageRange(0x00, 0xFF).logical(0, 255).size(8).count(1).input(0x00);
        d.usage(0x02).bytesIn(6);
        d.usage(0x03).bytesOut(64);
        d.end();
    } else {
        // Any other device: a plain headset shape.
        d.page(kTelephony).usage(0x05).application();
        d.usage(0x20).buttons(1).usage(0x2F).buttons(1).padding(6);
        d.end();
    }
    return d.bytes;
}

// A handset shape with n input reports (ids 1 to n), each of three one-bit button fields of 10922
// buttons on the telephony page (4096 bytes a report): two with a usage range, one without usages. Within
// every limit of the Linux HID core, yet with many buttons of one page in many records.
inline std::vector<uint8_t> manyButtonReports(int n) {
    Descriptor d;
    d.page(kTelephony).usage(0x05).application().logical(0, 1).size(1);
    for (int id = 1; id <= n; ++id) {
        d.id(uint8_t(id)).raw({0x96, 0xAA, 0x2A});
        d.usageRange(0x01, 0xFF).input(0x02).usageRange(0x01, 0xFF).input(0x02).input(0x02);
    }
    d.end();
    return d.bytes;
}

} // namespace hidtest
