#include "DigestCredentials.h"
#include "SipOutMessage.h"
#include "SipTestSupport.h"
#include "kmt/stringstream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using siptest::addr;
using siptest::DialogFixture;

namespace {

// The Authorization and Proxy-Authorization lines of a request's head (empty when there are none).
std::string authorizationLines(sip::SipRequest& request) {
    kmt::stringstream os;
    request.writeHeaders(os, request.destination);
    std::string head = os.str();
    std::string lines;
    for (size_t at = 0; at < head.size();) {
        size_t end = head.find("\r\n", at);
        std::string line = head.substr(at, end + 2 - at);
        if (line.compare(0, 14, "Authorization:") == 0 || line.compare(0, 20, "Proxy-Authorization:") == 0)
            lines += line;
        at = end + 2;
    }
    return lines;
}

void challenge(sip::DigestCredentials& record, const sip::SipProxy& proxy, const std::string& realm,
               const std::string& nonce, const std::string& opaque) {
    record.realm = realm;
    record.ha1 = proxy.digestHA1(realm);
    record.nonce = nonce;
    record.opaque = opaque;
}

TEST(Digest, HA1IsTheHashOfUserRealmAndPassword) {
    DialogFixture f;
    EXPECT_EQ(f.proxy->digestHA1("pbx"), "08d48785e46772ea914240f4f2348166"); // md5("auth2001:pbx:secret")
}

struct AuthorizationCase {
    const char* name;
    std::function<void(DialogFixture&)> setUp;
    const char* method;
    const char* requestUri;
    bool towardProxy;
    std::string expected;
};

const AuthorizationCase authorizationCases[] = {
    {"no challenge yet: neither header", [](DialogFixture&) {}, "INVITE", "sip:3002@pbx.example", true, ""},

    {"challenge without opaque: the line ends with the unquoted algorithm",
     [](DialogFixture& f) { challenge(f.dialog.authorization, *f.proxy, "pbx", "n1", ""); }, "INVITE",
     "sip:3002@pbx.example", true,
     "Authorization: Digest username=\"auth2001\", realm=\"pbx\", nonce=\"n1\", "
     "response=\"2781ef2a66ba6746a9f427bddf3bb726\", uri=\"sip:3002@pbx.example\", algorithm=MD5\r\n"},

    {"challenge with opaque: opaque quoted after the algorithm",
     [](DialogFixture& f) { challenge(f.dialog.authorization, *f.proxy, "pbx", "n1", "op/7"); }, "REGISTER",
     "sip:pbx.example", true,
     "Authorization: Digest username=\"auth2001\", realm=\"pbx\", nonce=\"n1\", "
     "response=\"97388dd258835075f559d3a6cc6557e4\", uri=\"sip:pbx.example\", algorithm=MD5, "
     "opaque=\"op/7\"\r\n"},

    {"a BYE in the same dialog hashes its own method and request-URI",
     [](DialogFixture& f) { challenge(f.dialog.authorization, *f.proxy, "pbx", "n1", ""); }, "BYE",
     "sip:3002@10.0.0.9:5070", false,
     "Authorization: Digest username=\"auth2001\", realm=\"pbx\", nonce=\"n1\", "
     "response=\"74de5eb6b02e2636151a4f1983672a56\", uri=\"sip:3002@10.0.0.9:5070\", algorithm=MD5\r\n"},

    {"both records toward the proxy: Authorization, then Proxy-Authorization",
     [](DialogFixture& f) {
         challenge(f.dialog.authorization, *f.proxy, "pbx", "n1", "");
         challenge(f.dialog.proxyAuthorization, *f.proxy, "proxy-realm", "pn", "");
     },
     "INVITE", "sip:3002@pbx.example", true,
     "Authorization: Digest username=\"auth2001\", realm=\"pbx\", nonce=\"n1\", "
     "response=\"2781ef2a66ba6746a9f427bddf3bb726\", uri=\"sip:3002@pbx.example\", algorithm=MD5\r\n"
     "Proxy-Authorization: Digest username=\"auth2001\", realm=\"proxy-realm\", nonce=\"pn\", "
     "response=\"68676314adca9b22f0e7e8235eb76d4c\", uri=\"sip:3002@pbx.example\", algorithm=MD5\r\n"},

    {"Proxy-Authorization only toward the proxy's address",
     [](DialogFixture& f) { challenge(f.dialog.proxyAuthorization, *f.proxy, "proxy-realm", "pn", ""); },
     "INVITE", "sip:3002@pbx.example", false, ""},
};

TEST(Digest, AuthorizationLinesAndFieldOrder) {
    for (const AuthorizationCase& c : authorizationCases) {
        DialogFixture f;
        c.setUp(f);
        kmt::SocketAddress destination = c.towardProxy ? f.proxyAddress() : addr("10.0.0.9", 5070);
        sip::SipRequest request(&f.dialog, destination, c.method, c.requestUri, 2, "z9hG4bKa");
        EXPECT_EQ(authorizationLines(request), c.expected) << c.name;
    }
}

TEST(Digest, ChallengeValuesThatCannotBeQuotedAreNeverWritten) {
    const char* const badValues[] = {"a\"b", "a\\b", "a\rb", "a\nb", "\r\nInjected: 1"};
    for (const char* bad : badValues) {
        EXPECT_FALSE(sip::isUsableChallengeValue(bad)) << bad;
        for (int field = 0; field < 3; ++field) {
            DialogFixture f;
            challenge(f.dialog.authorization, *f.proxy, "pbx", "n1", "op");
            challenge(f.dialog.proxyAuthorization, *f.proxy, "pbx", "n1", "op");
            for (sip::DigestCredentials* record : {&f.dialog.authorization, &f.dialog.proxyAuthorization}) {
                std::string& target = field == 0   ? record->realm
                                      : field == 1 ? record->nonce
                                                   : record->opaque;
                target = bad;
            }
            EXPECT_FALSE(sip::isUsableChallenge(f.dialog.authorization));
            sip::SipRequest request(&f.dialog, f.proxyAddress(), "INVITE", "", 2, "z9hG4bKa");
            EXPECT_EQ(authorizationLines(request), "") << "field " << field << " holding " << bad;
        }
    }
    EXPECT_TRUE(sip::isUsableChallengeValue(""));
    EXPECT_TRUE(sip::isUsableChallengeValue("realm with blanks, commas; and 'single' quotes"));
}

} // namespace
