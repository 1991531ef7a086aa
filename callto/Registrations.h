// The current user's registrations: the callto: and tel: URL schemes, the default-programs
// capabilities, automatic start and the Outlook add-in.
#pragma once

#include <cstdint>
#include <string>

namespace callto {

extern const char* const kCallToProgId;      // "Brimel.Callto"
extern const char* const kCallToDescription; // "Brimel Phone System Protocol"
extern const char* const kCapabilitiesKey;   // "Software\Brimel\KBR\Capabilities"

// True when both schemes were registered; false when a foreign handler kept one of them.
bool installCallToHandlers(const std::string& command, bool force, const std::string& applicationName,
                           const std::string& applicationDescription);
void registerCapabilities(const std::string& applicationName, const std::string& applicationDescription);
void registerProgId(const std::string& progId, const std::string& description, const std::string& command);
void writeOpenCommand(void* progIdKey, const std::string& command);
// False when a foreign handler owns the scheme and force is not set (nothing is written then).
bool registerUrlScheme(const std::string& scheme, bool force);
void writeAutoLoginRunValue(const char* valueName, const char* localText, const char* roamingText);
void registerOutlookAddin(const std::string& description, const std::string& friendlyName, int32_t loadBehavior,
                          const std::string& manifest);

} // namespace callto
