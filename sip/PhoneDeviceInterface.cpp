#include "PhoneDeviceInterface.h"

#include "kmt/log.h"

void DefaultPhoneDeviceCreator::create(PhoneDeviceInterface*& device, kbrphone::Phone*) {
    // No headset integration is part of this build yet.
    device = nullptr;
    KMT_LOG(kmt::logPhoneDevice, 1)
        << "no headset integration in this build: the phone runs without a headset device";
}
