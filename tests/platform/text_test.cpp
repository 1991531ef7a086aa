// UTF-8 / UTF-16 conversion: lengths, terminators, surrogates, invalid input and buffer bounds.
#include "plat/text.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace plat;

namespace {

std::u16string toWide(const std::string& s, DWORD flags = 0) {
    const int n = MultiByteToWideChar(CP_UTF8, flags, s.data(), int(s.size()), nullptr, 0);
    if (n == 0) {
        return u"<fail>";
    }
    std::u16string out(size_t(n), u'\0');
    EXPECT_EQ(n, MultiByteToWideChar(CP_UTF8, flags, s.data(), int(s.size()), &out[0], n));
    return out;
}

std::string toNarrow(const std::u16string& s, DWORD flags = 0) {
    const int n = WideCharToMultiByte(CP_UTF8, flags, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
    if (n == 0) {
        return "<fail>";
    }
    std::string out(size_t(n), '\0');
    EXPECT_EQ(n, WideCharToMultiByte(CP_UTF8, flags, s.data(), int(s.size()), &out[0], n, nullptr, nullptr));
    return out;
}

struct Pair {
    const char* utf8;
    std::u16string utf16;
};
const Pair kValid[] = {
    {"abc", u"abc"},
    {"caf\xC3\xA9", u"caf\u00E9"},
    {"\xE2\x82\xAC 5", u"\u20AC 5"},
    {"a\xF0\x9F\x98\x80z", u"a\U0001F600z"}, // surrogate pair
    {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
};

TEST(Text, ValidTextRoundTrips) {
    for (const Pair& p : kValid) {
        SCOPED_TRACE(p.utf8);
        EXPECT_EQ(p.utf16, toWide(p.utf8));
        EXPECT_EQ(p.utf8, toNarrow(p.utf16));
        // The ANSI code page is UTF-8.
        EXPECT_EQ(int(p.utf16.size()),
                  MultiByteToWideChar(CP_ACP, 0, p.utf8, int(std::string(p.utf8).size()), nullptr, 0));
    }
}

TEST(Text, MinusOneCountsTheTerminator) {
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
    WCHAR wide[4];
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 4));
    EXPECT_EQ(u"abc", std::u16string(wide));
    EXPECT_EQ(6, WideCharToMultiByte(CP_UTF8, 0, u"\u00E9\u20AC", -1, nullptr, 0, nullptr, nullptr));
    char narrow[6];
    EXPECT_EQ(6, WideCharToMultiByte(CP_UTF8, 0, u"\u00E9\u20AC", -1, narrow, 6, nullptr, nullptr));
    EXPECT_STREQ("\xC3\xA9\xE2\x82\xAC", narrow);
}

TEST(Text, InvalidUtf8BecomesReplacementOrFailsOnRequest) {
    struct Case {
        const char* name;
        std::string input;
        std::u16string expected;
    } const cases[] = {
        {"lone continuation", "a\x80z", u"a\uFFFDz"},
        {"truncated two-byte", "a\xC3", u"a\uFFFD"},
        {"truncated three-byte", "\xE2\x82z", u"\uFFFDz"},
        {"overlong NUL", "\xC0\x80", u"\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"invalid byte", "\xFF", u"\uFFFD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, toWide(c.input));
        SetLastError(0);
        EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.input.data(), int(c.input.size()),
                                         nullptr, 0));
        EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
    }
}

TEST(Text, LoneSurrogatesBecomeReplacementOrFailOnRequest) {
    const std::u16string cases[] = {std::u16string(1, char16_t(0xD800)), std::u16string(1, char16_t(0xDC00)),
                                    std::u16string{char16_t(0xD800), u'a'},
                                    std::u16string{char16_t(0xDC00), char16_t(0xD800)}};
    for (const std::u16string& input : cases) {
        SCOPED_TRACE(int(input[0]));
        const std::string out = toNarrow(input);
        EXPECT_EQ(0u, out.find("\xEF\xBF\xBD"));
        SetLastError(0);
        EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, input.data(), int(input.size()),
                                         nullptr, 0, nullptr, nullptr));
        EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, GetLastError());
    }
}

// Every size below the need fails with ERROR_INSUFFICIENT_BUFFER and nothing past the given size
// is touched; the exact size succeeds.
TEST(Text, NeverWritesPastTheBuffer) {
    for (const Pair& p : kValid) {
        SCOPED_TRACE(p.utf8);
        const std::string utf8 = p.utf8;
        const int wideNeed = int(p.utf16.size());
        for (int size = 1; size <= wideNeed; ++size) {
            std::vector<WCHAR> buffer(size_t(wideNeed) + 4, u'#');
            SetLastError(0);
            const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), buffer.data(), size);
            EXPECT_EQ(size == wideNeed ? wideNeed : 0, n) << size;
            if (size < wideNeed) {
                EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
            }
            for (size_t k = size_t(size); k < buffer.size(); ++k) {
                EXPECT_EQ(u'#', buffer[k]) << "write past " << size;
            }
        }
        const int narrowNeed = int(utf8.size());
        for (int size = 1; size <= narrowNeed; ++size) {
            std::vector<char> buffer(size_t(narrowNeed) + 4, '#');
            SetLastError(0);
            const int n = WideCharToMultiByte(CP_UTF8, 0, p.utf16.data(), int(p.utf16.size()), buffer.data(),
                                              size, nullptr, nullptr);
            EXPECT_EQ(size == narrowNeed ? narrowNeed : 0, n) << size;
            if (size < narrowNeed) {
                EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
            }
            for (size_t k = size_t(size); k < buffer.size(); ++k) {
                EXPECT_EQ('#', buffer[k]) << "write past " << size;
            }
        }
    }
}

TEST(Text, BadArgumentsFail) {
    WCHAR wide[8];
    char narrow[8];
    BOOL used = FALSE;
    struct Case {
        const char* name;
        std::function<int()> call;
        DWORD error;
    } const cases[] = {
        {"empty input", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 8); },
         ERROR_INVALID_PARAMETER},
        {"null input", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8); },
         ERROR_INVALID_PARAMETER},
        {"code page 1252", [&] { return MultiByteToWideChar(1252, 0, "a", 1, wide, 8); },
         ERROR_INVALID_PARAMETER},
        {"null output with a size", [&] { return MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 8); },
         ERROR_INVALID_PARAMETER},
        {"wide empty input",
         [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 0, narrow, 8, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"UTF-8 with usedDefault",
         [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 8, nullptr, &used); },
         ERROR_INVALID_PARAMETER},
        {"unknown flag",
         [&] { return WideCharToMultiByte(CP_UTF8, 0x400, u"a", 1, narrow, 8, nullptr, nullptr); },
         1004 /* ERROR_INVALID_FLAGS */},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_EQ(0, c.call());
        EXPECT_EQ(c.error, GetLastError());
    }
    // The ANSI code page accepts the default-character arguments and reports replacements.
    const std::u16string lone(1, char16_t(0xD800));
    EXPECT_EQ(3, WideCharToMultiByte(CP_ACP, 0, lone.data(), 1, narrow, 8, "?", &used));
    EXPECT_EQ(TRUE, used);
}

} // namespace
