// The SIP user agent's transport and dispatcher: the one UDP socket, the proxy and the live dialogs
// by Call-ID; the phone's signalling protocol.
#pragma once

#include "Phone.h"
#include "SipOutMessage.h"
#include "SipProxy.h"
#include "kmt/log.h"
#include "kmt/scheduler.h"
#include "kmt/socket.h"

#include <exception>
#include <istream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sip {

class SipDialog;
class SipInMessage;
class SipRegisterDialog;

class SipEndPoint : public kbrphone::Protocol {
public:
    // One whole UDP datagram fits; the extra byte holds the terminating NUL.
    static constexpr int kReceiveBufferSize = 65535;
    // The socket's own receive buffer, for bursts while the loop is busy.
    static constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

    // Binds the SIP socket on a port the system chooses and adds it to the phone's scheduler. Installs
    // itself as the phone's protocol.
    explicit SipEndPoint(kbrphone::Phone* phone);
    ~SipEndPoint() override;

    kbrphone::Line* createLine(const std::string& name) override;
    void processEvents() override;
    void registerWithProxy(const std::string& user, const std::string& displayName,
                           const std::string& authUser, const std::string& password, const std::string& host,
                           int port) override;
    void setProxy(const std::string& user, const std::string& displayName, const std::string& authUser,
                  const std::string& password, const std::string& host, int port) override;
    void cancelRegistration() override;

    // One received datagram: logged, parsed and routed. No exception leaves it.
    void handleDatagram(const char* data, size_t length, const kmt::SocketAddress& source);
    // Routes one message by its first line and Call-ID. An illegal message is logged and dropped; other
    // exceptions pass to the caller.
    void dispatch(std::istream& text, const kmt::SocketAddress& source);

    void addDialog(SipDialog* dialog);
    // Takes the dialog's Call-ID out of the map when it names this dialog.
    void removeDialog(SipDialog* dialog);
    SipDialog* findDialog(SipInMessage& message);

    // Posts work to the loop; work still pending when the end point goes is removed with it.
    void post(kmt::EventCallbackBase* callback);
    // Called by posted work when it runs.
    void forgetPosted(kmt::EventCallbackBase* callback);

    // Loop thread only (the posted callbacks run there).
    void installProxy(SipProxy* newProxy);
    void startRegistration(SipProxy* newProxy);

    kbrphone::Phone* getPhone() const { return phone; }
    kmt::EventScheduler& scheduler() const { return *phone; }
    SipProxy* getProxy() const { return proxy; }
    SipRegisterDialog* getRegisterDialog() const { return registerDialog; }
    size_t dialogCount() const { return dialogs.size(); }

    // Calls refused for want of resources (descriptors, threads, memory, the loop's time) are logged
    // once per burst, with the reason of the first refusal: the next call answered with its media
    // ends a run of refusals, and runs that follow within kRefusalBurstMs of the last one logged
    // belong to its burst (logged at level 3). Loop thread only.
    void noteRefusedCall(int code, const char* reason);
    void noteAcceptedCall();
    size_t refusedCalls() const { return refusedTotal; }

    SipRegisterDialog* registerDialog = nullptr;
    kmt::EventCallback<SipEndPoint> receiveCallback;
    kmt::Socket socket;
    SipProxy* proxy = nullptr;
    std::map<std::string, SipDialog*> dialogs;

private:
    void receive();
    void sizeReceiveBuffer();
    bool bodyComplete(SipInMessage& message, const kmt::SocketAddress& source);
    void acceptNewRequest(SipProxy* proxy, const kmt::SocketAddress& source, SipInMessage& request);
    // Answers a request outside any dialog once, without a transaction.
    void answerStatelessly(const kmt::SocketAddress& source, SipInMessage& request, int code,
                           const char* reason, const char* allow = allowedMethods);
    // The refusal of a new call for want of resources, with Retry-After; nothing is kept of it.
    void refuseStatelessly(const kmt::SocketAddress& source, SipInMessage& request, int code);
    // Deletes replaced proxies that no live dialog uses any more.
    void releaseRetiredProxies();
    // Proxy-source rule: the address of the latest 2xx to REGISTER, or one of the proxy's addresses.
    static bool acceptsSource(const SipProxy& proxy, const kmt::SocketAddress& source);

    std::vector<char> receiveBuffer;
    // The lines any sender can cause, one per datagram: an oversize one, a message cut short, one
    // whose handling failed.
    kmt::LogBound oversizeLog, cutLog, failureLog;
    std::mutex postedLock;
    std::set<kmt::EventCallbackBase*> posted;
    // Proxies replaced by a later registerWithProxy while dialogs still point at them.
    std::vector<SipProxy*> retiredProxies;
    size_t refusedInRun = 0;
    size_t refusedTotal = 0;
    // Whether the current run of refusals opened a burst (and was logged at level 1), and when the
    // last run of the burst ended.
    bool runOpensBurst = false;
    int64_t burstEndMs = 0;
};

// The answer to a request whose call cannot have what it needs: 503 for descriptors, sockets and
// threads, 500 for memory; 0 when the exception tells of no shortage.
int shortageAnswer(const std::exception& e);
const char* shortageReason(int code);
// The seconds a refused caller is asked to wait.
constexpr int kRetryAfterSeconds = 5;
// Runs of refusals closer together than this are one burst in the log.
constexpr int64_t kRefusalBurstMs = 10000;

} // namespace sip
