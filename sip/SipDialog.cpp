#include "SipDialog.h"

#include "SipAddress.h"
#include "SipEndPoint.h"
#include "SipProxy.h"

namespace sip {

SipDialog::SipDialog(SipEndPoint* endPoint_, SipProxy* proxy_) : endPoint(endPoint_), proxy(proxy_) {}

SipDialog::~SipDialog() = default;

kmt::SocketAddress SipDialog::localAddress() {
    if (isUnspecifiedAddress(localAddressCache) && proxy && endPoint)
        localAddressCache = proxy->localAddress().withPort(endPoint->socket.localAddress().port());
    return localAddressCache;
}

} // namespace sip
