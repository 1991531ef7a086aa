#include "Sdp.h"

#include "SipAddress.h"
#include "plat/time.h"

#include <cctype>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace sip {

namespace {

const char* const directionNames[4] = {"recvonly", "sendrecv", "sendonly", "inactive"};

const SdpCodec* findCodecIn(const SdpMedia& media, const SdpCodec& wanted) {
    for (const SdpCodec& codec : media.codecs) {
        if (wanted.payloadType < 96 && codec.payloadType != wanted.payloadType)
            continue;
        if (!wanted.name.empty() && codec.name != wanted.name)
            continue;
        if (wanted.rate != 0 && codec.rate != wanted.rate)
            continue;
        return &codec;
    }
    return nullptr;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// A UDP port as an SDP line gives it; anything outside the port range reads as 0.
int portOrZero(long value) {
    return value >= 0 && value <= 65535 ? static_cast<int>(value) : 0;
}

std::string trimRight(std::string text) {
    size_t end = text.find_last_not_of(" \t\r\n\v\f");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

void readConnection(SdpDescription& description, const std::string& line, SdpHostResolver resolve) {
    std::istringstream in(line);
    std::string networkType, addressType, host;
    if (!(in >> networkType >> addressType >> host) || networkType != "IN" || addressType != "IP4")
        throw std::runtime_error("unsuported network protocol");
    kmt::SocketAddress address = resolve(host.c_str());
    if (description.media.empty()) {
        description.address = address;
        if (isUnspecifiedAddress(address))
            description.direction = 2;
    } else {
        description.media.back().addresses.push_back(address);
    }
}

// The encoding of a static payload type that an m= line may give without rtpmap (the audio types of the
// RTP audio/video profile); null for a type that has none.
struct StaticEncoding {
    const char* name;
    int32_t rate;
};
const StaticEncoding* staticEncoding(int32_t payloadType) {
    static const StaticEncoding table[] = {
        {"PCMU", 8000}, {nullptr, 0},   {nullptr, 0},    {"GSM", 8000},   {"G723", 8000},
        {"DVI4", 8000}, {"DVI4", 16000}, {"LPC", 8000},   {"PCMA", 8000},  {"G722", 8000},
        {"L16", 44100}, {"L16", 44100}, {"QCELP", 8000}, {"CN", 8000},    {"MPA", 90000},
        {"G728", 8000}, {"DVI4", 11025}, {"DVI4", 22050}, {"G729", 8000},
    };
    if (payloadType < 0 || payloadType >= static_cast<int32_t>(sizeof table / sizeof table[0]))
        return nullptr;
    return table[payloadType].name ? &table[payloadType] : nullptr;
}

void readMedia(SdpDescription& description, const std::string& line) {
    std::istringstream in(line);
    SdpMedia media;
    long port = 0;
    in >> media.name >> port;
    if (in && in.peek() == '/') {
        int count;
        in.get();
        in >> count;
    }
    in >> media.proto;
    media.port = portOrZero(port);
    media.direction = description.direction;
    const bool rtpAvp = media.proto == "RTP/AVP";
    bool numbers = rtpAvp;
    std::string token;
    while (in >> token) {
        media.formats.push_back(token);
        if (!numbers)
            continue;
        // Payload types are read until a token is not a number.
        std::istringstream number(token);
        int32_t payloadType;
        if (number >> payloadType) {
            SdpCodec codec;
            codec.payloadType = payloadType;
            // A static type needs no rtpmap line; one that follows still names it.
            if (const StaticEncoding* encoding = staticEncoding(payloadType)) {
                codec.name = encoding->name;
                codec.rate = encoding->rate;
            }
            media.codecs.push_back(codec);
            if (!number.eof())
                numbers = false;
        } else {
            numbers = false;
        }
    }
    description.media.push_back(std::move(media));
}

void readAttribute(SdpDescription& description, const std::string& line) {
    if (startsWith(line, "rtpmap:")) {
        if (description.media.empty())
            return;
        std::istringstream in(line.substr(7));
        int32_t payloadType;
        if (!(in >> payloadType))
            return;
        std::string name;
        int32_t rate = 0;
        in >> std::ws;
        std::getline(in, name, '/');
        name = trimRight(name);
        if (!(in >> rate))
            rate = 0;
        for (SdpCodec& codec : description.media.back().codecs) {
            if (codec.payloadType == payloadType) {
                codec.name = name;
                codec.rate = rate;
            }
        }
    } else if (startsWith(line, "rtcp:")) {
        if (description.media.empty())
            return;
        std::istringstream in(line.substr(5));
        long port = 0;
        if (in >> port)
            description.media.back().rtcpPort = portOrZero(port);
    } else {
        for (int direction = 0; direction < 4; ++direction) {
            if (line.compare(0, 8, directionNames[direction]) == 0) {
                if (description.media.empty())
                    description.direction = direction;
                else
                    description.media.back().direction = direction;
                return;
            }
        }
    }
}

} // namespace

const char* sdpDirectionName(int direction) {
    return direction >= 0 && direction < 4 ? directionNames[direction] : nullptr;
}

int sdpAnswerDirection(int offered, int wanted) {
    switch (offered) {
    case 0: // recvonly: we may only send
        return wanted == 1 || wanted == 2 ? 2 : 3;
    case 2: // sendonly: we may only receive
        return wanted == 1 || wanted == 0 ? 0 : 3;
    case 3:
        return 3;
    default:
        return wanted;
    }
}

int sdpReverseDirection(int direction) {
    return direction == 0 ? 2 : direction == 2 ? 0 : direction;
}

bool isSdpContentType(const std::string& contentType) {
    const std::string type = trimRight(contentType.substr(0, contentType.find(';')));
    const size_t start = type.find_first_not_of(" \t");
    if (start == std::string::npos)
        return false;
    static const char sdp[] = "application/sdp";
    const std::string bare = type.substr(start);
    if (bare.size() != sizeof(sdp) - 1)
        return false;
    for (size_t i = 0; i < bare.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(bare[i])) != sdp[i])
            return false;
    return true;
}

const SdpMedia* SdpDescription::selectAudio(const SdpCodec& wanted) {
    selected = -1;
    for (size_t i = 0; i < media.size(); ++i) {
        const SdpMedia& m = media[i];
        if (m.name == "audio" && m.proto == "RTP/AVP" && findCodecIn(m, wanted)) {
            selected = static_cast<int>(i);
            return &m;
        }
    }
    return nullptr;
}

const SdpCodec* SdpDescription::findCodec(const SdpCodec& wanted) const {
    const SdpMedia* media = selectedMedia();
    return media ? findCodecIn(*media, wanted) : nullptr;
}

kmt::SocketAddress SdpDescription::remoteRtpAddress() const {
    const SdpMedia* m = selectedMedia();
    if (!m)
        return address;
    const kmt::SocketAddress& base = m->addresses.empty() ? address : m->addresses.front();
    return base.withPort(static_cast<uint16_t>(m->port));
}

void writeSdpSession(std::ostream& os, const kmt::SocketAddress& address) {
    long long clock = static_cast<long long>(plat::processClockMs());
    std::string host = address.toString();
    os << "v=0\r\n"
       << "o=- " << clock << ' ' << clock << " IN IP4 " << host << "\r\n"
       << "s= \r\n"
       << "c=IN IP4 " << host << "\r\n"
       << "t=0 0\r\n";
}

void SdpLocalMedia::writeSdpMedia(std::ostream& os, const std::string& name, const std::string& proto,
                                  const std::vector<SdpCodec>& codecList) const {
    os << "m=" << name << ' ' << port << ' ' << proto;
    for (const SdpCodec& codec : codecList)
        os << ' ' << codec.payloadType;
    os << "\r\n";
    if (rtcpPort != 0)
        os << "a=rtcp:" << rtcpPort << "\r\n";
    if (const char* attribute = sdpDirectionName(direction))
        os << "a=" << attribute << "\r\n";
    for (const SdpCodec& codec : codecList) {
        if (!codec.name.empty()) {
            os << "a=rtpmap:" << codec.payloadType << ' ' << codec.name;
            if (codec.rate != 0)
                os << '/' << codec.rate;
            os << "\r\n";
        }
        if (!codec.fmtp.empty())
            os << "a=fmtp:" << codec.payloadType << ' ' << codec.fmtp << "\r\n";
    }
}

void SdpLocalMedia::writeSdpAnswer(std::ostream& os, const SdpDescription& offer) const {
    writeSdpSession(os, address);
    for (size_t i = 0; i < offer.media.size(); ++i) {
        const SdpMedia& offered = offer.media[i];
        if (static_cast<int>(i) == offer.selected) {
            writeSdpMedia(os, offered.name, offered.proto, codecs);
            continue;
        }
        // A stream we do not take is refused with port 0 and the formats it was offered with.
        os << "m=" << offered.name << " 0 " << offered.proto;
        for (const std::string& format : offered.formats)
            os << ' ' << format;
        os << "\r\n";
    }
}

SdpDescription parseSdp(std::istream& in, SdpHostResolver resolve) {
    SdpDescription description;
    std::string line;
    while (in.good()) {
        int type = in.get();
        if (type == '\n')
            type = in.get();
        if (type == std::char_traits<char>::eof())
            break;
        int equals = in.get();
        if (equals != '=') {
            if (equals != std::char_traits<char>::eof())
                in.unget();
            std::getline(in, line);
            continue;
        }
        std::getline(in, line);
        switch (type) {
        case 'c':
            readConnection(description, line, resolve);
            break;
        case 'm':
            readMedia(description, line);
            break;
        case 'a':
            readAttribute(description, line);
            break;
        default:
            break;
        }
    }
    return description;
}

} // namespace sip
