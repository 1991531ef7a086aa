// The registration at the proxy, and the throw-away dialog that answers requests outside any dialog.
#pragma once

#include "SipDialog.h"
#include "kmt/scheduler.h"

#include <cstdint>

namespace sip {

class SipRegisterRequest;

class SipRegisterDialog : public SipDialog {
public:
    static constexpr int kRetryMs = 300000;
    static constexpr int kKeepAliveMs = 10000;
    static constexpr int kMaxAttempts = 4;
    // A registrar's expiry is held to one day.
    static constexpr int64_t kMaxExpiresSeconds = 86400;

    // Enters the Call-ID map and sends the first REGISTER.
    explicit SipRegisterDialog(SipEndPoint* endPoint);
    ~SipRegisterDialog() override;

    void onRequestTimeout(SipTransactionalRequest* request) override;
    void onFinalResponse(SipTransactionalRequest* request, const kmt::SocketAddress& source,
                         SipInMessage& response) override;
    void onRequestFinished(SipTransactionalRequest* request) override;

    // A new REGISTER of this dialog (expiry 0 once cancelling).
    void sendRegister(int attemptNumber);
    // Drops a pending REGISTER and both timers, then unregisters with expiry 0.
    void cancel();
    void cancelTimers();
    void startKeepAlive();

    // Milliseconds until the refresh of a registration that lasts expires seconds: 32 s before it
    // lapses, or after half of it when it lasts 64 s or less. The expiry is held to one day.
    static int64_t refreshDelayMs(int64_t expires);
    // The expiry granted by a 2xx: Contact expires, else Expires, else 3600 seconds; held to one day.
    static int64_t grantedExpires(SipInMessage& response);

    kmt::EventCallback<SipRegisterDialog> reregisterCallback;
    kmt::EventCallback<SipRegisterDialog> keepAliveCallback;
    SipRegisterRequest* pendingRegister = nullptr;
    bool registering = true;

private:
    void onReregister();
    void onKeepAlive();
    void retryLater();
};

// Lives on the stack while one request outside any dialog (an OPTIONS) is answered.
class SipOptionsDialog : public SipDialog {
public:
    SipOptionsDialog(SipEndPoint* endPoint, SipProxy* proxy, SipInMessage& request)
        : SipDialog(endPoint, proxy, request) {}
    ~SipOptionsDialog() override = default;
};

} // namespace sip
