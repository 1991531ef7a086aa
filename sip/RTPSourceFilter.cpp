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

const kmt::SocketAddress& RTPSourceFilter::followed() const {
    static const kmt::SocketAddress none;
    return current < 0 ? none : sources[current].address;
}

void RTPSourceFilter::Source::heard(uint16_t sequenceNumber, int64_t nowMs) {
    run = run > 0 && sequenceNumber == static_cast<uint16_t>(sequence + 1) ? run + 1 : 1;
    sequence = sequenceNumber;
    if (nowMs - lastMs() >= kQuietMs) {
        // It begins to talk again: its rate counts from here.
        for (int64_t& t : heardMs)
            t = nowMs;
        oldest = 0;
        return;
    }
    heardMs[oldest] = nowMs;
    oldest = (oldest + 1) % kTalkPackets;
}

bool RTPSourceFilter::Source::talking(int64_t nowMs) const {
    const int64_t last = lastMs();
    return nowMs - last < kQuietMs && last - heardMs[oldest] < kQuietMs;
}

void RTPSourceFilter::expect(const kmt::SocketAddress& farEnd) {
    if (expected && (sameEndpoint(farEnd, named) || (farEnd.empty() && named.empty())))
        return;
    expected = true;
    named = farEnd;
    namedSsrcKnown = false;
    for (Source& s : sources)
        s = Source();
    current = -1;
}

int RTPSourceFilter::entryOf(const kmt::SocketAddress& source, uint32_t ssrc, int64_t nowMs, bool& made) {
    made = false;
    for (int i = 0; i < kSources; ++i)
        if (!sources[i].address.empty() && sources[i].ssrc == ssrc &&
            sameEndpoint(sources[i].address, source))
            return i;
    const int chosen = entryToReplace(nowMs);
    Source& s = sources[chosen];
    s = Source();
    s.address = source;
    s.ssrc = ssrc;
    for (int64_t& t : s.heardMs)
        t = nowMs;
    made = true;
    return chosen;
}

int RTPSourceFilter::entryToReplace(int64_t nowMs) const {
    for (int i = 0; i < kSources; ++i)
        if (sources[i].address.empty())
            return i;
    for (int i = 0; i < kSources; ++i)
        if (i != current && nowMs - sources[i].lastMs() >= kQuietMs)
            return i;
    // Each entry's address and host, by how many entries they hold.
    int atAddress[kSources] = {}, atHost[kSources] = {};
    for (int i = 0; i < kSources; ++i)
        for (int j = 0; j < kSources; ++j) {
            const kmt::SocketAddress& a = sources[i].address;
            atAddress[i] += sameEndpoint(a, sources[j].address);
            atHost[i] += sameEndpoint(a, sources[j].address.withPort(a.port()));
        }
    int chosen = -1;
    for (int i = 0; i < kSources; ++i) {
        if (i == current)
            continue;
        if (chosen >= 0) {
            const Source &s = sources[i], &c = sources[chosen];
            const int byAddress = atAddress[i] - atAddress[chosen], byHost = atHost[i] - atHost[chosen];
            const bool before = byAddress != 0   ? byAddress > 0
                                : byHost != 0    ? byHost > 0
                                : s.run != c.run ? s.run < c.run
                                                 : s.lastMs() < c.lastMs();
            if (!before)
                continue;
        }
        chosen = i;
    }
    return chosen;
}

void RTPSourceFilter::adoptFollowedSsrc(int64_t nowMs) {
    for (int i = 0; i < kSources; ++i)
        if (i != current && sources[i].ssrc == namedSsrc && sameEndpoint(sources[i].address, named) &&
            nowMs - sources[i].lastMs() < kQuietMs)
            return;
    namedSsrcKnown = true;
    namedSsrc = sources[current].ssrc;
}

bool RTPSourceFilter::accept(const kmt::SocketAddress& source, const RTPHeader& h, int64_t nowMs) {
    if (!expected)
        expect(kmt::SocketAddress());
    const bool atFarEnd = RTPStream::isAddressSet(named) && sameEndpoint(source, named);
    const bool farEndItself = atFarEnd && (!namedSsrcKnown || h.ssrc == namedSsrc);
    bool made = false;
    const int index = entryOf(source, h.ssrc, nowMs, made);
    Source& s = sources[index];
    s.heard(h.sequenceNumber, nowMs);
    if (index == current) {
        if (atFarEnd && h.ssrc != namedSsrc)
            adoptFollowedSsrc(nowMs);
        return true;
    }
    if (farEndItself) {
        if (current >= 0) {
            KMT_LOG_BOUNDED(kmt::logRtp, 2, backBound)
                << "rtp source back to the far end " << source << ":" << source.port();
        }
        namedSsrcKnown = true;
        namedSsrc = h.ssrc;
        current = index;
        return true;
    }
    if (made) {
        if (atFarEnd) {
            KMT_LOG_BOUNDED(kmt::logRtp, 2, refusedBound)
                << "ignoring rtp from " << source << ":" << source.port() << " with ssrc " << h.ssrc
                << ": the far end sends with ssrc " << namedSsrc;
        } else {
            KMT_LOG_BOUNDED(kmt::logRtp, 2, refusedBound)
                << "ignoring rtp from " << source << ":" << source.port() << ": not the far end " << named
                << ":" << named.port();
        }
    }
    // The far end's own change: a new SSRC from its address, or the followed SSRC from another.
    const bool farEndsChange = current >= 0 && (atFarEnd || h.ssrc == sources[current].ssrc);
    if (farEndsChange) {
        if (nowMs - sources[current].lastMs() < kChangeMs)
            return false;
    } else if (s.run < kRunPackets || (current >= 0 && sources[current].talking(nowMs))) {
        return false;
    }
    KMT_LOG_BOUNDED(kmt::logRtp, 1, changedBound)
        << "rtp source changed to " << source << ":" << source.port() << " (far end " << named << ":"
        << named.port() << ")";
    current = index;
    if (atFarEnd)
        adoptFollowedSsrc(nowMs);
    return true;
}

} // namespace rtp
