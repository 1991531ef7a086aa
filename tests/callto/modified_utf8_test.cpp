// Texts between the JVM's modified UTF-8, other processes' bytes and the registry's UTF-16.
#include "ModifiedUtf8.h"

#include <gtest/gtest.h>

using namespace callto;

namespace {

TEST(ModifiedUtf8, TextsFromAnotherProcessAreMadeValidForJava) {
    struct Case {
        const char* what;
        std::string in;
        std::string out;
        bool replaced;
    } cases[] = {
        {"ASCII", "callto:+31 20", "callto:+31 20", false},
        {"two and three bytes", "\xc3\xa9\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac", false},
        {"U+0000 as the JVM writes it", "a\xc0\x80" "b", "a\xc0\x80" "b", false},
        {"surrogate pair as the JVM writes it", "\xed\xa0\xbd\xed\xb3\x9e", "\xed\xa0\xbd\xed\xb3\x9e", false},
        {"four-byte UTF-8 becomes a surrogate pair", "\xf0\x9f\x93\x9e", "\xed\xa0\xbd\xed\xb3\x9e", false},
        {"a stray continuation byte", "a\x80z", "a\xef\xbf\xbdz", true},
        {"cut short at the end", "ab\xe2\x82", "ab\xef\xbf\xbd\xef\xbf\xbd", true},
        {"overlong slash", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd", true},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", true},
        {"Latin-1 byte", "caf\xe9", "caf\xef\xbf\xbd", true},
    };
    for (const Case& c : cases) {
        bool replaced = false;
        EXPECT_EQ(c.out, toModifiedUtf8(c.in.data(), c.in.size(), replaced)) << c.what;
        EXPECT_EQ(c.replaced, replaced) << c.what;
    }
}

TEST(ModifiedUtf8, TextsFromJavaBecomeExactUtf16) {
    struct Case {
        const char* what;
        std::string in;
        std::u16string out;
    } cases[] = {
        {"plain", "Brimel", u"Brimel"},
        {"accent", "\xc3\xa9!", u"\u00e9!"},
        {"emoji from Java", "\xed\xa0\xbd\xed\xb3\x9e", u"\U0001F4DE"},
        {"emoji in UTF-8", "\xf0\x9f\x93\x9e", u"\U0001F4DE"},
        {"U+0000 from Java", "a\xc0\x80" "b", std::u16string(u"a\0b", 3)},
        {"empty", "", u""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.out, fromModifiedUtf8(c.in)) << c.what;
    }
}

} // namespace
