// The driver of the Plantronics hub stand-in: tests make the hub present, attach headsets, press
// buttons (raised as the hub's events on its own thread) and read the call notices the engine sent.
#pragma once

#include "plat/oleauto.h"

#include <string>
#include <vector>

namespace spokes3g {
namespace hub {

// Registers the server class and its type library (the hub is running), or removes them; the
// hub's own references are dropped at removal, so liveObjects() then counts only what others hold.
void install();
void uninstall();

// A step of the hub that can be made to fail with a given result (S_OK restores it).
enum class Step {
    Create,       // CoCreateInstance of the server class
    Run,          // OleRun
    Query,        // QueryInterface for the session manager
    Register,     // session manager method 1
    Settings,     // session manager method 3
    CallCommand,  // session method 1
    ActiveDevice, // session method 4
    Advise,       // every connection point's Advise
    Commands,     // every call command
    DeviceName,   // every device property
};
void setFailure(Step step, plat::HRESULT result);
// The step succeeds but hands out no object (Create, Register, Settings, CallCommand).
void setNullObject(Step step, bool null);
void clearFailures();

// The active headset: set, or none (the session answers S_OK with no device); raises a device
// change to the session manager's sinks.
void attachDevice(const std::string& product, const std::string& internal, const std::string& manufacturer,
                  const std::string& serial);
void detachDevice();

// Raises a call state event on the hub's thread; returns the result of the last sink called.
// Without withState the event has no call state; with callId < 0 it carries no call.
struct CallEvent {
    int callState = 0;
    int callId = -1;
    bool withState = true;
    bool withDtmf = false;
    std::u16string dtmf;
};
plat::HRESULT raiseCallState(const CallEvent& event);
// Raises a call request with a contact whose Phone is number (no contact when withContact is false).
plat::HRESULT raiseCallRequest(const std::u16string& number, bool withContact = true);
// Raises on a sink that the engine has withdrawn: keeps a reference to each connected call-event
// sink, so that a later raiseOnKept reaches it as a late event would.
void keepSinks();
plat::HRESULT raiseOnKept(const CallEvent& event);
void dropKeptSinks();

// Call notices in order, e.g. "incoming 1 Bob", "outgoing 2 sip:x@1.2.3.4", "answered 1",
// "hold 1", "resume 1", "terminate 1", "mute 1 on".
std::vector<std::string> takeCommands();
std::string pluginName();
int connectedSinks();
// Objects of the hub alive, and the references others hold on its long-lived objects.
long liveObjects();
long foreignReferences();

} // namespace hub
} // namespace spokes3g
