#include "PhoneDeviceInterface.h"

#include "EPOS/EposDevice.h"
#include "JabraDevice/JabraDevice.h"
#include "PlantronicsManager/PlantronicsManager.h"
#include "hid/BrimelHIDManager.h"
#include "kmt/log.h"

#include <stdexcept>

void DefaultPhoneDeviceCreator::create(PhoneDeviceInterface*& device, kbrphone::Phone* phone) {
    device = nullptr;
    if (PhoneDeviceInterface* plantronics = plantronics_device::PlantronicsManager::create(phone)) {
        device = plantronics;
        return;
    }
    PhoneDeviceInterface* jabra = nullptr;
    try {
        jabra = jabra_device::JabraDevice::create(phone);
    } catch (const std::exception& e) {
        // The phone runs on without it.
        KMT_LOG(kmt::logJabra, 1) << e.what();
    }
    PhoneDeviceInterface* epos = epos_device::EposDevice::create(phone);
    if (jabra && epos) {
        device = new CombindedPhoneDevice(phone, jabra, epos);
        return;
    }
    if (epos) {
        device = epos;
        return;
    }
    PhoneDeviceInterface* hid = createHidDevice(phone);
    if (jabra && hid)
        device = new CombindedPhoneDevice(phone, jabra, hid);
    else
        device = jabra ? jabra : hid;
}

PhoneDeviceInterface* DefaultPhoneDeviceCreator::createHidDevice(kbrphone::Phone* phone) {
    return createHIDPhoneDevice(phone);
}

CombindedPhoneDevice::~CombindedPhoneDevice() {
    delete second;
    delete first;
}

void CombindedPhoneDevice::start() {
    first->start();
    second->start();
}

void CombindedPhoneDevice::lineStateChanged(const char* lineId, int state, bool active, bool initiator,
                                            const char* localName, const char* localUri, const char* remoteName,
                                            const char* remoteUri) {
    first->lineStateChanged(lineId, state, active, initiator, localName, localUri, remoteName, remoteUri);
    second->lineStateChanged(lineId, state, active, initiator, localName, localUri, remoteName, remoteUri);
}

void CombindedPhoneDevice::setMute(bool muted) {
    first->setMute(muted);
    second->setMute(muted);
}
