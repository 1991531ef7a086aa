#include "Sdp.h"
#include "SipInMessage.h"
#include "SipTestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

using siptest::addr;

namespace {

const sip::SdpCodec pcma{8, "PCMA", 8000, ""};
const sip::SdpCodec telephoneEvent{101, "telephone-event", 8000, "0-11"};

// The o= line carries a clock value; both copies must be the same decimal number, which is then
// written as C so the rest of the text compares exactly.
std::string withClockMasked(const std::string& text) {
    static const std::regex origin("o=- ([0-9]+) ([0-9]+) IN IP4 ");
    std::smatch m;
    if (!std::regex_search(text, m, origin) || m[1] != m[2])
        return "bad o= line in:\n" + text;
    return std::regex_replace(text, origin, "o=- C C IN IP4 ");
}

sip::SdpLocalMedia localMedia(int port, int rtcpPort, int direction, std::vector<sip::SdpCodec> codecs) {
    sip::SdpLocalMedia media;
    media.address = addr("10.0.0.5", 0);
    media.port = port;
    media.rtcpPort = rtcpPort;
    media.direction = direction;
    media.codecs = std::move(codecs);
    return media;
}

sip::SdpDescription parse(const std::string& text) {
    std::istringstream in(text);
    return sip::parseSdp(in);
}

const std::string session = "v=0\r\n"
                            "o=- C C IN IP4 10.0.0.5\r\n"
                            "s= \r\n"
                            "c=IN IP4 10.0.0.5\r\n"
                            "t=0 0\r\n";

TEST(SdpWriter, InviteOffer) {
    sip::SdpLocalMedia media = localMedia(40000, 40001, 1, {});
    std::ostringstream os;
    sip::writeSdpSession(os, media.address);
    media.writeSdpMedia(os, "audio", "RTP/AVP", {pcma, telephoneEvent});
    EXPECT_EQ(withClockMasked(os.str()), session + "m=audio 40000 RTP/AVP 8 101\r\n"
                                                   "a=rtcp:40001\r\n"
                                                   "a=sendrecv\r\n"
                                                   "a=rtpmap:8 PCMA/8000\r\n"
                                                   "a=rtpmap:101 telephone-event/8000\r\n"
                                                   "a=fmtp:101 0-11\r\n");
}

TEST(SdpWriter, MediaSectionVariants) {
    const struct {
        int rtcpPort;
        int direction;
        std::vector<sip::SdpCodec> codecs;
        const char* expected;
    } cases[] = {
        {0, 0, {pcma}, "m=audio 4000 RTP/AVP 8\r\na=recvonly\r\na=rtpmap:8 PCMA/8000\r\n"},
        {0, 2, {}, "m=audio 4000 RTP/AVP\r\na=sendonly\r\n"},
        {0, 3, {{0, "", 0, ""}}, "m=audio 4000 RTP/AVP 0\r\na=inactive\r\n"},
        {9,
         4,
         {{96, "opus", 0, "x=1"}},
         "m=audio 4000 RTP/AVP 96\r\na=rtcp:9\r\na=rtpmap:96 opus\r\na=fmtp:96 x=1\r\n"},
        {0, -1, {{97, "", 0, "y"}}, "m=audio 4000 RTP/AVP 97\r\na=fmtp:97 y\r\n"},
    };
    for (const auto& c : cases) {
        std::ostringstream os;
        localMedia(4000, c.rtcpPort, c.direction, {}).writeSdpMedia(os, "audio", "RTP/AVP", c.codecs);
        EXPECT_EQ(os.str(), c.expected);
    }
}

TEST(SdpWriter, AnswerGivesEveryOfferedMediaASectionAndCodecsOnlyToTheSelectedOne) {
    sip::SdpDescription offer = parse("v=0\r\n"
                                      "c=IN IP4 10.0.0.9\r\n"
                                      "m=video 5000 RTP/AVP 31\r\n"
                                      "m=audio 6000 RTP/AVP 0 8\r\n"
                                      "a=rtpmap:8 PCMA/8000\r\n"
                                      "m=audio 7000 RTP/SAVP 8\r\n");
    ASSERT_NE(offer.selectAudio(pcma), nullptr);
    std::ostringstream os;
    localMedia(40000, 40001, 1, {pcma, {101, "telephone-event", 8000, "0-11"}}).writeSdpAnswer(os, offer);
    // Streams not taken are refused: port 0 and the formats they were offered with.
    EXPECT_EQ(withClockMasked(os.str()), session + "m=video 0 RTP/AVP 31\r\n"
                                                   "m=audio 40000 RTP/AVP 8 101\r\n"
                                                   "a=rtcp:40001\r\n"
                                                   "a=sendrecv\r\n"
                                                   "a=rtpmap:8 PCMA/8000\r\n"
                                                   "a=rtpmap:101 telephone-event/8000\r\n"
                                                   "a=fmtp:101 0-11\r\n"
                                                   "m=audio 0 RTP/SAVP 8\r\n");
}

TEST(SdpAnswer, DirectionFollowsTheOffer) {
    struct Row {
        int offered, wanted, answered;
    };
    const Row rows[] = {
        {1, 1, 1}, {2, 1, 0}, {0, 1, 2}, {3, 1, 3}, // sendrecv wanted
        {1, 2, 2}, {2, 2, 3}, {0, 2, 2}, {3, 2, 3}, // this side holds
    };
    for (const Row& r : rows)
        EXPECT_EQ(sip::sdpAnswerDirection(r.offered, r.wanted), r.answered)
            << "offered " << r.offered << " wanted " << r.wanted;
}

TEST(SdpContentType, MediaTypeInAnyCaseWithParameters) {
    struct Row {
        const char* value;
        bool sdp;
    };
    const Row rows[] = {
        {"application/sdp", true},  {"Application/SDP", true}, {"application/sdp;charset=utf-8", true},
        {" application/sdp ; x=1", true}, {"application/sdpx", false}, {"application/sd", false},
        {"text/plain", false},      {"", false},               {";application/sdp", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(sip::isSdpContentType(r.value), r.sdp) << "'" << r.value << "'";
}

TEST(SdpReader, ReadsMediaCodecsAttributesAndAddresses) {
    sip::SdpDescription d = parse("v=0\r\n"
                                  "o=peer 1 1 IN IP4 10.0.0.9\r\n"
                                  "s=-\r\n"
                                  "c=IN IP4 10.0.0.9\r\n"
                                  "t=0 0\r\n"
                                  "m=audio 49170/2 RTP/AVP 0 8 96 bad 9\r\n"
                                  "c=IN IP4 10.0.0.10\r\n"
                                  "c=IN IP4 10.0.0.11\r\n"
                                  "a=rtpmap:8 PCMA/8000\r\n"
                                  "a=rtpmap:96 telephone-event/8000/1\r\n"
                                  "a=rtpmap:77 ghost/8000\r\n"
                                  "a=rtcp:49171 IN IP4 10.0.0.10\r\n"
                                  "a=fmtp:96 0-15\r\n"
                                  "a=ptime:20\r\n"
                                  "a=sendonly\r\n"
                                  "m=audio 0 RTP/SAVP 8\r\n"
                                  "a=rtpmap:8 PCMA/8000\r\n");
    EXPECT_EQ(d.address, addr("10.0.0.9", 0));
    EXPECT_EQ(d.direction, 1);
    ASSERT_EQ(d.media.size(), 2u);

    const sip::SdpMedia& audio = d.media[0];
    EXPECT_EQ(audio.name, "audio");
    EXPECT_EQ(audio.proto, "RTP/AVP");
    EXPECT_EQ(audio.port, 49170);
    EXPECT_EQ(audio.rtcpPort, 49171);
    EXPECT_EQ(audio.direction, 2);
    ASSERT_EQ(audio.addresses.size(), 2u);
    EXPECT_EQ(audio.addresses[0], addr("10.0.0.10", 0));
    ASSERT_EQ(audio.codecs.size(), 3u); // the list ends at the first token that is not a number
    EXPECT_EQ(audio.codecs[0].payloadType, 0);
    EXPECT_EQ(audio.codecs[0].name, "PCMU"); // a static type without rtpmap: the profile's name
    EXPECT_EQ(audio.codecs[0].rate, 8000);
    EXPECT_EQ(audio.codecs[1].name, "PCMA");
    EXPECT_EQ(audio.codecs[1].rate, 8000);
    EXPECT_EQ(audio.codecs[2].name, "telephone-event");
    EXPECT_EQ(audio.codecs[2].rate, 8000);
    EXPECT_EQ(audio.codecs[2].fmtp, ""); // fmtp is not read

    // Other protocols stay in the list without codecs.
    EXPECT_EQ(d.media[1].proto, "RTP/SAVP");
    EXPECT_TRUE(d.media[1].codecs.empty());
    EXPECT_EQ(d.media[1].direction, 1);
}

TEST(SdpReader, UnspecifiedSessionAddressMakesFollowingMediaSendOnly) {
    sip::SdpDescription d = parse("v=0\r\n"
                                  "c=IN IP4 0.0.0.0\r\n"
                                  "m=audio 4000 RTP/AVP 8\r\n"
                                  "m=audio 4002 RTP/AVP 8\r\n"
                                  "a=sendrecv\r\n"
                                  "c=IN IP4 0.0.0.0\r\n");
    EXPECT_EQ(d.direction, 2);
    ASSERT_EQ(d.media.size(), 2u);
    EXPECT_EQ(d.media[0].direction, 2);
    EXPECT_EQ(d.media[1].direction, 1); // its own attribute wins; its c= line changes nothing

    sip::SdpDescription late = parse("m=audio 4000 RTP/AVP 8\nc=IN IP4 0.0.0.0\n");
    EXPECT_EQ(late.direction, 1);
    EXPECT_EQ(late.media[0].direction, 1);

    // A session-level direction line sets the default for the media that follow.
    sip::SdpDescription held = parse("a=inactive\nm=audio 4000 RTP/AVP 8\n");
    EXPECT_EQ(held.media[0].direction, 3);
}

TEST(SdpReader, OnlyInIp4ConnectionDataIsUnderstood) {
    for (const char* line : {"c=IN IP6 ::1\r\n", "c=IN IP4\r\n", "c=in IP4 10.0.0.1\r\n",
                             "c=IN ip4 10.0.0.1\r\n", "c=\r\n", "c=ATM NSAP 47.0005\r\n"}) {
        try {
            parse(std::string("v=0\r\n") + line);
            ADD_FAILURE() << "no error for " << line;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "unsuported network protocol") << line;
        }
    }
}

const sip::SdpCodec* MatchIn(const std::string& offer, const sip::SdpCodec& wanted) {
    static sip::SdpDescription d;
    d = parse(offer);
    return d.selectAudio(wanted) ? d.findCodec(wanted) : nullptr;
}

TEST(SdpReader, AudioSelectionAndCodecMatching) {
    const std::string withRtpmap = "m=audio 4000 RTP/AVP 0 8 101\r\na=rtpmap:8 PCMA/8000\r\n";
    const std::string withoutRtpmap = "m=audio 4000 RTP/AVP 0 8 101\r\n";
    const std::string dynamicEvent = "m=audio 4000 RTP/AVP 8 96\r\na=rtpmap:96 telephone-event/8000\r\n";
    // As linphone offers and answers: rtpmap lines for the dynamic types and for 0, none for 8 and 18.
    const std::string linphoneOffer = "m=audio 7082 RTP/AVP 96 97 98 0 8 18 99 100 101\r\n"
                                      "a=rtpmap:96 opus/48000/2\r\na=rtpmap:97 speex/16000\r\n"
                                      "a=rtpmap:98 speex/8000\r\na=rtpmap:0 PCMU/8000\r\n"
                                      "a=rtpmap:99 telephone-event/48000\r\na=rtpmap:100 telephone-event/16000\r\n"
                                      "a=rtpmap:101 telephone-event/8000\r\n";
    const std::string linphoneAnswer = "m=audio 7082 RTP/AVP 8 101\r\na=rtpmap:101 telephone-event/8000\r\n";
    const std::string renamed = "m=audio 4000 RTP/AVP 8\r\na=rtpmap:8 L8/16000\r\n";
    const std::string pcmuOnly = "m=audio 4000 RTP/AVP 0 101\r\na=rtpmap:101 telephone-event/8000\r\n";
    const std::string avpf = "m=audio 4000 RTP/AVPF 8 101\r\na=rtpmap:8 PCMA/8000\r\n";
    const std::string savp = "m=audio 4000 RTP/SAVP 8 101\r\na=rtpmap:8 PCMA/8000\r\n"
                             "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:AAAA\r\n";
    const std::string savpf = "m=audio 4000 RTP/SAVPF 8\r\n";
    const struct {
        const char* name;
        const std::string& offer;
        sip::SdpCodec wanted;
        int payloadType; // -1: no match
    } cases[] = {
        {"static type with its rtpmap", withRtpmap, pcma, 8},
        {"static type without rtpmap: named by the profile", withoutRtpmap, pcma, 8},
        {"static type by number only", withoutRtpmap, {8, "", 0, ""}, 8},
        {"PCMU without rtpmap", withoutRtpmap, {0, "PCMU", 8000, ""}, 0},
        {"linphone's offer: PCMA without rtpmap among dynamic types", linphoneOffer, pcma, 8},
        {"linphone's offer: its 8 kHz telephone-event", linphoneOffer, telephoneEvent, 101},
        {"linphone's answer", linphoneAnswer, pcma, 8},
        {"an rtpmap names a static type otherwise", renamed, pcma, -1},
        {"no common codec: PCMU only", pcmuOnly, pcma, -1},
        {"RTP/AVPF is not taken", avpf, pcma, -1},
        {"RTP/SAVP is not taken", savp, pcma, -1},
        {"RTP/SAVPF is not taken", savpf, {8, "", 0, ""}, -1},
        {"wrong rate", withRtpmap, {8, "PCMA", 16000, ""}, -1},
        {"name compared exactly", withRtpmap, {8, "pcma", 8000, ""}, -1},
        {"dynamic type matched by name and rate", dynamicEvent, telephoneEvent, 96},
        {"dynamic type absent", withRtpmap, telephoneEvent, -1},
    };
    for (const auto& c : cases) {
        const sip::SdpCodec* found = MatchIn(c.offer, c.wanted);
        EXPECT_EQ(found ? found->payloadType : -1, c.payloadType) << c.name;
    }
}

TEST(SdpReader, StaticTypesWithoutRtpmapTakeTheProfilesEncoding) {
    sip::SdpDescription d = parse("m=audio 4000 RTP/AVP 0 3 8 9 13 18 2 19 35 96\r\n");
    ASSERT_EQ(d.media.size(), 1u);
    const struct {
        int payloadType;
        const char* name;
        int rate;
    } expected[] = {{0, "PCMU", 8000}, {3, "GSM", 8000},  {8, "PCMA", 8000}, {9, "G722", 8000}, {13, "CN", 8000},
                    {18, "G729", 8000}, {2, "", 0},       {19, "", 0},       {35, "", 0},       {96, "", 0}};
    ASSERT_EQ(d.media[0].codecs.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < d.media[0].codecs.size(); ++i) {
        const sip::SdpCodec& c = d.media[0].codecs[i];
        EXPECT_EQ(c.payloadType, expected[i].payloadType);
        EXPECT_EQ(c.name, expected[i].name) << "type " << c.payloadType;
        EXPECT_EQ(c.rate, expected[i].rate) << "type " << c.payloadType;
    }
}

TEST(SdpReader, SelectionSkipsOtherMediaAndProtocols) {
    sip::SdpDescription d = parse("c=IN IP4 10.0.0.9\r\n"
                                  "m=video 5000 RTP/AVP 8\r\n"
                                  "m=audio 5002 RTP/SAVP 8\r\n"
                                  "a=rtpmap:8 PCMA/8000\r\n"
                                  "m=audio 5004 RTP/AVP 0\r\n"
                                  "m=audio 5006 RTP/AVP 8\r\n"
                                  "c=IN IP4 10.0.0.12\r\n");
    const sip::SdpMedia* audio = d.selectAudio({8, "", 0, ""});
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->port, 5006);
    EXPECT_EQ(d.remoteRtpAddress(), addr("10.0.0.12", 5006));

    // Nothing qualifies: no selection, and the session address is used as it is.
    EXPECT_EQ(d.selectAudio({18, "", 0, ""}), nullptr);
    EXPECT_EQ(d.selectedMedia(), nullptr);
    EXPECT_EQ(d.findCodec({8, "", 0, ""}), nullptr);
    EXPECT_EQ(d.remoteRtpAddress(), addr("10.0.0.9", 0));
}

TEST(SdpReader, RemoteRtpAddressFallsBackToTheSessionAddress) {
    sip::SdpDescription d = parse("c=IN IP4 10.0.0.9\r\nm=audio 40002 RTP/AVP 8\r\n");
    ASSERT_NE(d.selectAudio({8, "", 0, ""}), nullptr);
    EXPECT_EQ(d.remoteRtpAddress(), addr("10.0.0.9", 40002));
}

TEST(SdpReader, HostNamesGoToTheResolver) {
    static std::vector<std::string> asked;
    asked.clear();
    std::istringstream in("c=IN IP4 media.example\r\nm=audio 4000 RTP/AVP 8\r\nc=IN IP4 rtp.example\r\n");
    sip::SdpDescription d = sip::parseSdp(in, [](const char* host) {
        asked.push_back(host);
        return addr("10.1.1.1", 0);
    });
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], "media.example");
    EXPECT_EQ(asked[1], "rtp.example");
    EXPECT_EQ(d.address, addr("10.1.1.1", 0));

    // A failing lookup reaches the caller.
    std::istringstream failing("c=IN IP4 nowhere.example\r\n");
    EXPECT_THROW(sip::parseSdp(failing,
                               [](const char*) -> kmt::SocketAddress {
                                   throw kmt::SocketException("getaddrinfo", 11001, "host not found");
                               }),
                 kmt::SocketException);
}

TEST(SdpReader, MalformedLinesAreSkipped) {
    sip::SdpDescription d = parse("garbage line\r\n"
                                  "\r\n"
                                  "\n\n"
                                  "x\r\n"
                                  "a=rtpmap:8 PCMA/8000\r\n" // before any media: ignored
                                  "a=rtcp:9\r\n"
                                  "m=audio 70000 RTP/AVP 8\r\n"
                                  "a=rtcp:99999\r\n"
                                  "a=rtpmap:x PCMA/8000\r\n"
                                  "a=rtpmap:8 PCMA\r\n"
                                  "m=\r\n"
                                  "m=audio -5 RTP/AVP 99999999999 8\r\n"
                                  "a=");
    ASSERT_EQ(d.media.size(), 3u);
    EXPECT_EQ(d.media[0].port, 0); // outside the port range
    EXPECT_EQ(d.media[0].rtcpPort, 0);
    ASSERT_EQ(d.media[0].codecs.size(), 1u);
    EXPECT_EQ(d.media[0].codecs[0].name, "PCMA");
    EXPECT_EQ(d.media[0].codecs[0].rate, 0);
    EXPECT_EQ(d.media[1].name, "");
    EXPECT_EQ(d.media[2].port, 0);
    EXPECT_TRUE(d.media[2].codecs.empty());

    EXPECT_TRUE(parse("").media.empty());
}

TEST(SdpReader, BodyOfAReceivedMessage) {
    std::istringstream stream("SIP/2.0 200 OK\r\n"
                              "CSeq: 1 INVITE\r\n"
                              "Content-Type: application/sdp\r\n"
                              "Content-Length: 999\r\n" // not consulted: the body is the rest
                              "\r\n"
                              "v=0\r\n"
                              "c=IN IP4 10.0.0.9\r\n"
                              "m=audio 18000 RTP/AVP 8 101\r\n"
                              "a=rtpmap:8 PCMA/8000\r\n"
                              "a=rtpmap:101 telephone-event/8000\r\n");
    std::string first;
    std::getline(stream, first);
    sip::SipInMessage response(sip::SipInMessage::response, first, stream);
    ASSERT_EQ(response.header("c"), "application/sdp");
    sip::SdpDescription answer = sip::parseSdp(response.body());
    ASSERT_NE(answer.selectAudio(pcma), nullptr);
    EXPECT_EQ(answer.remoteRtpAddress(), addr("10.0.0.9", 18000));
    EXPECT_EQ(answer.findCodec({101, "telephone-event", 8000, ""})->payloadType, 101);
}

} // namespace
