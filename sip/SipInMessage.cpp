#include "SipInMessage.h"

#include <climits>
#include <cstring>

namespace sip {

namespace {

const std::string emptyText;

// Compact forms, looked up in this order.
const struct {
    char letter;
    const char* name;
} compactHeaderNames[] = {
    {'a', "Accept-Contact"},
    {'b', "Reffered-By"},
    {'c', "Content-type"},
    {'d', "Request-Disposition"},
    {'e', "Content-Encoding"},
    {'f', "From"},
    {'i', "Call-ID"},
    {'j', "Reject-Contact"},
    {'k', "Supported"},
    {'l', "Content-Length"},
    {'m', "Contact"},
    {'n', "Identity-Info"},
    {'o', "Event"},
    {'r', "Refer-To"},
    {'s', "Subject"},
    {'t', "To"},
    {'u', "Allow-Events"},
    {'v', "Via"},
    {'y', "Identity"},
    {'x', "Session-Expires"},
};

// The long names as strings, indexed by letter, so that lookups hand out references.
struct CompactTable {
    const std::string* byLetter[26] = {};
    std::vector<std::string> names;
    CompactTable() {
        names.reserve(sizeof compactHeaderNames / sizeof compactHeaderNames[0]);
        for (const auto& row : compactHeaderNames)
            names.emplace_back(row.name);
        size_t i = 0;
        for (const auto& row : compactHeaderNames) {
            const std::string*& slot = byLetter[row.letter - 'a'];
            if (!slot)
                slot = &names[i];
            ++i;
        }
    }
};

const CompactTable& compactTable() {
    static const CompactTable table;
    return table;
}

inline unsigned char lowerAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

inline bool isBlankCrLf(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The white space of the C library's isspace in the "C" locale.
inline bool isWhite(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int compareNoCase(const std::string& a, const std::string& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = lowerAscii(static_cast<unsigned char>(a[i]));
        unsigned char y = lowerAscii(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The next whitespace-delimited word from position p, as a stream's string extraction reads it.
bool nextWord(const std::string& text, size_t& p, std::string& word) {
    size_t n = text.size();
    while (p < n && isWhite(static_cast<unsigned char>(text[p])))
        ++p;
    size_t start = p;
    while (p < n && !isWhite(static_cast<unsigned char>(text[p])))
        ++p;
    word.assign(text, start, p - start);
    return p > start;
}

// A decimal 32-bit integer from position p, as a stream's int extraction reads it: white space,
// an optional sign, digits. Fails without digits or on overflow.
bool nextInt32(const std::string& text, size_t& p, int32_t& value) {
    size_t n = text.size();
    while (p < n && isWhite(static_cast<unsigned char>(text[p])))
        ++p;
    bool negative = false;
    if (p < n && (text[p] == '+' || text[p] == '-')) {
        negative = text[p] == '-';
        ++p;
    }
    size_t start = p;
    int64_t magnitude = 0;
    bool overflow = false;
    while (p < n && text[p] >= '0' && text[p] <= '9') {
        if (!overflow) {
            magnitude = magnitude * 10 + (text[p] - '0');
            if (magnitude > int64_t(INT32_MAX) + 1)
                overflow = true;
        }
        ++p;
    }
    if (p == start || overflow || (!negative && magnitude > INT32_MAX))
        return false;
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

} // namespace

const std::string& compactHeaderName(const std::string& name) {
    if (name.size() == 1) {
        unsigned char c = lowerAscii(static_cast<unsigned char>(name[0]));
        if (c >= 'a' && c <= 'z') {
            const std::string* longName = compactTable().byLetter[c - 'a'];
            if (longName)
                return *longName;
        }
    }
    return name;
}

bool headerNameLess(const std::string& a, const std::string& b) {
    return compareNoCase(compactHeaderName(a), compactHeaderName(b)) < 0;
}

bool noCaseLess(const std::string& a, const std::string& b) {
    return compareNoCase(a, b) < 0;
}

bool noCaseEqual(const std::string& a, const std::string& b) {
    return a.size() == b.size() && compareNoCase(a, b) == 0;
}

std::string trimBlank(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isBlankCrLf(text[begin]))
        ++begin;
    while (end > begin && isBlankCrLf(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::string unquote(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool quoted = false;
    size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted) {
            if (c == '\\' && i + 1 < n)
                c = text[++i];
            out += c;
        } else if (c == '(') {
            while (i < n && text[i] != ')')
                ++i;
        } else {
            out += c;
        }
    }
    return out;
}

SipHeaderValue::SipHeaderValue(std::string text_) : text(std::move(text_)) {}

std::string SipHeaderValue::nextToken(int separator, int secondSeparator) {
    const size_t n = text.size();
    size_t p = position < n ? position : n;
    auto isSeparator = [&](unsigned char c) {
        return c == separator || c == secondSeparator || (separator == ' ' && isWhite(c));
    };
    while (p < n) {
        unsigned char c = static_cast<unsigned char>(text[p]);
        if (c != separator && c != secondSeparator && !isWhite(c))
            break;
        ++p;
    }
    size_t start = p;
    while (p < n) {
        unsigned char c = static_cast<unsigned char>(text[p]);
        if (isSeparator(c))
            break;
        if (c == '"') {
            // A quoted string as a whole; a backslash escapes the next character.
            ++p;
            while (p < n && text[p] != '"')
                p += (text[p] == '\\' && p + 1 < n) ? 2 : 1;
            if (p < n)
                ++p;
        } else if (c == '(') {
            // A comment up to ')'; another '(' ends the stepping too (comments do not nest).
            ++p;
            while (p < n && text[p] != ')' && text[p] != '(')
                ++p;
            if (p < n && text[p] == ')')
                ++p;
        } else if (c == '<') {
            ++p;
            while (p < n && text[p] != '>')
                ++p;
            if (p < n)
                ++p;
        } else {
            ++p;
        }
    }
    position = p;
    return trimBlank(text.substr(start, p - start));
}

void SipHeaderValue::parseParameters(int separator) {
    for (;;) {
        std::string token = nextToken(separator);
        if (token.empty())
            return;
        std::string name, value;
        size_t equals = token.find('=');
        if (equals == std::string::npos) {
            name = std::move(token);
        } else {
            name = trimBlank(token.substr(0, equals));
            value = trimBlank(unquote(token.substr(equals + 1)));
        }
        auto it = parameters.find(name);
        if (it == parameters.end()) {
            parameterNames.push_back(name);
            parameters.emplace(std::move(name), std::move(value));
        } else {
            it->second = std::move(value);
        }
    }
}

std::string SipHeaderValue::nameAddr(std::string* displayName, int separator) {
    const size_t n = text.size();
    if (displayName)
        displayName->clear();

    // A '<' right at the start opens the URI: there is no display name.
    size_t p = position < n ? position : n;
    while (p < n &&
           (static_cast<unsigned char>(text[p]) == separator || isWhite(static_cast<unsigned char>(text[p]))))
        ++p;
    if (p < n && text[p] == '<') {
        position = p;
    } else {
        std::string token = nextToken(separator, '<');
        if (position >= n || text[position] != '<') {
            size_t close = token.find('>');
            if (close != std::string::npos)
                token.erase(close);
            return trimBlank(unquote(token));
        }
        if (displayName)
            *displayName = trimBlank(unquote(token));
    }

    // The cursor stands on '<'.
    ++position;
    while (position < n && isWhite(static_cast<unsigned char>(text[position])))
        ++position;
    std::string uri = position < n && text[position] == '>' ? std::string() : nextToken('>');
    if (position < n && text[position] == '>')
        ++position;
    if (position < n && static_cast<unsigned char>(text[position]) != separator)
        nextToken(separator);
    return trimBlank(uri);
}

const std::string& SipHeaderValue::parameter(const std::string& name) const {
    auto it = parameters.find(name);
    return it == parameters.end() ? emptyText : it->second;
}

SipUriParts parseSipUri(const std::string& text) {
    SipUriParts parts;
    SipHeaderValue value(text);
    parts.uri = value.nameAddr(&parts.displayName, SipHeaderValue::none);

    std::string rest = parts.uri.substr(0, parts.uri.find(';'));
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        parts.scheme = rest.substr(0, colon);
        rest.erase(0, colon + 1);
    }
    size_t at = rest.find('@');
    if (at != std::string::npos) {
        parts.user = rest.substr(0, at);
        parts.user.erase(std::min(parts.user.find(':'), parts.user.size()));
        rest.erase(0, at + 1);
    }
    colon = rest.find(':');
    parts.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
        uint32_t port = 0;
        bool valid = true;
        for (size_t i = colon + 1; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
            port = port * 10 + uint32_t(rest[i] - '0');
            if (port > 65535) {
                valid = false;
                break;
            }
        }
        parts.port = valid ? static_cast<uint16_t>(port) : 5060;
    }
    return parts;
}

SipInMessage::SipInMessage(RequestLine, const std::string& startLine, std::istream& stream)
    : in(stream), requestMessage(true) {
    readCSeq();
    size_t p = 0;
    std::string method, uri, version;
    bool complete =
        nextWord(startLine, p, method) && nextWord(startLine, p, uri) && nextWord(startLine, p, version);
    if (!complete || !noCaseEqual(version, "SIP/2.0") || method != cseqMethod)
        throw SipIllegalMessageException();
    requestUri = std::move(uri);
}

SipInMessage::SipInMessage(StatusLine, const std::string& startLine, std::istream& stream)
    : in(stream), requestMessage(false) {
    readCSeq();
    std::string text = startLine.substr(0, startLine.find('\n'));
    size_t p = 0;
    std::string version;
    if (!nextWord(text, p, version) || !nextInt32(text, p, statusCode) || !noCaseEqual(version, "SIP/2.0"))
        throw SipIllegalMessageException();
    while (p < text.size() && isWhite(static_cast<unsigned char>(text[p])))
        ++p;
    size_t end = text.size();
    while (end > p && isWhite(static_cast<unsigned char>(text[end - 1])))
        --end;
    reasonPhrase = text.substr(p, end - p);
}

void SipInMessage::readCSeq() {
    const std::string& value = header("CSeq");
    size_t p = 0;
    int32_t number = 0;
    if (nextInt32(value, p, number)) {
        cseqNumber = number;
        nextWord(value, p, cseqMethod);
    }
}

SipInMessage::Position SipInMessage::parseNextHeader() {
    if (complete)
        return headers.end();
    if (!std::getline(in, line)) {
        complete = true;
        return headers.end();
    }
    const size_t n = line.size();
    size_t i = 0;
    while (i < n && isBlankCrLf(line[i]))
        ++i;
    if (i == n) {
        complete = true;
        return headers.end();
    }
    size_t nameBegin = i;
    while (i < n && line[i] != ':' && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
        ++i;
    size_t nameEnd = i;
    if (i < n && line[i] != ':')
        i = line.find(':', i);
    if (i >= n)
        return headers.end(); // no colon: not a header line

    std::string value = trimBlank(line.substr(i + 1));
    std::string continuation;
    for (;;) {
        int next = in.peek();
        if (next != ' ' && next != '\t')
            break;
        std::getline(in, continuation);
        std::string folded = trimBlank(continuation);
        if (!folded.empty()) {
            value += "\r\n ";
            value += folded;
        }
    }
    Position position = headers.emplace(line.substr(nameBegin, nameEnd - nameBegin), std::move(value));
    order.push_back(position);
    return position;
}

SipInMessage::Position SipInMessage::findHeader(const std::string& name, bool firstOnly) {
    if (!firstOnly) {
        while (!complete)
            parseNextHeader();
    }
    Position found = headers.lower_bound(name);
    if (found != headers.end() && !headerNameLess(name, found->first))
        return found;
    while (!complete) {
        Position position = parseNextHeader();
        if (position != headers.end() && !headerNameLess(name, position->first) &&
            !headerNameLess(position->first, name))
            return position;
    }
    return headers.end();
}

const std::string& SipInMessage::header(const std::string& name) {
    Position position = findHeader(name, true);
    return position == headers.end() ? emptyText : position->second;
}

std::string SipInMessage::headerParameter(const std::string& headerName, const std::string& parameterName) {
    SipHeaderValue value(header(headerName));
    value.nextToken(';');
    if (value.position < value.text.size())
        value.parseParameters(';');
    return value.parameter(parameterName);
}

std::istream& SipInMessage::body() {
    while (!complete)
        parseNextHeader();
    return in;
}

} // namespace sip
