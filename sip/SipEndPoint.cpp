#include "SipEndPoint.h"

#include "SipDialog.h"
#include "SipInviteDialog.h"
#include "SipLine.h"
#include "SipInMessage.h"
#include "SipOutMessage.h"
#include "SipRegisterDialog.h"
#include "SipAddress.h"
#include "kmt/ident.h"
#include "kmt/log.h"
#include "plat/time.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <sstream>
#include <new>
#include <stdexcept>
#include <system_error>

namespace sip {

namespace {

// Work handed from the Java threads to the loop. Each runs once and deletes itself; nothing it throws
// reaches the loop.
class EndPointCallback : public kmt::EventCallbackBase {
public:
    void invoke() override {
        endPoint->forgetPosted(this);
        try {
            run();
        } catch (const std::exception& e) {
            KMT_LOG(kmt::logSip, 1) << "caught exception: " << e.what();
        } catch (...) {
            KMT_LOG(kmt::logSip, 1) << "caught exception: unknown";
        }
        delete this;
    }

protected:
    explicit EndPointCallback(SipEndPoint* endPoint_) : endPoint(endPoint_) {}
    virtual void run() = 0;
    SipEndPoint* endPoint;
};

class ProxyCallback : public EndPointCallback {
public:
    // A callback destroyed without having run still owns its proxy.
    ~ProxyCallback() override { delete proxy; }

protected:
    ProxyCallback(SipEndPoint* endPoint_, SipProxy* proxy_) : EndPointCallback(endPoint_), proxy(proxy_) {}
    SipProxy* take() {
        SipProxy* p = proxy;
        proxy = nullptr;
        return p;
    }
    SipProxy* proxy;
};

class RegisterCallback : public ProxyCallback {
public:
    RegisterCallback(SipEndPoint* endPoint_, SipProxy* proxy_) : ProxyCallback(endPoint_, proxy_) {}
    void run() override { endPoint->startRegistration(take()); }
};

class SetProxyCallback : public ProxyCallback {
public:
    SetProxyCallback(SipEndPoint* endPoint_, SipProxy* proxy_) : ProxyCallback(endPoint_, proxy_) {}
    void run() override { endPoint->installProxy(take()); }
};

class CancelRegistrationCallback : public EndPointCallback {
public:
    explicit CancelRegistrationCallback(SipEndPoint* endPoint_) : EndPointCallback(endPoint_) {}
    void run() override {
        if (SipRegisterDialog* dialog = endPoint->getRegisterDialog())
            dialog->cancel();
    }
};

// Resolves the proxy on the calling thread; port 0 means 5060. A port outside 0-65535 is refused rather
// than wrapped into another port.
SipProxy* makeProxy(const std::string& user, const std::string& displayName, const std::string& authUser,
                    const std::string& password, const std::string& host, int port) {
    if (port < 0 || port > 65535)
        throw std::runtime_error("invalid proxy port " + std::to_string(port));
    SipProxy* proxy = SipProxy::create(host, port == 0 ? 5060 : port, user, displayName);
    proxy->authUser = authUser;
    proxy->password = password;
    return proxy;
}

} // namespace

// ---- SipEndPoint

bool SipEndPoint::acceptsSource(const SipProxy& proxy, const kmt::SocketAddress& source) {
    if (!isUnspecifiedAddress(proxy.registeredAddress) && proxy.registeredAddress == source)
        return true;
    for (const kmt::SocketAddress& a : proxy.addresses)
        if (a == source)
            return true;
    return false;
}

SipEndPoint::SipEndPoint(kbrphone::Phone* phone_)
    : Protocol(phone_), receiveCallback(this, &SipEndPoint::receive), receiveBuffer(kReceiveBufferSize + 1) {
    const int mode = kmt::ipMode;
    const int family = kmt::SocketAddress::familyFor(mode);
    const int flags = kmt::SocketAddress::flagsFor(mode, false) | AI_PASSIVE;
    const kmt::SocketAddress local =
        kmt::SocketAddress::resolve(mode, family, nullptr, "0", 0, SOCK_DGRAM, flags);
    try {
        socket.bindUdp(local);
    } catch (const kmt::SocketException& e) {
        KMT_LOG(kmt::logSipCore, 1) << "bind of the SIP socket failed, retrying on the wildcard address: "
                                    << e.what();
        socket.bindUdp(kmt::SocketAddress());
    }
    sizeReceiveBuffer();
    phone->addSocket(socket, &receiveCallback);
    KMT_LOG(kmt::logSipCore, 2) << "SIP socket on port " << socket.localAddress().port();
}

// A burst of requests must wait in the socket while the loop is busy, not be dropped: ask for room for a
// few thousand datagrams and say what the system granted.
void SipEndPoint::sizeReceiveBuffer() {
    const int asked = kSocketBufferBytes;
    if (plat::setsockopt(socket.handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&asked),
                         sizeof asked) == plat::SOCKET_ERROR) {
        KMT_LOG(kmt::logSipCore, 1) << "could not size the SIP receive buffer: " << plat::WSAGetLastError();
        return;
    }
    int granted = 0;
    int length = sizeof granted;
    if (plat::getsockopt(socket.handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted),
                         &length) != plat::SOCKET_ERROR) {
        KMT_LOG(kmt::logSipCore, 2) << "SIP receive buffer " << granted << " bytes (asked " << asked << ")";
    }
}

SipEndPoint::~SipEndPoint() {
    {
        // Work posted for this end point must not run after it.
        std::lock_guard<std::mutex> guard(postedLock);
        for (kmt::EventCallbackBase* callback : posted) {
            phone->removeTimer(callback);
            delete callback;
        }
        posted.clear();
    }
    delete registerDialog;
    registerDialog = nullptr;
    dialogs.clear();
    delete proxy;
    for (SipProxy* p : retiredProxies)
        delete p;
    socket.close();
}

kbrphone::Line* SipEndPoint::createLine(const std::string& name) {
    return SipLine::create(this, kmt::randomId(), name);
}

void SipEndPoint::processEvents() {
    phone->run();
}

void SipEndPoint::registerWithProxy(const std::string& user, const std::string& displayName,
                                    const std::string& authUser, const std::string& password,
                                    const std::string& host, int port) {
    post(new RegisterCallback(this, makeProxy(user, displayName, authUser, password, host, port)));
}

void SipEndPoint::setProxy(const std::string& user, const std::string& displayName,
                           const std::string& authUser, const std::string& password, const std::string& host,
                           int port) {
    post(new SetProxyCallback(this, makeProxy(user, displayName, authUser, password, host, port)));
}

void SipEndPoint::cancelRegistration() {
    post(new CancelRegistrationCallback(this));
}

void SipEndPoint::post(kmt::EventCallbackBase* callback) {
    {
        std::lock_guard<std::mutex> guard(postedLock);
        posted.insert(callback);
    }
    phone->addTimer(0, callback);
}

void SipEndPoint::forgetPosted(kmt::EventCallbackBase* callback) {
    std::lock_guard<std::mutex> guard(postedLock);
    posted.erase(callback);
}

void SipEndPoint::installProxy(SipProxy* newProxy) {
    if (proxy)
        retiredProxies.push_back(proxy);
    proxy = newProxy;
    releaseRetiredProxies();
}

void SipEndPoint::startRegistration(SipProxy* newProxy) {
    // The replaced registration goes with its timers and its transaction before its proxy is retired.
    SipRegisterDialog* old = registerDialog;
    registerDialog = nullptr;
    delete old;
    installProxy(newProxy);
    registerDialog = new SipRegisterDialog(this);
}

void SipEndPoint::releaseRetiredProxies() {
    for (auto it = retiredProxies.begin(); it != retiredProxies.end();) {
        SipProxy* p = *it;
        bool used = false;
        for (const auto& entry : dialogs)
            used = used || entry.second->proxy == p;
        if (used) {
            ++it;
        } else {
            delete p;
            it = retiredProxies.erase(it);
        }
    }
}

void SipEndPoint::addDialog(SipDialog* dialog) {
    dialogs[dialog->callId] = dialog;
}

void SipEndPoint::removeDialog(SipDialog* dialog) {
    auto it = dialogs.find(dialog->callId);
    if (it != dialogs.end() && it->second == dialog)
        dialogs.erase(it);
    if (!retiredProxies.empty())
        releaseRetiredProxies();
    // The last call is gone: what the calls allocated goes back to the system, so the footprint of an
    // idle phone follows its load instead of staying at its peak.
    if (dialogs.size() == (registerDialog ? 1u : 0u)) {
        const size_t freeInHeap = plat::HeapCompact(plat::GetProcessHeap(), 0);
        KMT_LOG(kmt::logSipCore, 3) << "no calls left: heap compacted, " << freeInHeap << " bytes free in it";
    }
}

SipDialog* SipEndPoint::findDialog(SipInMessage& message) {
    const std::string callId = message.header("Call-ID");
    KMT_LOG(kmt::logSipCore, 4) << "value of callid is " << callId;
    auto it = dialogs.find(callId);
    return it == dialogs.end() ? nullptr : it->second;
}

void SipEndPoint::receive() {
    kmt::SocketAddress source;
    int sourceLength = kmt::SocketAddress::length();
    const int n = plat::recvfrom(socket.handle(), receiveBuffer.data(), kReceiveBufferSize, 0,
                                 source.sockaddr(), &sourceLength);
    if (n == plat::SOCKET_ERROR) {
        const int code = plat::WSAGetLastError();
        if (code == plat::WSAEMSGSIZE) {
            KMT_LOG_BOUNDED(kmt::logSipCore, 1, oversizeLog)
                << "dropped a datagram longer than " << kReceiveBufferSize << " bytes from " << source << ":"
                << source.port();
        }
        KMT_LOG(kmt::logSipCore, 2) << "ignoring socket read error";
        return;
    }
    receiveBuffer[static_cast<size_t>(n)] = '\0';
    handleDatagram(receiveBuffer.data(), static_cast<size_t>(n), source);
}

void SipEndPoint::handleDatagram(const char* data, size_t length, const kmt::SocketAddress& source) {
    try {
        const int level = kmt::logSipCore.effectiveLevel();
        if (level >= 3) {
            const std::string text(data, length);
            if (level >= 4 || text.find("REGISTER") == std::string::npos) {
                KMT_LOG(kmt::logSipCore, 3) << "received from " << source << ":" << source.port() << ":\n"
                                            << text;
            }
        }
        std::istringstream stream(std::string(data, length));
        dispatch(stream, source);
    } catch (const std::exception& e) {
        KMT_LOG_BOUNDED(kmt::logSipCore, 1, failureLog) << "caught exception: " << e.what();
    } catch (...) {
        KMT_LOG_BOUNDED(kmt::logSipCore, 1, failureLog) << "caught exception: unknown";
    }
}

void SipEndPoint::dispatch(std::istream& text, const kmt::SocketAddress& source) {
    std::string firstLine;
    std::getline(text, firstLine);
    try {
        if (firstLine.compare(0, 3, "SIP") == 0) {
            SipInMessage response(SipInMessage::response, firstLine, text);
            if (!bodyComplete(response, source))
                return;
            if (SipDialog* dialog = findDialog(response))
                dialog->handleResponse(source, response);
        } else {
            SipInMessage request(SipInMessage::request, firstLine, text);
            if (!bodyComplete(request, source))
                return;
            if (SipDialog* dialog = findDialog(request))
                dialog->handleRequest(source, request);
            else if (proxy)
                acceptNewRequest(proxy, source, request);
        }
    } catch (const SipIllegalMessageException&) {
        KMT_LOG(kmt::logSipCore, 4) << "ignored illegal message";
    }
}

// A datagram whose Content-Length promises more than came was cut on the way: it is dropped (a message
// over UDP is never completed by a later datagram).
bool SipEndPoint::bodyComplete(SipInMessage& message, const kmt::SocketAddress& source) {
    const std::string declared = trimBlank(message.header("Content-Length"));
    if (declared.empty() || declared.find_first_not_of("0123456789") != std::string::npos ||
        declared.size() > 9)
        return true;
    std::istream& body = message.body();
    const std::streampos start = body.tellg();
    if (start < 0)
        return true;
    body.seekg(0, std::ios::end);
    const std::streamoff available = body.tellg() - start;
    body.seekg(start);
    if (std::stoll(declared) <= available)
        return true;
    KMT_LOG_BOUNDED(kmt::logSipCore, 1, cutLog)
        << "dropped a message from " << source << ":" << source.port() << " whose Content-Length " << declared
        << " is longer than its body of " << available << " bytes";
    return false;
}

void SipEndPoint::acceptNewRequest(SipProxy* from, const kmt::SocketAddress& source, SipInMessage& request) {
    const std::string& method = request.cseqMethod;
    KMT_LOG(kmt::logSipCore, 4) << "incoming: " << method << " " << request.requestUri;
    if (!acceptsSource(*from, source))
        return;
    try {
        const std::string toTag = request.headerParameter("To", "tag");
        if (!toTag.empty()) {
            // A request inside a dialog that is gone (a BYE, or a re-INVITE, after the call ended): told
            // so at once, and no new call is made of it. An ACK is never answered.
            if (!noCaseEqual(method, "ACK")) {
                SipOptionsDialog dialog(this, proxy, request);
                SipResponse response(&dialog, source, request);
                response.toTag = toTag;
                response.sendResponse(481, "Call/Transaction Does Not Exist");
            }
        } else if (noCaseEqual(method, "INVITE")) {
            // A loop flooded past what it serves refuses new calls at once, the cheapest answer it
            // has, rather than let every call it has already taken wait behind them until their
            // peers give up on them.
            if (scheduler().isOverloaded()) {
                noteRefusedCall(503, "more messages than the loop can serve");
                refuseStatelessly(source, request, 503);
                return;
            }
            // The offer is checked before the call's media sockets are bound: a refused one holds none.
            int code = 0;
            std::string reason;
            std::unique_ptr<SdpDescription> offer = SipInviteDialog::readOffer(request, code, reason);
            // Either dialog enters the Call-ID map and deletes itself when it is over. A call that
            // cannot have its sockets or memory leaves nothing behind; its INVITE is answered here,
            // without a transaction.
            try {
                if (offer)
                    new SipInviteDialog(this, source, request, std::move(offer));
                else
                    new SipRefusedInvite(this, source, request, code, reason);
            } catch (const std::exception& e) {
                const int shortage = shortageAnswer(e);
                if (!shortage)
                    throw;
                noteRefusedCall(shortage, e.what());
                refuseStatelessly(source, request, shortage);
                return;
            }
        } else if (noCaseEqual(method, "OPTIONS")) {
            answerStatelessly(source, request, 200, "OK");
        } else if (noCaseEqual(method, "CANCEL") || noCaseEqual(method, "BYE")) {
            // Nothing of ours to cancel or end.
            answerStatelessly(source, request, 481, "Call/Transaction Does Not Exist");
        } else if (!noCaseEqual(method, "ACK")) {
            // INFO, UPDATE, MESSAGE, SUBSCRIBE, NOTIFY, REFER, PUBLISH, ... outside a call: refused at
            // once (the Allow header names what the engine serves there) instead of being left to
            // time out.
            answerStatelessly(source, request, 405, "Method Not Allowed", allowedOutsideDialog);
        }
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipCore, 2) << "ignoring message";
    }
}

void SipEndPoint::refuseStatelessly(const kmt::SocketAddress& source, SipInMessage& request, int code) {
    try {
        SipOptionsDialog dialog(this, proxy, request);
        SipResponse response(&dialog, source, request);
        response.retryAfterSeconds = kRetryAfterSeconds;
        response.sendResponse(code, shortageReason(code));
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipCore, 1) << "cannot refuse a call: " << e.what();
    }
}

void SipEndPoint::noteRefusedCall(int code, const char* reason) {
    ++refusedTotal;
    if (refusedInRun++ == 0) {
        runOpensBurst = burstEndMs == 0 || plat::processClockMs() - burstEndMs >= kRefusalBurstMs;
        KMT_LOG(kmt::logSipInvite, runOpensBurst ? 1 : 3) << "refusing calls with " << code << ": " << reason;
    }
}

void SipEndPoint::noteAcceptedCall() {
    if (refusedInRun == 0)
        return;
    KMT_LOG(kmt::logSipInvite, runOpensBurst ? 1 : 3)
        << "taking calls again after " << refusedInRun << " refused";
    refusedInRun = 0;
    burstEndMs = plat::processClockMs();
}

int shortageAnswer(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return 500;
    // Binding a call's sockets fails for want of descriptors or buffers.
    if (dynamic_cast<const kmt::SocketException*>(&e))
        return 503;
    if (const auto* s = dynamic_cast<const std::system_error*>(&e)) {
        const std::error_code code = s->code();
        if (code == std::errc::not_enough_memory)
            return 500;
        if (code == std::errc::resource_unavailable_try_again || code == std::errc::too_many_files_open ||
            code == std::errc::too_many_files_open_in_system || code == std::errc::no_buffer_space)
            return 503;
    }
    return 0;
}

const char* shortageReason(int code) {
    return code == 500 ? "Server Internal Error" : "Service Unavailable";
}

void SipEndPoint::answerStatelessly(const kmt::SocketAddress& source, SipInMessage& request, int code,
                                    const char* reason, const char* allow) {
    SipOptionsDialog dialog(this, proxy, request);
    SipResponse response(&dialog, source, request);
    response.allow = allow;
    response.sendResponse(code, reason);
}

} // namespace sip
