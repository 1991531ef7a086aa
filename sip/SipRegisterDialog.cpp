#include "SipRegisterDialog.h"

#include "SipClientTransaction.h"
#include "SipEndPoint.h"
#include "SipInMessage.h"
#include "kmt/log.h"

#include <algorithm>
#include <cctype>

namespace sip {

namespace {

std::string addressOfRecord(SipEndPoint* endPoint) {
    SipProxy* proxy = endPoint->getProxy();
    return "sip:" + proxy->user + "@" + proxy->host;
}

// The leading decimal digits of a header or parameter value, saturated well above one day.
int64_t leadingSeconds(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t(1) << 40);
    return value;
}

} // namespace

SipRegisterDialog::SipRegisterDialog(SipEndPoint* endPoint_)
    : SipDialog(endPoint_, endPoint_->getProxy(), addressOfRecord(endPoint_), std::string()),
      reregisterCallback(this, &SipRegisterDialog::onReregister),
      keepAliveCallback(this, &SipRegisterDialog::onKeepAlive) {
    sendRegister(1);
}

SipRegisterDialog::~SipRegisterDialog() {
    cancelTimers();
    // The base destructor deletes a REGISTER still in progress.
    pendingRegister = nullptr;
}

void SipRegisterDialog::sendRegister(int attemptNumber) {
    if (SipRegisterRequest* previous = pendingRegister) {
        // Never two REGISTERs of one dialog at once: the later one alone counts.
        pendingRegister = nullptr;
        onRequestFinished(previous);
        delete previous;
    }
    localAddressCache = kmt::SocketAddress();
    auto* request =
        new SipRegisterRequest(this, proxy->addresses.front(), "sip:" + proxy->host, registering ? -1 : 0);
    pendingRegister = request;
    request->send(attemptNumber);
}

void SipRegisterDialog::cancel() {
    KMT_LOG(kmt::logSipRegister, 2) << "cancel registration at " << proxy->host;
    if (SipRegisterRequest* pending = pendingRegister) {
        pendingRegister = nullptr;
        onRequestFinished(pending);
        delete pending;
    }
    cancelTimers();
    registering = false;
    sendRegister(1);
}

void SipRegisterDialog::cancelTimers() {
    scheduler().removeTimer(&reregisterCallback);
    scheduler().removeTimer(&keepAliveCallback);
}

void SipRegisterDialog::startKeepAlive() {
    scheduler().removeTimer(&keepAliveCallback);
    scheduler().addTimer(kKeepAliveMs, &keepAliveCallback);
}

void SipRegisterDialog::retryLater() {
    scheduler().removeTimer(&reregisterCallback);
    scheduler().addTimer(kRetryMs, &reregisterCallback);
}

void SipRegisterDialog::onRequestTimeout(SipTransactionalRequest* request) {
    if (request != pendingRegister)
        return;
    KMT_LOG(kmt::logSipRegister, 2) << "REGISTER at " << proxy->host << " timed out";
    endPoint->getPhone()->registrationStateChanged(3, "timeout");
    retryLater();
}

void SipRegisterDialog::onRequestFinished(SipTransactionalRequest* request) {
    if (request == pendingRegister)
        pendingRegister = nullptr;
}

int64_t SipRegisterDialog::grantedExpires(SipInMessage& response) {
    int64_t expires = leadingSeconds(response.headerParameter("Contact", "expires"));
    if (expires <= 0)
        expires = leadingSeconds(response.header("Expires"));
    if (expires <= 0)
        expires = 3600;
    return std::min(expires, kMaxExpiresSeconds);
}

int64_t SipRegisterDialog::refreshDelayMs(int64_t expires) {
    expires = std::max<int64_t>(1, std::min(expires, kMaxExpiresSeconds));
    return expires > 64 ? (expires - 32) * 1000 : expires * 1000 / 2;
}

void SipRegisterDialog::onFinalResponse(SipTransactionalRequest* request, const kmt::SocketAddress& source,
                                        SipInMessage& response) {
    if (request != pendingRegister)
        return;
    pendingRegister = nullptr;
    const int code = response.statusCode;
    const std::string reason = response.reasonPhrase;
    if ((code == 401 || code == 407) && request->attempt < kMaxAttempts) {
        const bool usable = code == 401 ? parseChallenge(response, authorization, "WWW-Authenticate")
                                        : parseChallenge(response, proxyAuthorization, "Proxy-Authenticate");
        if (usable) {
            sendRegister(request->attempt + 1);
            return;
        }
    }
    if (code < 200 || code > 299) {
        KMT_LOG(kmt::logSipRegister, 2)
            << "REGISTER at " << proxy->host << " failed: " << code << " " << reason;
        endPoint->getPhone()->registrationStateChanged(2, reason);
        cancelTimers();
        retryLater();
        return;
    }
    if (!registering) {
        KMT_LOG(kmt::logSipRegister, 2) << "unregistered at " << proxy->host;
        endPoint->getPhone()->registrationStateChanged(3, reason);
        return;
    }
    proxy->registeredAddress = source;
    endPoint->getPhone()->registrationStateChanged(1, reason);
    const int64_t expires = grantedExpires(response);
    const int64_t delay = refreshDelayMs(expires);
    KMT_LOG(kmt::logSipRegister, 2) << "registered at " << proxy->host << " for " << expires
                                    << " s, refresh in " << delay << " ms";
    cancelTimers();
    scheduler().addTimer(static_cast<int>(delay), &reregisterCallback);
    startKeepAlive();
}

void SipRegisterDialog::onReregister() {
    try {
        sendRegister(1);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipRegister, 1) << "caught exception: " << e.what();
        retryLater();
    }
}

void SipRegisterDialog::onKeepAlive() {
    try {
        endPoint->socket.sendTo(proxy->addresses.front(), "\r\n", 2);
    } catch (...) {
        // A lost keep-alive is harmless; the next one follows.
    }
    scheduler().removeTimer(&keepAliveCallback);
    scheduler().addTimer(kKeepAliveMs, &keepAliveCallback);
}

} // namespace sip
