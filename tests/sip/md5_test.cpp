#include "Md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DigestCase {
    std::string text;
    const char* hex;
};

// The test suite of RFC 1321, appendix A.5.
const DigestCase rfcSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, Rfc1321TestSuiteInLowercaseHex) {
    for (const DigestCase& c : rfcSuite)
        EXPECT_EQ(sip::md5Hex(c.text), c.hex) << '"' << c.text << '"';
}

// Bytes 0..255 in a fixed pattern, so high bytes and NULs are part of the message.
std::string patterned(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + 3) % 256);
    return s;
}

// Lengths on both sides of the padding boundaries (56 bytes in a block, a full block, two blocks).
const struct {
    size_t length;
    const char* hex;
} boundaryCases[] = {
    {55, "52c0e574e1198de5fe3f8f11440dcb1b"},  {56, "46c9907fc908ee68b1e7b8e71286a518"},
    {63, "a62f6d59e837867693f042f5b8f5a236"},  {64, "7160b8fb5e9e4023d549c3971fbaeead"},
    {65, "70bd662e7aefbda85a0f7244167b7897"},  {119, "e84905d4214f4d1ca56c2cdcc152b143"},
    {120, "e3eb5a6c8669ea01a8c185b8abc8a5dc"}, {1000, "10046f077f2082ac19676b8079f1cb1a"},
};

std::string hexOf(const unsigned char digest[16]) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < 16; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

TEST(Md5, PaddingBoundariesWholeAndInPieces) {
    for (const auto& c : boundaryCases) {
        std::string text = patterned(c.length);
        EXPECT_EQ(sip::md5Hex(text), c.hex) << c.length << " bytes at once";

        // Feeding the same bytes in uneven pieces crosses block edges at every offset.
        for (size_t piece : {1u, 3u, 17u, 63u, 64u, 65u}) {
            sip::Md5Context context;
            sip::md5Init(context);
            for (size_t at = 0; at < text.size(); at += piece)
                sip::md5Update(context, text.data() + at, std::min(piece, text.size() - at));
            unsigned char digest[16];
            sip::md5Final(context, digest);
            EXPECT_EQ(hexOf(digest), c.hex) << c.length << " bytes in pieces of " << piece;
        }
    }
}

} // namespace
