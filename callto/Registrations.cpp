#include "Registrations.h"

#include "RegistryKey.h"

namespace callto {

using namespace plat;

const char* const kCallToProgId = "Brimel.Callto";
const char* const kCallToDescription = "Brimel Phone System Protocol";
const char* const kCapabilitiesKey = "Software\\Brimel\\KBR\\Capabilities";

bool installCallToHandlers(const std::string& command, bool force, const std::string& applicationName,
                           const std::string& applicationDescription) {
    registerCapabilities(applicationName, applicationDescription);
    registerProgId(kCallToProgId, kCallToDescription, command);
    const bool callto = registerUrlScheme("callto", force);
    const bool tel = registerUrlScheme("tel", force);
    return callto && tel;
}

void registerCapabilities(const std::string& applicationName, const std::string& applicationDescription) {
    {
        RegistryKey software = RegistryKey::open(HKEY_CURRENT_USER, "Software", KEY_READ);
        RegistryKey apps = RegistryKey::create(software, "RegisteredApplications", KEY_ALL_ACCESS);
        RegistryKey::setString(apps, kCallToProgId, kCapabilitiesKey, false);
    }
    RegistryKey user = RegistryKey::open(HKEY_CURRENT_USER, "", KEY_READ);
    RegistryKey capabilities = RegistryKey::create(user, kCapabilitiesKey, KEY_ALL_ACCESS);
    RegistryKey::setString(capabilities, "ApplicationDescription", applicationDescription, false);
    RegistryKey::setString(capabilities, "ApplicationName", applicationName, false);
    {
        RegistryKey urls = RegistryKey::create(capabilities, "URLAssociations", KEY_ALL_ACCESS);
        RegistryKey::setString(urls, "callto", kCallToProgId, false);
        RegistryKey::setString(urls, "tel", kCallToProgId, false);
    }
    RegistryKey app = RegistryKey::create(HKEY_CURRENT_USER, "Software\\Classes\\Applications\\brimel.exe", KEY_ALL_ACCESS);
    RegistryKey::setString(app, "FriendlyAppName", applicationName, false);
}

void registerProgId(const std::string& progId, const std::string& description, const std::string& command) {
    RegistryKey classes = RegistryKey::open(HKEY_CURRENT_USER, "Software\\Classes", KEY_READ);
    DWORD disposition = 0;
    RegistryKey key = RegistryKey::create(classes, progId, KEY_ALL_ACCESS, &disposition);
    if (disposition == REG_CREATED_NEW_KEY) {
        RegistryKey::setString(key, "", description, false);
        RegistryKey::setString(key, "URL Protocol", "", false);
    }
    writeOpenCommand(key.handle(), command);
}

void writeOpenCommand(void* progIdKey, const std::string& command) {
    RegistryKey open = RegistryKey::create(static_cast<HKEY>(progIdKey), "shell\\open\\command", KEY_ALL_ACCESS);
    RegistryKey::setString(open, "", command, true);
}

namespace {

// Whether a program other than this one owns the scheme; missing keys and values read as empty.
bool foreignHandler(const std::string& scheme) {
    std::string progId;
    try {
        RegistryKey shell = RegistryKey::open(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\Shell", KEY_READ);
        progId = RegistryKey::getStringOrEmpty(shell, "Associations\\UrlAssociations\\" + scheme + "\\UserChoice\\ProgId");
    } catch (const kmt::RegistryException&) {
    }
    if (progId.empty()) {
        progId = scheme;
    }
    if (progId == kCallToProgId) {
        return false;
    }
    if (RegistryKey::getStringOrEmpty(HKEY_CLASSES_ROOT, scheme + "\\") == kCallToDescription) {
        return false;
    }
    return !RegistryKey::getStringOrEmpty(HKEY_CLASSES_ROOT, scheme + "\\shell\\open\\command\\").empty();
}

} // namespace

bool registerUrlScheme(const std::string& scheme, bool force) {
    if (!force && foreignHandler(scheme)) {
        return false;
    }
    {
        RegistryKey shell = RegistryKey::open(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\Shell", KEY_READ);
        RegistryKey associations = RegistryKey::create(shell, "Associations\\UrlAssociations", KEY_READ);
        RegistryKey choice = RegistryKey::create(associations, scheme + "\\UserChoice", KEY_ALL_ACCESS);
        RegistryKey::setString(choice, "ProgId", kCallToProgId, false);
    }
    RegistryKey classes = RegistryKey::open(HKEY_CURRENT_USER, "Software\\Classes", KEY_READ);
    DWORD disposition = 0;
    RegistryKey key = RegistryKey::create(classes, scheme, KEY_ALL_ACCESS, &disposition);
    if (disposition == REG_CREATED_NEW_KEY) {
        RegistryKey::setString(key, "", kCallToDescription, false);
    } else if (RegistryKey::getStringOrEmpty(key, "") != kCallToDescription) {
        RegistryKey::tryDeleteTree(key, "DefaultIcon");
        RegistryKey::tryDeleteTree(key, "shell");
        RegistryKey::setString(key, "", kCallToDescription, false);
    }
    RegistryKey::setString(key, "URL Protocol", "", false);
    return true;
}

void writeAutoLoginRunValue(const char* valueName, const char* localText, const char* roamingText) {
    RegistryKey run = RegistryKey::open(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                                        KEY_READ | KEY_WRITE);
    DWORD type = 0;
    if (GetProfileType(&type) && type == PT_ROAMING) {
        RegistryKey::setString(run, valueName, roamingText, true);
    } else {
        RegistryKey::setString(run, valueName, localText, false);
    }
}

void registerOutlookAddin(const std::string& description, const std::string& friendlyName, int32_t loadBehavior,
                          const std::string& manifest) {
    RegistryKey addins = RegistryKey::open(HKEY_CURRENT_USER, "\\Software\\Microsoft\\Office\\Outlook\\Addins", KEY_READ);
    RegistryKey menu = RegistryKey::create(addins, "CallOutlookMenu", KEY_ALL_ACCESS);
    RegistryKey::setString(menu, "Description", description, false);
    RegistryKey::setString(menu, "FriendlyName", friendlyName, false);
    RegistryKey::setDword(menu, "LoadBehavior", static_cast<uint32_t>(loadBehavior));
    RegistryKey::setString(menu, "Manifest", manifest, false);
}

} // namespace callto
