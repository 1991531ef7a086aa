// Random identifiers and hex output.
#pragma once

#include <cstddef>
#include <ios>
#include <ostream>
#include <string>

namespace kmt {

// Fills buffer with cryptographic random bytes. Throws std::runtime_error
// "CryptAcquireContext failed" or "CryptGenRandom failed".
void randomBytes(void* buffer, size_t length);

// 16 lowercase hexadecimal digits (8 random bytes).
std::string randomId();

struct HexBytes {
    const unsigned char* data;
    size_t length;
    const char* separator;
};

std::ostream& writeHexBytes(std::ostream& os, const HexBytes& bytes);
inline std::ostream& operator<<(std::ostream& os, const HexBytes& bytes) {
    return writeHexBytes(os, bytes);
}

// Restores fill, flags, width and precision of a stream when it goes out of scope.
class StreamStateSaver {
public:
    explicit StreamStateSaver(std::ios_base& s)
        : stream(s), fill(dynamic_cast<std::ios*>(&s) ? static_cast<std::ios&>(s).fill() : ' '),
          flags(s.flags()), width(s.width()), precision(s.precision()) {}
    ~StreamStateSaver() {
        if (auto* ios = dynamic_cast<std::ios*>(&stream))
            ios->fill(fill);
        stream.flags(flags);
        stream.width(width);
        stream.precision(precision);
    }
    StreamStateSaver(const StreamStateSaver&) = delete;
    StreamStateSaver& operator=(const StreamStateSaver&) = delete;

private:
    std::ios_base& stream;
    char fill;
    std::ios_base::fmtflags flags;
    std::streamsize width;
    std::streamsize precision;
};

} // namespace kmt
