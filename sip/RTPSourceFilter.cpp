#include "RTPSourceFilter.h"

#include "RTPStream.h"
#include "kmt/log.h"

#include <cstring>

namespace rtp {

namespace {

// The IPv4 address of an IPv4 or IPv4-mapped IPv6 address, in network order; false for others.
bool ipv4Of(const kmt::SocketAddress& a, uint32_t& out) {
    if (a.family() == AF_INET) {
        out = reinterpret_cast<const plat::SOCKADDR_IN*>(a.sockaddr())->sin_addr.s_addr;
        return true;
    }
    if (a.family() == AF_INET6) {
        const uint8_t* b = reinterpret_cast<const plat::SOCKADDR_IN6*>(a.sockaddr())->sin6_addr.s6_addr;
        static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(b, mapped, 12) != 0)
            return false;
        std::memcpy(&out, b + 12, 4);
        return true;
    }
    return false;
}

} // namespace

bool RTPSourceFilter::sameEndpoint(const kmt::SocketAddress& a, const kmt::SocketAddress& b) {
    if (a.empty() || b.empty())
        return false;
    if (a.port() != b.port())
        return false;
    uint32_t a4 = 0, b4 = 0;
    const bool aIs4 = ipv4Of(a, a4), bIs4 = ipv4Of(b, b4);
    if (aIs4 || bIs4)
        return aIs4 && bIs4 && a4 == b4;
    if (a.family() != b.family())
        return false;
    try {
        return a == b;
    } catch (const std::exception&) {
        return false; // a family without a comparison is no match
    }
}

void RTPSourceFilter::expect(const kmt::SocketAddress& farEnd, int64_t nowMs) {
    if (expected && (sameEndpoint(farEnd, named) || (farEnd.empty() && named.empty())))
        return;
    expected = true;
    named = farEnd;
    current = kmt::SocketAddress();
    lastHeardMs = nowMs;
    candidate = kmt::SocketAddress();
    candidateRun = 0;
}

bool RTPSourceFilter::accept(const kmt::SocketAddress& source, const RTPHeader& h, int64_t nowMs) {
    if (!expected)
        expect(kmt::SocketAddress(), nowMs);
    const bool fromFarEnd = RTPStream::isAddressSet(named) && sameEndpoint(source, named);
    if (fromFarEnd || sameEndpoint(source, current)) {
        if (fromFarEnd && !sameEndpoint(source, current)) {
            if (!current.empty()) {
                KMT_LOG(kmt::logRtp, 2) << "rtp source back to the far end " << source << ":" << source.port();
            }
            current = source;
        }
        lastHeardMs = nowMs;
        return true;
    }
    if (sameEndpoint(source, candidate) && h.ssrc == candidateSsrc &&
        h.sequenceNumber == static_cast<uint16_t>(candidateSequence + 1)) {
        ++candidateRun;
    } else {
        if (!sameEndpoint(source, candidate)) {
            KMT_LOG(kmt::logRtp, 2) << "ignoring rtp from " << source << ":" << source.port()
                                    << ": not the far end " << named << ":" << named.port();
        }
        candidate = source;
        candidateSsrc = h.ssrc;
        candidateRun = 1;
    }
    candidateSequence = h.sequenceNumber;
    if (candidateRun < kRunPackets || nowMs - lastHeardMs < kQuietMs)
        return false;
    KMT_LOG(kmt::logRtp, 1) << "rtp source changed to " << source << ":" << source.port() << " (far end "
                            << named << ":" << named.port() << ")";
    current = source;
    lastHeardMs = nowMs;
    candidate = kmt::SocketAddress();
    candidateRun = 0;
    return true;
}

} // namespace rtp
