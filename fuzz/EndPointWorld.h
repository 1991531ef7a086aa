// What the SIP fuzz targets share: a phone without audio or headset that owns the real end point,
// a loopback sink that swallows everything the engine sends, and the helpers to feed datagrams.
#pragma once

#include "Phone.h"
#include "SipEndPoint.h"
#include "SipInviteDialog.h"
#include "SipLine.h"
#include "kmt/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fuzzworld {

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

class FuzzPhone : public kbrphone::Phone {
public:
    explicit FuzzPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
};

inline kmt::SocketAddress loopback(uint16_t port) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return kmt::SocketAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

struct World {
    World() {
        kmt::ipMode = 1;
        // Everything the engine sends (SIP and RTP) lands here and is thrown away.
        sink = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(sink, reinterpret_cast<sockaddr*>(&a), &len);
        sinkPort = ntohs(a.sin_port);
        phone.reset(new FuzzPhone(creator));
        endPoint = static_cast<sip::SipEndPoint*>(phone->getProtocol());
    }
    void drain() {
        char buffer[70000];
        while (::recv(sink, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

    NoDevice creator;
    std::unique_ptr<FuzzPhone> phone;
    sip::SipEndPoint* endPoint = nullptr;
    int sink = -1;
    uint16_t sinkPort = 0;
};

// The log writes to the console at level 1; keep the fuzzer's output readable (and its memory flat).
inline void quietConsole() {
    struct NullBuffer : std::streambuf {
        int overflow(int c) override { return c; }
    };
    static NullBuffer discard;
    std::cout.rdbuf(&discard);
}

inline void replaceAll(std::string& text, const std::string& token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
}

inline void dispatch(sip::SipEndPoint* endPoint, const std::string& text, const kmt::SocketAddress& source) {
    std::istringstream stream(text);
    try {
        endPoint->dispatch(stream, source);
    } catch (const std::exception&) {
        // The receive path catches and logs these per datagram; here they are an accepted outcome.
    }
}

// Calls would otherwise live on until their transactions end: they go at once, with their lines.
inline void releaseCalls(sip::SipEndPoint* endPoint) {
    std::vector<sip::SipInviteDialog*> calls;
    for (const auto& entry : endPoint->dialogs)
        if (auto* call = dynamic_cast<sip::SipInviteDialog*>(entry.second))
            calls.push_back(call);
    std::vector<sip::SipRefusedInvite*> refused;
    for (const auto& entry : endPoint->dialogs)
        if (auto* r = dynamic_cast<sip::SipRefusedInvite*>(entry.second))
            refused.push_back(r);
    for (sip::SipInviteDialog* call : calls) {
        sip::SipLine* line = call->line;
        delete call;
        delete line;
    }
    for (sip::SipRefusedInvite* r : refused)
        delete r;
}

} // namespace fuzzworld
