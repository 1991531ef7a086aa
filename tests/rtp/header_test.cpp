// Header decoding bounds, the sender report layout, the bounded writer and the A-law codec.
#include "RTPSession.h"
#include "RTPStream.h"
#include "plat/time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A 12-byte header (version 2 unless first is given) followed by extra bytes.
Bytes packet(uint8_t first, uint8_t second, const Bytes& rest) {
    const uint8_t fixed[12] = {first, second, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};
    Bytes b(12 + rest.size());
    std::copy(fixed, fixed + 12, b.begin());
    std::copy(rest.begin(), rest.end(), b.begin() + 12);
    return b;
}

Bytes filler(size_t n, uint8_t v = 0x55) {
    return Bytes(n, v);
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct DecodeCase {
    const char* name;
    Bytes datagram;
    const char* error;    // null: decodes
    size_t payloadOffset; // where the payload must start
    size_t payloadLength;
};

TEST(DecodeRTP, EveryBoundOfTheHeader) {
    const DecodeCase cases[] = {
        {"empty", {}, "EndianBuffer overflow", 0, 0},
        {"eleven bytes", Bytes(11, 0x80), "EndianBuffer overflow", 0, 0},
        {"bare header", packet(0x80, 0x08, {}), nullptr, 12, 0},
        {"plain audio", packet(0x80, 0x08, filler(160)), nullptr, 12, 160},
        {"15 CSRCs present", packet(0x8F, 0x08, filler(60 + 4)), nullptr, 72, 4},
        {"15 CSRCs one byte short", packet(0x8F, 0x08, filler(59)), "EndianBuffer overflow", 0, 0},
        {"extension length 0", packet(0x90, 0x08, {0xBE, 0xDE, 0x00, 0x00, 1, 2, 3, 4}),
         "decodeRTP illegal header extension", 0, 0},
        {"extension length 1", packet(0x90, 0x08, join({{0xBE, 0xDE, 0x00, 0x01}, filler(4), filler(10)})),
         nullptr, 20, 10},
        {"extension after CSRCs", packet(0x92, 0x08, join({filler(8), {0, 0, 0, 1}, filler(4), filler(3)})),
         nullptr, 28, 3},
        {"extension header cut", packet(0x90, 0x08, {0xBE, 0xDE, 0x00}), "EndianBuffer overflow", 0, 0},
        {"extension data short", packet(0x90, 0x08, join({{0, 0, 0, 2}, filler(7)})), "EndianBuffer overflow",
         0, 0},
        {"extension longer than datagram", packet(0x90, 0x08, join({{0, 0, 0xFF, 0xFF}, filler(4)})),
         "decodeRTP illegal header extension", 0, 0},
        {"padding within payload", packet(0xA0, 0x08, join({filler(10), {0, 0, 3}})), nullptr, 12, 10},
        {"padding larger than payload", packet(0xA0, 0x08, join({filler(3), {200}})), nullptr, 12, 0},
        {"padding equal to payload", packet(0xA0, 0x08, join({filler(3), {4}})), nullptr, 12, 0},
        {"padding without payload", packet(0xA0, 0x08, {}), nullptr, 12, 0},
        {"padding count zero", packet(0xA0, 0x08, join({filler(5), {0}})), nullptr, 12, 6},
        {"version 0", packet(0x00, 0x08, filler(4)), nullptr, 12, 4},
        {"version 1", packet(0x40, 0x08, filler(4)), nullptr, 12, 4},
        {"version 3", packet(0xC0, 0x08, filler(4)), nullptr, 12, 4},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const uint8_t* data = c.datagram.empty() ? nullptr : c.datagram.data();
        if (c.error) {
            try {
                rtp::RTPStream::decodeRTP(data, c.datagram.size());
                ADD_FAILURE() << "no exception";
            } catch (const std::out_of_range& e) {
                EXPECT_EQ(std::string(e.what()), c.error);
            }
            continue;
        }
        rtp::RTPPacket p = rtp::RTPStream::decodeRTP(data, c.datagram.size());
        EXPECT_EQ(p.payload, data + c.payloadOffset);
        EXPECT_EQ(p.payloadLength, c.payloadLength);
    }
}

TEST(DecodeRTP, HeaderFields) {
    Bytes d = packet(0x80, 0x80 | 101, {1, 2, 3, 4});
    rtp::RTPPacket p = rtp::RTPStream::decodeRTP(d.data(), d.size());
    EXPECT_EQ(p.header.marker, 1);
    EXPECT_EQ(p.header.payloadType, 101);
    EXPECT_EQ(p.header.sequenceNumber, 0x1234);
    EXPECT_EQ(p.header.timestamp, 0xDEADBEEFu);
    EXPECT_EQ(p.header.ssrc, 0x01020304u);
    d[1] = 0x08;
    p = rtp::RTPStream::decodeRTP(d.data(), d.size());
    EXPECT_EQ(p.header.marker, 0);
    EXPECT_EQ(p.header.payloadType, 8);
}

TEST(EndianBuffer, OverflowLeavesTheBufferUnchanged) {
    uint8_t raw[6] = {};
    rtp::EndianBuffer b(raw, sizeof raw);
    b.put16(0x0102);
    b.put8(3);
    EXPECT_THROW(b.put32(0x04050607), std::out_of_range);
    EXPECT_EQ(b.size(), 3u);
    b.put16(0x0405);
    b.put8(6);
    EXPECT_THROW(b.put8(7), std::out_of_range);
    EXPECT_EQ(Bytes(raw, raw + 6), (Bytes{1, 2, 3, 4, 5, 6}));
    try {
        b.putBytes("x", 1);
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "EndianBuffer overflow");
    }
}

TEST(SenderReport, Layout) {
    uint8_t raw[64];
    rtp::EndianBuffer b(raw, sizeof raw);
    const int64_t before = plat::wallClockMs();
    rtp::RTPStream::buildSenderReport(b, 0xC800, 0x11223344, 0xA1B2C3D4);
    const int64_t after = plat::wallClockMs();
    ASSERT_EQ(b.size(), 28u);
    EXPECT_EQ(raw[0], 0x80);
    EXPECT_EQ(raw[1], 200);
    EXPECT_EQ(rtp::loadBE16(raw + 2), 0);
    EXPECT_EQ(rtp::loadBE32(raw + 4), 0x11223344u);
    const uint32_t seconds = rtp::loadBE32(raw + 8);
    const uint32_t fraction = rtp::loadBE32(raw + 12);
    EXPECT_GE(seconds, uint32_t(before / 1000 + 2208988800ll));
    EXPECT_LE(seconds, uint32_t(after / 1000 + 2208988800ll));
    // The fraction is a whole number of milliseconds: ms * 2^32 / 1000.
    const uint64_t ms = (uint64_t(fraction) * 1000 + 999) >> 32;
    EXPECT_LT(ms, 1000u);
    EXPECT_EQ(uint32_t((ms << 32) / 1000), fraction);
    EXPECT_EQ(rtp::loadBE32(raw + 16), 0xA1B2C3D4u);
    EXPECT_EQ(rtp::loadBE32(raw + 20), 0u);
    EXPECT_EQ(rtp::loadBE32(raw + 24), 0u);

    rtp::EndianBuffer small(raw, 27);
    EXPECT_THROW(rtp::RTPStream::buildSenderReport(small, 0xC800, 1, 2), std::out_of_range);
    EXPECT_EQ(small.size(), 0u);
}

// G.711 A-law compression written the textbook way, with the segment found by searching its end
// points, on the magnitude |x|: checks the table-driven encoder over every 16-bit sample.
uint8_t referenceALaw(int16_t sample) {
    const int magnitude = sample < 0 ? -int(sample) : int(sample);
    const int pcm = magnitude >> 3; // 13-bit
    const int mask = sample >= 0 ? 0xD5 : 0x55;
    static const int segmentEnd[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int seg = 0;
    while (seg < 8 && pcm > segmentEnd[seg])
        ++seg;
    if (seg >= 8)
        return static_cast<uint8_t>(0x7F ^ mask);
    int code = seg << 4;
    code |= seg < 2 ? (pcm >> 1) & 0x0F : (pcm >> seg) & 0x0F;
    return static_cast<uint8_t>(code ^ mask);
}

TEST(ALaw, EncoderFixedPoints) {
    EXPECT_EQ(rtp::RTPSession::encodeALaw(-32768), 0x2A);
    EXPECT_EQ(rtp::RTPSession::encodeALaw(32767), 0xAA);
    EXPECT_EQ(rtp::RTPSession::encodeALaw(0), 0xD5);
    EXPECT_EQ(rtp::RTPSession::decodeALaw(0xD5), 8);
    EXPECT_EQ(rtp::RTPSession::decodeALaw(0x55), -8);
    EXPECT_EQ(rtp::RTPSession::decodeALaw(0xAA), 32256);
    EXPECT_EQ(rtp::RTPSession::decodeALaw(0x2A), -32256);
}

TEST(ALaw, EncoderMatchesTheTextbookFormOverEverySample) {
    for (int x = -32768; x <= 32767; ++x)
        ASSERT_EQ(rtp::RTPSession::encodeALaw(static_cast<int16_t>(x)),
                  referenceALaw(static_cast<int16_t>(x)))
            << x;
}

TEST(ALaw, ExpansionTableRoundTripsEveryCode) {
    for (int c = 0; c < 256; ++c) {
        const int16_t v = rtp::RTPSession::decodeALaw(static_cast<uint8_t>(c));
        EXPECT_EQ(rtp::RTPSession::encodeALaw(v), c) << "code " << c << " value " << v;
    }
    // Monotonic in magnitude along each sign: decoded values of 0xD5.. rise with the code.
    int previous = 0;
    for (int code = 0; code < 128; ++code) {
        const int v = rtp::RTPSession::decodeALaw(static_cast<uint8_t>((code ^ 0x55) | 0x80));
        EXPECT_GT(v, previous) << code;
        EXPECT_EQ(rtp::RTPSession::decodeALaw(static_cast<uint8_t>(code ^ 0x55)), -v);
        previous = v;
    }
}

} // namespace
