#include "SipInMessage.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

namespace {

// A datagram as the end point hands it over: the first line read apart, the rest in a stream.
struct Datagram {
    explicit Datagram(const std::string& text) : stream(text) { std::getline(stream, firstLine); }
    sip::SipInMessage& request() {
        message.reset(new sip::SipInMessage(sip::SipInMessage::request, firstLine, stream));
        return *message;
    }
    sip::SipInMessage& response() {
        message.reset(new sip::SipInMessage(sip::SipInMessage::response, firstLine, stream));
        return *message;
    }
    std::istringstream stream;
    std::string firstLine;
    std::unique_ptr<sip::SipInMessage> message;
};

std::string rest(std::istream& in) {
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(SipReader, CompactAndLongNamesFindEachOtherInAnyCase) {
    for (const char* written : {"v", "V", "Via", "VIA", "via"}) {
        Datagram d(std::string("SIP/2.0 200 OK\r\n") + written +
                   ": SIP/2.0/UDP 10.0.0.1\r\nCSeq: 1 BYE\r\n\r\n");
        sip::SipInMessage& m = d.response();
        for (const char* asked : {"Via", "via", "VIA", "v", "V"})
            EXPECT_EQ(m.header(asked), "SIP/2.0/UDP 10.0.0.1") << written << " asked as " << asked;
    }
    // Every letter of the table maps to its long name, which keeps the table's spelling.
    const char* const table[][2] = {
        {"a", "Accept-Contact"},
        {"b", "Reffered-By"},
        {"c", "Content-type"},
        {"d", "Request-Disposition"},
        {"e", "Content-Encoding"},
        {"f", "From"},
        {"i", "Call-ID"},
        {"j", "Reject-Contact"},
        {"k", "Supported"},
        {"l", "Content-Length"},
        {"m", "Contact"},
        {"n", "Identity-Info"},
        {"o", "Event"},
        {"r", "Refer-To"},
        {"s", "Subject"},
        {"t", "To"},
        {"u", "Allow-Events"},
        {"v", "Via"},
        {"y", "Identity"},
        {"x", "Session-Expires"},
    };
    for (const auto& row : table)
        EXPECT_EQ(sip::compactHeaderName(row[0]), row[1]);
    EXPECT_EQ(sip::compactHeaderName("q"), "q");
    EXPECT_EQ(sip::compactHeaderName("vv"), "vv");
}

TEST(SipReader, FoldedValueKeepsCrLfAndOneBlankAtEachFold) {
    Datagram d("SIP/2.0 200 OK\r\n"
               "Subject: first part  \r\n"
               " \t second part\r\n"
               "\t  \r\n"
               "\tthird\r\n"
               "CSeq: 1 INVITE\r\n"
               "\r\n");
    EXPECT_EQ(d.response().header("s"), "first part\r\n second part\r\n third");
}

struct StartLineCase {
    const char* text;
    bool accepted;
};

TEST(SipReader, RequestLineMustMatchTheCSeqMethodAndVersion) {
    const StartLineCase cases[] = {
        {"INVITE sip:a@b SIP/2.0\r\nCSeq: 1 INVITE\r\n\r\n", true},
        {"INVITE sip:a@b sip/2.0\r\nCSeq: 1 INVITE\r\n\r\n", true}, // version in any case
        {"INVITE  sip:a@b\tSIP/2.0 extra\r\nCSeq: 1 INVITE\r\n\r\n", true},
        {"INVITE sip:a@b SIP/2.0\r\nCSeq: 1 invite\r\n\r\n", false}, // method compared exactly
        {"INVITE sip:a@b SIP/2.0\r\nCSeq: 1 INVITES\r\n\r\n", false},
        {"INVITE sip:a@b SIP/2.1\r\nCSeq: 1 INVITE\r\n\r\n", false},
        {"INVITE sip:a@b\r\nCSeq: 1 INVITE\r\n\r\n", false},         // missing token
        {"INVITE sip:a@b SIP/2.0\r\n\r\n", false},                   // no CSeq: method empty
        {"INVITE sip:a@b SIP/2.0\r\nCSeq: x INVITE\r\n\r\n", false}, // malformed CSeq
        {"INVITE sip:a@b SIP/2.0\r\nCSeq: 99999999999 INVITE\r\n\r\n", false},
        {"", false},
    };
    for (const StartLineCase& c : cases) {
        Datagram d(c.text);
        if (c.accepted) {
            sip::SipInMessage& m = d.request();
            EXPECT_EQ(m.requestUri, "sip:a@b");
            EXPECT_EQ(m.cseqNumber, 1);
            EXPECT_EQ(m.cseqMethod, "INVITE");
            EXPECT_TRUE(m.isRequest());
        } else {
            EXPECT_THROW(d.request(), sip::SipIllegalMessageException) << c.text;
        }
    }
}

TEST(SipReader, StatusLineCodeAndReasonPhrase) {
    const struct {
        const char* line;
        bool accepted;
        int code;
        const char* reason;
    } cases[] = {
        {"SIP/2.0 180 Ringing  \t\r", true, 180, "Ringing"},
        {"SIP/2.0 486 Busy Here\r", true, 486, "Busy Here"},
        {"sip/2.0 200 OK\r", true, 200, "OK"},
        {"SIP/2.0 200\r", true, 200, ""},
        {"SIP/2.0 200", true, 200, ""},
        {"SIP/2.0 200OK", true, 200, "OK"},
        {"SIP/2.0 abc OK\r", false, 0, ""},
        {"SIP/2.0\r", false, 0, ""},
        {"SIP/3.0 200 OK\r", false, 0, ""},
        {"SIP/2.0 4294967496 OK\r", false, 0, ""},
        {"SIPPY", false, 0, ""},
    };
    for (const auto& c : cases) {
        std::istringstream headers("Call-ID: x\r\n\r\n");
        if (c.accepted) {
            sip::SipInMessage m(sip::SipInMessage::response, c.line, headers);
            EXPECT_EQ(m.statusCode, c.code) << c.line;
            EXPECT_EQ(m.reasonPhrase, c.reason) << c.line;
            // A response without CSeq is accepted with number 0 and no method.
            EXPECT_EQ(m.cseqNumber, 0);
            EXPECT_EQ(m.cseqMethod, "");
            EXPECT_FALSE(m.isRequest());
        } else {
            EXPECT_THROW(sip::SipInMessage(sip::SipInMessage::response, c.line, headers),
                         sip::SipIllegalMessageException)
                << c.line;
        }
    }
}

TEST(SipReader, DispatchThatAsksForCallIdAndCSeqReadsNoFurtherLine) {
    Datagram d("BYE sip:2001@10.0.0.5 SIP/2.0\r\n"
               "Call-ID: abc@host\r\n"
               "CSeq: 5 BYE\r\n"
               "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK1\r\n"
               "From: <sip:3002@pbx>;tag=f\r\n"
               "\r\n");
    sip::SipInMessage& m = d.request();
    EXPECT_EQ(m.header("Call-ID"), "abc@host");
    EXPECT_EQ(m.cseqNumber, 5);
    EXPECT_EQ(m.headerOrder().size(), 2u);
    EXPECT_FALSE(m.headersComplete());
    EXPECT_EQ(rest(d.stream),
              "Via: SIP/2.0/UDP 10.0.0.1;branch=z9hG4bK1\r\nFrom: <sip:3002@pbx>;tag=f\r\n\r\n");
}

TEST(SipReader, HeaderLookupReadsOnlyAsFarAsTheFirstMatch) {
    Datagram d("OPTIONS sip:x SIP/2.0\r\n"
               "CSeq: 1 OPTIONS\r\n"
               "Contact: <sip:first>\r\n"
               "Contact: <sip:second>\r\n"
               "\r\n"
               "body text\r\n");
    sip::SipInMessage& m = d.request();
    EXPECT_EQ(m.header("m"), "<sip:first>");
    EXPECT_EQ(m.headerOrder().size(), 2u);
    // An absent header reads the whole block and is empty; the stream then stands at the body.
    EXPECT_EQ(m.header("Subject"), "");
    EXPECT_TRUE(m.headersComplete());
    EXPECT_EQ(m.header("Contact"), "<sip:first>");
    EXPECT_EQ(rest(m.body()), "body text\r\n");
}

TEST(SipReader, TwoViasAreWalkedInArrivalOrder) {
    Datagram d("INVITE sip:x SIP/2.0\r\n"
               "Via: SIP/2.0/UDP a;branch=1\r\n"
               "CSeq: 1 INVITE\r\n"
               "From: <sip:f>\r\n"
               "v: SIP/2.0/UDP b;branch=2\r\n"
               "To: <sip:t>\r\n"
               "VIA: SIP/2.0/UDP c\r\n"
               "\r\n");
    sip::SipInMessage& m = d.request();
    while (!m.headersComplete())
        m.parseNextHeader();
    std::vector<std::string> vias;
    for (auto it = m.findHeader("Via", true); it != m.headersEnd() && !sip::headerNameLess("Via", it->first);
         ++it)
        vias.push_back(it->second);
    ASSERT_EQ(vias.size(), 3u);
    EXPECT_EQ(vias[0], "SIP/2.0/UDP a;branch=1");
    EXPECT_EQ(vias[1], "SIP/2.0/UDP b;branch=2");
    EXPECT_EQ(vias[2], "SIP/2.0/UDP c");
    // headerOrder keeps every header in arrival order, whatever its name.
    ASSERT_EQ(m.headerOrder().size(), 6u);
    EXPECT_EQ(m.headerOrder()[3]->first, "v");
}

TEST(SipReader, HeaderLineShapes) {
    Datagram d("MESSAGE sip:x SIP/2.0\r\n"
               "no colon here\r\n"
               "  Subject : spaced name\r\n"
               "X-Extra words before: the colon\r\n"
               "Empty:\r\n"
               "Tabbed:\t value \t\r\n"
               "CSeq: 1 MESSAGE\r\n"
               "\r\n");
    sip::SipInMessage& m = d.request();
    EXPECT_EQ(m.header("subject"), "spaced name");
    EXPECT_EQ(m.header("X-Extra"), "the colon");
    EXPECT_EQ(m.header("Empty"), "");
    EXPECT_NE(m.findHeader("Empty", true), m.headersEnd());
    EXPECT_EQ(m.header("Tabbed"), "value");
    EXPECT_EQ(m.header("no"), "");
    EXPECT_EQ(m.headerOrder().size(), 5u);
}

TEST(SipReader, EndOfTextEndsTheHeaderBlock) {
    Datagram d("SIP/2.0 100 Trying\r\nCSeq: 2 INVITE\r\nTo: <sip:t>");
    sip::SipInMessage& m = d.response();
    EXPECT_EQ(m.header("To"), "<sip:t>");
    EXPECT_EQ(m.header("From"), "");
    EXPECT_TRUE(m.headersComplete());
    EXPECT_EQ(m.parseNextHeader(), m.headersEnd());
}

TEST(SipReader, HeaderParameters) {
    Datagram d("SIP/2.0 200 OK\r\n"
               "To: \"Bob; Jr\" <sip:bob@pbx;transport=udp>;TAG=t42;x\r\n"
               "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bKq;rport\r\n"
               "Contact: <sip:2001@10.0.0.5>;expires=\"3600\" (comment)\r\n"
               "CSeq: 1 REGISTER\r\n"
               "\r\n");
    sip::SipInMessage& m = d.response();
    EXPECT_EQ(m.headerParameter("To", "tag"), "t42");
    EXPECT_EQ(m.headerParameter("To", "transport"), "");
    EXPECT_EQ(m.headerParameter("To", "x"), "");
    EXPECT_EQ(m.headerParameter("Via", "branch"), "z9hG4bKq");
    EXPECT_EQ(m.headerParameter("Contact", "expires"), "3600");
    EXPECT_EQ(m.headerParameter("From", "tag"), "");
}

TEST(SipHeaderValueCursor, TokensStepOverQuotesCommentsAndAngleBrackets) {
    sip::SipHeaderValue v("  \"a, \\\"b\" , (c, d) e ,<f,g>, ,last");
    EXPECT_EQ(v.nextToken(','), "\"a, \\\"b\"");
    EXPECT_EQ(v.nextToken(','), "(c, d) e");
    EXPECT_EQ(v.nextToken(','), "<f,g>");
    EXPECT_EQ(v.nextToken(','), "last");
    EXPECT_EQ(v.nextToken(','), "");
    EXPECT_EQ(v.position, v.text.size());

    // A blank separator splits at any white space.
    sip::SipHeaderValue words("Digest\trealm=\"a b\"  x");
    EXPECT_EQ(words.nextToken(' '), "Digest");
    EXPECT_EQ(words.nextToken(' '), "realm=\"a b\"");
    EXPECT_EQ(words.nextToken(' '), "x");

    // Unterminated constructs end at the end of the text.
    for (const char* open : {"\"abc", "(abc", "<abc", "\"ab\\"}) {
        sip::SipHeaderValue u(open);
        EXPECT_EQ(u.nextToken(';'), open);
        EXPECT_EQ(u.position, u.text.size());
    }
}

TEST(SipHeaderValueCursor, ParametersKeepFirstPlaceAndTakeTheLaterValue) {
    sip::SipHeaderValue v(
        "realm=\"pbx \\\"x\\\"\", nonce = abc (comment) ,Realm=second, stale, opaque=\"o\"");
    v.parseParameters(',');
    ASSERT_EQ(v.parameterNames.size(), 4u);
    EXPECT_EQ(v.parameterNames[0], "realm");
    EXPECT_EQ(v.parameterNames[1], "nonce");
    EXPECT_EQ(v.parameterNames[2], "stale");
    EXPECT_EQ(v.parameterNames[3], "opaque");
    EXPECT_EQ(v.parameter("REALM"), "second");
    EXPECT_EQ(v.parameter("nonce"), "abc");
    EXPECT_EQ(v.parameter("stale"), "");
    EXPECT_EQ(v.parameter("opaque"), "o");

    sip::SipHeaderValue quoted("n=\"pbx \\\"x\\\"\"");
    quoted.parseParameters(',');
    EXPECT_EQ(quoted.parameter("n"), "pbx \"x\"");
}

TEST(SipHeaderValueCursor, NameAddrForms) {
    const struct {
        const char* text;
        const char* uri;
        const char* displayName;
        const char* after; // what the cursor reads next with ';'
    } cases[] = {
        {"\"Bob \\\"B\\\"\" <sip:bob@pbx>;tag=1", "sip:bob@pbx", "Bob \"B\"", "tag=1"},
        {"Bob <sip:bob@pbx>;tag=1", "sip:bob@pbx", "Bob", "tag=1"},
        {"<sip:bob@pbx;lr>;tag=1", "sip:bob@pbx;lr", "", "tag=1"},
        {"sip:bob@pbx;tag=1", "sip:bob@pbx", "", "tag=1"},
        {"<sip:bob@pbx> junk;tag=1", "sip:bob@pbx", "", "tag=1"},
        {"<>;tag=1", "", "", "tag=1"},
        {"\"Unclosed <sip:x>", "Unclosed <sip:x", "", ""}, // all one quoted string
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        sip::SipHeaderValue v(c.text);
        std::string displayName = "stale";
        EXPECT_EQ(v.nameAddr(&displayName, ';'), c.uri) << c.text;
        EXPECT_EQ(displayName, c.displayName) << c.text;
        EXPECT_EQ(v.nextToken(';'), c.after) << c.text;
    }
}

TEST(SipUri, Splitting) {
    const struct {
        const char* text;
        const char* uri;
        const char* displayName;
        const char* scheme;
        const char* user;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"\"Alice A.\" <sips:alice:secret@pbx.example:5071;transport=tls>",
         "sips:alice:secret@pbx.example:5071;transport=tls", "Alice A.", "sips", "alice", "pbx.example",
         5071},
        {"<sip:pbx.example>", "sip:pbx.example", "", "sip", "", "pbx.example", 5060},
        {"sip:2001@10.0.0.5:5062", "sip:2001@10.0.0.5:5062", "", "sip", "2001", "10.0.0.5", 5062},
        {"tel:+3120", "tel:+3120", "", "tel", "", "+3120", 5060},
        {"host.only", "host.only", "", "", "", "host.only", 5060},
        {"sip:u@h:", "sip:u@h:", "", "sip", "u", "h", 0},
        {"sip:u@h:x1", "sip:u@h:x1", "", "sip", "u", "h", 0},
        {"sip:u@h:65535", "sip:u@h:65535", "", "sip", "u", "h", 65535},
        // A port that does not fit 16 bits is invalid, not wrapped.
        {"sip:u@h:65536", "sip:u@h:65536", "", "sip", "u", "h", 5060},
        {"sip:u@h:70000", "sip:u@h:70000", "", "sip", "u", "h", 5060},
        {"sip:u@h:999999999999999999999", "sip:u@h:999999999999999999999", "", "sip", "u", "h", 5060},
        {"", "", "", "", "", "", 5060},
    };
    for (const auto& c : cases) {
        sip::SipUriParts p = sip::parseSipUri(c.text);
        EXPECT_EQ(p.uri, c.uri) << c.text;
        EXPECT_EQ(p.displayName, c.displayName) << c.text;
        EXPECT_EQ(p.scheme, c.scheme) << c.text;
        EXPECT_EQ(p.user, c.user) << c.text;
        EXPECT_EQ(p.host, c.host) << c.text;
        EXPECT_EQ(p.port, c.port) << c.text;
    }
}

} // namespace
