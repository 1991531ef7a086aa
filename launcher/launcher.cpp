#include "launcher/launcher.h"

#include "plat/jvm.h"

#include <filesystem>
#include <iostream>

namespace launcher {

namespace {

const char* const kNormalDefaults[] = {
    "-Dkbr.showHostName",
    "-Dkbr.showDatabaseName",
    "-Dkbr.titleFormat=$user $[- $subdatabase]",
};

const char* const kAdminDefaults[] = {
    "-Dkbr.showHostName",
    "-Dkbr.showDatabaseName",
    "-Dkbr.titleFormat=$host $user $[- $subdatabase]",
    "-Dkbr.appConfiguration=kbr",
    "-Dkbr.userName=beheerder",
    "-Dkbr.password=",
    "-Dkbr.noSaveSettings=",
    "-Dkbr.hideSavePassword=",
    "-Dkbr.hideApplicationConfigurationSelector=",
};

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

LaunchSettings& settings() {
    static LaunchSettings instance;
    return instance;
}

size_t parseLauncherArguments(LaunchSettings& s, const std::vector<std::string>& args) {
    if (args.size() < 2) {
        return 1;
    }
    size_t i = 1;
    while (i < args.size()) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "-java" && hasValue) {
            s.javaFolder = args[i + 1];
            i += 2;
        } else if (a == "-dir" && hasValue) {
            s.installFolder = args[i + 1];
            i += 2;
        } else if (a == "-lib" && hasValue) {
            s.libraryFolder = args[i + 1];
            i += 2;
        } else if (a == "-admin") {
            s.admin = true;
            i += 1;
        } else if (a == "-dial" && hasValue) {
            s.programArguments.push_back("-open");
            s.programArguments.push_back("call=" + stripUrlScheme(args[i + 1]));
            i += 2;
        } else if (a == "-adminlogin" && hasValue) {
            s.programArguments.push_back("-open");
            s.programArguments.push_back(stripUrlScheme(args[i + 1]));
            s.admin = true;
            s.jvmOptions.push_back("-Dkbr.autologin");
            i += 2;
        } else if (a.size() >= 2 && a.compare(0, 2, "-D") == 0) {
            s.jvmOptions.push_back(a);
            i += 1;
        } else if (a == "--") {
            return i + 1;
        } else {
            return i;
        }
    }
    return i;
}

std::string absoluteFolder(const std::string& folder, const std::string& from) {
    if (folder.empty() || folder[0] == '/' || from.empty()) {
        return folder;
    }
    return (std::filesystem::path(from) / folder).lexically_normal().string();
}

void buildJvmOptions(LaunchSettings& s, const std::vector<std::string>& args) {
    const size_t first = parseLauncherArguments(s, args);
    // The launcher changes into the install folder before it loads the runtime and Java reads
    // these folders: a relative install folder is taken from where it was started, a relative
    // Java or native library folder in the install folder (as a runtime shipped in it is named).
    std::error_code failed;
    const std::filesystem::path started = std::filesystem::current_path(failed);
    s.installFolder = absoluteFolder(s.installFolder, failed ? std::string() : started.string());
    s.installFolderGiven = !s.installFolder.empty();
    s.javaFolder = absoluteFolder(s.javaFolder, installDirectory(s));
    s.libraryFolder = absoluteFolder(s.libraryFolder, installDirectory(s));
    for (size_t i = first; i < args.size(); ++i) {
        s.programArguments.push_back(args[i]);
    }
    std::vector<std::string> options;
    if (s.admin) {
        options.assign(std::begin(kAdminDefaults), std::end(kAdminDefaults));
    } else {
        options.assign(std::begin(kNormalDefaults), std::end(kNormalDefaults));
    }
    options.insert(options.end(), s.jvmOptions.begin(), s.jvmOptions.end());
    s.jvmOptions = std::move(options);

    if (!s.javaFolder.empty()) {
        s.jvmOptions.push_back("-Dkbr.jreHome=" + s.javaFolder);
    }
    const std::string& install = installDirectory(s);
    if (!install.empty()) {
        s.jvmOptions.push_back("-Dkbr.installNativeStartupDir=" + install);
    }
    if (!s.libraryFolder.empty()) {
        s.jvmOptions.push_back("-Dkbr.libraryPath=" + s.libraryFolder);
        s.jvmOptions.push_back("-Djava.library.path=" + s.libraryFolder);
    } else {
        s.jvmOptions.push_back("-Djava.library.path=" + (install.empty() ? std::string("jars/libs") : install + "/jars/libs"));
    }
    s.jvmOptions.push_back(buildClassPath(install.empty() ? std::string("jars") : install + "/jars"));
}

const std::string& installDirectory(LaunchSettings& s) {
    if (!s.installFolder.empty()) {
        return s.installFolder;
    }
    std::string buffer(1024, '\0');
    for (;;) {
        const plat::DWORD n = plat::GetModuleFileNameA(nullptr, &buffer[0], static_cast<plat::DWORD>(buffer.size()));
        if (n == 0) {
            buffer.clear();
            break;
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        buffer.resize(buffer.size() + 1024);
    }
    const size_t slash = buffer.rfind('/');
    if (slash != std::string::npos) {
        s.installFolder = buffer.substr(0, slash);
    } else {
        s.installFolder = buffer;
    }
    return s.installFolder;
}

std::string stripUrlScheme(const std::string& text) {
    const size_t colon = text.find(':');
    return colon == std::string::npos ? text : text.substr(colon + 1);
}

std::string buildClassPath(const std::string& folder) {
    std::string option = "-Djava.class.path=";
    bool first = true;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string path = entry.path().string();
        if (!endsWith(path, ".jar")) {
            continue;
        }
        if (!first) {
            option += plat::kClassPathSeparator;
        }
        option += (std::filesystem::path(folder) / entry.path().filename()).string();
        first = false;
    }
    std::cout << "classpath: " << option << "\n";
    return option;
}

} // namespace launcher
