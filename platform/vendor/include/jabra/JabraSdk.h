// The C functions of the Jabra SDK that the engine calls, with the records and callbacks they
// take, as this build declares them; and the stand-in library's driver for tests.
#pragma once

#include <cstdint>

extern "C" {

// One headset as the SDK reports it. The SDK allocates the texts; Jabra_FreeDeviceInfo frees them.
struct Jabra_DeviceInfo {
    unsigned short deviceID;
    unsigned short productID;
    unsigned short vendorID;
    char* deviceName;
    char* serialNumber;
};

// Button inputs as the SDK translates them.
using Jabra_HidInput = int;

// Status of the state calls.
using Jabra_ReturnCode = int;
constexpr Jabra_ReturnCode Return_Ok = 0;
constexpr Jabra_ReturnCode Device_Unknown = 1;
constexpr Jabra_ReturnCode Device_Invalid = 2;
constexpr Jabra_ReturnCode Not_Supported = 3;

using Jabra_FirstScanDoneFunc = void (*)();
using Jabra_DeviceAttachedFunc = void (*)(Jabra_DeviceInfo deviceInfo);
using Jabra_DeviceRemovedFunc = void (*)(unsigned short deviceID);
using Jabra_ButtonInDataRawFunc = void (*)(unsigned short deviceID, unsigned char* data, unsigned int length);
using Jabra_ButtonInDataTranslatedFunc = void (*)(unsigned short deviceID, Jabra_HidInput input, bool value);

void Jabra_SetAppID(const char* appId);
bool Jabra_InitializeV2(Jabra_FirstScanDoneFunc firstScanDone, Jabra_DeviceAttachedFunc deviceAttached,
                        Jabra_DeviceRemovedFunc deviceRemoved, Jabra_ButtonInDataRawFunc buttonInDataRaw,
                        Jabra_ButtonInDataTranslatedFunc buttonInDataTranslated, bool nonJabraDeviceDetection,
                        void* configParams);
bool Jabra_Uninitialize();
void Jabra_FreeDeviceInfo(Jabra_DeviceInfo deviceInfo);
Jabra_ReturnCode Jabra_SetOffHook(unsigned short deviceID, bool offHook);
Jabra_ReturnCode Jabra_SetOnline(unsigned short deviceID, bool online);
Jabra_ReturnCode Jabra_SetRinger(unsigned short deviceID, bool ringer);
bool Jabra_SetMute(unsigned short deviceID, bool mute);

// ---- the stand-in's driver (not part of the SDK)
// Every callback is raised on the SDK's own thread; the driver call returns once it has run.
void jabra_driver_reset();                                 // forget devices, calls and failures
void jabra_driver_set_initialize_result(bool result);      // what Jabra_InitializeV2 answers
void jabra_driver_first_scan_done();
void jabra_driver_attach(unsigned short deviceID, const char* name);
void jabra_driver_remove(unsigned short deviceID);
void jabra_driver_button(unsigned short deviceID, int input, bool value);
// Makes one state call ("SetOffHook", "SetOnline", "SetRinger") answer status, or SetMute answer
// false when status is not 0.
void jabra_driver_set_status(const char* function, int status);
// The SDK calls made so far, one a line ("SetOnline 7 1"), and forgets them; returns the length needed.
int jabra_driver_take_calls(char* buffer, int size);
// The headset's states as the engine set them: "hook", "online", "ringer" or "mute"; -1 for an
// unknown device.
int jabra_driver_state(unsigned short deviceID, const char* which);
// Device-info records handed out and not yet freed.
int jabra_driver_unfreed_records();
}
