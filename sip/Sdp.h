// SDP offer and answer for one audio stream: writing our description, reading the peer's,
// choosing the audio media and matching codecs. Only IPv4 connection data is understood.
#pragma once

#include "kmt/socket.h"

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace sip {

struct SdpCodec {
    int32_t payloadType = 0;
    std::string name; // encoding name: of its rtpmap, else of the static type; empty when neither
    int32_t rate = 0; // clock rate as the name's, 0 when not given
    std::string fmtp;
};

// Direction values: 0 "recvonly", 1 "sendrecv", 2 "sendonly", 3 "inactive".
const char* sdpDirectionName(int direction);

// The direction of an answer to a stream offered with the given direction, when this side wants the
// direction given: a sendonly offer is received only, a recvonly offer only sent to, an inactive one
// stays inactive.
int sdpAnswerDirection(int offered, int wanted);

// The direction of a stream as the other side sees it: sendonly and recvonly change places.
int sdpReverseDirection(int direction);

// Whether a Content-Type value names SDP: "application/sdp" in any case, parameters allowed.
bool isSdpContentType(const std::string& contentType);

struct SdpMedia {
    std::string name;
    std::string proto;
    int port = 0;
    int rtcpPort = 0; // 0 when the media has no rtcp attribute
    int direction = 1;
    std::vector<kmt::SocketAddress> addresses; // c= lines inside this media section
    std::vector<SdpCodec> codecs;              // in the order of the m= line
    std::vector<std::string> formats;          // every format token of the m= line, whatever the proto
};

class SdpDescription {
public:
    // The first audio RTP/AVP media that offers the wanted codec, now the selected one; null when
    // none qualifies.
    const SdpMedia* selectAudio(const SdpCodec& wanted);
    // The first codec of the selected media that matches: by payload type unless the wanted type is
    // dynamic (96 or more), by name when one is wanted, by rate when one is wanted.
    const SdpCodec* findCodec(const SdpCodec& wanted) const;
    const SdpMedia* selectedMedia() const { return selected < 0 ? nullptr : &media[selected]; }
    // Where to send RTP: the selected media's own address (else the session's) with its port; the
    // session's address as it is without a selected media.
    kmt::SocketAddress remoteRtpAddress() const;

    kmt::SocketAddress address; // session-level connection address; all zero when none
    int direction = 1;
    std::vector<SdpMedia> media;
    int selected = -1; // index into media, -1 for none
};

// What this side describes.
struct SdpLocalMedia {
    kmt::SocketAddress address;
    int port = 0;
    int rtcpPort = 0; // 0: no rtcp attribute
    std::vector<SdpCodec> codecs;
    int direction = 1;

    // One media section with the given name, proto and codec list and this side's ports and
    // direction.
    void writeSdpMedia(std::ostream& os, const std::string& name, const std::string& proto,
                       const std::vector<SdpCodec>& codecList) const;
    // The session lines, then one section per offered media: the selected one with our codecs, every
    // other refused (port 0, its offered formats, no attributes).
    void writeSdpAnswer(std::ostream& os, const SdpDescription& offer) const;
};

// The session lines v=, o=, s=, c= and t= for the address.
void writeSdpSession(std::ostream& os, const kmt::SocketAddress& address);

// Resolves the address text of a c= line.
using SdpHostResolver = kmt::SocketAddress (*)(const char* host);

// Reads an SDP body to the end of the stream. Throws std::runtime_error "unsuported network
// protocol" for a connection line that is not "IN IP4 <address>"; a failed lookup of the address
// propagates. The resolver looks up host names too, blocking for as long as the system resolver
// takes.
SdpDescription parseSdp(std::istream& in, SdpHostResolver resolve = &kmt::SocketAddress::fromHost);

} // namespace sip
