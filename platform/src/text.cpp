// UTF-8 / UTF-16 conversion. The ANSI code page is UTF-8.
#include "internal.h"

#include "plat/text.h"

#include <cstring>

namespace plat {

namespace {

constexpr DWORD kErrorInvalidFlags = 1004;
constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kInvalid = 0xFFFFFFFFu;

// Decodes one character at s[i], advancing i. An invalid sequence gives kInvalid and advances over
// its maximal valid prefix (at least one byte), so each bad subsequence becomes one replacement.
uint32_t decodeUtf8(const unsigned char* s, size_t n, size_t& i) {
    const unsigned char b0 = s[i];
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) {
            lo = 0xA0; // no overlong forms
        } else if (b0 == 0xED) {
            hi = 0x9F; // no surrogates
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) {
            lo = 0x90;
        } else if (b0 == 0xF4) {
            hi = 0x8F; // nothing above U+10FFFF
        }
    } else {
        ++i;
        return kInvalid;
    }
    for (int k = 1; k <= need; ++k) {
        const unsigned char lower = k == 1 ? lo : 0x80;
        const unsigned char upper = k == 1 ? hi : 0xBF;
        if (i + k >= n || s[i + k] < lower || s[i + k] > upper) {
            i += k;
            return kInvalid;
        }
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    i += need + 1;
    return cp;
}

// Output of a conversion: counts always, writes only when a buffer was given, and never past it.
template <typename Unit> class BoundedOutput {
public:
    BoundedOutput(Unit* out, int capacity) : out_(capacity > 0 ? out : nullptr), capacity_(capacity) {}
    // False when the units do not fit into the caller's buffer.
    bool put(const Unit* units, int count) {
        if (out_) {
            if (count > capacity_ - written_) {
                return false;
            }
            std::memcpy(out_ + written_, units, sizeof(Unit) * count);
        } else if (written_ > INT32_MAX - count) {
            return false;
        }
        written_ += count;
        return true;
    }
    int written() const { return written_; }

private:
    Unit* out_;
    int capacity_;
    int written_ = 0;
};

bool supportedCodePage(UINT codePage) {
    return codePage == CP_UTF8 || codePage == CP_ACP;
}

} // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* mb, int cb, WCHAR* out, int cch) {
    if (!supportedCodePage(codePage)) {
        return detail::fail<int>(ERROR_INVALID_PARAMETER, 0);
    }
    if (flags & ~MB_ERR_INVALID_CHARS) {
        return detail::fail<int>(kErrorInvalidFlags, 0);
    }
    if (!mb || cb == 0 || cb < -1 || cch < 0 || (cch > 0 && !out)) {
        return detail::fail<int>(ERROR_INVALID_PARAMETER, 0);
    }
    const size_t n = cb == -1 ? std::strlen(mb) + 1 : static_cast<size_t>(cb);
    const auto* s = reinterpret_cast<const unsigned char*>(mb);
    BoundedOutput<WCHAR> output(out, cch);
    for (size_t i = 0; i < n;) {
        uint32_t cp = decodeUtf8(s, n, i);
        if (cp == kInvalid) {
            if (flags & MB_ERR_INVALID_CHARS) {
                return detail::fail<int>(ERROR_NO_UNICODE_TRANSLATION, 0);
            }
            cp = kReplacement;
        }
        WCHAR units[2];
        int count = 1;
        if (cp >= 0x10000) {
            units[0] = static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
            units[1] = static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            count = 2;
        } else {
            units[0] = static_cast<WCHAR>(cp);
        }
        if (!output.put(units, count)) {
            return detail::fail<int>(ERROR_INSUFFICIENT_BUFFER, 0);
        }
    }
    return output.written();
}

// With CP_UTF8 the default character arguments must be null, as on Windows. With CP_ACP (UTF-8 here)
// they are accepted: the default character is not used (a lone surrogate becomes U+FFFD), and
// usedDefault tells whether any replacement happened.
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int cch, char* out, int cb,
                        const char* defaultChar, BOOL* usedDefault) {
    if (!supportedCodePage(codePage)) {
        return detail::fail<int>(ERROR_INVALID_PARAMETER, 0);
    }
    if (flags & ~WC_ERR_INVALID_CHARS) {
        return detail::fail<int>(kErrorInvalidFlags, 0);
    }
    if (codePage == CP_UTF8 && (defaultChar || usedDefault)) {
        return detail::fail<int>(ERROR_INVALID_PARAMETER, 0);
    }
    if (!wide || cch == 0 || cch < -1 || cb < 0 || (cb > 0 && !out)) {
        return detail::fail<int>(ERROR_INVALID_PARAMETER, 0);
    }
    size_t n = static_cast<size_t>(cch);
    if (cch == -1) {
        n = 0;
        while (wide[n] != 0) {
            ++n;
        }
        ++n; // the terminator is converted and counted
    }
    bool replaced = false;
    BoundedOutput<char> output(out, cb);
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = wide[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            if (flags & WC_ERR_INVALID_CHARS) {
                return detail::fail<int>(ERROR_NO_UNICODE_TRANSLATION, 0);
            }
            cp = kReplacement;
            replaced = true;
        }
        char bytes[4];
        int count;
        if (cp < 0x80) {
            bytes[0] = static_cast<char>(cp);
            count = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
            bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
            count = 2;
        } else if (cp < 0x10000) {
            bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
            bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
            count = 3;
        } else {
            bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
            bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
            count = 4;
        }
        if (!output.put(bytes, count)) {
            return detail::fail<int>(ERROR_INSUFFICIENT_BUFFER, 0);
        }
    }
    if (usedDefault) {
        *usedDefault = replaced ? TRUE : FALSE;
    }
    return output.written();
}

} // namespace plat
