#include "kmt/jnitext.h"

namespace kmt {

namespace {

void appendUtf16Unit(std::string& out, unsigned unit) {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
}

} // namespace

std::string toModifiedUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c == 0) {
            out += "\xC0\x80";
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t length = 0;
        unsigned cp = 0;
        unsigned minimum = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2, cp = c & 0x1F, minimum = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3, cp = c & 0x0F, minimum = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4, cp = c & 0x07, minimum = 0x10000;
        }
        bool valid = length > 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                valid = false;
            } else {
                cp = (cp << 6) | (p[i + k] & 0x3F);
            }
        }
        valid = valid && cp >= minimum && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!valid) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            const unsigned v = cp - 0x10000;
            appendUtf16Unit(out, 0xD800 + (v >> 10));
            appendUtf16Unit(out, 0xDC00 + (v & 0x3FF));
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

} // namespace kmt
