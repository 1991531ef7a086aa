#include "SipInMessage.h"
#include "SipOutMessage.h"
#include "SipTestSupport.h"
#include "kmt/stringstream.h"
#include "plat/net.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <poll.h>

#include <functional>
#include <sstream>
#include <string>

using siptest::addr;
using siptest::DialogFixture;

namespace {

// Registered before any test logs, so the SIP categories resolve their levels with it.
siptest::LogRecorder& recorder = siptest::LogRecorder::instance();

const std::string allow = "Allow: INVITE, ACK, CANCEL, BYE, REFER, SUBSCRIBE, NOTIFY\r\n";

// The datagram a request sends: its head, the request kind's own lines, an empty line, the body.
std::string wire(sip::SipRequest& request, const std::function<void(std::ostream&)>& additions = {}) {
    kmt::stringstream os;
    request.writeHeaders(os, request.destination);
    if (additions)
        additions(os);
    os << "\r\n" << request.body;
    return os.str();
}

std::string wire(sip::SipResponse& response) {
    kmt::stringstream os;
    response.writeHeaders(os) << "\r\n" << response.body;
    return os.str();
}

// A received request as the end point hands it over: first line apart, the rest in a stream.
struct Received {
    explicit Received(const std::string& text) : stream(text) {
        std::string first;
        std::getline(stream, first);
        message.reset(first.compare(0, 3, "SIP") == 0
                          ? new sip::SipInMessage(sip::SipInMessage::response, first, stream)
                          : new sip::SipInMessage(sip::SipInMessage::request, first, stream));
    }
    std::istringstream stream;
    std::unique_ptr<sip::SipInMessage> message;
};

const char* const incomingInvite = "INVITE sip:2001@10.0.0.5 SIP/2.0\r\n"
                                   "Via: SIP/2.0/UDP 10.0.0.1:5060;rport;branch=z9hG4bKabc;hidden\r\n"
                                   "Max-Forwards: 69\r\n"
                                   "v: SIP/2.0/UDP 10.0.0.2;branch=z9hG4bKdef\r\n"
                                   "From: \"Caller\" <sip:3002@pbx.example>;tag=ft\r\n"
                                   "To: \"Desk\" <sip:2001@pbx.example;user=phone>\r\n"
                                   "Call-ID: xyz\r\n"
                                   "CSeq: 12 INVITE\r\n"
                                   "Content-Length: 0\r\n"
                                   "\r\n";

struct WriterCase {
    const char* name;
    std::function<std::string(DialogFixture&)> build;
    std::string expected;
};

// {host} in an expected text stands for the local host name.
std::string expand(std::string text) {
    for (size_t at; (at = text.find("{host}")) != std::string::npos;)
        text.replace(at, 6, kmt::hostName());
    return text;
}

const WriterCase writerCases[] = {
    {"INVITE with SDP body from port 5060: no port suffix, Content-Type after Content-Length",
     [](DialogFixture& f) {
         sip::SipRequest r(&f.dialog, f.proxyAddress(), "INVITE", "", 0, "z9hG4bKinv1");
         r.contentType = "application/sdp";
         r.body = "v=0\r\n";
         return wire(r, [&](std::ostream& os) { r.writeInviteAdditions(os, "line-1"); });
     },
     "INVITE sip:3002@pbx.example SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKinv1;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:3002@pbx.example>\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 1 INVITE\r\n"
     "Content-Length: 5\r\n"
     "Content-Type: application/sdp\r\n" +
         allow +
         "Contact: <sip:2001@10.0.0.5>\r\n"
         "X-Brimel-id: line-1\r\n"
         "\r\n"
         "v=0\r\n"},

    {"INVITE of a line without a name writes no X-Brimel-id",
     [](DialogFixture& f) {
         sip::SipRequest r(&f.dialog, f.proxyAddress(), "INVITE", "sip:3002@pbx.example", 4, "z9hG4bKinv2");
         return wire(r, [&](std::ostream& os) { r.writeInviteAdditions(os, ""); });
     },
     "INVITE sip:3002@pbx.example SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKinv2;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:3002@pbx.example>\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 4 INVITE\r\n"
     "Content-Length: 0\r\n" +
         allow +
         "Contact: <sip:2001@10.0.0.5>\r\n"
         "\r\n"},

    {"REGISTER from port 5062 with expiry 0: port in Via and Contact, Expires without blank",
     [](DialogFixture& f) {
         f.dialog.localAddressCache = addr("10.0.0.5", 5062);
         f.dialog.localName.clear();
         sip::SipRequest r(&f.dialog, f.proxyAddress(), "REGISTER", "sip:pbx.example", 7, "z9hG4bKreg");
         r.toText = "<sip:2001@pbx.example>";
         return wire(r, [&](std::ostream& os) { r.writeRegisterAdditions(os, 0); });
     },
     "REGISTER sip:pbx.example SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bKreg;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:2001@pbx.example>\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 7 REGISTER\r\n"
     "Content-Length: 0\r\n" +
         allow +
         "Contact: <sip:2001@10.0.0.5:5062>\r\n"
         "Expires:0\r\n"
         "\r\n"},

    {"REGISTER with expiry -1 writes no Expires",
     [](DialogFixture& f) {
         sip::SipRequest r(&f.dialog, f.proxyAddress(), "REGISTER", "sip:pbx.example", 8, "z9hG4bKreg2");
         return wire(r, [&](std::ostream& os) { r.writeRegisterAdditions(os, -1); });
     },
     "REGISTER sip:pbx.example SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKreg2;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:3002@pbx.example>\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 8 REGISTER\r\n"
     "Content-Length: 0\r\n" +
         allow +
         "Contact: <sip:2001@10.0.0.5>\r\n"
         "\r\n"},

    {"wildcard local address: the host name in Via, the numeric wildcard in Contact",
     [](DialogFixture&) {
         kmt::stringstream os;
         sip::writeViaHeader(os, addr("0.0.0.0", 5062), "z9hG4bKw");
         sip::writeContactHeader(os, "2001", addr("0.0.0.0", 5062));
         sip::writeViaHeader(os, addr("::", 5060), "z9hG4bKw6");
         sip::writeContactHeader(os, "2001", addr("::", 5060));
         sip::writeContactHeader(os, "2001", kmt::SocketAddress());
         return os.str();
     },
     "Via: SIP/2.0/UDP {host}:5062;branch=z9hG4bKw;rport\r\n"
     "Contact: <sip:2001@0.0.0.0:5062>\r\n"
     "Via: SIP/2.0/UDP {host};branch=z9hG4bKw6;rport\r\n"
     "Contact: <sip:2001@[::]>\r\n"
     "Contact: <sip:2001@:0>\r\n"},

    {"BYE with display names holding quotes and backslashes, and a remote tag",
     [](DialogFixture& f) {
         f.dialog.localName = "Ann \"The \\ Boss\"";
         f.dialog.remoteName = "Bob";
         f.dialog.remoteTag = "rt9";
         sip::SipRequest r(&f.dialog, f.proxyAddress(), "BYE", "sip:3002@10.0.0.9:5070", 3, "z9hG4bKbye");
         return wire(r);
     },
     "BYE sip:3002@10.0.0.9:5070 SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKbye;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Ann \\\"The \\\\ Boss\\\"\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: \"Bob\" <sip:3002@pbx.example>;tag=rt9\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 3 BYE\r\n"
     "Content-Length: 0\r\n" +
         allow + "\r\n"},

    {"NOTIFY with a body but no content type writes Content-Length only",
     [](DialogFixture& f) {
         sip::SipRequest r(&f.dialog, f.proxyAddress(), "NOTIFY", "", 9, "z9hG4bKnot");
         r.body = "SIP/2.0 200 OK\r\n";
         return wire(r);
     },
     "NOTIFY sip:3002@pbx.example SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKnot;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:3002@pbx.example>\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 9 NOTIFY\r\n"
     "Content-Length: 16\r\n" +
         allow +
         "\r\n"
         "SIP/2.0 200 OK\r\n"},

    {"IPv6 local addresses in brackets, port suffix only off 5060",
     [](DialogFixture& f) {
         f.dialog.localAddressCache = addr("2001:db8::5", 5070);
         sip::SipRequest r(&f.dialog, f.proxyAddress(), "INVITE", "", 2, "z9hG4bKv6");
         std::string text = wire(r, [&](std::ostream& os) { r.writeInviteAdditions(os, ""); });
         f.dialog.localAddressCache = addr("2001:db8::5", 5060);
         kmt::stringstream os;
         r.writeContact(os);
         return text + os.str();
     },
     "INVITE sip:3002@pbx.example SIP/2.0\r\n"
     "Via: SIP/2.0/UDP [2001:db8::5]:5070;branch=z9hG4bKv6;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:3002@pbx.example>\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 2 INVITE\r\n"
     "Content-Length: 0\r\n" +
         allow +
         "Contact: <sip:2001@[2001:db8::5]:5070>\r\n"
         "\r\n"
         "Contact: <sip:2001@[2001:db8::5]>\r\n"},

    {"REFER replacing another call: the Replaces value escaped whole, its separators and equals signs too",
     [](DialogFixture& f) {
         f.dialog.remoteTag = "rt9";
         sip::SipRequest r(&f.dialog, addr("10.0.0.9", 5070), "REFER", "sip:3002@10.0.0.9:5070", 5,
                           "z9hG4bKref");
         std::string target = sip::replacesReferTarget("sip:4004@10.0.0.7", addr("10.0.0.7", 5072), "",
                                                       "a-1@host", "rtB", "ltB");
         return wire(r, [&](std::ostream& os) { r.writeReferAdditions(os, target); });
     },
     "REFER sip:3002@10.0.0.9:5070 SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKref;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:3002@pbx.example>;tag=rt9\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 5 REFER\r\n"
     "Content-Length: 0\r\n" +
         allow +
         "Refer-to: <sip:4004@10.0.0.7:5072?Replaces=a%2d1%40host%3bto-tag%3DrtB%3bfrom-tag%3DltB>\r\n"
         "Contact: <sip:2001@10.0.0.5>\r\n"
         "\r\n"},

    {"ACK of a 486: the INVITE's branch and CSeq, the response's To as received",
     [](DialogFixture& f) {
         Received busy("SIP/2.0 486 Busy Here\r\n"
                       "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKinv1;rport=5060\r\n"
                       "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
                       "To: <sip:3002@pbx.example>;tag=peer7\r\n"
                       "Call-ID: c0ffee@10.0.0.5\r\n"
                       "CSeq: 1 INVITE\r\n"
                       "\r\n");
         sip::SipAckRequest ack(&f.dialog, f.proxyAddress(), "", *busy.message);
         return wire(ack);
     },
     "ACK sip:3002@pbx.example SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKinv1;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:3002@pbx.example>;tag=peer7\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 1 ACK\r\n"
     "Content-Length: 0\r\n" +
         allow + "\r\n"},

    {"CANCEL with the INVITE's CSeq number and branch",
     [](DialogFixture& f) {
         sip::SipCancelRequest cancel(&f.dialog, f.proxyAddress(), f.dialog.remoteUri, 1, "z9hG4bKinv1");
         return wire(cancel);
     },
     "CANCEL sip:3002@pbx.example SIP/2.0\r\n"
     "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKinv1;rport\r\n"
     "Max-Forwards: 70\r\n"
     "From: \"Desk\" <sip:2001@pbx.example>;tag=lt1\r\n"
     "To: <sip:3002@pbx.example>\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 1 CANCEL\r\n"
     "Content-Length: 0\r\n" +
         allow + "\r\n"},

    {"180 to an INVITE: top Via with rport and received filled, further Vias as received",
     [](DialogFixture& f) {
         Received invite(incomingInvite);
         sip::SipResponse r(&f.dialog, addr("10.0.0.1", 5070), *invite.message);
         r.statusCode = 180;
         r.reasonPhrase = "Ringing";
         return wire(r);
     },
     "SIP/2.0 180 Ringing\r\n"
     "Via: SIP/2.0/UDP 10.0.0.1:5060;rport=5070;branch=z9hG4bKabc;hidden=;received=10.0.0.1\r\n"
     "Via: SIP/2.0/UDP 10.0.0.2;branch=z9hG4bKdef\r\n"
     "From: \"Caller\" <sip:3002@pbx.example>;tag=ft\r\n"
     "To: \"Desk\" <sip:2001@pbx.example;user=phone>;tag=lt1\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 12 INVITE\r\n"
     "Contact: <sip:2001@10.0.0.5>\r\n" +
         allow +
         "Content-Length: 0\r\n"
         "\r\n"},

    {"200 with SDP: Content-Length and Content-Type last, then the body",
     [](DialogFixture& f) {
         Received invite("INVITE sip:2001@10.0.0.5:5062 SIP/2.0\r\n"
                         "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bKxyz;RPORT=1\r\n"
                         "From: <sip:3002@pbx.example>;tag=ft\r\n"
                         "To: sip:2001@pbx.example\r\n"
                         "CSeq: 40 INVITE\r\n"
                         "\r\n");
         f.dialog.localAddressCache = addr("10.0.0.5", 5062);
         sip::SipResponse r(&f.dialog, addr("10.0.0.1", 5060), *invite.message);
         r.statusCode = 200;
         r.reasonPhrase = "OK";
         r.contentType = "application/sdp";
         r.body = "v=0\r\n";
         return wire(r);
     },
     "SIP/2.0 200 OK\r\n"
     "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bKxyz;rport=5060;received=10.0.0.1\r\n"
     "From: <sip:3002@pbx.example>;tag=ft\r\n"
     "To: <sip:2001@pbx.example>;tag=lt1\r\n"
     "Call-ID: c0ffee@10.0.0.5\r\n"
     "CSeq: 40 INVITE\r\n"
     "Contact: <sip:2001@10.0.0.5:5062>\r\n" +
         allow +
         "Content-Length: 5\r\n"
         "Content-Type: application/sdp\r\n"
         "\r\n"
         "v=0\r\n"},
};

TEST(SipWriter, WireTextOfRequestAndResponseHeads) {
    for (const WriterCase& c : writerCases) {
        DialogFixture fixture;
        EXPECT_EQ(c.build(fixture), expand(c.expected)) << c.name;
    }
}

TEST(SipWriter, ConstructionFillsCSeqRequestUriAndBranch) {
    DialogFixture f;
    f.dialog.localCSeq = 41;
    sip::SipRequest first(&f.dialog, f.proxyAddress(), "OPTIONS", "", 0, "");
    sip::SipRequest second(&f.dialog, f.proxyAddress(), "OPTIONS", "", 0, "");
    EXPECT_EQ(first.cseq, 42);
    EXPECT_EQ(second.cseq, 43);
    EXPECT_EQ(f.dialog.localCSeq, 43);
    EXPECT_EQ(first.requestUri, "sip:3002@pbx.example");
    ASSERT_EQ(first.branch.size(), 7u + 16u);
    EXPECT_EQ(first.branch.compare(0, 7, "z9hG4bK"), 0);
    EXPECT_EQ(first.branch.find_first_not_of("0123456789abcdef", 7), std::string::npos);
    EXPECT_NE(first.branch, second.branch);

    // ACK, CANCEL and responses repeat the number they are given, 0 included.
    sip::SipCancelRequest cancel(&f.dialog, f.proxyAddress(), "", 0, "z9hG4bKx");
    EXPECT_EQ(cancel.cseq, 0);
    EXPECT_EQ(f.dialog.localCSeq, 43);
}

TEST(SipWriter, AckOfA2xxToInviteTakesANewBranch) {
    DialogFixture f;
    Received ok("SIP/2.0 200 OK\r\n"
                "Via: SIP/2.0/UDP 10.0.0.5;branch=z9hG4bKinv1\r\n"
                "To: <sip:3002@pbx.example>;tag=peer7\r\n"
                "CSeq: 6 invite\r\n"
                "\r\n");
    sip::SipAckRequest ack(&f.dialog, f.proxyAddress(), "sip:3002@10.0.0.9:5070", *ok.message);
    EXPECT_NE(ack.branch, "z9hG4bKinv1");
    EXPECT_EQ(ack.branch.compare(0, 7, "z9hG4bK"), 0);
    EXPECT_EQ(ack.cseq, 6);
    EXPECT_EQ(ack.toText, "<sip:3002@pbx.example>;tag=peer7");
    EXPECT_EQ(ack.requestUri, "sip:3002@10.0.0.9:5070");
}

TEST(SipWriter, ReasonPhraseCannotBreakTheStatusLine) {
    DialogFixture f;
    Received invite(incomingInvite);
    sip::SipResponse r(&f.dialog, addr("10.0.0.1", 5070), *invite.message);
    r.statusCode = 400;
    r.reasonPhrase = "error in sdp message: bad\r\nInjected: yes";
    std::string text = wire(r);
    EXPECT_EQ(text.substr(0, text.find("\r\n")), "SIP/2.0 400 error in sdp message: bad  Injected: yes");
    EXPECT_EQ(text.find("\r\nInjected"), std::string::npos);
}

TEST(SipWriter, EscapingKeepsOnlyLettersAndDigits) {
    const struct {
        std::string in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"Abc09", "Abc09"},
        {"a-b@c;d=e", "a%2db%40c%3bd%3de"},
        {std::string("\x00\xff ~", 4), "%00%ff%20%7e"},
    };
    for (const auto& c : cases) {
        kmt::stringstream os;
        sip::writeEscaped(os, c.in);
        EXPECT_EQ(os.str(), c.out);
    }
}

// The Refer-to target of an attended transfer: the Replaces value is one URI header value, so every
// ';' and '=' inside it is escaped and a peer that splits the URI's headers reads the value whole.
TEST(SipWriter, ReplacesReferTargets) {
    const struct {
        const char* name;
        std::string contact;
        std::string uri;
        std::string callId, remoteTag, localTag;
        const char* target;
    } rows[] = {
        // Without a remote contact the remote URI is the target, with no port suffix.
        {"remote URI", "", "sip:4004@pbx.example", "x", "a", "b",
         "sip:4004@pbx.example?Replaces=x%3bto-tag%3Da%3bfrom-tag%3Db"},
        {"contact with the peer's port", "sip:4004@10.0.0.7", "", "a-1@host", "rtB", "ltB",
         "sip:4004@10.0.0.7:5072?Replaces=a%2d1%40host%3bto-tag%3DrtB%3bfrom-tag%3DltB"},
        {"remote target with its parameters", "", "sip:4004@10.0.0.7:5072;transport=udp", "c=1", "t.2", "f_3",
         "sip:4004@10.0.0.7:5072;transport=udp?Replaces=c%3d1%3bto-tag%3Dt%2e2%3bfrom-tag%3Df%5f3"},
    };
    for (const auto& r : rows) {
        const std::string target =
            sip::replacesReferTarget(r.contact, addr("10.0.0.7", 5072), r.uri, r.callId, r.remoteTag, r.localTag);
        EXPECT_EQ(target, r.target) << r.name;
        // In the URI's headers one '=' is left plain, the one after the header name, and no ';'.
        const std::string headers = target.substr(std::min(target.find('?'), target.size()));
        EXPECT_EQ(std::count(headers.begin(), headers.end(), '='), 1) << r.name;
        EXPECT_EQ(headers.find(';'), std::string::npos) << r.name;
    }
}

// A socket on 127.0.0.1 that the end point's messages are sent to.
struct LoopbackPeer {
    LoopbackPeer() {
        socket.bindUdp(addr("127.0.0.1", 0));
        address = socket.localAddress();
    }
    // One datagram, or empty text when none comes within two seconds.
    std::string receive() {
        pollfd p{plat::socketFd(socket.handle()), POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1)
            return std::string();
        char buffer[65536];
        sockaddr_storage from{};
        int fromLength = sizeof from;
        int n = plat::recvfrom(socket.handle(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    kmt::Socket socket;
    kmt::SocketAddress address;
};

TEST(SipWriter, SendPutsTheWholeMessageIntoOneDatagram) {
    siptest::QuietCout quiet;
    DialogFixture f;
    f.endPoint.socket.bindUdp(addr("127.0.0.1", 0));
    LoopbackPeer peer;
    recorder.take();

    sip::SipRequest request(&f.dialog, peer.address, "MESSAGE", "", 3, "z9hG4bKmsg");
    request.contentType = "text/plain";
    request.body = "hello";
    std::string expected = wire(request);
    request.send(2);
    EXPECT_EQ(request.attempt, 2);
    EXPECT_EQ(peer.receive(), expected);

    Received invite(incomingInvite);
    sip::SipResponse response(&f.dialog, peer.address, *invite.message);
    response.sendResponse(486, "busy");
    EXPECT_EQ(response.statusCode, 486);
    EXPECT_EQ(peer.receive(), wire(response));

    // Both sends are logged on sip_core at level 3 with the destination and the whole text.
    std::string prefix = "sip_core 3 sending to : 127.0.0.1:" + std::to_string(peer.address.port()) + ":\n";
    std::vector<std::string> lines = recorder.take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], prefix + expected);
    EXPECT_EQ(lines[1], prefix + wire(response) + "*** end message ***");
}

TEST(SipWriter, RegisterIsLoggedOneLevelHigher) {
    siptest::QuietCout quiet;
    DialogFixture f;
    f.endPoint.socket.bindUdp(addr("127.0.0.1", 0));
    LoopbackPeer peer;
    recorder.take();
    sip::SipRequest request(&f.dialog, peer.address, "REGISTER", "sip:pbx.example", 1, "z9hG4bKr");
    request.send(1);
    EXPECT_FALSE(peer.receive().empty());
    std::vector<std::string> lines = recorder.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].compare(0, 11, "sip_core 4 "), 0) << lines[0];
}

TEST(SipWriter, SocketFailureIsLoggedAndTheCallerGoesOn) {
    siptest::QuietCout quiet;
    DialogFixture f;
    f.endPoint.socket.bindUdp(addr("127.0.0.1", 0));
    LoopbackPeer peer;
    recorder.take();

    plat::testing::failNext("sendto", plat::WSAENETUNREACH);
    sip::SipRequest request(&f.dialog, peer.address, "OPTIONS", "", 1, "z9hG4bKo");
    EXPECT_NO_THROW(request.send(1));
    plat::testing::failNext("sendto", plat::WSAENETUNREACH);
    Received invite(incomingInvite);
    sip::SipResponse response(&f.dialog, peer.address, *invite.message);
    EXPECT_NO_THROW(response.sendResponse(200, "OK"));
    plat::testing::clearFailures();

    std::vector<std::string> lines = recorder.take();
    ASSERT_EQ(lines.size(), 4u); // each send logs the message, then the failure
    EXPECT_EQ(lines[1], "sip_core 1 ignoring socket exception in sendtoerror: 10051");
    EXPECT_EQ(lines[3], "sip_core 1 caught socket exception in sendtoerror: 10051");

    // The socket still works afterwards.
    request.send(2);
    EXPECT_FALSE(peer.receive().empty());
}

TEST(SipDialogAddress, LearnsTheAddressTowardTheProxyWithTheSipPortOnce) {
    DialogFixture f;
    f.proxy->addresses = {addr("127.0.0.1", 5060)};
    f.dialog.localAddressCache = kmt::SocketAddress();
    f.endPoint.socket.bindUdp(addr("127.0.0.1", 0));
    uint16_t sipPort = f.endPoint.socket.localAddress().port();

    EXPECT_EQ(f.dialog.localAddress(), addr("127.0.0.1", sipPort));
    EXPECT_EQ(f.dialog.localAddressCache, addr("127.0.0.1", sipPort));
    // Cached: a closed socket no longer matters.
    f.endPoint.socket.close();
    EXPECT_EQ(f.dialog.localAddress(), addr("127.0.0.1", sipPort));
}

} // namespace
