// Text handed to JNI as modified UTF-8.
#include "kmt/jnitext.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

TEST(KmtJniText, ModifiedUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {std::string("a\0b", 3), "a\xC0\x80" "b"},
        {"\xF0\x9F\x98\x80", "\xED\xA0\xBD\xED\xB8\x80"},
        {"\xFF", "\xEF\xBF\xBD"},
        {"\xC3", "\xEF\xBF\xBD"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},             // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // encoded surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // above U+10FFFF
        {"", ""},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(out, kmt::toModifiedUtf8(in)) << in;
    }
}

} // namespace
