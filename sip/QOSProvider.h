// Marks a stream's RTP flow as voice where qWAVE is present.
#pragma once

#include "kmt/socket.h"

namespace kbrphone {

class QOSProvider {
public:
    virtual ~QOSProvider() = default;
    // qWAVE when the library loads (it is not tried again once found missing), else a plain provider.
    static QOSProvider* create();
    virtual plat::SOCKET createSocket(int family, int type, int protocol);
    virtual void addSocketToFlow(plat::SOCKET socket, const kmt::SocketAddress& destination) {}
};

class QWaveQOSProvider : public QOSProvider {
public:
    QWaveQOSProvider() = default;
    ~QWaveQOSProvider() override;
    void addSocketToFlow(plat::SOCKET socket, const kmt::SocketAddress& destination) override;

    plat::HANDLE handle = nullptr;
};

namespace qos_testing {
// Whether qWAVE is still thought available, and a way to probe again (tests only).
bool qwaveAvailable();
void resetAvailability();
} // namespace qos_testing

} // namespace kbrphone
