// The user's registrations, read back from the registry.
#include "Registrations.h"
#include "RegistryKey.h"
#include "registry_fixture.h"

using namespace callto;

namespace {

const char* const kCommand = "\"/opt/brimel/brimel\" \"%1\"";
const std::string kUserChoice = "Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\";

class Registrations : public RegistryFixture {};

TEST_F(Registrations, InstallOnAFreshProfileWritesEveryEntry) {
    EXPECT_TRUE(installCallToHandlers(kCommand, false, "Brimel", "Brimel softphone \xc3\xa9"));
    struct Entry {
        std::string key;
        const char* name;
        std::string data;
        plat::DWORD type;
    } entries[] = {
        {"Software\\RegisteredApplications", "Brimel.Callto", "Software\\Brimel\\KBR\\Capabilities", plat::REG_SZ},
        {"Software\\Brimel\\KBR\\Capabilities", "ApplicationDescription", "Brimel softphone \xc3\xa9", plat::REG_SZ},
        {"Software\\Brimel\\KBR\\Capabilities", "ApplicationName", "Brimel", plat::REG_SZ},
        {"Software\\Brimel\\KBR\\Capabilities\\URLAssociations", "callto", "Brimel.Callto", plat::REG_SZ},
        {"Software\\Brimel\\KBR\\Capabilities\\URLAssociations", "tel", "Brimel.Callto", plat::REG_SZ},
        {"Software\\Classes\\Applications\\brimel.exe", "FriendlyAppName", "Brimel", plat::REG_SZ},
        {"Software\\Classes\\Brimel.Callto", "", "Brimel Phone System Protocol", plat::REG_SZ},
        {"Software\\Classes\\Brimel.Callto", "URL Protocol", "", plat::REG_SZ},
        {"Software\\Classes\\Brimel.Callto\\shell\\open\\command", "", kCommand, plat::REG_EXPAND_SZ},
        {kUserChoice + "callto\\UserChoice", "ProgId", "Brimel.Callto", plat::REG_SZ},
        {kUserChoice + "tel\\UserChoice", "ProgId", "Brimel.Callto", plat::REG_SZ},
        {"Software\\Classes\\callto", "", "Brimel Phone System Protocol", plat::REG_SZ},
        {"Software\\Classes\\callto", "URL Protocol", "", plat::REG_SZ},
        {"Software\\Classes\\tel", "", "Brimel Phone System Protocol", plat::REG_SZ},
        {"Software\\Classes\\tel", "URL Protocol", "", plat::REG_SZ},
    };
    for (const Entry& e : entries) {
        plat::DWORD type = 0;
        EXPECT_EQ(e.data, read(e.key, e.name, &type)) << e.key << " " << e.name;
        EXPECT_EQ(e.type, type) << e.key << " " << e.name;
    }
    // Again: the same entries, nothing new.
    const std::string once = fileText();
    EXPECT_TRUE(installCallToHandlers(kCommand, false, "Brimel", "Brimel softphone \xc3\xa9"));
    EXPECT_EQ(once, fileText());
}

TEST_F(Registrations, ASchemeOwnedByAnotherProgramIsLeftUnlessForced) {
    struct Case {
        const char* what;
        const char* userChoice;  // HKCU UserChoice ProgId, null: absent
        const char* classes;     // default value of the scheme's class key, null: absent
        const char* command;     // its shell\open\command, null: absent
        bool force;
        bool registered;
    } cases[] = {
        {"nothing there", nullptr, nullptr, nullptr, false, true},
        {"another program", "Other.Url", "URL:callto", "other %1", false, false},
        {"another program, forced", "Other.Url", "URL:callto", "other %1", true, true},
        {"another program without a command", "Other.Url", "URL:callto", nullptr, false, true},
        {"another program with an empty command", nullptr, "URL:callto", "", false, true},
        {"our ProgId chosen: the class is not looked at", "Brimel.Callto", "URL:callto", "other %1", false, true},
        {"our ProgId spelt otherwise is another's", "brimel.callto", "URL:callto", "other %1", false, false},
        {"our description on the class", nullptr, "Brimel Phone System Protocol", "old %1", false, true},
        {"no UserChoice: the scheme's class decides", nullptr, "URL:callto", "other %1", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::system(("rm -f " + dir + "/registry").c_str());
        if (c.userChoice) put(kUserChoice + "callto\\UserChoice", "ProgId", c.userChoice);
        if (c.classes) put("Software\\Classes\\callto", "", c.classes);
        if (c.command) put("Software\\Classes\\callto\\shell\\open\\command", "", c.command);
        put("Software\\Classes\\callto\\DefaultIcon", "", "other.ico");
        const std::string before = fileText();

        EXPECT_EQ(c.registered, registerUrlScheme("callto", c.force));
        if (!c.registered) {
            EXPECT_EQ(before, fileText()) << "nothing may be written for a scheme another program keeps";
            continue;
        }
        EXPECT_EQ("Brimel.Callto", read(kUserChoice + "callto\\UserChoice", "ProgId"));
        EXPECT_EQ("Brimel Phone System Protocol", read("Software\\Classes\\callto", ""));
        EXPECT_EQ("", read("Software\\Classes\\callto", "URL Protocol"));
        const bool ours = c.classes && std::string(c.classes) == "Brimel Phone System Protocol";
        // A class key with another description loses its icon and commands; ours keeps them.
        EXPECT_EQ(ours, keyExists("Software\\Classes\\callto\\DefaultIcon"));
        EXPECT_EQ(ours && c.command, keyExists("Software\\Classes\\callto\\shell"));
    }
}

TEST_F(Registrations, OneSchemeKeptByAnotherProgramMakesTheInstallFalse) {
    put(kUserChoice + "callto\\UserChoice", "ProgId", "Other.Url");
    put("Software\\Classes\\callto\\shell\\open\\command", "", "other %1");
    EXPECT_FALSE(installCallToHandlers(kCommand, false, "Brimel", "d"));
    EXPECT_EQ("Other.Url", read(kUserChoice + "callto\\UserChoice", "ProgId"));
    EXPECT_EQ("other %1", read("Software\\Classes\\callto\\shell\\open\\command", ""));
    EXPECT_EQ("Brimel.Callto", read(kUserChoice + "tel\\UserChoice", "ProgId"));
    EXPECT_EQ("Brimel Phone System Protocol", read("Software\\Classes\\tel", ""));
    EXPECT_TRUE(installCallToHandlers(kCommand, true, "Brimel", "d"));
    EXPECT_EQ("Brimel.Callto", read(kUserChoice + "callto\\UserChoice", "ProgId"));
}

TEST_F(Registrations, AnExistingProgIdKeepsItsValuesAndGetsTheNewCommand) {
    registerProgId("brimel.admin", "Brimel Phone System Admin Protocol", "first %1");
    EXPECT_EQ("Brimel Phone System Admin Protocol", read("Software\\Classes\\brimel.admin", ""));
    put("Software\\Classes\\brimel.admin", "", "changed by the user");
    registerProgId("brimel.admin", "Brimel Phone System Admin Protocol", "second %1");
    EXPECT_EQ("changed by the user", read("Software\\Classes\\brimel.admin", ""));
    EXPECT_EQ("", read("Software\\Classes\\brimel.admin", "URL Protocol"));
    plat::DWORD type = 0;
    EXPECT_EQ("second %1", read("Software\\Classes\\brimel.admin\\shell\\open\\command", "", &type));
    EXPECT_EQ(plat::REG_EXPAND_SZ, type);
}

TEST_F(Registrations, AutostartFollowsTheProfileType) {
    struct Case {
        const char* profile; // null: the variable unset
        const char* data;
        plat::DWORD type;
    } cases[] = {
        {nullptr, "local", plat::REG_SZ},
        {"0", "local", plat::REG_SZ},
        {"2", "roaming", plat::REG_EXPAND_SZ},
        {"10", "local", plat::REG_SZ}, // roaming and pre-existing: not exactly roaming
        {"6", "local", plat::REG_SZ},
        {"fail", "local", plat::REG_SZ},
    };
    const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    for (const Case& c : cases) {
        if (c.profile) ::setenv("KBR_PROFILE_TYPE", c.profile, 1);
        else ::unsetenv("KBR_PROFILE_TYPE");
        writeAutoLoginRunValue("Brimel", "local", "roaming");
        plat::DWORD type = 0;
        EXPECT_EQ(c.data, read(run, "Brimel", &type)) << (c.profile ? c.profile : "unset");
        EXPECT_EQ(c.type, type) << (c.profile ? c.profile : "unset");
    }
    RegistryKey::deleteKey(plat::HKEY_CURRENT_USER, run);
    EXPECT_THROW(writeAutoLoginRunValue("Brimel", "local", "roaming"), kmt::RegistryKeyNotFound);
}

TEST_F(Registrations, TheOutlookAddinNeedsOutlooksKey) {
    const std::string addins = "Software\\Microsoft\\Office\\Outlook\\Addins";
    try {
        registerOutlookAddin("Calls from Outlook", "Brimel", 3, "file:///x.vsto");
        FAIL() << "no exception";
    } catch (const kmt::RegistryKeyNotFound& e) {
        EXPECT_EQ(2u, e.code);
    }
    EXPECT_FALSE(keyExists(addins)); // opened, never created
    put(addins, nullptr, nullptr);
    registerOutlookAddin("Calls from Outlook", "Brimel", 3, "file:///x.vsto|vstolocal");
    plat::DWORD type = 0;
    EXPECT_EQ("Calls from Outlook", read(addins + "\\CallOutlookMenu", "Description"));
    EXPECT_EQ("Brimel", read(addins + "\\CallOutlookMenu", "FriendlyName"));
    EXPECT_EQ("file:///x.vsto|vstolocal", read(addins + "\\CallOutlookMenu", "Manifest"));
    EXPECT_EQ(std::string("\3\0\0", 3), read(addins + "\\CallOutlookMenu", "LoadBehavior", &type));
    EXPECT_EQ(plat::REG_DWORD, type);
}

} // namespace
