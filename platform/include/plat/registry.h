// The per-user registry: a tree of keys and typed values kept in one file.
//
// The file is $KBR_REGISTRY_FILE, else $XDG_CONFIG_HOME/kbr/registry, else ~/.config/kbr/registry
// (the home from $HOME, else from the user database; never a shared folder). The folders from
// $XDG_CONFIG_HOME (or ~/.config) down to the file, or the folder of $KBR_REGISTRY_FILE, and the
// file itself must be the user's and not writable by others; otherwise every call fails with
// ERROR_ACCESS_DENIED after one line on stderr. A writer's new file left by a crash
// ("<file>.new.<pid>", its process gone) is removed at the next write.
// Every call reads the file under a shared lock; every change takes an exclusive lock on
// "<file>.lock", writes a complete new file beside the old one, flushes it and renames it over the
// old one, so a crash leaves either the old or the new tree and two processes never lose each
// other's changes. A file that cannot be parsed is reported (ERROR_BADDB, one line on stderr) and
// left as it is; nothing is written over it.
//
// The shell keys have their desktop counterparts (XDG), written and removed with them after the
// file: a URL scheme (a key of Software\Classes with a "URL Protocol" value) whose open command is
// set (through its UserChoice ProgId, else its own shell\open\command) gets a desktop entry
// $XDG_DATA_HOME/applications/kbr-<scheme>.desktop ("%1" becomes "%u") and is made the user's
// default for x-scheme-handler/<scheme> in $XDG_CONFIG_HOME/mimeapps.list; each value of
// Software\Microsoft\Windows\CurrentVersion\Run gets $XDG_CONFIG_HOME/autostart/kbr-<name>.desktop.
// The file stays the store the calls read.
//
// HKEY_CURRENT_USER is the tree itself; HKEY_CLASSES_ROOT is the view of its
// "Software\Classes" key, as a user without machine-wide registrations sees it.
// Key names compare without regard to ASCII case; values keep the bytes they were given. Text
// values are stored in UTF-16; the ANSI calls convert (the ANSI code page is UTF-8).
#pragma once

#include "plat/types.h"

#include <string>

namespace plat {

using REGSAM = DWORD;
using LSTATUS = LONG;
using PHKEY = HKEY*;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(uintptr_t(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t(0x80000001u));

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr DWORD ERROR_BADDB = 1009;
constexpr DWORD ERROR_BADKEY = 1010;
constexpr DWORD ERROR_CANTOPEN = 1011;
constexpr DWORD ERROR_CANTWRITE = 1013;
constexpr DWORD ERROR_KEY_DELETED = 1018;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// Return the code (ERROR_SUCCESS on success) as Windows does; they do not set the last error.
LSTATUS RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM rights, PHKEY result);
LSTATUS RegCreateKeyExA(HKEY parent, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM rights,
                        void* securityAttributes, PHKEY result, DWORD* disposition);
LSTATUS RegCloseKey(HKEY key);
// ANSI read: text values come back converted to UTF-8, counted in bytes. data null: *size gets the
// size needed. A buffer too small fails with ERROR_MORE_DATA and *size the size needed.
LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegDeleteValueA(HKEY key, LPCSTR name);
// *nameSize: in, the buffer's size in characters; out, the name's length without the NUL. A name
// that does not fit fails with ERROR_MORE_DATA and leaves *nameSize as it was.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved, LPSTR keyClass,
                      DWORD* classSize, FILETIME* lastWrite);
// Deletes a key that has no subkeys; one with subkeys is refused with ERROR_ACCESS_DENIED.
LSTATUS RegDeleteKeyA(HKEY parent, LPCSTR subKey);

// The user's profile (userenv). The type comes from $KBR_PROFILE_TYPE (a number; "fail" makes the
// call fail with ERROR_FILE_NOT_FOUND); without it the profile is local (0).
constexpr DWORD PT_TEMPORARY = 1;
constexpr DWORD PT_ROAMING = 2;
constexpr DWORD PT_MANDATORY = 4;
constexpr DWORD PT_ROAMING_PREEXISTING = 8;
BOOL GetProfileType(DWORD* flags);

namespace testing {
// The file the registry calls use now.
std::string registryFile();
// Number of registry handles currently open (leak checks).
int openRegistryKeyCount();
// Parses the text of a registry file as the calls do; false with why set when it is damaged.
bool parseRegistryText(const std::string& text, std::string& why);
// The Exec line of the desktop entry written for a Windows command line (url: a URL scheme's
// open command, "%1" the URL; expand: a REG_EXPAND_SZ value).
std::string desktopExecLine(const std::string& command, bool expand, bool url);
} // namespace testing

} // namespace plat
