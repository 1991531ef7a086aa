#include "PlantronicsManager.h"

#include "Phone.h"
#include "PlantronicsComObjects.h"
#include "kmt/log.h"

#include <stdexcept>

using plat::HRESULT;
using plat::S_OK;

namespace plantronics_device {

namespace {
const char16_t kPluginName[] = u"BrimelSoftphoneName = Brimel softphone";
constexpr plat::DWORD kApartment = plat::COINIT_MULTITHREADED | plat::COINIT_SPEED_OVER_MEMORY;

std::string text(const char* s) { return s ? std::string(s) : std::string(); }
} // namespace

PlantronicsManager* PlantronicsManager::create(kbrphone::Phone* phone) {
    try {
        return new PlantronicsManager(phone);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logPlantronics, 1) << "No Plantronics hub found: " << e.what();
        return nullptr;
    }
}

PlantronicsManager::PlantronicsManager(kbrphone::Phone* phone) : AbstractPhoneDevice(phone) {
    comInitialized = plat::SUCCEEDED(plat::CoInitializeEx(nullptr, kApartment));
    pluginName = plat::SysAllocString(kPluginName);
    const bool second = plat::SUCCEEDED(plat::CoInitializeEx(nullptr, kApartment));
    HRESULT hr;
    {
        kmt::ComRef<plat::IUnknown> server;
        hr = plat::CoCreateInstance(spokes3g::CLSID_COMSessionManager, nullptr, plat::CLSCTX_ALL, plat::IID_IUnknown,
                                    reinterpret_cast<void**>(server.out()));
        if (hr == S_OK && !server)
            hr = plat::E_POINTER;
        if (hr == S_OK)
            hr = plat::OleRun(server.get());
        if (hr == S_OK) {
            hr = server->QueryInterface(spokes3g::IID_ICOMSessionManager, reinterpret_cast<void**>(&sessionManager));
            if (hr == S_OK && !sessionManager)
                hr = plat::E_POINTER;
        }
    }
    if (second)
        plat::CoUninitialize();
    try {
        KMT_CHECK_HRESULT(hr);
    } catch (...) {
        releaseAll();
        throw;
    }
}

void PlantronicsManager::releaseAll() {
    if (callSink) {
        callSink->disconnect();
        callSink->Release();
        callSink = nullptr;
    }
    if (managerSink) {
        managerSink->disconnect();
        managerSink->Release();
        managerSink = nullptr;
    }
    if (settings) {
        settings->Release();
        settings = nullptr;
    }
    plat::SysFreeString(pluginName);
    pluginName = nullptr;
    if (sessionManager) {
        sessionManager->Release();
        sessionManager = nullptr;
    }
    if (comInitialized) {
        plat::CoUninitialize();
        comInitialized = false;
    }
}

PlantronicsManager::~PlantronicsManager() {
    // Both connections are withdrawn (and the sinks forget this manager, waiting for an event
    // in progress) before anything is released.
    if (callSink)
        callSink->disconnect();
    if (managerSink)
        managerSink->disconnect();
    releaseAll();
}

void PlantronicsManager::start() {
    try {
        managerSink = new SessionManager(this, sessionManager);
        spokes3g::ICOMSession* session = nullptr;
        if (sessionManager->Register(pluginName, &session) != S_OK)
            return;
        if (!session) {
            KMT_LOG(kmt::logPlantronics, 1) << "the hub registered the plug-in without a session";
            return;
        }
        try {
            KMT_CHECK_HRESULT(sessionManager->get_Settings(&settings));
            if (settings)
                settings->put_PluginName(pluginName);
            else
                KMT_LOG(kmt::logPlantronics, 1) << "the hub gave no settings object";
            callSink = new SessionEventSink(this, session);
        } catch (...) {
            if (session)
                session->Release();
            throw;
        }
        attachDevice();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logPlantronics, 1) << "caught exception: " << e.what();
    }
}

void PlantronicsManager::attachDevice() {
    if (callSink)
        callSink->attachDevice();
}

void PlantronicsManager::deviceChanged() {
    if (!callSink)
        return;
    callSink->releaseActiveDevice();
    callSink->attachDevice();
}

void PlantronicsManager::lineStateChanged(const char* lineId_, int state, bool active, bool initiator,
                                          const char* localName, const char* localUri, const char* remoteName,
                                          const char* remoteUri) {
    const std::string lineId = text(lineId_);
    const bool wasActive = isLineActive(lineId);
    AbstractPhoneDevice::lineStateChanged(lineId_, state, active, initiator, localName, localUri, remoteName,
                                          remoteUri);
    if (!callSink)
        return;
    try {
        const std::string contactName = remoteName && *remoteName ? remoteName : text(remoteUri);
        switch (state) {
        case 1:
            callSink->outgoingCall(lineId, contactName);
            break;
        case 5:
            callSink->incomingCall(lineId, contactName);
            break;
        case 6:
            if (wasActive) {
                if (active)
                    callSink->answeredCall(lineId);
                else
                    callSink->holdCall(lineId);
                return;
            }
            break;
        case 7:
        case 8:
        case 9:
            callSink->terminateCall(lineId);
            break;
        default:
            break;
        }
        if (wasActive && !active)
            callSink->holdCall(lineId);
        else if (!wasActive && active)
            callSink->resumeCall(lineId);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logPlantronics, 1) << "Ignoring exception: " << e.what();
    }
}

void PlantronicsManager::setMute(bool muted) {
    if (!callSink)
        return;
    std::string lineId;
    {
        std::lock_guard<std::recursive_mutex> guard(tableLock);
        const int index = firstActiveIndex();
        if (index >= 0)
            lineId = lineTable[index].lineId;
    }
    try {
        callSink->muteCall(lineId, muted);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logPlantronics, 1) << "Ignoring exception: " << e.what();
    }
}

} // namespace plantronics_device
