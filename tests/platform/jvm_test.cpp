// The program's command line the Windows way, its file and folder, and the Java runtime's paths.
#include "plat/jvm.h"
#include "plat/dl.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <unistd.h>
#include <vector>

using namespace plat;

namespace {

std::vector<std::u16string> split(const std::u16string& line) {
    int count = -1;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::u16string> out;
    if (!argv) {
        ADD_FAILURE() << "CommandLineToArgvW failed";
        return out;
    }
    for (int i = 0; i < count; ++i) {
        out.push_back(argv[i]);
    }
    EXPECT_EQ(nullptr, argv[count]);
    LocalFree(argv);
    return out;
}

std::string narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

struct SplitCase {
    std::u16string line;
    std::vector<std::u16string> args;
};

TEST(PlatCommandLine, SplitsByTheWindowsRules) {
    const SplitCase cases[] = {
        {u"prog", {u"prog"}},
        {u"prog a b", {u"prog", u"a", u"b"}},
        {u"prog   a\t\tb  ", {u"prog", u"a", u"b"}},
        {u"\"C:\\Program Files\\b.exe\" x", {u"C:\\Program Files\\b.exe", u"x"}},
        {u"C:\\a\\\"b c", {u"C:\\a\\\"b", u"c"}}, // the program's name takes no escapes
        {u"p \"\"", {u"p", u""}},
        {u"p \"\" \"\"", {u"p", u"", u""}},
        {u"p \"a b\" c", {u"p", u"a b", u"c"}},
        {u"p a\"b c\"d", {u"p", u"ab cd"}},
        {u"p a\\\\\\\"b", {u"p", u"a\\\"b"}},   // 3 backslashes + quote
        {u"p a\\\\\"b c\"", {u"p", u"a\\b c"}}, // 2 backslashes + quote
        {u"p a\\b\\\\c", {u"p", u"a\\b\\\\c"}}, // backslashes before no quote stay
        {u"p \"a\"\"b\"", {u"p", u"a\"b"}},    // "" inside quotes
        {u"p \"unterminated arg", {u"p", u"unterminated arg"}},
        {u"p \u00e9\U0001F600", {u"p", u"\u00e9\U0001F600"}},
        {u"\"\" x", {u"", u"x"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.args, split(c.line)) << narrow(c.line);
    }
}

TEST(PlatCommandLine, EmptyLineGivesTheProgramPath) {
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    for (const std::u16string& line : {std::u16string(), std::u16string(u"")}) {
        const auto args = split(line);
        ASSERT_EQ(1u, args.size());
        EXPECT_EQ(std::string(self), narrow(args[0]));
    }
    EXPECT_EQ(nullptr, CommandLineToArgvW(u"p", nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(PlatCommandLine, ArgumentsSurviveTheRoundTrip) {
    const std::vector<std::vector<std::u16string>> cases = {
        {u"/usr/bin/brimel"},
        {u"/opt/my programs/brimel", u"a"},
        {u"p", u"", u"", u"x"},
        {u"p", u"a b", u"\t", u" "},
        {u"p", u"\"", u"\"\"", u"a\"b", u"\"a b\""},
        {u"p", u"\\", u"\\\\", u"a\\", u"a b\\", u"a\\\"b", u"\\\"", u"a\\\\ \\\\\""},
        {u"p", u"\u00e9\u65e5", u"\U0001F600 x", u"\n", u"\v"},
        {u"p", std::u16string(70000, u'w') + u" " + std::u16string(70000, u'\\')},
    };
    for (const auto& args : cases) {
        EXPECT_EQ(args, split(commandLineFromArguments(args))) << narrow(commandLineFromArguments(args)).substr(0, 200);
    }
}

TEST(PlatCommandLine, OwnCommandLineGivesOwnArguments) {
    const auto args = split(GetCommandLineW());
    ASSERT_FALSE(args.empty());
    EXPECT_NE(std::u16string::npos, args[0].find(u"platform_tests"));
}

TEST(PlatProgram, ModuleFileNameFitsOrIsCut) {
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 4);
    char buffer[4096];
    EXPECT_EQ(DWORD(length), GetModuleFileNameA(nullptr, buffer, sizeof buffer));
    EXPECT_STREQ(self, buffer);

    char small[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(4u, GetModuleFileNameA(nullptr, small, 4));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(std::string(self, 3), std::string(small));
    EXPECT_EQ('x', small[4]); // nothing past the buffer

    EXPECT_EQ(DWORD(length), GetModuleFileNameA(nullptr, buffer, DWORD(length + 1)));
    EXPECT_EQ(DWORD(length), GetModuleFileNameA(nullptr, buffer, DWORD(length)));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0u, GetModuleFileNameA(nullptr, buffer, 0));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
}

TEST(PlatProgram, CurrentDirectory) {
    char before[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(before, sizeof before));
    EXPECT_TRUE(SetCurrentDirectoryA("/tmp"));
    char now[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(now, sizeof now));
    EXPECT_STREQ("/tmp", now);
    EXPECT_FALSE(SetCurrentDirectoryA("/nonexistent/folder"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(SetCurrentDirectoryA("/proc/self/exe"));
    EXPECT_EQ(ERROR_DIRECTORY, GetLastError());
    EXPECT_FALSE(SetCurrentDirectoryA(""));
    ASSERT_TRUE(SetCurrentDirectoryA(before));
}

TEST(PlatJavaRuntime, PathsAndMissingRuntime) {
    EXPECT_EQ("/jdk/lib/server/libjvm.so", jvmLibraryPath("/jdk"));
    EXPECT_EQ("/jdk/lib", jvmRuntimeFolder("/jdk"));
    EXPECT_EQ(nullptr, LoadLibraryA(jvmLibraryPath("/nonexistent/jdk").c_str()));
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
}

} // namespace
