#include "kmt/ident.h"
#include "kmt/stringstream.h"
#include "kmt/utf.h"
#include "plat/random.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

TEST(Ident, RandomIdIsSixteenLowercaseHexDigitsAndVaries) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string id = kmt::randomId();
        ASSERT_EQ(id.size(), 16u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_EQ(plat::testing::openContextCount(), 0) << "every identifier releases its provider";
}

TEST(Ident, RandomBytesFailuresThrowTheirTextsAndReleaseTheContext) {
    unsigned char buf[4];
    plat::testing::failNextAcquire();
    try {
        kmt::randomBytes(buf, sizeof buf);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CryptAcquireContext failed");
    }
    plat::testing::failNextGenRandom();
    try {
        kmt::randomBytes(buf, sizeof buf);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CryptGenRandom failed");
    }
    EXPECT_EQ(plat::testing::openContextCount(), 0);
    // Length 0 acquires nothing, so a pending failure is not consumed.
    plat::testing::failNextAcquire();
    EXPECT_NO_THROW(kmt::randomBytes(buf, 0));
    EXPECT_THROW(kmt::randomBytes(buf, 1), std::runtime_error);
}

TEST(Ident, HexBytesWithSeparatorsKeepsStreamState) {
    const unsigned char bytes[] = {0x0A, 0xFF, 0x00};
    struct Case {
        const char* sep;
        size_t len;
        const char* expect;
    } cases[] = {{":", 3, "0a:ff:00"}, {"", 3, "0aff00"}, {" - ", 2, "0a - ff"}, {":", 0, ""}};
    for (const Case& c : cases) {
        std::ostringstream os;
        os << std::setfill('*') << std::dec;
        os << kmt::HexBytes{bytes, c.len, c.sep};
        EXPECT_EQ(os.str(), c.expect);
        os << std::setw(4) << 12;
        EXPECT_EQ(os.str(), std::string(c.expect) + "**12") << "fill and base restored";
    }
}

TEST(StringStream, GrowthSequenceFromAFreshBuffer) {
    kmt::stringstream s;
    std::vector<size_t> sizes;
    for (int i = 0; i < 130; ++i) {
        s.put('a' + i % 26);
        if (sizes.empty() || sizes.back() != s.buffer().size())
            sizes.push_back(s.buffer().size());
    }
    std::vector<size_t> expect = {15, 23, 35, 53, 80, 121, 182};
    EXPECT_EQ(sizes, expect);
    EXPECT_EQ(s.str().size(), 130u);
}

TEST(StringStream, StrHandsOverTheTextAndStartsANewOne) {
    kmt::stringstream s;
    s << "Call-ID: " << 1234 << "\r\n";
    EXPECT_EQ(s.str(), "Call-ID: 1234\r\n");
    EXPECT_EQ(s.str(), "");
    s << "next";
    EXPECT_EQ(s.str(), "next");
}

TEST(StringStream, CharByCharAndBlockWritesAgree) {
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += static_cast<char>('!' + i % 90);
    kmt::stringstream one, block;
    for (char c : text)
        one << c;
    block.write(text.data(), static_cast<std::streamsize>(text.size()));
    EXPECT_EQ(one.str(), text);
    EXPECT_EQ(block.str(), text);
    // A block larger than one growth step lands whole.
    kmt::stringstream mixed;
    mixed << "ab" << text << 'z';
    EXPECT_EQ(mixed.str(), "ab" + text + "z");
}

TEST(Utf, RoundTripsAndEmptyInputs) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"plain", u"plain"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         u"Gr\u00FC\u00DFe"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x93\x9E call", u"\U0001F4DE call"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kmt::fromUtf8(c.utf8), c.utf16);
        EXPECT_EQ(kmt::toUtf8(c.utf16), c.utf8);
    }
    EXPECT_EQ(kmt::toUtf8(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(kmt::toUtf8(u""), "");
    EXPECT_EQ(kmt::fromUtf8("abc", 0), u"");
    EXPECT_EQ(kmt::fromUtf8(nullptr, 5), u"");
}

} // namespace
