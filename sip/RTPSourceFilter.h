// Which sender a call's media is taken from.
#pragma once

#include "RTPHeader.h"
#include "kmt/socket.h"

#include <cstdint>

namespace rtp {

// The far end the session description names (address and port) is always heard. Any other sender
// is refused, with one allowance for a far end behind NAT, whose packets come from an address of its
// router: a new sender is followed once the one followed until then (or, before anything came, the
// named far end) has been quiet for kQuietMs and the new one has sent kRunPackets packets in
// sequence from one address with one SSRC. A sender that talks over the far end never takes the call.
class RTPSourceFilter {
public:
    static constexpr int64_t kQuietMs = 500;
    static constexpr int kRunPackets = 5;

    // The far end of the session description, named at nowMs. A far end other than the one before
    // forgets the sender followed; naming the same one again changes nothing.
    void expect(const kmt::SocketAddress& farEnd, int64_t nowMs);
    // Whether the packet that came from source at nowMs is taken; logs the refusal of a new sender
    // once and the change of sender.
    bool accept(const kmt::SocketAddress& source, const RTPHeader& header, int64_t nowMs);

    const kmt::SocketAddress& farEnd() const { return named; }
    const kmt::SocketAddress& followed() const { return current; }

    // The same host and port; an IPv4 address matches its IPv4-mapped IPv6 form.
    static bool sameEndpoint(const kmt::SocketAddress& a, const kmt::SocketAddress& b);

private:
    kmt::SocketAddress named;
    kmt::SocketAddress current; // empty until a packet was taken
    int64_t lastHeardMs = 0;    // of the sender followed, or when the far end was named
    bool expected = false;      // expect has run
    kmt::SocketAddress candidate;
    uint32_t candidateSsrc = 0;
    uint16_t candidateSequence = 0;
    int candidateRun = 0;
};

} // namespace rtp
