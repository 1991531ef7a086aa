// The key holder and its exceptions.
#include "RegistryKey.h"
#include "registry_fixture.h"

using namespace callto;
using plat::HKEY_CURRENT_USER;

namespace {

class RegistryKeyLayer : public RegistryFixture {};

TEST_F(RegistryKeyLayer, OpenWalksThePathAndFailsWithTheSystemsCode) {
    put("Software\\A\\B", "v", "x");
    {
        RegistryKey k = RegistryKey::open(HKEY_CURRENT_USER, "Software\\A\\B", plat::KEY_ALL_ACCESS);
        RegistryKey::setString(k, "w", "y", false); // the last component has the rights asked for
        RegistryKey fromLeadingSlash = RegistryKey::open(HKEY_CURRENT_USER, "\\Software\\A", plat::KEY_READ);
        EXPECT_EQ("x", RegistryKey::getString(fromLeadingSlash, "B\\v"));
        RegistryKey root = RegistryKey::open(HKEY_CURRENT_USER, "", plat::KEY_READ);
        EXPECT_EQ("y", RegistryKey::getString(root, "Software\\A\\B\\w"));
    }
    try {
        RegistryKey::open(HKEY_CURRENT_USER, "Software\\A\\Missing", plat::KEY_READ);
        FAIL() << "no exception";
    } catch (const kmt::RegistryKeyNotFound& e) {
        EXPECT_EQ(2u, e.code);
        EXPECT_STREQ("The system cannot find the file specified.\r\n", e.what());
        EXPECT_EQ(nullptr, e.operation);
        EXPECT_EQ("", e.key);
    }
    // The intermediate keys are closed when the open fails (checked by the fixture).
}

TEST_F(RegistryKeyLayer, ReadingTextValues) {
    put("Software\\R", nullptr, "the default");
    put("Software\\R", "empty", "");
    {
        plat::HKEY k = nullptr;
        plat::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\R", 0, nullptr, 0, plat::KEY_ALL_ACCESS, nullptr, &k,
                              nullptr);
        const char16_t cut[] = u"ab\0cd";
        plat::RegSetValueExW(k, u"cut", 0, plat::REG_SZ, reinterpret_cast<const plat::BYTE*>(cut), sizeof cut);
        const char16_t noNul[] = {u'x', u'y', u'z'};
        plat::RegSetValueExW(k, u"open", 0, plat::REG_SZ, reinterpret_cast<const plat::BYTE*>(noNul), sizeof noNul);
        plat::RegSetValueExW(k, u"zero", 0, plat::REG_SZ, nullptr, 0);
        const uint32_t number = 0x00006261;
        plat::RegSetValueExA(k, "number", 0, plat::REG_DWORD, reinterpret_cast<const plat::BYTE*>(&number), 4);
        const plat::BYTE binary[] = {'q', 'r', 's'};
        plat::RegSetValueExA(k, "binary", 0, plat::REG_BINARY, binary, 3);
        plat::RegCloseKey(k);
    }
    struct Case {
        const char* name;
        std::string expected;
    } cases[] = {
        {"Software\\R\\", "the default"}, // a name ending in '\' reads the key's default value
        {"Software\\R\\empty", ""},
        {"Software\\R\\zero", ""},       // size 0
        {"Software\\R\\cut", "ab"},      // cut at an embedded NUL
        {"Software\\R\\open", "xyz"},    // no terminator: the whole value, nothing past it
        {"Software\\R\\number", "ab"},   // another type: its bytes up to the first zero
        {"Software\\R\\binary", "qrs"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, RegistryKey::getString(HKEY_CURRENT_USER, c.name)) << c.name;
    }
    EXPECT_THROW(RegistryKey::getString(HKEY_CURRENT_USER, "Software\\R\\missing"), kmt::RegistryValueNotFound);
    EXPECT_THROW(RegistryKey::getString(HKEY_CURRENT_USER, "Software\\Q\\v"), kmt::RegistryKeyNotFound);
    EXPECT_EQ("", RegistryKey::getStringOrEmpty(HKEY_CURRENT_USER, "Software\\Q\\v"));
    EXPECT_EQ("", RegistryKey::getStringOrEmpty(HKEY_CURRENT_USER, "Software\\R\\missing"));
}

TEST_F(RegistryKeyLayer, WritingStoresWideTextWithItsTerminatorAndDwords) {
    {
        RegistryKey k = RegistryKey::create(HKEY_CURRENT_USER, "Software\\W\\X", plat::KEY_ALL_ACCESS);
        RegistryKey::setString(k, "accent", "\xc3\xa9!", false);
        RegistryKey::setString(k, "expand", "%APPDATA%\\x", true);
        RegistryKey::setDword(k, "n", 3);
    }
    // é and ! in UTF-16 with the terminator: 6 bytes.
    EXPECT_NE(std::string::npos, fileText().find("V :accent 1 e90021000000\n"));
    plat::DWORD type = 0;
    EXPECT_EQ("%APPDATA%\\x", read("Software\\W\\X", "expand", &type));
    EXPECT_EQ(plat::REG_EXPAND_SZ, type);
    EXPECT_EQ(std::string("\3\0\0\0", 4), read("Software\\W\\X", "n", &type) + std::string(1, '\0'));
    EXPECT_EQ(plat::REG_DWORD, type);
    RegistryKey readOnly = RegistryKey::open(HKEY_CURRENT_USER, "Software\\W", plat::KEY_READ);
    try {
        RegistryKey::setString(readOnly, "v", "x", false);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        const auto* r = dynamic_cast<const kmt::RegistryValueNotFound*>(&e);
        ASSERT_NE(nullptr, r);
        EXPECT_EQ(5u, r->code);
        EXPECT_STREQ("Access is denied.\r\n", e.what());
    }
}

TEST_F(RegistryKeyLayer, EnumeratingAndDeletingTrees) {
    for (const char* a : {"a", "b", "c"}) {
        for (const char* b : {"x", "y"}) {
            put(std::string("Software\\T\\") + a + "\\" + b, "v", "1");
        }
    }
    {
        RegistryKey t = RegistryKey::open(HKEY_CURRENT_USER, "Software\\T", plat::KEY_READ);
        EXPECT_EQ("a", RegistryKey::enumSubKey(t, 0));
        EXPECT_EQ("c", RegistryKey::enumSubKey(t, 2));
        EXPECT_EQ("", RegistryKey::enumSubKey(t, 3));
    }
    try {
        RegistryKey::deleteKey(HKEY_CURRENT_USER, "Software\\T");
        FAIL() << "no exception";
    } catch (const kmt::RegistryException& e) {
        EXPECT_STREQ("RegDeleteKey", e.operation);
        EXPECT_EQ("T", e.key);
        EXPECT_EQ(5u, e.code);
    }
    const std::string before = fileText();
    EXPECT_FALSE(RegistryKey::tryDeleteTree(HKEY_CURRENT_USER, "Software\\T\\missing"));
    EXPECT_EQ(before, fileText());
    RegistryKey::deleteTree(HKEY_CURRENT_USER, "Software\\T");
    EXPECT_FALSE(keyExists("Software\\T"));
    EXPECT_TRUE(keyExists("Software"));
}

TEST(RegistryExceptions, CarryTheCodeAndTheSystemsText) {
    struct Case {
        uint32_t code;
        const char* text;
    } cases[] = {
        {2, "The system cannot find the file specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {1009, "The configuration registry database is corrupt.\r\n"},
        {0xDEAD, ""}, // no text for it
    };
    for (const Case& c : cases) {
        const kmt::RegistryException e("RegEnumKeyEx", "k", c.code);
        EXPECT_EQ(c.text, e.message);
        EXPECT_STREQ(c.text, e.what());
        EXPECT_EQ(c.code, e.code);
        const kmt::RegistryKeyCreationFailed created(c.code);
        EXPECT_STREQ(c.text, static_cast<const std::exception&>(created).what());
        EXPECT_EQ(nullptr, created.operation);
    }
}

TEST_F(RegistryKeyLayer, ADamagedFileReachesTheCallerAsAnException) {
    { std::ofstream(dir + "/registry") << "kbr-registry 1\nK :\nV :x"; }
    ::testing::internal::CaptureStderr();
    try {
        RegistryKey::open(HKEY_CURRENT_USER, "Software", plat::KEY_READ);
        FAIL() << "no exception";
    } catch (const kmt::RegistryKeyNotFound& e) {
        EXPECT_EQ(1009u, e.code);
        EXPECT_STREQ("The configuration registry database is corrupt.\r\n", e.what());
    }
    EXPECT_NE(std::string::npos, ::testing::internal::GetCapturedStderr().find("is damaged"));
}

} // namespace
