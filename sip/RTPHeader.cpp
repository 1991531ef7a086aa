#include "RTPHeader.h"

#include <cstring>
#include <stdexcept>

namespace rtp {

void EndianBuffer::reserve(size_t count) const {
    if (count > capacity - written)
        throw std::out_of_range("EndianBuffer overflow");
}

void EndianBuffer::put8(uint8_t value) {
    reserve(1);
    data[written++] = value;
}

void EndianBuffer::put16(uint16_t value) {
    reserve(2);
    storeBE16(data + written, value);
    written += 2;
}

void EndianBuffer::put32(uint32_t value) {
    reserve(4);
    storeBE32(data + written, value);
    written += 4;
}

void EndianBuffer::putBytes(const void* bytes, size_t count) {
    reserve(count);
    if (count)
        std::memcpy(data + written, bytes, count);
    written += count;
}

} // namespace rtp
