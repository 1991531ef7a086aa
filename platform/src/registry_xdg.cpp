// Desktop entries, mimeapps.list defaults and autostart entries for the registry's shell keys (see
// registry_xdg.h).
#include "registry_xdg.h"

#include "plat/jvm.h"
#include "plat/text.h"
#include "plat/types.h"
#include "userdirs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plat::detail::xdg {

namespace {

// Files larger than this are not ours to edit (a mimeapps.list is a few kilobytes).
constexpr size_t kMaxFileBytes = 1 << 20;

bool readSmallFile(const std::string& path, std::string& text, bool& exists) {
    text.clear();
    exists = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return errno == ENOENT;
    }
    exists = true;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || text.size() + static_cast<size_t>(n) > kMaxFileBytes) {
            ::close(fd);
            if (n >= 0) errno = EFBIG;
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

// mkdir -p, new folders private to the user.
void makeFolders(const std::string& folder) {
    for (size_t p = folder.find('/', 1);; p = folder.find('/', p + 1)) {
        ::mkdir(folder.substr(0, p).c_str(), 0700);
        if (p == std::string::npos) break;
    }
}

// Replaces path by text (through a new file and a rename) unless it holds that text already.
// True when path holds the text afterwards.
bool writeFile(const std::string& path, const std::string& text, mode_t mode) {
    std::string old;
    bool exists = false;
    if (readSmallFile(path, old, exists) && exists && old == text) {
        return true;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    makeFolders(folder);
    if (const std::string why = notPrivateFolder(folder); !why.empty()) {
        logOnce("registry: " + why + "; " + path + " is not written");
        return false;
    }
    const std::string tmp = path + ".new." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    if (fd >= 0) {
        ok = ::close(fd) == 0 && ok;
    }
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        std::fprintf(stderr, "registry: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void removeFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "registry: cannot remove %s: %s\n", path.c_str(), std::strerror(errno));
    }
}

// A scheme as RFC 3986 writes it, in lower case; empty when the name is none.
std::string schemeName(const std::string& scheme) {
    std::string out;
    for (char c : scheme) {
        const char l = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        const bool letter = l >= 'a' && l <= 'z';
        if (!(letter || (!out.empty() && ((l >= '0' && l <= '9') || l == '+' || l == '-' || l == '.')))) {
            return std::string();
        }
        out += l;
    }
    return out.size() <= 64 ? out : std::string();
}

// A value name as part of a file name: lower case, bytes outside [a-z0-9._-] as %XX.
std::string fileNamePart(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        const unsigned char l = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
        if ((l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') || l == '.' || l == '_' || l == '-') {
            out += static_cast<char>(l);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// A text as a desktop entry's string value.
std::string desktopString(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    if (!out.empty() && out[0] == ' ') out.replace(0, 1, "\\s");
    return out;
}

// %NAME% replaced by the variable's value where it is set, as Windows expands REG_EXPAND_SZ.
std::string expandVariables(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%') {
            const size_t end = s.find('%', i + 1);
            if (end != std::string::npos && end > i + 1) {
                if (const char* v = std::getenv(s.substr(i + 1, end - i - 1).c_str())) {
                    out += v;
                    i = end;
                    continue;
                }
            }
        }
        out += s[i];
    }
    return out;
}

// The command split by the Windows rules, in UTF-8.
std::vector<std::string> windowsArguments(const std::string& command) {
    std::vector<std::string> out;
    const size_t start = command.find_first_not_of(" \t");
    if (start == std::string::npos) {
        return out;
    }
    const std::string text = command.substr(start);
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) {
        return out;
    }
    std::u16string wide(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), n);
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(wide.c_str(), &count);
    if (!argv) {
        return out;
    }
    for (int i = 0; i < count; ++i) {
        const int m = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string a(static_cast<size_t>(m > 0 ? m : 1), '\0');
        if (m > 0) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, a.data(), m, nullptr, nullptr);
        a.resize(a.size() - 1);
        out.push_back(std::move(a));
    }
    LocalFree(argv);
    return out;
}

std::string desktopHeader(const char* what) {
    return std::string("# Written by the kbr registry for ") + what +
           "; rewritten and removed with that key.\n[Desktop Entry]\nType=Application\n";
}

std::string applicationsFolder() {
    std::string why;
    const std::string data = userDataHome(why);
    if (data.empty()) logOnce("registry: " + why + "; no desktop entries are written");
    return data.empty() ? data : data + "/applications";
}

std::string configFolder() {
    std::string why;
    const std::string config = userConfigHome(why);
    if (config.empty()) logOnce("registry: " + why + "; no desktop entries are written");
    return config;
}

// Sets (id not empty) or clears (our id only) the default handler of a MIME type in mimeapps.list.
void setDefaultApplication(const std::string& mimeType, const std::string& ourId, bool set) {
    const std::string config = configFolder();
    if (config.empty()) return;
    const std::string path = config + "/mimeapps.list";
    std::string text;
    bool exists = false;
    if (!readSmallFile(path, text, exists)) {
        std::fprintf(stderr, "registry: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return;
    }
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    const std::string group = "[Default Applications]";
    size_t groupAt = lines.size(), groupEnd = lines.size(), keyAt = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (groupAt == lines.size()) {
            if (lines[i] == group) groupAt = i;
            continue;
        }
        if (!lines[i].empty() && lines[i][0] == '[') {
            groupEnd = i;
            break;
        }
        const size_t eq = lines[i].find('=');
        if (eq != std::string::npos) {
            std::string key = lines[i].substr(0, eq);
            while (!key.empty() && key.back() == ' ') key.pop_back();
            if (key == mimeType) keyAt = i;
        }
    }
    const std::string line = mimeType + "=" + ourId + ";";
    if (set) {
        if (keyAt != lines.size()) {
            lines[keyAt] = line;
        } else if (groupAt != lines.size()) {
            lines.insert(lines.begin() + static_cast<long>(groupEnd), line);
        } else {
            if (!lines.empty() && !lines.back().empty()) lines.push_back("");
            lines.push_back(group);
            lines.push_back(line);
        }
    } else {
        if (keyAt == lines.size()) return;
        // Our id leaves the list; the others stay.
        const std::string value = lines[keyAt].substr(lines[keyAt].find('=') + 1);
        std::string kept;
        for (size_t pos = 0; pos < value.size();) {
            size_t semi = value.find(';', pos);
            if (semi == std::string::npos) semi = value.size();
            const std::string id = value.substr(pos, semi - pos);
            if (!id.empty() && id != ourId) kept += id + ";";
            pos = semi + 1;
        }
        if (kept == value) return;
        if (kept.empty()) lines.erase(lines.begin() + static_cast<long>(keyAt));
        else lines[keyAt] = mimeType + "=" + kept;
    }
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    if (out != text) {
        struct stat st {};
        writeFile(path, out, exists && ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0644);
    }
}

} // namespace

std::string execLine(const std::string& command, bool expand, bool url) {
    std::string exec;
    for (const std::string& arg : windowsArguments(expand ? expandVariables(command) : command)) {
        if (url && (arg == "%1" || arg == "%l" || arg == "%L")) {
            exec += exec.empty() ? "%u" : " %u";
            continue;
        }
        if (url && arg == "%*") {
            continue; // the further arguments of a Windows verb: there are none here
        }
        std::string field;
        bool quote = arg.empty();
        for (size_t i = 0; i < arg.size(); ++i) {
            const char c = arg[i];
            if (c == '%') {
                if (url && i + 1 < arg.size() && (arg[i + 1] == '1' || arg[i + 1] == 'l' || arg[i + 1] == 'L')) {
                    field += "%u";
                    ++i;
                } else {
                    field += "%%";
                }
                continue;
            }
            if (std::strchr(" \t\n\"'\\><~|&;$*?#()`", c)) quote = true;
            if (c == '"' || c == '`' || c == '$' || c == '\\') field += '\\';
            field += c;
        }
        if (!exec.empty()) exec += ' ';
        exec += quote ? "\"" + field + "\"" : field;
    }
    return desktopString(exec);
}

void writeUrlHandler(const std::string& scheme, const std::string& command, bool expand, const std::string& name) {
    const std::string s = schemeName(scheme);
    const std::string exec = execLine(command, expand, true);
    if (s.empty() || exec.empty()) {
        logOnce("registry: URL scheme \"" + scheme + "\" or its command cannot be a desktop entry; none is written");
        return;
    }
    const std::string folder = applicationsFolder();
    if (folder.empty()) return;
    const std::string id = "kbr-" + s + ".desktop";
    // The default handler names the entry, so it is set only once the entry is there: a default
    // without its entry would replace the user's own handler by one that opens nothing.
    if (writeFile(folder + "/" + id,
                  desktopHeader(("the open command of the URL scheme " + s).c_str()) +
                      "Name=" + desktopString(name.empty() ? "URL:" + s : name) + "\nExec=" + exec +
                      "\nNoDisplay=true\nTerminal=false\nMimeType=x-scheme-handler/" + s + ";\n",
                  0644)) {
        setDefaultApplication("x-scheme-handler/" + s, id, true);
    }
}

void removeUrlHandler(const std::string& scheme) {
    const std::string s = schemeName(scheme);
    const std::string folder = applicationsFolder();
    if (s.empty() || folder.empty()) return;
    const std::string id = "kbr-" + s + ".desktop";
    setDefaultApplication("x-scheme-handler/" + s, id, false);
    removeFile(folder + "/" + id);
}

namespace {
std::string autostartPath(const std::string& valueName) {
    const std::string config = configFolder();
    const std::string part = fileNamePart(valueName);
    if (config.empty() || part.empty() || part.size() > 200) {
        if (!config.empty()) logOnce("registry: the Run value \"" + valueName + "\" cannot name an autostart entry");
        return std::string();
    }
    return config + "/autostart/kbr-" + part + ".desktop";
}
} // namespace

void writeAutostart(const std::string& valueName, const std::string& command, bool expand) {
    const std::string path = autostartPath(valueName);
    const std::string exec = execLine(command, expand, false);
    if (path.empty()) return;
    if (exec.empty()) {
        removeFile(path);
        return;
    }
    writeFile(path,
              desktopHeader("a value of HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run") +
                  "Name=" + desktopString(valueName) + "\nExec=" + exec +
                  "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n",
              0644);
}

void removeAutostart(const std::string& valueName) {
    const std::string path = autostartPath(valueName);
    if (!path.empty()) removeFile(path);
}

} // namespace plat::detail::xdg
