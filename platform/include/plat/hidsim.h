// Driver of the simulated HID bus: tests plug devices described by their report descriptor and ids, push
// input reports, read what was sent to them, and make them fail. The bus is empty until a test fills it.
// Every function is safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {
namespace hidsim {

struct SentReport {
    enum Kind { OutputReport, Write, FeatureRead };
    Kind kind;
    std::vector<uint8_t> bytes; // byte 0 is the report id
    int64_t timeMs;             // process clock when it arrived
};

// Plugs a device in (last in enumeration order) and returns its id (> 0). A descriptor the layer cannot
// parse still makes a device; opening its interface works, its preparsed data does not.
int addDevice(uint16_t vendorId, uint16_t productId, const std::vector<uint8_t>& descriptor,
              uint16_t version = 0x0100);
// Removes the device from the bus: its open handles fail their pending and later reads.
void unplug(int id);
// Plugs an unplugged device in again as a new instance (old handles stay dead), last in order.
void replug(int id);
// Unplugs and forgets every device.
void clear();

// Delivers an input report (byte 0 the report id, 0 when the device has none) to every open handle of the
// interface that carries that report id. False when the device is not plugged in.
bool pushInput(int id, const std::vector<uint8_t>& report);
// The feature report HidD_GetFeature returns for report id report[0].
void setFeature(int id, const std::vector<uint8_t>& report);

// Everything the driver sent, in order.
std::vector<SentReport> sent(int id);
std::vector<SentReport> takeSent(int id);
// Waits until at least count reports were sent (since the last take); false on time-out.
bool waitSent(int id, size_t count, int timeoutMs);

// Failures: every ReadFile fails at once; WriteFile and HidD_SetOutputReport fail; writes never complete.
void failReads(int id, bool fail);
void failWrites(int id, bool fail);
void hangWrites(int id, bool hang);

// ReadFile calls made on the device's handles, handles open now, and handles ever opened.
uint64_t readCount(int id);
int openHandles(int id);
uint64_t opens(int id);
// Enumerations of the bus (SetupDiGetClassDevsA of the HID class) so far, all devices together.
uint64_t enumerations();
// While held, HidD_GetAttributes on an overlapped handle of the device waits (up to 10 s) until let go:
// a test can stop the driver just after it opened the device.
void holdAttributes(int id, bool hold);
// Waits until some caller is held there; false on time-out.
bool waitAttributesHeld(int id, int timeoutMs);
// Waits until some handle of the device has a read pending (the driver is listening); false on time-out.
bool waitReading(int id, int timeoutMs);

} // namespace hidsim
} // namespace plat

// The same for a test that loads the layer as a library (a JVM-hosted test).
extern "C" {
int kbr_hidsim_add(unsigned vendorId, unsigned productId, const unsigned char* descriptor, unsigned length);
void kbr_hidsim_unplug(int id);
void kbr_hidsim_replug(int id);
void kbr_hidsim_clear();
int kbr_hidsim_push(int id, const unsigned char* report, unsigned length);
}
