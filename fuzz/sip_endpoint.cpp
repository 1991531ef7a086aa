// Whole datagrams through SipEndPoint::dispatch, with a proxy installed and a registration in progress.
// The first input byte picks the source (the proxy's address, or another port); in the rest, "$C", "$T"
// and "$B" become the registration's Call-ID, From tag and pending branch, so that responses and
// in-dialog requests reach the dialog and its transaction. After every datagram only the registration
// may be left in the Call-ID map once the calls that INVITEs opened are released.
#include "Phone.h"
#include "SipClientTransaction.h"
#include "SipEndPoint.h"
#include "SipInviteDialog.h"
#include "SipLine.h"
#include "SipProxy.h"
#include "SipRegisterDialog.h"
#include "kmt/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

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

kmt::SocketAddress loopback(uint16_t port) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return kmt::SocketAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

struct World {
    World() {
        kmt::ipMode = 1;
        // Everything the end point sends lands here and is thrown away.
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

    void ensureRegistration() {
        sip::SipRegisterDialog* dialog = endPoint->getRegisterDialog();
        if (dialog && dialog->pendingRegister)
            return;
        sip::SipProxy* proxy = sip::SipProxy::create("127.0.0.1", sinkPort, "2001", "Desk");
        proxy->authUser = "auth2001";
        proxy->password = "secret";
        endPoint->startRegistration(proxy);
        char buffer[4096];
        while (::recv(sink, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

    NoDevice creator;
    std::unique_ptr<FuzzPhone> phone;
    sip::SipEndPoint* endPoint = nullptr;
    int sink = -1;
    uint16_t sinkPort = 0;
};

World* world = nullptr;

struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
};

void replaceAll(std::string& text, const std::string& token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
}

// Calls opened by an INVITE would otherwise live on until their transactions end: they go at once, with
// their lines.
void releaseCalls(sip::SipEndPoint* endPoint) {
    std::vector<sip::SipInviteDialog*> calls;
    for (const auto& entry : endPoint->dialogs)
        if (auto* call = dynamic_cast<sip::SipInviteDialog*>(entry.second))
            calls.push_back(call);
    for (sip::SipInviteDialog* call : calls) {
        sip::SipLine* line = call->line;
        delete call;
        delete line;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The log writes to the console at level 1; keep the fuzzer's output readable (and its memory flat).
    static NullBuffer discard;
    std::cout.rdbuf(&discard);
    world = new World;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    world->ensureRegistration();
    sip::SipRegisterDialog* registration = world->endPoint->getRegisterDialog();
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    replaceAll(text, "$C", registration->callId);
    replaceAll(text, "$T", registration->localTag);
    replaceAll(text, "$B", registration->pendingRegister ? registration->pendingRegister->branch : "");
    const kmt::SocketAddress source =
        (data[0] & 1) ? loopback(static_cast<uint16_t>(world->sinkPort + 1)) : loopback(world->sinkPort);

    std::istringstream stream(text);
    try {
        world->endPoint->dispatch(stream, source);
    } catch (const std::exception&) {
        // The receive path catches and logs these per datagram; here they are an accepted outcome.
    }
    releaseCalls(world->endPoint);
    if (world->endPoint->dialogCount() > 1 || world->phone->lineCount() != 0)
        std::abort();
    if (world->endPoint->getRegisterDialog() != registration || registration->activeResponseCount() != 0)
        std::abort();
    // Copies of the OPTIONS answers pile up in the sink; drop them.
    char buffer[70000];
    while (::recv(world->sink, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
    return 0;
}
