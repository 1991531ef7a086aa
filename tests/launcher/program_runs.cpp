// Runs the real brimel against installation folders laid out here: the Java folder a link to the
// JDK, "jars" holding a test main class that prints the properties and arguments it got.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct ProgramRun {
    int status = -1;        // exit status; -1 when it did not exit by itself
    bool stillRunning = false; // alive after the stop text appeared (then killed)
    std::string output;     // standard output and error together

    bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
    // The value of a property line "prop name=[value]"; "<absent>" when there is none.
    std::string prop(const std::string& name) const {
        const std::string key = "prop " + name + "=[";
        const size_t at = output.find(key);
        if (at == std::string::npos) {
            return "<absent>";
        }
        const size_t start = at + key.size();
        return output.substr(start, output.find("]\n", start) - start);
    }
    std::vector<std::string> args() const {
        std::vector<std::string> out;
        for (int i = 0;; ++i) {
            const std::string key = "arg " + std::to_string(i) + "=[";
            const size_t at = output.find(key);
            if (at == std::string::npos) {
                return out;
            }
            const size_t start = at + key.size();
            out.push_back(output.substr(start, output.find("]\n", start) - start));
        }
    }
};

// Runs program with args; when stopText appears, waits a while, notes whether it still runs and kills it.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& stopText = "",
                      const std::string& folder = "") {
    int pipeFds[2];
    EXPECT_EQ(0, pipe(pipeFds));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    if (!folder.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    // Every JNI call of the launcher is checked; the JVM reads this when it is created.
    std::vector<std::string> envText = {"JAVA_TOOL_OPTIONS=-Xcheck:jni"};
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("JAVA_TOOL_OPTIONS=", 0) != 0) {
            envText.push_back(*e);
        }
    }
    std::vector<char*> envp;
    for (auto& e : envText) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    ProgramRun run;
    if (spawned != 0) {
        close(pipeFds[0]);
        ADD_FAILURE() << "cannot start " << program;
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::chrono::steady_clock::time_point stopAt{};
    bool stopSeen = false;
    bool open = true;
    while (open) {
        const auto now = std::chrono::steady_clock::now();
        if (now > deadline || (stopSeen && now > stopAt)) {
            break;
        }
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buffer[4096];
            const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
            if (n <= 0) {
                open = false;
            } else {
                run.output.append(buffer, static_cast<size_t>(n));
            }
        }
        if (!stopSeen && !stopText.empty() && run.has(stopText)) {
            stopSeen = true;
            stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        }
    }
    int status = 0;
    pid_t waited = waitpid(pid, &status, WNOHANG);
    // Output closed: the program is ending; give it a bounded moment to be gone.
    for (int i = 0; !open && waited == 0 && i < 100; ++i) {
        usleep(50000);
        waited = waitpid(pid, &status, WNOHANG);
    }
    if (waited == 0) {
        run.stillRunning = true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    if (open && !run.stillRunning) {
        // Drain what is left.
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
            run.output.append(buffer, static_cast<size_t>(n));
        }
    }
    close(pipeFds[0]);
    return run;
}

// A private installation folder: jars/ with a jar, jars/libs/, and the Java folder as a link to the JDK.
class InstallFolder {
public:
    explicit InstallFolder(const std::string& jar = "main.jar") {
        char pattern[] = "/tmp/brimel_install_XXXXXX";
        root_ = mkdtemp(pattern);
        fs::create_directories(root_ / "jars" / "libs");
        fs::copy_file(fs::path(LAUNCHER_JAR_DIR) / jar, root_ / "jars" / jar);
        // Neither of these belongs on the class path.
        std::ofstream(root_ / "jars" / "upper.JAR") << "x";
        std::ofstream(root_ / "jars" / "notes.txt") << "x";
        fs::create_directory_symlink(LAUNCHER_JDK, root_ / "java");
    }
    ~InstallFolder() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string path() const { return root_.string(); }
    std::string java() const { return (root_ / "java").string(); }
    std::string jar(const std::string& name = "main.jar") const { return (root_ / "jars" / name).string(); }

    ProgramRun run(std::vector<std::string> args, const std::string& stopText = "") const {
        args.insert(args.begin(), {"-java", java(), "-dir", path()});
        return runProgram(BRIMEL_PROGRAM, args, stopText);
    }

private:
    fs::path root_;
};

void expectCleanJni(const ProgramRun& run) {
    EXPECT_FALSE(run.has("WARNING in native method")) << run.output;
    EXPECT_FALSE(run.has("FATAL ERROR")) << run.output;
}

const std::map<std::string, std::string> kNormalDefaults = {
    {"kbr.showHostName", ""},
    {"kbr.showDatabaseName", ""},
    {"kbr.titleFormat", "$user $[- $subdatabase]"},
};
const std::map<std::string, std::string> kAdminDefaults = {
    {"kbr.showHostName", ""},
    {"kbr.showDatabaseName", ""},
    {"kbr.titleFormat", "$host $user $[- $subdatabase]"},
    {"kbr.appConfiguration", "kbr"},
    {"kbr.userName", "beheerder"},
    {"kbr.password", ""},
    {"kbr.noSaveSettings", ""},
    {"kbr.hideSavePassword", ""},
    {"kbr.hideApplicationConfigurationSelector", ""},
};

TEST(LauncherProgram, StartsTheMainClassWithTheFolderSettings) {
    InstallFolder install;
    const ProgramRun run = install.run({});
    EXPECT_EQ(0, run.status) << run.output;
    expectCleanJni(run);
    EXPECT_TRUE(run.has("classpath: -Djava.class.path=" + install.jar() + "\ncurrent directory: " + install.path() + "\n"))
        << run.output;
    EXPECT_TRUE(run.has("load java dll at: " + install.java() + "/lib/server/libjvm.so\n")) << run.output;
    EXPECT_TRUE(run.has("Create java vm\nCreate java vm done\n")) << run.output;
    for (const auto& [name, value] : kNormalDefaults) {
        EXPECT_EQ(value, run.prop(name)) << name;
    }
    EXPECT_EQ("<absent>", run.prop("kbr.userName"));
    EXPECT_EQ("<absent>", run.prop("kbr.autologin"));
    EXPECT_EQ("<absent>", run.prop("kbr.libraryPath"));
    EXPECT_EQ(install.java(), run.prop("kbr.jreHome"));
    EXPECT_EQ(install.path(), run.prop("kbr.installNativeStartupDir"));
    EXPECT_EQ(install.path() + "/jars/libs", run.prop("java.library.path"));
    EXPECT_EQ(install.jar(), run.prop("java.class.path"));
    EXPECT_EQ(install.path(), run.prop("user.dir"));
    EXPECT_TRUE(run.args().empty()) << run.output;
}

struct ModeCase {
    const char* name;
    std::vector<std::string> args;
    bool admin;
    std::vector<std::string> programArgs;
    std::map<std::string, std::string> extraProps;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

class LauncherModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(LauncherModes, OptionsAndArgumentsReachJava) {
    const ModeCase& c = GetParam();
    InstallFolder install;
    const ProgramRun run = install.run(c.args);
    EXPECT_EQ(0, run.status) << run.output;
    expectCleanJni(run);
    for (const auto& [name, value] : c.admin ? kAdminDefaults : kNormalDefaults) {
        if (!c.extraProps.count(name)) {
            EXPECT_EQ(value, run.prop(name)) << name;
        }
    }
    if (!c.admin) {
        EXPECT_EQ("<absent>", run.prop("kbr.userName"));
    }
    for (const auto& [name, value] : c.extraProps) {
        EXPECT_EQ(value, run.prop(name)) << name;
    }
    EXPECT_EQ(c.programArgs, run.args()) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherModes,
    ::testing::Values(
        ModeCase{"admin", {"-admin"}, true, {}, {}},
        ModeCase{"dialUrl", {"-dial", "callto:0123456"}, false, {"-open", "call=0123456"}, {}},
        ModeCase{"dialNumber", {"-dial", "0123456"}, false, {"-open", "call=0123456"}, {}},
        ModeCase{"adminLogin", {"-adminlogin", "kbr:abc"}, true, {"-open", "abc"}, {{"kbr.autologin", ""}}},
        ModeCase{"definesAndArguments", {"-Dfoo.bar=1", "-admin", "x", "y"}, true, {"x", "y"}, {}},
        ModeCase{"commandLineOverridesDefault", {"-Dkbr.titleFormat=mine", "-Dtest.flag"}, false, {},
                 {{"kbr.titleFormat", "mine"}, {"test.flag", ""}}},
        ModeCase{"endOfOptions", {"--", "-admin"}, false, {"-admin"}, {}},
        ModeCase{"valueOptionLast", {"-admin", "-lib"}, true, {"-lib"}, {}},
        ModeCase{"libraryFolder", {"-lib", "/opt/brimel native", "z"}, false, {"z"},
                 {{"kbr.libraryPath", "/opt/brimel native"}, {"java.library.path", "/opt/brimel native"}}},
        ModeCase{"dialThenArguments", {"-dial", "tel:+31 20", "-Dtest.x=2", "rest"}, false,
                 {"-open", "call=+31 20", "rest"}, {{"test.x", "2"}}}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

// Arguments survive the trip through the Windows-style command line and into Java strings: empty,
// quoted, backslashes, very long, and characters outside ASCII (also above U+FFFF).
TEST(LauncherProgram, ArgumentTextReachesJavaUnchanged) {
    InstallFolder install;
    const std::string longArg(100000, 'k');
    const ProgramRun run = install.run({"--", "", "a \"b\" c", "tail\\", "\\\"x\\\\\"", "\t", longArg,
                                 "caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80!"});
    EXPECT_EQ(0, run.status) << run.output.substr(0, 2000);
    expectCleanJni(run);
    const std::vector<std::string> expected = {"", "a \"b\" c", "tail\\u005c", "\\u005c\"x\\u005c\\u005c\"", "\\u0009",
                                               longArg, "caf\\u00e9", "\\u65e5\\u672c", "\\ud83d\\ude00!"};
    EXPECT_EQ(expected, run.args());
}

// Bytes that are no UTF-8 at all still give Java valid strings.
TEST(LauncherProgram, InvalidUtf8ArgumentBecomesReplacementCharacters) {
    InstallFolder install;
    const ProgramRun run = install.run({"--", "a\xFF" "b", "\xC3"});
    EXPECT_EQ(0, run.status) << run.output;
    expectCleanJni(run);
    EXPECT_EQ((std::vector<std::string>{"a\\ufffdb", "\\ufffd"}), run.args());
}

TEST(LauncherProgram, WithoutOptionsUsesTheProgramsOwnFolder) {
    // The program copied into the installation folder, the runtime's "lib" beside it: no options at all.
    InstallFolder install;
    const fs::path program = fs::path(install.path()) / "brimel";
    fs::copy_file(BRIMEL_PROGRAM, program);
    fs::create_directory_symlink(fs::path(LAUNCHER_JDK) / "lib", fs::path(install.path()) / "lib");
    const ProgramRun run = runProgram(program.string(), {});
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_TRUE(run.has("current directory: " + install.path() + "\n")) << run.output;
    EXPECT_TRUE(run.has("load java dll at: " + install.path() + "/lib/server/libjvm.so\n")) << run.output;
    EXPECT_EQ("<absent>", run.prop("kbr.jreHome"));
    EXPECT_EQ(install.path(), run.prop("kbr.installNativeStartupDir"));
    EXPECT_EQ(install.jar(), run.prop("java.class.path"));
    EXPECT_TRUE(run.args().empty());
}

std::string replaced(std::string text, const std::string& what, const std::string& by) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + by.size())) {
        text.replace(at, what.size(), by);
    }
    return text;
}

// Relative folders, the program started in the folder above the installation: "-dir" is taken from
// there, "-java" and "-lib" in the install folder, which the launcher changes into; absolute ones
// stay as given.
struct RelativeFolderCase {
    const char* name;
    // "INSTALL" and "NAME" stand for the installation folder's path and its name; without "-dir"
    // the install folder is the program's folder (a copy in the installation folder).
    std::vector<std::string> args;
    std::string java;    // the Java folder the runtime is loaded from
    std::string library; // java.library.path
};

void PrintTo(const RelativeFolderCase& c, std::ostream* os) {
    *os << c.name;
}

class LauncherRelativeFolders : public ::testing::TestWithParam<RelativeFolderCase> {};

TEST_P(LauncherRelativeFolders, DirFromTheStartFolderJavaAndLibInTheInstallFolder) {
    const RelativeFolderCase& c = GetParam();
    InstallFolder install;
    const fs::path root(install.path());
    const std::string start = root.parent_path().string();
    auto text = [&](std::string t) {
        t = replaced(std::move(t), "INSTALL", install.path());
        return replaced(std::move(t), "NAME", root.filename().string());
    };
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(text(a));
    std::string program = BRIMEL_PROGRAM;
    if (std::find(c.args.begin(), c.args.end(), "-dir") == c.args.end()) {
        program = (root / "brimel").string();
        fs::copy_file(BRIMEL_PROGRAM, program);
    }
    const ProgramRun run = runProgram(program, args, "", start);
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_TRUE(run.has("current directory: " + install.path() + "\n")) << run.output;
    EXPECT_TRUE(run.has("load java dll at: " + text(c.java) + "/lib/server/libjvm.so\n")) << run.output;
    EXPECT_EQ(text(c.java), run.prop("kbr.jreHome"));
    EXPECT_EQ(text(c.library), run.prop("java.library.path"));
    EXPECT_EQ(install.path(), run.prop("kbr.installNativeStartupDir"));
    EXPECT_EQ(install.jar(), run.prop("java.class.path"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherRelativeFolders,
    ::testing::Values(
        RelativeFolderCase{"relativeJavaAbsoluteDir", {"-dir", "INSTALL", "-java", "java"}, "INSTALL/java",
                           "INSTALL/jars/libs"},
        RelativeFolderCase{"relativeJavaRelativeDir", {"-dir", "NAME", "-java", "./java"}, "INSTALL/java",
                           "INSTALL/jars/libs"},
        RelativeFolderCase{"relativeJavaProgramsFolder", {"-java", "jars/../java"}, "INSTALL/java",
                           "INSTALL/jars/libs"},
        RelativeFolderCase{"relativeLib", {"-dir", "INSTALL", "-java", "java", "-lib", "jars/libs/x"}, "INSTALL/java",
                           "INSTALL/jars/libs/x"},
        RelativeFolderCase{"absoluteFoldersUnchanged",
                           {"-dir", "NAME", "-java", "INSTALL/java", "-lib", "/opt/brimel native"}, "INSTALL/java",
                           "/opt/brimel native"}),
    [](const ::testing::TestParamInfo<RelativeFolderCase>& info) { return std::string(info.param.name); });

TEST(LauncherProgram, LivesOnAfterMainReturns) {
    InstallFolder install;
    const ProgramRun run = install.run({"-Dtest.mode=return"}, "main returns");
    EXPECT_TRUE(run.has("main returns")) << run.output;
    EXPECT_TRUE(run.stillRunning) << run.output;
}

struct FailureCase {
    const char* name;
    // Arguments after the installation folder's "-dir" (given first unless an argument is "-dir");
    // "JAVA" stands for its Java folder, "EMPTY" for a folder without a runtime.
    std::vector<std::string> args;
    const char* jar;
    // Lines of the output, each ending in a line break; "INSTALL" stands for the installation folder.
    std::vector<std::string> expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class LauncherFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(LauncherFailures, ReportedWithExitStatusOne) {
    const FailureCase& c = GetParam();
    InstallFolder install(c.jar);
    fs::create_directories(fs::path(install.path()) / "emptyjava");
    std::vector<std::string> args;
    if (std::find(c.args.begin(), c.args.end(), "-dir") == c.args.end()) {
        args = {"-dir", install.path()};
    }
    for (const auto& a : c.args) {
        args.push_back(a == "JAVA" ? install.java() : a == "EMPTY" ? install.path() + "/emptyjava" : a);
    }
    if (std::string(c.name) == "jarsFolderMissing") {
        fs::remove_all(fs::path(install.path()) / "jars");
    }
    const ProgramRun run = runProgram(BRIMEL_PROGRAM, args);
    EXPECT_EQ(1, run.status) << run.output;
    for (const std::string& line : c.expected) {
        const std::string text = replaced(line, "INSTALL", install.path());
        EXPECT_TRUE(run.has(text)) << "expected: " << text << "\noutput: " << run.output;
    }
    // Only the throwing main gets as far as printing what it was given.
    EXPECT_EQ(std::string(c.name) == "mainThrows", run.has("args 0\n")) << run.output;
    expectCleanJni(run);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherFailures,
    ::testing::Values(
        FailureCase{"javaFolderMissing", {"-java", "/nonexistent/brimel-java"}, "main.jar",
                    {"\nFailed to load dll, error: 126 (/nonexistent/brimel-java/lib/server/libjvm.so: cannot open shared "
                     "object file: No such file or directory)\n",
                     "\nJava folder: /nonexistent/brimel-java (-java)\n"}},
        FailureCase{"jvmLibraryMissing", {"-java", "EMPTY"}, "main.jar",
                    {"\nFailed to load dll, error: 126 (INSTALL/emptyjava/lib/server/libjvm.so: cannot open shared object "
                     "file: No such file or directory)\n"}},
        FailureCase{"mainClassAbsent", {"-java", "JAVA"}, "other.jar", {"\nCannot fiind main class\n"}},
        FailureCase{"mainNotStatic", {"-java", "JAVA"}, "nomain.jar", {"\nCannot find main method\n"}},
        FailureCase{"mainThrows", {"-java", "JAVA", "-Dtest.mode=throw"}, "main.jar",
                    {"\nException in main: java.lang.IllegalStateException: main failed on purpose\n"}},
        FailureCase{"jarsFolderMissing", {"-java", "JAVA"}, "main.jar",
                    {"caught: ", "INSTALL/jars]\nno jars folder in the install folder INSTALL (-dir)\n"}},
        FailureCase{"installFolderMissing", {"-dir", "/nonexistent/brimel-install", "-java", "JAVA"}, "main.jar",
                    {"caught: ", "/nonexistent/brimel-install/jars]\ninstall folder not found: "
                     "/nonexistent/brimel-install (-dir)\n"}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

} // namespace
