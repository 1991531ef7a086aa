// Which sender a call's media is taken from.
#pragma once

#include "RTPHeader.h"
#include "kmt/log.h"
#include "kmt/socket.h"

#include <cstdint>

namespace rtp {

// The stream is taken from one source at a time: an address and an SSRC. The far end the session
// description names (address and port) takes it at once, and back at once whenever it sends again,
// with its own SSRC: the first taken from it (any SSRC until then), or one it changed to, once the SSRC
// before has been quiet for kQuietMs.
//
// The far end's own changes take the stream at their first packet once the source followed has sent
// nothing for kChangeMs (a few packet times): a new SSRC from the address the session description names
// (a PBX whose 200 carries another SSRC than its early media, an SSRC change in a call) and the followed
// SSRC from another address (a NAT that moved the far end to a new port). While the source followed
// still sends, neither is played.
//
// Every other source (another address and another SSRC) is a stranger: it is followed only once it has
// sent kRunPackets packets in sequence and the source followed until then is no longer talking. A
// source is talking while its last packet came less than kQuietMs ago and its last kTalkPackets packets
// came within kQuietMs (some 8 a second at least, well below the 50 a second of 20 ms frames): a trickle
// from an old address does not keep a far end that moved out. Before any source was taken since the far
// end was named (the named far end has sent nothing yet) the run alone is enough: a far end that sends
// from another address than the one it names loses only that run.
//
// A source's rate counts from its last pause of kQuietMs or more: the named far end that comes
// back after a silence is talking from its first packet.
//
// Sources are tracked in a table of kSources entries, the one followed among them. A new source takes
// a free entry, else one that has been quiet for kQuietMs, else one of the address (host and port)
// holding the most entries, of the host holding the most among those: a sender that makes up a new
// source with every packet pushes out its own, not a far end's that is still making its run. A new
// source that is refused, a change of source and the far end's return are logged under bounds of
// the filter's own (the first line of each kind, then one per LogBound interval): the first line of
// a call tells that call's story (a NAT, a far end that names another address than it sends from),
// and the calls are the engine's own, where a bound of the process would hide one call's line
// behind another's.
class RTPSourceFilter {
public:
    static constexpr int64_t kQuietMs = 500;
    static constexpr int64_t kChangeMs = 60;
    static constexpr int kRunPackets = 5;
    static constexpr int kTalkPackets = 5;
    static constexpr int kSources = 6;

    // The far end of the session description. A far end other than the one before forgets the
    // sources heard; naming the same one again changes nothing.
    void expect(const kmt::SocketAddress& farEnd);
    // Whether the packet that came from source at nowMs is taken.
    bool accept(const kmt::SocketAddress& source, const RTPHeader& header, int64_t nowMs);

    const kmt::SocketAddress& farEnd() const { return named; }
    // The address of the source followed; empty until a packet was taken.
    const kmt::SocketAddress& followed() const;

    // The same host and port; an IPv4 address matches its IPv4-mapped IPv6 form.
    static bool sameEndpoint(const kmt::SocketAddress& a, const kmt::SocketAddress& b);

private:
    struct Source {
        kmt::SocketAddress address; // empty: a free entry
        uint32_t ssrc = 0;
        uint16_t sequence = 0;           // of its latest packet
        int run = 0;                     // its packets in sequence up to the latest
        int64_t heardMs[kTalkPackets]{}; // when its latest packets came since it last began talking
        int oldest = 0;                  // the index of the earliest of them

        int64_t lastMs() const { return heardMs[(oldest + kTalkPackets - 1) % kTalkPackets]; }
        void heard(uint16_t sequenceNumber, int64_t nowMs);
        bool talking(int64_t nowMs) const;
    };

    // The index of the source's entry; made gets whether it was made for it now.
    int entryOf(const kmt::SocketAddress& source, uint32_t ssrc, int64_t nowMs, bool& made);
    // The entry a new source takes (never the one followed).
    int entryToReplace(int64_t nowMs) const;
    // The far end changed to the SSRC followed from its address: that SSRC becomes its own once the
    // one before has been quiet for kQuietMs.
    void adoptFollowedSsrc(int64_t nowMs);

    kmt::SocketAddress named;
    bool expected = false; // expect has run
    // The named far end's own SSRC; any until it was first taken.
    bool namedSsrcKnown = false;
    uint32_t namedSsrc = 0;
    Source sources[kSources];
    int current = -1; // the entry followed
    kmt::LogBound refusedBound;
    kmt::LogBound changedBound;
    kmt::LogBound backBound;
};

} // namespace rtp
