// Helpers for the dialog, transaction, end point and registration tests: a phone with the real end
// point, a UDP peer on 127.0.0.1 standing in for the proxy, and a virtual clock that moves the wall clock
// the scheduler reads, so that 32 s of timers run in a fraction of a second. The wall clock is held
// while a harness lives: it moves only when the test moves it, whatever the machine's speed.
#pragma once

#include "SipDialog.h"
#include "SipClientTransaction.h"
#include "SipEndPoint.h"
#include "SipInMessage.h"
#include "SipRegisterDialog.h"
#include "SipServerTransaction.h"
#include "kmt/log.h"
#include "phone/phone_fakes.h"
#include "plat/net.h"
#include "plat/time.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace dialogtest {

inline kmt::SocketAddress loopback(uint16_t port) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return kmt::SocketAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

// The value of the first header of that name in a message text ("" when absent).
inline std::string headerOf(const std::string& text, const std::string& name) {
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string key = line.substr(0, colon);
        while (!key.empty() && key.back() == ' ')
            key.pop_back();
        if (strcasecmp(key.c_str(), name.c_str()) != 0)
            continue;
        size_t start = line.find_first_not_of(' ', colon + 1);
        return start == std::string::npos ? std::string() : line.substr(start);
    }
    return std::string();
}

inline std::string firstLine(const std::string& text) {
    return text.substr(0, text.find("\r\n"));
}

// The value of a ;name=value parameter in a header value ("" when absent).
inline std::string paramOf(const std::string& value, const std::string& name) {
    const std::string key = ";" + name + "=";
    size_t at = value.find(key);
    if (at == std::string::npos)
        return std::string();
    at += key.size();
    size_t end = value.find_first_of(";>, ", at);
    return value.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

struct Datagram {
    std::string text;
    uint16_t fromPort = 0;
    int64_t at = 0; // virtual milliseconds since the harness started
};

// A UDP socket on 127.0.0.1 with a port the system chooses; plain POSIX, independent of the engine.
class Peer {
public:
    Peer() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Peer() { ::close(fd); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void sendTo(uint16_t toPort, const std::string& text) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(toPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // One datagram if one is waiting (no waiting).
    bool poll(Datagram& out) const {
        static char buffer[70000];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return false;
        out.text.assign(buffer, static_cast<size_t>(n));
        out.fromPort = ntohs(from.sin_port);
        return true;
    }
    kmt::SocketAddress address() const { return loopback(port); }

    int fd;
    uint16_t port;
};

// Log records of the SIP categories at fixed levels (levels are resolved once per process): sip_core at
// exactly 3, the other SIP categories at 5.
class LogCapture : public kmt::DebugManager {
public:
    static LogCapture& instance() {
        static LogCapture* capture = [] {
            auto* c = new LogCapture;
            kmt::DebugRoot::instance()->addOutput(c);
            return c;
        }();
        return *capture;
    }
    void write(const char* category, int, const char*, int, std::ostringstream& text) override {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(std::string(category) + ": " + text.str());
    }
    int level(const kmt::DebugCategory& category, int proposed) override {
        const std::string& name = category.getName();
        if (name == "sip_core")
            return 3;
        if (name.compare(0, 3, "sip") == 0)
            return 5;
        return proposed;
    }
    void categoryAdded(kmt::DebugCategory*) override {}

    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> out;
        out.swap(lines);
        return out;
    }
    bool contains(const std::vector<std::string>& lines_, const std::string& part) {
        for (const std::string& l : lines_)
            if (l.find(part) != std::string::npos)
                return true;
        return false;
    }

private:
    std::mutex lock;
    std::vector<std::string> lines;
};

// Keeps the console quiet while the log writes.
struct QuietCout {
    QuietCout() : old(std::cout.rdbuf(sink.rdbuf())) {}
    ~QuietCout() { std::cout.rdbuf(old); }
    std::ostringstream sink;
    std::streambuf* old;
};

struct Marker : kmt::EventCallbackBase {
    void invoke() override {}
};

// A phone with the real SIP end point and a proxy peer; the loop is run by the test, cycle by cycle.
class Harness {
public:
    Harness()
        : logInstalled((LogCapture::instance(), true)),
          phone(std::make_unique<phonetest::FakeMediaManager>(journal), creator, journal),
          endPoint(*static_cast<sip::SipEndPoint*>(phone.getProtocol())) {
        LogCapture::instance();
        kmt::ipMode = 1;
        // A stall of a loaded machine while a timer is due makes that timer late, and every timer
        // posted from it as late again (the scheduler counts from the due time): with the clock
        // held, no real time reaches the scheduler.
        plat::testing::holdWallClock(true);
        start = plat::wallClockMs();
    }
    ~Harness() {
        // Run what the phone's tests run too: posted work must not outlive the phone.
        plat::testing::holdWallClock(false);
        plat::testing::setWallClockOffsetMs(0);
    }

    uint16_t sipPort() { return endPoint.socket.localAddress().port(); }
    int64_t now() const { return plat::wallClockMs() - start; }

    // One cycle of the loop that never waits in real time: posting and removing the marker at the end of
    // the timer list sets the loop's wake event without touching the due times of the other timers.
    void cycle() {
        phone.addTimer(1 << 30, &marker);
        phone.removeTimer(&marker);
        phone.runOnce();
    }
    bool sipSocketReadable() {
        pollfd p{plat::socketFd(endPoint.socket.handle()), POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

    // Runs the timers that are due now (a few per call) and every datagram waiting at the end point;
    // collects what the peers received.
    void pump() {
        cycle();
        cycle();
        for (int i = 0; i < 1000 && sipSocketReadable(); ++i) {
            cycle();
            cycle();
        }
        collect();
    }

    // Moves the virtual clock forward by ms, in steps, running the loop after each.
    void advance(int64_t ms, int64_t stepMs = 1) {
        const int64_t target = now() + ms;
        for (int64_t i = 0; i <= ms / stepMs + 1; ++i) {
            const int64_t left = target - now();
            if (left <= 0)
                break;
            plat::testing::setWallClockOffsetMs(plat::testing::wallClockOffsetMs() + std::min(stepMs, left));
            pump();
        }
    }

    // Runs until the proxy peer has received n datagrams in all, or limitMs of virtual time passed.
    bool advanceUntil(size_t n, int64_t limitMs, int64_t stepMs = 1) {
        const int64_t target = now() + limitMs;
        for (int64_t i = 0; i <= limitMs / stepMs + 1 && proxyReceived.size() < n && now() < target; ++i) {
            plat::testing::setWallClockOffsetMs(plat::testing::wallClockOffsetMs() + stepMs);
            pump();
        }
        return proxyReceived.size() >= n;
    }

    void collect() {
        Datagram d;
        while (proxy.poll(d)) {
            d.at = now();
            proxyReceived.push_back(d);
        }
        while (other.poll(d)) {
            d.at = now();
            otherReceived.push_back(d);
        }
    }

    // Installs the proxy peer without registering (requests from it open dialogs).
    void installProxy(const std::string& user = "2001") {
        endPoint.setProxy(user, "Desk", "auth" + user, "secret", "127.0.0.1", proxy.port);
        pump();
    }

    // The datagrams the proxy received whose first line starts with text, and takes them out.
    std::vector<Datagram> takeProxy() {
        std::vector<Datagram> out;
        out.swap(proxyReceived);
        return out;
    }

    // Sends text from the proxy peer (or the other peer) to the end point and runs the loop.
    void fromProxy(const std::string& text) {
        proxy.sendTo(sipPort(), text);
        pump();
    }
    void fromOther(const std::string& text) {
        other.sendTo(sipPort(), text);
        pump();
    }

    // The capture is in place before anything logs: each category resolves its level once.
    bool logInstalled;
    QuietCout quiet;
    phonetest::Journal journal;
    phonetest::FakeCreator creator{journal, false};
    phonetest::TestPhone phone;
    sip::SipEndPoint& endPoint;
    Peer proxy;
    Peer other;
    std::vector<Datagram> proxyReceived;
    std::vector<Datagram> otherReceived;
    Marker marker;
    int64_t start = 0;
};

// A response to a request text: its Via, From, To (with a tag added), Call-ID and CSeq, then extra
// header lines, then the body.
inline std::string responseTo(const std::string& request, int code, const std::string& reason,
                              const std::string& extra = "", const std::string& toTag = "rt1") {
    std::string to = headerOf(request, "To");
    if (!toTag.empty() && paramOf(to, "tag").empty())
        to += ";tag=" + toTag;
    std::ostringstream os;
    os << "SIP/2.0 " << code << " " << reason << "\r\n"
       << "Via: " << headerOf(request, "Via") << "\r\n"
       << "From: " << headerOf(request, "From") << "\r\n"
       << "To: " << to << "\r\n"
       << "Call-ID: " << headerOf(request, "Call-ID") << "\r\n"
       << "CSeq: " << headerOf(request, "CSeq") << "\r\n"
       << extra << "Content-Length: 0\r\n\r\n";
    return os.str();
}

// A request from the proxy peer opening nothing (OPTIONS, INVITE, BYE, ...).
inline std::string requestText(const std::string& method, uint16_t fromPort, const std::string& callId,
                               int cseq = 1, const std::string& branch = "z9hG4bKpeer1",
                               const std::string& fromTag = "ft1", const std::string& toTag = "",
                               const std::string& cseqMethod = "") {
    std::ostringstream os;
    os << method << " sip:2001@127.0.0.1 SIP/2.0\r\n"
       << "Via: SIP/2.0/UDP 127.0.0.1:" << fromPort << ";branch=" << branch << ";rport\r\n"
       << "Max-Forwards: 70\r\n"
       << "From: \"Peer\" <sip:3002@127.0.0.1>;tag=" << fromTag << "\r\n"
       << "To: <sip:2001@127.0.0.1>" << (toTag.empty() ? "" : ";tag=" + toTag) << "\r\n"
       << "Call-ID: " << callId << "\r\n"
       << "CSeq: " << cseq << " " << (cseqMethod.empty() ? method : cseqMethod) << "\r\n"
       << "Content-Length: 0\r\n\r\n";
    return os.str();
}

// A dialog that records what its transactions and the end point tell it, with the virtual time.
class RecordingDialog : public sip::SipDialog {
public:
    // A dialog that calls 3002 through the harness's proxy.
    explicit RecordingDialog(Harness& h)
        : SipDialog(&h.endPoint, h.endPoint.getProxy(), "3002", "Callee"), harness(h) {}
    // A dialog opened by a received request.
    RecordingDialog(Harness& h, sip::SipInMessage& request)
        : SipDialog(&h.endPoint, h.endPoint.getProxy(), request), harness(h) {}

    void onUnmatchedResponse(const kmt::SocketAddress&, sip::SipInMessage& response) override {
        add("unmatched " + std::to_string(response.statusCode));
    }
    void onRequestTimeout(sip::SipTransactionalRequest* request) override {
        add("timeout " + request->method);
    }
    void onProvisionalResponse(sip::SipTransactionalRequest*, const kmt::SocketAddress&,
                               sip::SipInMessage& response) override {
        add("provisional " + std::to_string(response.statusCode));
    }
    void onFinalResponse(sip::SipTransactionalRequest*, const kmt::SocketAddress&,
                         sip::SipInMessage& response) override {
        add("final " + std::to_string(response.statusCode));
    }
    void onRequestFinished(sip::SipTransactionalRequest* request) override {
        add("finished " + request->method);
    }
    void onRequest(const kmt::SocketAddress& source, sip::SipInMessage& request) override {
        add("request " + request.cseqMethod + " " + std::to_string(request.cseqNumber));
        if (onRequestAction)
            onRequestAction(source, request);
    }
    void onResponseNotAcknowledged(sip::SipTransactionalResponse*) override { add("not acknowledged"); }
    void onAckOrCancel(sip::SipTransactionalResponse*, const kmt::SocketAddress&,
                       sip::SipInMessage& request) override {
        add("ack or cancel " + request.cseqMethod);
    }
    void onResponseFinished(sip::SipTransactionalResponse*) override { add("response finished"); }
    void checkFinished() override { add("check finished"); }

    void add(const std::string& what) {
        events.push_back(what);
        times.push_back(harness.now());
    }
    std::vector<std::string> takeEvents() {
        std::vector<std::string> out;
        out.swap(events);
        times.clear();
        return out;
    }

    Harness& harness;
    std::vector<std::string> events;
    std::vector<int64_t> times;
    std::function<void(const kmt::SocketAddress&, sip::SipInMessage&)> onRequestAction;
};

// Parses a message text as the end point would (the stream must outlive the message).
struct Parsed {
    explicit Parsed(const std::string& text) : stream(text) {
        std::getline(stream, line);
        if (line.compare(0, 3, "SIP") == 0)
            message.reset(new sip::SipInMessage(sip::SipInMessage::response, line, stream));
        else
            message.reset(new sip::SipInMessage(sip::SipInMessage::request, line, stream));
    }
    std::istringstream stream;
    std::string line;
    std::unique_ptr<sip::SipInMessage> message;
};

} // namespace dialogtest
