// The launcher's command line, JVM options and class path.
#pragma once

#include <string>
#include <vector>

namespace launcher {

struct LaunchSettings {
    std::string javaFolder;    // "-java"
    std::string installFolder; // "-dir", else the program's folder
    bool installFolderGiven = false; // by "-dir"
    std::string libraryFolder; // "-lib"
    bool admin = false;        // "-admin" or "-adminlogin"
    std::vector<std::string> jvmOptions;
    std::vector<std::string> programArguments;
};

// The settings of this process.
LaunchSettings& settings();

// Reads the options from index 1 on into the settings; returns the index of the first program argument.
size_t parseLauncherArguments(LaunchSettings& s, const std::vector<std::string>& args);
// A folder given relative to the folder from as an absolute path (unchanged when empty or absolute
// already, or when from is empty).
std::string absoluteFolder(const std::string& folder, const std::string& from);
// Parses, makes the install folder absolute from the current folder and the Java and native library
// folders absolute in the install folder, then fills the JVM options and the program arguments.
void buildJvmOptions(LaunchSettings& s, const std::vector<std::string>& args);
// The install folder, the program's own folder when none was given.
const std::string& installDirectory(LaunchSettings& s);
// The text after its first ":" (unchanged without one).
std::string stripUrlScheme(const std::string& text);
// "-Djava.class.path=" and the ".jar" files of folder; prints it on a line of its own. Throws std::exception when the
// folder cannot be listed.
std::string buildClassPath(const std::string& folder);

} // namespace launcher
