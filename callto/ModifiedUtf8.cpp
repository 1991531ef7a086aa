#include "ModifiedUtf8.h"

namespace callto {

namespace {

bool continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Decodes one sequence at text[i]: 1 to 3 bytes give one UTF-16 code unit (surrogates included, as
// the JVM writes them), 4 bytes a code point above U+FFFF. Returns the length, 0 when malformed.
size_t decode(const unsigned char* s, size_t n, size_t i, uint32_t& value) {
    const unsigned char c = s[i];
    if (c < 0x80) {
        value = c;
        return c == 0 ? 0 : 1; // a raw NUL is not part of a modified UTF-8 text
    }
    if ((c & 0xE0) == 0xC0 && i + 1 < n && continuation(s[i + 1])) {
        value = (uint32_t(c & 0x1F) << 6) | (s[i + 1] & 0x3F);
        return (value >= 0x80 || value == 0) ? 2 : 0; // C0 80 is U+0000; other overlong forms are not
    }
    if ((c & 0xF0) == 0xE0 && i + 2 < n && continuation(s[i + 1]) && continuation(s[i + 2])) {
        value = (uint32_t(c & 0x0F) << 12) | (uint32_t(s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
        return value >= 0x800 ? 3 : 0;
    }
    if ((c & 0xF8) == 0xF0 && i + 3 < n && continuation(s[i + 1]) && continuation(s[i + 2]) &&
        continuation(s[i + 3])) {
        value = (uint32_t(c & 0x07) << 18) | (uint32_t(s[i + 1] & 0x3F) << 12) | (uint32_t(s[i + 2] & 0x3F) << 6) |
                (s[i + 3] & 0x3F);
        return (value >= 0x10000 && value <= 0x10FFFF) ? 4 : 0;
    }
    return 0;
}

void putUnit(std::string& out, uint32_t u) {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
}

} // namespace

std::string toModifiedUtf8(const char* bytes, size_t length, bool& replaced) {
    replaced = false;
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length;) {
        uint32_t v = 0;
        const size_t k = decode(s, length, i, v);
        if (k == 0) {
            putUnit(out, 0xFFFD);
            replaced = true;
            ++i;
        } else if (k == 4) {
            const uint32_t u = v - 0x10000;
            putUnit(out, 0xD800 | (u >> 10));
            putUnit(out, 0xDC00 | (u & 0x3FF));
            i += 4;
        } else {
            out.append(bytes + i, k);
            i += k;
        }
    }
    return out;
}

kmt::wstring fromModifiedUtf8(const std::string& text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    kmt::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t v = 0;
        const size_t k = decode(s, text.size(), i, v);
        if (k == 0) {
            return kmt::fromUtf8(text); // not modified UTF-8: the ordinary conversion decides
        }
        if (k == 4) {
            const uint32_t u = v - 0x10000;
            out += static_cast<char16_t>(0xD800 | (u >> 10));
            out += static_cast<char16_t>(0xDC00 | (u & 0x3FF));
        } else {
            out += static_cast<char16_t>(v);
        }
        i += k;
    }
    return out;
}

} // namespace callto
