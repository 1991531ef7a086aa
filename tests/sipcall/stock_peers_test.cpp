// Calls as a stock proxy and stock far ends see them: route sets learnt from Record-Route, every 2xx
// acknowledged while other work is under way, one INVITE transaction at a time with the 491 retry,
// calls that lose their ACK or never get an answer, and in-dialog requests the engine does not serve.
#include "CallTestSupport.h"
#include "support/ParamNames.h"

using namespace calltest;

namespace {

// Record-Route as a proxy on 127.0.0.1 writes it, plus a second proxy behind it in a list.
const std::string kRecordRoutes = "Record-Route: <sip:127.0.0.1:5070;lr;ftag=ft1>\r\n"
                                  "Record-Route: <sip:127.0.0.2;lr>, \"odd, name\" <sip:127.0.0.3;lr>\r\n";

std::vector<std::string> headersOf(const std::string& text, const std::string& name) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line) && line != "\r") {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            out.push_back(sip::trimBlank(line.substr(name.size() + 1)));
    }
    return out;
}

const std::vector<std::string> kInOrder = {"<sip:127.0.0.1:5070;lr;ftag=ft1>", "<sip:127.0.0.2;lr>",
                                           "\"odd, name\" <sip:127.0.0.3;lr>"};
const std::vector<std::string> kReversed = {"\"odd, name\" <sip:127.0.0.3;lr>", "<sip:127.0.0.2;lr>",
                                            "<sip:127.0.0.1:5070;lr;ftag=ft1>"};

struct StockPeers : ::testing::Test {
    // An incoming call through a proxy that record-routes; the 100 is taken.
    void offer(const std::string& extra = kRecordRoutes) {
        invite.extra = contactOf(h.other.port) + "X-Brimel-id: line-s\r\n" + extra;
        invite.contentType = "application/sdp";
        invite.body = farSdp(h.rtp.port);
        h.fromProxy(farRequest(invite, h.proxy.port));
        EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 100 trying");
    }
    std::string answer() {
        h.post("line-s", &kbrphone::Line::answerIncoming);
        const std::string ok = h.oneAtProxy("SIP/2.0 200");
        ourTag = paramOf(headerOf(ok, "To"), "tag");
        return ok;
    }
    void inCall(const std::string& method, int cseq, const std::string& branch, const std::string& toTag = "",
                const std::string& callId = "") {
        FarRequest r = invite;
        r.method = method;
        r.cseq = cseq;
        r.branch = branch;
        r.toTag = toTag.empty() ? ourTag : toTag;
        if (!callId.empty())
            r.callId = callId;
        r.contentType.clear();
        r.body.clear();
        r.extra.clear();
        h.fromProxy(farRequest(r, h.proxy.port));
    }
    sip::SipInviteDialog* dialog() {
        auto* line = static_cast<sip::SipLine*>(h.phone.findLine("line-s"));
        return line ? line->dialog : nullptr;
    }

    CallHarness h;
    FarRequest invite;
    std::string ourTag;
};

TEST_F(StockPeers, AnIncomingCallKeepsTheRecordRouteOfItsInviteForEveryLaterRequest) {
    offer();
    h.post("line-s", &kbrphone::Line::setRinging);
    EXPECT_EQ(headersOf(h.oneAtProxy("SIP/2.0 180"), "Record-Route"), kInOrder) << "copied in order";
    const std::string ok = answer();
    EXPECT_EQ(headersOf(ok, "Record-Route"), kInOrder);
    inCall("ACK", 1, invite.branch);

    // Hold and hang-up go to the proxy, addressed to the caller's contact, along the route set.
    h.post("line-s", &kbrphone::Line::putOnHold);
    const std::string hold = h.oneAtProxy("INVITE ");
    EXPECT_EQ(firstLine(hold), "INVITE sip:3002@127.0.0.1:" + std::to_string(h.other.port) + " SIP/2.0");
    EXPECT_EQ(headersOf(hold, "Route"), kInOrder);
    h.fromProxy(reply(hold, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port), ""));
    const std::string ack = h.oneAtProxy("ACK ");
    EXPECT_EQ(firstLine(ack), "ACK sip:3002@127.0.0.1:" + std::to_string(h.other.port) + " SIP/2.0");
    EXPECT_EQ(headersOf(ack, "Route"), kInOrder);
    EXPECT_TRUE(h.otherReceived.empty()) << "nothing bypasses the proxy";

    h.post("line-s", &kbrphone::Line::hangup);
    const std::string bye = h.oneAtProxy("BYE ");
    EXPECT_EQ(firstLine(bye), "BYE sip:3002@127.0.0.1:" + std::to_string(h.other.port) + " SIP/2.0");
    EXPECT_EQ(headersOf(bye, "Route"), kInOrder);
    h.fromProxy(reply(bye, 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

TEST_F(StockPeers, WithoutRecordRouteRequestsAreAddressedAsBefore) {
    offer("");
    const std::string ok = answer();
    EXPECT_TRUE(headersOf(ok, "Record-Route").empty());
    inCall("ACK", 1, invite.branch);
    h.post("line-s", &kbrphone::Line::hangup);
    const std::string bye = h.oneAtProxy("BYE ");
    EXPECT_EQ(firstLine(bye), "BYE sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_TRUE(headersOf(bye, "Route").empty());
    h.fromProxy(reply(bye, 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

TEST_F(StockPeers, AnOutgoingCallTakesItsRouteSetFromThe200InReverseOrder) {
    sip::SipLine* line = h.newLine();
    const std::string lineId = line->getLineId();
    h.dial(lineId, "3002");
    const std::string inv = h.oneAtProxy("INVITE ");
    EXPECT_TRUE(headersOf(inv, "Route").empty());
    const std::string ok =
        reply(inv, 200, "OK", contactOf(h.other.port) + kRecordRoutes, "application/sdp", farSdp(h.rtp.port));
    h.fromProxy(ok);
    const std::string contactUri = "sip:3002@127.0.0.1:" + std::to_string(h.other.port);
    const std::string ack = h.oneAtProxy("ACK ");
    EXPECT_EQ(firstLine(ack), "ACK " + contactUri + " SIP/2.0");
    EXPECT_EQ(headersOf(ack, "Route"), kReversed);
    EXPECT_TRUE(h.otherReceived.empty()) << "the ACK goes through the proxy, not to the contact";
    // A repeated 200 is acknowledged the same way.
    h.fromProxy(ok);
    EXPECT_EQ(headersOf(h.oneAtProxy("ACK "), "Route"), kReversed);
    EXPECT_EQ(h.statesOf(lineId).back(), 6);

    h.post(lineId, &kbrphone::Line::hangup);
    const std::string bye = h.oneAtProxy("BYE ");
    EXPECT_EQ(firstLine(bye), "BYE " + contactUri + " SIP/2.0");
    EXPECT_EQ(headersOf(bye, "Route"), kReversed);
    EXPECT_TRUE(h.otherReceived.empty());
    h.fromProxy(reply(bye, 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

// The remote target is the Contact URI as the far end wrote it, parameters and all; where the requests
// go stays as before (the proxy with a route set, else the contact's host and port).
struct ContactForm {
    const char* name;
    std::string contact; // "%P" stands for the far end's port
    std::string target;
    bool routed;
};

class RemoteTarget : public StockPeers, public ::testing::WithParamInterface<ContactForm> {};

TEST_P(RemoteTarget, IsTheContactUriWithItsParameters) {
    const ContactForm& p = GetParam();
    auto withPort = [&](std::string text) {
        const size_t at = text.find("%P");
        if (at != std::string::npos)
            text.replace(at, 2, std::to_string(h.other.port));
        return text;
    };
    sip::SipLine* line = h.newLine();
    const std::string lineId = line->getLineId();
    h.dial(lineId, "3002");
    const std::string inv = h.oneAtProxy("INVITE ");
    h.fromProxy(reply(inv, 200, "OK", "Contact: " + withPort(p.contact) + "\r\n" + (p.routed ? kRecordRoutes : ""),
                      "application/sdp", farSdp(h.rtp.port)));
    std::vector<Datagram>& at = p.routed ? h.proxyReceived : h.otherReceived;
    h.collect();
    const std::string ack = CallHarness::one(at, "ACK ");
    EXPECT_EQ(firstLine(ack), "ACK " + withPort(p.target) + " SIP/2.0");
    EXPECT_EQ(h.statesOf(lineId).back(), 6);
    h.post(lineId, &kbrphone::Line::hangup);
    h.collect();
    const std::string bye = CallHarness::one(at, "BYE ");
    if (p.routed) {
        EXPECT_EQ(firstLine(bye), "BYE " + withPort(p.target) + " SIP/2.0");
    }
    EXPECT_TRUE((p.routed ? h.otherReceived : h.proxyReceived).empty()) << "sent where they went before";
    (p.routed ? h.fromProxy(reply(bye, 200, "OK")) : h.fromOther(reply(bye, 200, "OK")));
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(
    Contacts, RemoteTarget,
    ::testing::Values(
        ContactForm{"Transport", "<sip:3002@127.0.0.1:%P;transport=udp>", "sip:3002@127.0.0.1:%P;transport=udp", true},
        ContactForm{"GruuAndHeaderParameters",
                    "\"Lin\" <sip:3002@127.0.0.1:%P;gr=urn:uuid:5b1c;transport=udp>;expires=3600;"
                    "+sip.instance=\"<urn:uuid:5b1c>\"",
                    "sip:3002@127.0.0.1:%P;gr=urn:uuid:5b1c;transport=udp", true},
        ContactForm{"UnroutedWithParameters", "<sip:3002@127.0.0.1:%P;transport=udp;ob>",
                    "sip:3002@127.0.0.1:%P;transport=udp;ob", false},
        ContactForm{"BareUriWhoseParametersAreTheHeaders", "sip:3002@127.0.0.1:%P;expires=60",
                    "sip:3002@127.0.0.1:%P", false},
        ContactForm{"UriHeadersLeftOut", "<sip:3002@127.0.0.1:%P;transport=udp?Subject=x>",
                    "sip:3002@127.0.0.1:%P;transport=udp", true}),
    paramnames::ByName());

TEST_F(StockPeers, AnAnsweredCallWhoseAckNeverComesEndsWithByeAsAFarEndEnd) {
    offer();
    answer();
    EXPECT_EQ(h.statesOf("line-s"), (std::vector<int>{5, 6}));
    // The 200 is repeated until the transaction gives up (32 s); then the call is ended.
    h.advance(31000, 50);
    EXPECT_GE(h.take(h.proxyReceived, "SIP/2.0 200").size(), 9u);
    EXPECT_TRUE(h.take(h.proxyReceived, "BYE ").empty()) << "not before the transaction gives up";
    h.advance(1200, 50);
    h.take(h.proxyReceived, "SIP/2.0 200");
    const std::vector<Datagram> byes = h.take(h.proxyReceived, "BYE ");
    ASSERT_FALSE(byes.empty()) << "BYE once the transaction gave up";
    const std::string bye = byes.front().text;
    EXPECT_EQ(headersOf(bye, "Route"), kInOrder);
    EXPECT_EQ(h.statesOf("line-s"), (std::vector<int>{5, 6, 7}));
    EXPECT_FALSE(dialog()->rtpSession.getStream().isRunning());
    h.fromProxy(reply(bye, 200, "OK", "", "", "", ""));
    h.post("line-s", &kbrphone::Line::hangup);
    EXPECT_TRUE(h.proxyReceived.empty());
    h.expectAllReleased();
}

TEST_F(StockPeers, AnOutgoingInviteThatIsNeverAnsweredFailsAfterItsTimeOut) {
    sip::SipLine* line = h.newLine();
    const std::string lineId = line->getLineId();
    h.dial(lineId, "3002");
    h.advance(31000, 50);
    EXPECT_EQ(h.take(h.proxyReceived, "INVITE ").size(), 10u);
    EXPECT_EQ(h.statesOf(lineId), std::vector<int>{1});
    h.advance(1500, 50);
    EXPECT_EQ(h.take(h.proxyReceived, "INVITE ").size(), 1u) << "the 11th copy at 31.5 s";
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 11})) << "ended at 32 s instead of dialling on";
    EXPECT_TRUE(h.take(h.proxyReceived, "CANCEL ").empty());
    h.post(lineId, &kbrphone::Line::hangup);
    EXPECT_TRUE(h.proxyReceived.empty());
    h.expectAllReleased();
}

struct InDialogRequest {
    const char* method;
    const char* status;
};

class UnservedRequest : public StockPeers, public ::testing::WithParamInterface<InDialogRequest> {};

TEST_P(UnservedRequest, IsAnsweredAtOnceAndTheCallStaysUp) {
    offer();
    answer();
    inCall("ACK", 1, invite.branch);
    inCall(GetParam().method, 2, "z9hG4bKin2");
    const std::string answered = h.oneAtProxy("SIP/2.0 ");
    EXPECT_EQ(firstLine(answered), GetParam().status);
    EXPECT_EQ(headerOf(answered, "CSeq"), std::string("2 ") + GetParam().method);
    // Its retransmission gets the same answer, and nothing changes for the call.
    inCall(GetParam().method, 2, "z9hG4bKin2");
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), GetParam().status);
    EXPECT_EQ(h.statesOf("line-s"), (std::vector<int>{5, 6}));
    h.advance(11000, 50);
    EXPECT_TRUE(h.proxyReceived.empty());
    h.post("line-s", &kbrphone::Line::hangup);
    h.fromProxy(reply(h.oneAtProxy("BYE "), 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Methods, UnservedRequest,
                         ::testing::Values(InDialogRequest{"OPTIONS", "SIP/2.0 200 OK"},
                                           InDialogRequest{"INFO", "SIP/2.0 501 Not Implemented"},
                                           InDialogRequest{"UPDATE", "SIP/2.0 501 Not Implemented"},
                                           InDialogRequest{"PRACK", "SIP/2.0 501 Not Implemented"},
                                           InDialogRequest{"MESSAGE", "SIP/2.0 501 Not Implemented"},
                                           InDialogRequest{"REFER", "SIP/2.0 501 Not Implemented"}),
                         [](const ::testing::TestParamInfo<InDialogRequest>& info) {
                             return std::string(info.param.method);
                         });

TEST_F(StockPeers, RequestsForADialogThatIsGoneGet481) {
    offer();
    answer();
    inCall("ACK", 1, invite.branch);
    // Another To tag under the same Call-ID: some other dialog, not this one.
    inCall("BYE", 2, "z9hG4bKb2", "not-ours");
    const std::string other = h.oneAtProxy("SIP/2.0 ");
    EXPECT_EQ(firstLine(other), "SIP/2.0 481 Call/Transaction Does Not Exist");
    EXPECT_EQ(paramOf(headerOf(other, "To"), "tag"), "not-ours");
    EXPECT_EQ(h.statesOf("line-s").back(), 6);
    h.post("line-s", &kbrphone::Line::hangup);
    h.fromProxy(reply(h.oneAtProxy("BYE "), 200, "OK", "", "", "", ""));
    h.expectAllReleased();
    // The call has gone: a late BYE of it is told so at once, an ACK gets nothing.
    inCall("BYE", 3, "z9hG4bKb3");
    const std::string late = h.oneAtProxy("SIP/2.0 ");
    EXPECT_EQ(firstLine(late), "SIP/2.0 481 Call/Transaction Does Not Exist");
    EXPECT_EQ(paramOf(headerOf(late, "To"), "tag"), ourTag);
    EXPECT_EQ(headerOf(late, "CSeq"), "3 BYE");
    inCall("ACK", 3, "z9hG4bKb3");
    EXPECT_TRUE(h.proxyReceived.empty());
    // A late re-INVITE of it is no new call.
    FarRequest reinvite = invite;
    reinvite.cseq = 4;
    reinvite.branch = "z9hG4bKr4";
    reinvite.toTag = ourTag;
    h.fromProxy(farRequest(reinvite, h.proxy.port));
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 481 Call/Transaction Does Not Exist");
    EXPECT_EQ(h.phone.lineCount(), 0u);
    h.expectAllReleased();
}

struct OfferDirection {
    const char* name;
    const char* offered;
    const char* contentType;
    const char* answered;
};

class FarEndOffer : public StockPeers, public ::testing::WithParamInterface<OfferDirection> {};

TEST_P(FarEndOffer, IsAnsweredInTheMatchingDirection) {
    offer();
    answer();
    inCall("ACK", 1, invite.branch);
    FarRequest r = invite;
    r.cseq = 2;
    r.branch = "z9hG4bKre2";
    r.toTag = ourTag;
    r.extra = contactOf(h.other.port);
    r.contentType = GetParam().contentType;
    r.body = farSdp(h.rtp.port, GetParam().offered) + "m=video 5000 RTP/AVP 31 34\r\n";
    h.fromProxy(farRequest(r, h.proxy.port));
    const std::string ok = h.oneAtProxy("SIP/2.0 ");
    EXPECT_EQ(firstLine(ok), "SIP/2.0 200 OK");
    const std::string sdp = bodyOf(ok);
    EXPECT_NE(sdp.find(std::string("a=") + GetParam().answered + "\r\n"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("\r\nm=video 0 RTP/AVP 31 34\r\n"), std::string::npos) << "refused with its formats";
    inCall("ACK", 2, "z9hG4bKre2");
    h.post("line-s", &kbrphone::Line::hangup);
    h.fromProxy(reply(h.oneAtProxy("BYE "), 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(
    Offers, FarEndOffer,
    ::testing::Values(OfferDirection{"Sendrecv", "sendrecv", "application/sdp", "sendrecv"},
                      OfferDirection{"Sendonly", "sendonly", "application/sdp", "recvonly"},
                      OfferDirection{"Recvonly", "recvonly", "Application/SDP", "sendonly"},
                      OfferDirection{"Inactive", "inactive", "application/sdp; charset=utf-8", "inactive"}),
    [](const ::testing::TestParamInfo<OfferDirection>& info) { return std::string(info.param.name); });

} // namespace
