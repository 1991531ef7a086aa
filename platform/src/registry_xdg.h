// The desktop's counterparts of the registry's shell keys (XDG): a URL scheme's open command is a
// desktop entry kbr-<scheme>.desktop in $XDG_DATA_HOME/applications and the user's default handler
// of x-scheme-handler/<scheme> in $XDG_CONFIG_HOME/mimeapps.list; a Run value is an autostart
// entry kbr-<name>.desktop in $XDG_CONFIG_HOME/autostart. Written and removed with the keys, after
// the registry file (which stays the store the calls read) has been written. A failure here is one
// line on stderr and leaves the registry change in place. Not installed.
#pragma once

#include <string>

namespace plat::detail::xdg {

// command: the Windows command line as the registry holds it ("%1" for the URL); expand: a
// REG_EXPAND_SZ value, whose %NAME% are taken from the environment.
void writeUrlHandler(const std::string& scheme, const std::string& command, bool expand, const std::string& name);
void removeUrlHandler(const std::string& scheme);
void writeAutostart(const std::string& valueName, const std::string& command, bool expand);
void removeAutostart(const std::string& valueName);

// The Exec line of a desktop entry for a Windows command line (url: "%1" becomes "%u").
std::string execLine(const std::string& command, bool expand, bool url);

} // namespace plat::detail::xdg
