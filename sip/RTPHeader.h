// The fixed header of a received RTP packet and the bounded big-endian writer used to build packets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtp {

struct RTPHeader {
    uint16_t sequenceNumber = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    int marker = 0;      // 0 or 1
    int payloadType = 0; // 0-127
};

// A decoded datagram: the header and where its payload lies inside the datagram.
struct RTPPacket {
    RTPHeader header;
    const uint8_t* payload = nullptr;
    size_t payloadLength = 0;
};

// Writes big-endian values into a caller's array; a write that does not fit throws
// std::out_of_range "EndianBuffer overflow" and leaves the buffer unchanged.
class EndianBuffer {
public:
    EndianBuffer(uint8_t* data_, size_t capacity_) : data(data_), capacity(capacity_) {}

    void put8(uint8_t value);
    void put16(uint16_t value);
    void put32(uint32_t value);
    void putBytes(const void* bytes, size_t count);

    uint8_t* bytes() const { return data; }
    size_t size() const { return written; }
    size_t available() const { return capacity - written; }

private:
    void reserve(size_t count) const;

    uint8_t* data;
    size_t written = 0;
    size_t capacity;
};

// Big-endian stores into a fixed array whose size the caller has checked.
inline void storeBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void storeBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline uint16_t loadBE16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t loadBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

} // namespace rtp
