// Plantronics headsets through the Plantronics hub's COM server.
#pragma once

#include "AbstractPhoneDevice.h"
#include "spokes3g/Spokes3G.h"

namespace plantronics_device {

class SessionEventSink;
class SessionManager;

class PlantronicsManager : public AbstractPhoneDevice {
public:
    // A manager connected to the hub, or null (with one log line) when the hub cannot be reached.
    static PlantronicsManager* create(kbrphone::Phone* phone);
    ~PlantronicsManager() override;

    void start() override;
    void lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char* localName,
                          const char* localUri, const char* remoteName, const char* remoteUri) override;
    void setMute(bool muted) override;

    // Reads the hub's active device again (start and every device change).
    void attachDevice();
    // The device changed: the held device is dropped, then attached again.
    void deviceChanged();

    // The call-event sink, null until start succeeded (tests, diagnostics).
    SessionEventSink* callEventSink() const { return callSink; }

private:
    explicit PlantronicsManager(kbrphone::Phone* phone);
    void releaseAll();

    bool comInitialized = false;
    spokes3g::ICOMSessionManager* sessionManager = nullptr;
    plat::BSTR pluginName = nullptr;
    spokes3g::ICOMSettings* settings = nullptr;
    SessionManager* managerSink = nullptr;
    SessionEventSink* callSink = nullptr;
};

} // namespace plantronics_device
