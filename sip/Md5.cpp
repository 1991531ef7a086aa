#include "Md5.h"

#include <cstring>

namespace sip {

namespace {

inline uint32_t rotateLeft(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (~x & z);
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (x & z) | (y & ~z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

// Per-step shift amounts, four per round.
const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// T[i] = floor(abs(sin(i + 1)) * 2^32).
const uint32_t sineTable[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

} // namespace

void md5Init(Md5Context& context) {
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.bitCount = 0;
    std::memset(context.buffer, 0, sizeof(context.buffer));
}

void md5Transform(uint32_t state[4], const unsigned char block[64]) {
    // The block as sixteen little-endian words.
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 | uint32_t(block[4 * i + 2]) << 16 |
               uint32_t(block[4 * i + 3]) << 24;

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
        case 0:
            f = F(b, c, d);
            k = i;
            break;
        case 1:
            f = G(b, c, d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = H(b, c, d);
            k = (3 * i + 5) % 16;
            break;
        default:
            f = I(b, c, d);
            k = (7 * i) % 16;
            break;
        }
        uint32_t rotated = b + rotateLeft(a + f + x[k] + sineTable[i], shifts[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void md5Update(Md5Context& context, const void* data, size_t length) {
    const unsigned char* input = static_cast<const unsigned char*>(data);
    size_t used = static_cast<size_t>((context.bitCount / 8) % 64);
    context.bitCount += uint64_t(length) * 8;

    if (used > 0) {
        size_t take = 64 - used < length ? 64 - used : length;
        std::memcpy(context.buffer + used, input, take);
        used += take;
        input += take;
        length -= take;
        if (used < 64)
            return;
        md5Transform(context.state, context.buffer);
    }
    while (length >= 64) {
        md5Transform(context.state, input);
        input += 64;
        length -= 64;
    }
    if (length > 0)
        std::memcpy(context.buffer, input, length);
}

void md5Final(Md5Context& context, unsigned char digest[16]) {
    // The length is taken before padding: padding is not part of the message.
    uint64_t bits = context.bitCount;
    unsigned char lengthBytes[8];
    for (int i = 0; i < 8; ++i)
        lengthBytes[i] = static_cast<unsigned char>(bits >> (8 * i));

    // One 0x80 byte, then zeros until the length is 56 modulo 64.
    static const unsigned char padding[64] = {0x80};
    size_t used = static_cast<size_t>((bits / 8) % 64);
    size_t padLength = used < 56 ? 56 - used : 120 - used;
    md5Update(context, padding, padLength);
    md5Update(context, lengthBytes, 8);

    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<unsigned char>(context.state[i] >> (8 * j));
    std::memset(&context, 0, sizeof(context));
}

std::string md5Hex(const std::string& text) {
    Md5Context context;
    md5Init(context);
    md5Update(context, text.data(), text.size());
    unsigned char digest[16];
    md5Final(context, digest);

    static const char digits[] = "0123456789abcdef";
    std::string hex(32, '0');
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0x0f];
    }
    return hex;
}

} // namespace sip
