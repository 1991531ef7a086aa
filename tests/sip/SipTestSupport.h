// Helpers for the SIP message tests: literal addresses, a dialog with fixed identity, and a log
// output that keeps what the SIP categories write.
#pragma once
#include "support/LogLines.h"

#include "SipDialog.h"
#include "SipEndPoint.h"
#include "SipProxy.h"
#include "kmt/log.h"
#include "kmt/socket.h"
#include "phone/phone_fakes.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace siptest {

// An IPv4 or IPv6 address from numeric text, without the resolver.
inline kmt::SocketAddress addr(const char* text, uint16_t port) {
    sockaddr_in v4{};
    if (inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        return kmt::SocketAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        return kmt::SocketAddress(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
    }
    return kmt::SocketAddress();
}

class TestDialog : public sip::SipDialog {
public:
    TestDialog(sip::SipEndPoint* endPoint, sip::SipProxy* proxy) : SipDialog(endPoint, proxy) {}
    void checkFinished() override {}
};

// A dialog of user 2001 at pbx.example (proxy 10.0.0.1:5060) calling 3002, local address
// 10.0.0.5:5060, no remote tag yet.
struct DialogFixture {
    DialogFixture()
        : phone(std::make_unique<phonetest::FakeMediaManager>(journal), creator, journal),
          endPoint(*static_cast<sip::SipEndPoint*>(phone.getProtocol())),
          proxy(new sip::SipProxy("pbx.example", {addr("10.0.0.1", 5060)}, "2001", "Desk")),
          dialog(&endPoint, proxy.get()) {
        proxy->authUser = "auth2001";
        proxy->password = "secret";
        dialog.callId = "c0ffee@10.0.0.5";
        dialog.localTag = "lt1";
        dialog.localUri = "sip:2001@pbx.example";
        dialog.localName = "Desk";
        dialog.remoteUri = "sip:3002@pbx.example";
        dialog.localAddressCache = addr("10.0.0.5", 5060);
    }
    kmt::SocketAddress proxyAddress() const { return proxy->addresses.front(); }

    // The phone builds the real end point; the tests use its socket.
    phonetest::Journal journal;
    phonetest::FakeCreator creator{journal, false};
    phonetest::TestPhone phone;
    sip::SipEndPoint& endPoint;
    std::unique_ptr<sip::SipProxy> proxy;
    TestDialog dialog;
};

// Keeps every record written to the "sip" and "sip_core" categories and raises both to level 5.
class LogRecorder : public testsupport::LogLines {
public:
    static LogRecorder& instance();

    void write(const char* category, int level, const char*, int, std::ostringstream& text) override {
        keep(std::string(category) + " " + std::to_string(level) + " " + text.str());
    }
    int level(const kmt::DebugCategory& category, int proposed) override {
        return category.getName() == "sip" || category.getName() == "sip_core" ? 5 : proposed;
    }
};

inline LogRecorder& LogRecorder::instance() {
    static LogRecorder* recorder = [] {
        auto* r = new LogRecorder;
        kmt::DebugRoot::instance()->addOutput(r);
        return r;
    }();
    return *recorder;
}

// Keeps the console output of the log quiet while a test that logs runs.
struct QuietCout {
    QuietCout() : old(std::cout.rdbuf(sink.rdbuf())) {}
    ~QuietCout() { std::cout.rdbuf(old); }
    std::ostringstream sink;
    std::streambuf* old;
};

} // namespace siptest
