// A received SIP message: start line, a header block read lazily, and the body behind it.
#pragma once

#include <cstdint>
#include <exception>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace sip {

// The start line of a datagram was unusable; the message is dropped.
class SipIllegalMessageException : public std::exception {
public:
    const char* what() const noexcept override { return "illegal SIP message"; }
};

// The long name of a one-letter compact header name (any letter case), else the name itself.
const std::string& compactHeaderName(const std::string& name);

// Case-insensitive ASCII order of header names after mapping compact names to their long ones.
bool headerNameLess(const std::string& a, const std::string& b);
// Case-insensitive ASCII order (parameter names and other keys).
bool noCaseLess(const std::string& a, const std::string& b);
bool noCaseEqual(const std::string& a, const std::string& b);

struct HeaderNameOrder {
    bool operator()(const std::string& a, const std::string& b) const { return headerNameLess(a, b); }
};
struct NoCaseOrder {
    bool operator()(const std::string& a, const std::string& b) const { return noCaseLess(a, b); }
};

// Leading and trailing blanks, tabs, CR and LF removed.
std::string trimBlank(const std::string& text);

// A parse cursor over one header value.
class SipHeaderValue {
public:
    // No separator (for nextToken's second separator and nameAddr's separator).
    static constexpr int none = -1;

    explicit SipHeaderValue(std::string text);

    // Skips separators and white space, then reads up to the next separator (white space counts
    // as one when separator is a blank), stepping over quoted strings, comments and <...>.
    std::string nextToken(int separator, int secondSeparator = none);
    // Reads name[=value] tokens up to the end of the text into parameters.
    void parseParameters(int separator);
    // Reads [display name] <URI> or a bare URI; the display name goes to displayName when given.
    std::string nameAddr(std::string* displayName, int separator);

    // The value of a parsed parameter (name in any letter case); empty when absent.
    const std::string& parameter(const std::string& name) const;

    std::string text;
    size_t position = 0;
    std::map<std::string, std::string, NoCaseOrder> parameters;
    std::vector<std::string> parameterNames; // in order of first appearance
};

// Double quotes removed (backslash-escaped characters kept), comments outside quotes dropped.
std::string unquote(const std::string& text);

struct SipUriParts {
    std::string uri; // without angle brackets and header parameters
    std::string displayName;
    std::string scheme;
    std::string user;
    std::string host;
    uint16_t port = 5060;
};

// Splits a name-addr or URI text. A port that is not a number reads as 0; a port above 65535 is
// invalid and reads as no port (5060).
SipUriParts parseSipUri(const std::string& text);

class SipInMessage {
public:
    using HeaderMap = std::multimap<std::string, std::string, HeaderNameOrder>;
    using Position = HeaderMap::const_iterator;

    struct RequestLine {};
    struct StatusLine {};
    static constexpr RequestLine request{};
    static constexpr StatusLine response{};

    // startLine is the datagram's first line (read up to '\n'); stream stands at the first header
    // line and must outlive the message. Both throw SipIllegalMessageException.
    SipInMessage(RequestLine, const std::string& startLine, std::istream& stream);
    SipInMessage(StatusLine, const std::string& startLine, std::istream& stream);
    SipInMessage(const SipInMessage&) = delete;
    SipInMessage& operator=(const SipInMessage&) = delete;

    // The first header of that name, reading header lines only as far as needed; empty when absent.
    const std::string& header(const std::string& name);
    // The first header of that name (headersEnd() when none); later ones of the same name follow it
    // in arrival order. Unless firstOnly, the whole header block is read first.
    Position findHeader(const std::string& name, bool firstOnly);
    // Reads one more header line; headersEnd() when it was no header or the block has ended.
    Position parseNextHeader();
    // A parameter of the first header of that name, e.g. ("Via", "branch"); empty when absent.
    std::string headerParameter(const std::string& headerName, const std::string& parameterName);

    Position headersEnd() const { return headers.end(); }
    bool headersComplete() const { return complete; }
    const std::vector<Position>& headerOrder() const { return order; }
    // Reads the rest of the header block; the stream then stands at the body.
    std::istream& body();
    std::istream& stream() { return in; }

    bool isRequest() const { return requestMessage; }

    int32_t cseqNumber = 0;
    std::string cseqMethod; // the method of a request, the method answered by a response
    std::string requestUri; // requests only
    int32_t statusCode = 0; // responses only
    std::string reasonPhrase;

private:
    void readCSeq();

    std::istream& in;
    HeaderMap headers;
    std::vector<Position> order;
    bool complete = false;
    bool requestMessage;
    std::string line; // reused line buffer
};

} // namespace sip
