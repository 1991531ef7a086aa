// The launcher's parsing, JVM options, class path and Java text, without starting a JVM.
#include "launcher/launcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using launcher::LaunchSettings;

namespace {

using Strings = std::vector<std::string>;

struct ParseCase {
    const char* name;
    Strings args; // without the program
    size_t firstProgramArgument;
    bool admin;
    std::string javaFolder, installFolder, libraryFolder;
    Strings jvmOptions;       // from the command line only
    Strings programArguments; // from -dial / -adminlogin only
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class LauncherParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(LauncherParse, FillsTheSettings) {
    const ParseCase& c = GetParam();
    Strings args = {"C:/program"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    LaunchSettings s;
    EXPECT_EQ(c.firstProgramArgument, launcher::parseLauncherArguments(s, args));
    EXPECT_EQ(c.admin, s.admin);
    EXPECT_EQ(c.javaFolder, s.javaFolder);
    EXPECT_EQ(c.installFolder, s.installFolder);
    EXPECT_EQ(c.libraryFolder, s.libraryFolder);
    EXPECT_EQ(c.jvmOptions, s.jvmOptions);
    EXPECT_EQ(c.programArguments, s.programArguments);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherParse,
    ::testing::Values(
        ParseCase{"none", {}, 1, false, "", "", "", {}, {}},
        ParseCase{"folders", {"-java", "/j", "-dir", "/d", "-lib", "/l"}, 7, false, "/j", "/d", "/l", {}, {}},
        ParseCase{"valueMayStartWithDash", {"-java", "-admin", "x"}, 3, false, "-admin", "", "", {}, {}},
        ParseCase{"dialUrl", {"-dial", "callto:0123456"}, 3, false, "", "", "", {}, {"-open", "call=0123456"}},
        ParseCase{"dialOnlyFirstColon", {"-dial", "tel:a:b"}, 3, false, "", "", "", {}, {"-open", "call=a:b"}},
        ParseCase{"adminLogin", {"-adminlogin", "kbr:abc"}, 3, true, "", "", "", {"-Dkbr.autologin"}, {"-open", "abc"}},
        ParseCase{"defines", {"-Dfoo=1", "-admin", "x", "y"}, 3, true, "", "", "", {"-Dfoo=1"}, {}},
        ParseCase{"bareD", {"-D", "-d", "x"}, 2, false, "", "", "", {"-D"}, {}},
        ParseCase{"endOfOptions", {"--", "-admin"}, 2, false, "", "", "", {}, {}},
        ParseCase{"endOfOptionsLast", {"-admin", "--"}, 3, true, "", "", "", {}, {}},
        ParseCase{"valueOptionLast", {"-java"}, 1, false, "", "", "", {}, {}},
        ParseCase{"caseSensitive", {"-ADMIN", "-admin"}, 1, false, "", "", "", {}, {}},
        ParseCase{"emptyArgument", {"", "-admin"}, 1, false, "", "", "", {}, {}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(LauncherUrl, StripsUpToTheFirstColon) {
    const std::pair<const char*, const char*> cases[] = {
        {"callto:123", "123"}, {"123", "123"}, {"tel:+31:20", "+31:20"}, {":", ""}, {"", ""}, {"a:", ""}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(out, launcher::stripUrlScheme(in)) << in;
    }
}

// A folder of its own, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/launcher_unit_XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    void file(const std::string& name) const { std::ofstream(path_ / name) << "x"; }

private:
    fs::path path_;
};

TEST(LauncherClassPath, OnlyLowerCaseJarFilesWithFullPaths) {
    TempFolder folder;
    folder.file("a.jar");
    folder.file("b.JAR");
    folder.file("c.txt");
    folder.file("d.jar.txt");
    fs::create_directory(folder.path() / "libs");
    EXPECT_EQ("-Djava.class.path=" + (folder.path() / "a.jar").string(), launcher::buildClassPath(folder.path().string()));
}

TEST(LauncherClassPath, EntriesSeparatedByColon) {
    TempFolder folder;
    folder.file("one.jar");
    folder.file("two.jar");
    const std::string option = launcher::buildClassPath(folder.path().string());
    const std::string one = (folder.path() / "one.jar").string();
    const std::string two = (folder.path() / "two.jar").string();
    EXPECT_TRUE(option == "-Djava.class.path=" + one + ":" + two || option == "-Djava.class.path=" + two + ":" + one)
        << option;
}

TEST(LauncherClassPath, EmptyAndMissingFolders) {
    TempFolder folder;
    EXPECT_EQ("-Djava.class.path=", launcher::buildClassPath(folder.path().string()));
    EXPECT_THROW(launcher::buildClassPath((folder.path() / "absent").string()), std::exception);
}

TEST(LauncherOptions, DefaultsComeFirstThenCommandLineThenFolders) {
    TempFolder folder;
    fs::create_directory(folder.path() / "jars");
    folder.file("jars/x.jar");
    const std::string dir = folder.path().string();
    LaunchSettings s;
    launcher::buildJvmOptions(s, {"p", "-java", "/jdk", "-dir", dir, "-Dkbr.titleFormat=t", "-dial", "1", "rest"});
    const Strings expected = {"-Dkbr.showHostName",
                              "-Dkbr.showDatabaseName",
                              "-Dkbr.titleFormat=$user $[- $subdatabase]",
                              "-Dkbr.titleFormat=t",
                              "-Dkbr.jreHome=/jdk",
                              "-Dkbr.installNativeStartupDir=" + dir,
                              "-Djava.library.path=" + dir + "/jars/libs",
                              "-Djava.class.path=" + dir + "/jars/x.jar"};
    EXPECT_EQ(expected, s.jvmOptions);
    EXPECT_EQ((Strings{"-open", "call=1", "rest"}), s.programArguments);
}

TEST(LauncherOptions, AdminDefaultsAndLibraryFolder) {
    TempFolder folder;
    fs::create_directory(folder.path() / "jars");
    const std::string dir = folder.path().string();
    LaunchSettings s;
    launcher::buildJvmOptions(s, {"p", "-dir", dir, "-adminlogin", "kbr:u", "-lib", "/native"});
    const Strings expected = {"-Dkbr.showHostName",
                              "-Dkbr.showDatabaseName",
                              "-Dkbr.titleFormat=$host $user $[- $subdatabase]",
                              "-Dkbr.appConfiguration=kbr",
                              "-Dkbr.userName=beheerder",
                              "-Dkbr.password=",
                              "-Dkbr.noSaveSettings=",
                              "-Dkbr.hideSavePassword=",
                              "-Dkbr.hideApplicationConfigurationSelector=",
                              "-Dkbr.autologin",
                              "-Dkbr.installNativeStartupDir=" + dir,
                              "-Dkbr.libraryPath=/native",
                              "-Djava.library.path=/native",
                              "-Djava.class.path="};
    EXPECT_EQ(expected, s.jvmOptions);
    EXPECT_EQ((Strings{"-open", "u"}), s.programArguments);
}

// The launcher changes into the install folder before the folders are used: a relative install
// folder is taken from where it was started, relative Java and library folders in the install folder.
TEST(LauncherOptions, RelativeFoldersBecomeAbsolute) {
    TempFolder folder;
    fs::create_directories(folder.path() / "inst" / "jars");
    folder.file("inst/jars/x.jar");
    const fs::path before = fs::current_path();
    fs::current_path(folder.path());
    LaunchSettings s;
    launcher::buildJvmOptions(s, {"p", "-java", "jdk/../jdk17", "-dir", "./inst", "-lib", "native"});
    fs::current_path(before);
    const std::string dir = folder.path().string();
    EXPECT_EQ(dir + "/inst/jdk17", s.javaFolder);
    EXPECT_EQ(dir + "/inst", s.installFolder);
    EXPECT_EQ(dir + "/inst/native", s.libraryFolder);
    const Strings expected = {"-Dkbr.showHostName",
                              "-Dkbr.showDatabaseName",
                              "-Dkbr.titleFormat=$user $[- $subdatabase]",
                              "-Dkbr.jreHome=" + dir + "/inst/jdk17",
                              "-Dkbr.installNativeStartupDir=" + dir + "/inst",
                              "-Dkbr.libraryPath=" + dir + "/inst/native",
                              "-Djava.library.path=" + dir + "/inst/native",
                              "-Djava.class.path=" + dir + "/inst/jars/x.jar"};
    EXPECT_EQ(expected, s.jvmOptions);
    // Absolute folders stay as given; without a folder to start from a relative one stays too.
    EXPECT_EQ("/opt/brimel/../x", launcher::absoluteFolder("/opt/brimel/../x", "/srv"));
    EXPECT_EQ("", launcher::absoluteFolder("", "/srv"));
    EXPECT_EQ("/srv/jre", launcher::absoluteFolder("./jre", "/srv"));
    EXPECT_EQ("jre", launcher::absoluteFolder("jre", ""));
}

TEST(LauncherOptions, InstallFolderDefaultsToTheProgramsFolder) {
    LaunchSettings s;
    const std::string folder = launcher::installDirectory(s);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(fs::path(self).parent_path().string(), folder);
}

} // namespace
