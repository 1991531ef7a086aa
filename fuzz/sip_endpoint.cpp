// Whole datagrams through SipEndPoint::dispatch, with a proxy installed and a registration in progress.
// The first input byte picks the source (the proxy's address, or another port); in the rest, "$C", "$T"
// and "$B" become the registration's Call-ID, From tag and pending branch, so that responses and
// in-dialog requests reach the dialog and its transaction. After every datagram only the registration
// may be left in the Call-ID map once the calls that INVITEs opened are released.
#include "EndPointWorld.h"
#include "SipProxy.h"
#include "SipRegisterDialog.h"
#include "SipClientTransaction.h"

#include <cstdlib>

namespace {

struct World : fuzzworld::World {
    void ensureRegistration() {
        sip::SipRegisterDialog* dialog = endPoint->getRegisterDialog();
        if (dialog && dialog->pendingRegister)
            return;
        sip::SipProxy* proxy = sip::SipProxy::create("127.0.0.1", sinkPort, "2001", "Desk");
        proxy->authUser = "auth2001";
        proxy->password = "secret";
        endPoint->startRegistration(proxy);
        drain();
    }
};

World* world = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzworld::quietConsole();
    world = new World;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    world->ensureRegistration();
    sip::SipRegisterDialog* registration = world->endPoint->getRegisterDialog();
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzzworld::replaceAll(text, "$C", registration->callId);
    fuzzworld::replaceAll(text, "$T", registration->localTag);
    fuzzworld::replaceAll(text, "$B",
                          registration->pendingRegister ? registration->pendingRegister->branch : "");
    const kmt::SocketAddress source = (data[0] & 1)
                                          ? fuzzworld::loopback(static_cast<uint16_t>(world->sinkPort + 1))
                                          : fuzzworld::loopback(world->sinkPort);

    fuzzworld::dispatch(world->endPoint, text, source);
    fuzzworld::releaseCalls(world->endPoint);
    if (world->endPoint->dialogCount() > 1 || world->phone->lineCount() != 0)
        std::abort();
    if (world->endPoint->getRegisterDialog() != registration || registration->activeResponseCount() != 0)
        std::abort();
    // Copies of the OPTIONS answers pile up in the sink; drop them.
    world->drain();
    return 0;
}
