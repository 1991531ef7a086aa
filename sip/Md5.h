// MD5 message digest (RFC 1321), used for digest authentication.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sip {

struct Md5Context {
    uint32_t state[4];
    uint64_t bitCount;        // message length so far, in bits
    unsigned char buffer[64]; // bytes of the block being filled
};

void md5Init(Md5Context& context);
void md5Update(Md5Context& context, const void* data, size_t length);
// Pads, appends the length and writes the 16 digest bytes.
void md5Final(Md5Context& context, unsigned char digest[16]);
// One 64-byte block into the state.
void md5Transform(uint32_t state[4], const unsigned char block[64]);

// MD5 of the bytes of text as 32 lowercase hexadecimal digits.
std::string md5Hex(const std::string& text);

} // namespace sip
