// The driver of the EPOS call-control stand-in: tests make the service present, raise the
// library's events (on its own thread; each call returns once the listener has run) and read what
// the application told it.
#pragma once

#include <string>
#include <vector>

namespace dsea {
namespace driver {

// The service answers CreateCallControlInstance (absent by default; KBR_EPOS_PRESENT=1 also
// makes it present). Without a handler, the instance gives an empty soft-phone event handler.
void setPresent(bool present);
void setHandlerMissing(bool missing);

// What the last CreateCallControlInstance was given: "name/vendor/version verbose=0|1".
std::string application();
// Instances alive (the application deletes the one it made).
int instances();
// CreateCallControlInstance calls so far.
int createCalls();

// The listener's events; false when no instance exists.
bool loginState(int state);
bool headset(const std::string& event, const std::string& id, const std::string& name); // available, removed, connected, disconnected
bool request(const std::string& what, const std::string& callId); // answer, hold, resume, end, reject
bool mute(bool muted);
bool systemInformation(const std::string& first, const std::string& second);
bool log(int level, const std::string& text);

// The handler calls so far, one an entry ("OutgoingCall line1", "Mute 1", "Start"), and forgets them.
std::vector<std::string> takeCalls();

} // namespace driver
} // namespace dsea
