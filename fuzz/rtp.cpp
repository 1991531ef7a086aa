// Fuzzes RTP header decoding and the session's receive path (statistics, A-law expansion, jitter
// buffer) with arbitrary datagrams, as the receive thread delivers them.
#include "RTPSession.h"
#include "RTPStream.h"
#include "kmt/socket.h"
#include "plat/net.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace {

rtp::RTPSession* session() {
    static rtp::RTPSession* s = [] {
        kmt::ipMode = 1;
        plat::WSADATA data{};
        plat::WSAStartup(plat::MAKEWORD(2, 2), &data);
        return new rtp::RTPSession;
    }();
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        rtp::RTPPacket p = rtp::RTPStream::decodeRTP(data, size);
        if (p.payload < data || p.payload + p.payloadLength > data + size)
            __builtin_trap();
    } catch (const std::out_of_range&) {
    }
    rtp::RTPSession* s = session();
    // deliverDatagram catches and logs what a bad datagram throws.
    s->getStream().deliverDatagram(data, size);
    // Whatever arrives, the figures handed to Java stay sane: nothing expected below zero, no
    // negative jitter or late count.
    const rtp::CallStatistics stats = s->callStatistics();
    if (stats.expected < 0 || stats.jitter < 0 || stats.jumps80 < 0 || stats.jumps240 > stats.jumps80)
        __builtin_trap();
    if (size > 1 && (data[size - 1] & 1)) {
        int16_t frame[160];
        s->getFrame(0, frame, 160, (data[size - 1] & 2) != 0);
    }
    return 0;
}
