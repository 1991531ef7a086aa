// The per-user registry kept in a file (see plat/registry.h).
#include "internal.h"
#include "registry_xdg.h"
#include "userdirs.h"

#include "plat/registry.h"
#include "plat/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace plat {

namespace {

constexpr const char* kHeader = "kbr-registry 1";
constexpr size_t kMaxNameLength = 255;

std::string lowered(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

struct Key {
    std::string name;
    std::map<std::string, std::unique_ptr<Key>> subkeys; // by lowered name, so enumeration is sorted
    std::map<std::string, Value> values;                 // by lowered name

    Key* find(const std::string& n) const {
        auto it = subkeys.find(lowered(n));
        return it == subkeys.end() ? nullptr : it->second.get();
    }
    Key* findOrAdd(const std::string& n, bool& added) {
        std::unique_ptr<Key>& slot = subkeys[lowered(n)];
        added = !slot;
        if (!slot) {
            slot = std::make_unique<Key>();
            slot->name = n;
        }
        return slot.get();
    }
};

using Path = std::vector<std::string>;

// An open key: the absolute path from the root of the tree and the rights it was opened with.
struct RegHandle {
    Path path;
    REGSAM rights;
};

std::mutex handlesLock;
std::set<RegHandle*>& handles() {
    static auto* set = new std::set<RegHandle*>();
    return *set;
}

// The key a handle names: its path and rights; false for an unknown handle.
bool resolve(HKEY key, Path& path, REGSAM& rights) {
    if (key == HKEY_CURRENT_USER) {
        path.clear();
        rights = KEY_ALL_ACCESS;
        return true;
    }
    if (key == HKEY_CLASSES_ROOT) {
        path = {"Software", "Classes"};
        rights = KEY_ALL_ACCESS;
        return true;
    }
    std::lock_guard<std::mutex> guard(handlesLock);
    auto* h = reinterpret_cast<RegHandle*>(key);
    if (!handles().count(h)) {
        return false;
    }
    path = h->path;
    rights = h->rights;
    return true;
}

HKEY newHandle(Path path, REGSAM rights) {
    auto* h = new RegHandle{std::move(path), rights};
    std::lock_guard<std::mutex> guard(handlesLock);
    handles().insert(h);
    return reinterpret_cast<HKEY>(h);
}

// Splits a subkey path at '\'. A trailing '\' is allowed; an empty component or an over-long one
// is not.
bool splitPath(LPCSTR subKey, Path& out) {
    if (!subKey) {
        return true;
    }
    std::string part;
    for (const char* p = subKey;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (part.empty()) {
                if (*p == '\0' && (p == subKey || out.size() > 0)) {
                    return true;
                }
                return false;
            }
            if (part.size() > kMaxNameLength) {
                return false;
            }
            out.push_back(part);
            part.clear();
            if (*p == '\0') {
                return true;
            }
        } else {
            part += *p;
        }
    }
}

// Where the registry file is, and the folder from which on every folder of its path must be the
// user's own (the folders above are the system's and the user's home).
struct Location {
    std::string file;
    std::string checkedFrom;
    std::string why; // set when there is no usable location
    bool given = false; // named by the variable: its folders are made as needed
};

Location registryLocation() {
    Location at;
    if (const char* f = std::getenv("KBR_REGISTRY_FILE"); f && *f) {
        at.file = f;
        at.given = true;
        const size_t slash = at.file.rfind('/');
        at.checkedFrom = slash == std::string::npos ? "." : slash == 0 ? "/" : at.file.substr(0, slash);
        return at;
    }
    at.checkedFrom = detail::userConfigHome(at.why);
    if (!at.checkedFrom.empty()) {
        at.file = at.checkedFrom + "/kbr/registry";
    }
    return at;
}

std::string registryPath() {
    return registryLocation().file;
}

void makeParents(const std::string& file) {
    for (size_t p = file.find('/', 1); p != std::string::npos; p = file.find('/', p + 1)) {
        ::mkdir(file.substr(0, p).c_str(), 0700);
    }
}

// The file to use, its folders made and checked: empty (after one line on stderr) when there is no
// home to put it in or a folder on its way, or the file itself, is not the user's alone.
std::string usableRegistryFile() {
    const Location at = registryLocation();
    if (at.file.empty()) {
        detail::logOnce("registry: " + at.why + "; the registry is not used");
        return std::string();
    }
    const size_t slash = at.file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : at.file.substr(0, slash);
    if (at.given) {
        makeParents(at.file);
    }
    std::string why = detail::makePrivateFolders(at.checkedFrom, folder);
    if (why.empty()) {
        for (const std::string& f : {at.file, at.file + ".lock"}) {
            struct stat st {};
            if (::lstat(f.c_str(), &st) != 0) {
                continue;
            }
            const std::string notAlone =
                S_ISREG(st.st_mode) ? detail::notUsersAlone(st) : "is not a plain file";
            if (!notAlone.empty()) {
                why = f + " " + notAlone;
                break;
            }
        }
    }
    if (!why.empty()) {
        detail::logOnce("registry: " + why + "; the registry " + at.file + " is not used");
        return std::string();
    }
    return at.file;
}

std::string escape(const std::string& s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = ":";
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7F || c == '%') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool unescape(const std::string& s, std::string& out) {
    if (s.empty() || s[0] != ':') {
        return false;
    }
    out.clear();
    for (size_t i = 1; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) {
            return false;
        }
        const int a = hexDigit(s[i + 1]), b = hexDigit(s[i + 2]);
        if (a < 0 || b < 0) {
            return false;
        }
        out += static_cast<char>(a * 16 + b);
        i += 2;
    }
    return true;
}

std::string toHex(const std::string& data) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (unsigned char c : data) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

bool fromHex(const std::string& s, std::string& out) {
    if (s.size() % 2) {
        return false;
    }
    out.clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        const int a = hexDigit(s[i]), b = hexDigit(s[i + 1]);
        if (a < 0 || b < 0) {
            return false;
        }
        out += static_cast<char>(a * 16 + b);
    }
    return true;
}

uint64_t checksum(const char* p, size_t n) {
    uint64_t h = 14695981039346656037ull; // FNV-1a
    for (size_t i = 0; i < n; ++i) {
        h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    }
    return h;
}

void writeKey(const Key& key, const std::string& path, std::string& out) {
    out += "K " + escape(path) + "\n";
    for (const auto& [lower, v] : key.values) {
        out += "V " + escape(v.name) + " " + std::to_string(v.type) + " " + (v.data.empty() ? "-" : toHex(v.data)) +
               "\n";
    }
    for (const auto& [lower, sub] : key.subkeys) {
        writeKey(*sub, path.empty() ? sub->name : path + "\\" + sub->name, out);
    }
}

std::string serialize(const Key& root) {
    std::string out = std::string(kHeader) + "\n";
    writeKey(root, "", out);
    char end[40];
    std::snprintf(end, sizeof end, "end %016llx\n", static_cast<unsigned long long>(checksum(out.data(), out.size())));
    return out + end;
}

// Parses the file's text into root; on failure, why.
bool parse(const std::string& text, Key& root, std::string& why) {
    const size_t endPos = text.rfind("end ");
    if (text.compare(0, std::strlen(kHeader) + 1, std::string(kHeader) + "\n") != 0) {
        why = "unknown header";
        return false;
    }
    if (endPos == std::string::npos || (endPos > 0 && text[endPos - 1] != '\n') || text.back() != '\n') {
        why = "no end line (file cut short?)";
        return false;
    }
    const std::string sum = text.substr(endPos + 4, text.size() - endPos - 5);
    char expected[24];
    std::snprintf(expected, sizeof expected, "%016llx",
                  static_cast<unsigned long long>(checksum(text.data(), endPos)));
    if (sum != expected) {
        why = "checksum mismatch";
        return false;
    }
    Key* current = nullptr;
    size_t lineNo = 1;
    for (size_t pos = std::strlen(kHeader) + 1; pos < endPos; ++lineNo) {
        const size_t nl = text.find('\n', pos);
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        std::vector<std::string> fields;
        for (size_t a = 0; a <= line.size();) {
            size_t b = line.find(' ', a);
            if (b == std::string::npos) b = line.size();
            fields.push_back(line.substr(a, b - a));
            a = b + 1;
        }
        std::string name;
        if (fields.size() == 2 && fields[0] == "K" && unescape(fields[1], name)) {
            Path p;
            if (!name.empty() && !splitPath(name.c_str(), p)) {
                why = "bad key path on line " + std::to_string(lineNo + 1);
                return false;
            }
            current = &root;
            for (const std::string& c : p) {
                bool added;
                current = current->findOrAdd(c, added);
            }
            continue;
        }
        Value v;
        char* endp = nullptr;
        if (current && fields.size() == 4 && fields[0] == "V" && unescape(fields[1], v.name)) {
            const unsigned long type = std::strtoul(fields[2].c_str(), &endp, 10);
            if (endp && *endp == '\0' && !fields[2].empty() && type <= 0xFFFFFFFFul &&
                (fields[3] == "-" || fromHex(fields[3], v.data))) {
                v.type = static_cast<DWORD>(type);
                current->values[lowered(v.name)] = std::move(v);
                continue;
            }
        }
        why = "unreadable line " + std::to_string(lineNo + 1);
        return false;
    }
    return true;
}

// The lock file serialises the processes; it stays open for the duration of one call.
class FileLock {
public:
    FileLock(const std::string& file, bool exclusive) {
        fd_ = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

DWORD load(const std::string& file, Key& root) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            // A new user's tree: the keys every profile has.
            for (const char* path : {"Software\\Classes", "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                                     "Software\\Microsoft\\Windows\\Shell"}) {
                Path p;
                splitPath(path, p);
                Key* k = &root;
                bool added;
                for (const std::string& c : p) k = k->findOrAdd(c, added);
            }
            return ERROR_SUCCESS;
        }
        std::fprintf(stderr, "registry: cannot open %s: %s\n", file.c_str(), std::strerror(errno));
        return ERROR_CANTOPEN;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            if (n < 0) {
                std::fprintf(stderr, "registry: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
                return ERROR_CANTOPEN;
            }
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    std::string why;
    if (!parse(text, root, why)) {
        std::fprintf(stderr, "registry: %s is damaged (%s); it is left as it is\n", file.c_str(), why.c_str());
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

bool writeAll(int fd, const std::string& s) {
    for (size_t done = 0; done < s.size();) {
        const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Removes the new files that writers ended before they could rename them (a crash, kill -9): each
// is named after its writer's process, and only those whose process is gone are taken away.
void removeStaleNewFiles(const std::string& file) {
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const std::string prefix = (slash == std::string::npos ? file : file.substr(slash + 1)) + ".new.";
    DIR* d = ::opendir(folder.c_str());
    if (!d) {
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size() ||
            name.size() > prefix.size() + 10 ||
            name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) {
            continue;
        }
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid != ::getpid() && !detail::processExists(static_cast<pid_t>(pid))) {
            stale.push_back(folder + "/" + name);
        }
    }
    ::closedir(d);
    for (const std::string& path : stale) {
        ::unlink(path.c_str());
    }
}

DWORD store(const std::string& file, const Key& root) {
    removeStaleNewFiles(file);
    const std::string tmp = file + ".new." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "registry: cannot write %s: %s\n", tmp.c_str(), std::strerror(errno));
        return ERROR_CANTWRITE;
    }
    const bool ok = writeAll(fd, serialize(root)) && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
        std::fprintf(stderr, "registry: cannot write %s: %s\n", file.c_str(), std::strerror(errno));
        ::unlink(tmp.c_str());
        return ERROR_CANTWRITE;
    }
    const size_t slash = file.rfind('/');
    const int dir = ::open(slash == std::string::npos ? "." : file.substr(0, slash + 1).c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return ERROR_SUCCESS;
}

Key* walk(Key& root, const Path& path) {
    Key* k = &root;
    for (const std::string& c : path) {
        k = k->find(c);
        if (!k) return nullptr;
    }
    return k;
}

std::string utf16ToUtf8(const WCHAR* w, int count);
bool isText(DWORD type);

// A text value's UTF-8, cut at its first NUL; empty for a missing value or one of another type.
std::string textOf(const Key* key, const char* name, bool* expand = nullptr) {
    if (!key) return std::string();
    auto it = key->values.find(lowered(name));
    if (it == key->values.end() || !isText(it->second.type)) return std::string();
    const std::string& bytes = it->second.data;
    std::u16string wide(bytes.size() / 2, u'\0');
    std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
    wide.resize(std::char_traits<char16_t>::length(wide.c_str()));
    if (expand) *expand = it->second.type == REG_EXPAND_SZ;
    return utf16ToUtf8(wide.data(), static_cast<int>(wide.size()));
}

// What the shell keys of a tree tell the desktop: per URL scheme the command that opens it, per
// Run value the command started at login. The sources are the keys (lowered, '\\'-joined paths)
// whose change can change the entry.
struct ShellEntry {
    std::string command;
    bool expand = false;
    std::string name;
    std::vector<std::string> sources;
    bool operator==(const ShellEntry& o) const {
        return command == o.command && expand == o.expand && name == o.name;
    }
};
struct ShellState {
    std::map<std::string, ShellEntry> schemes; // by lowered scheme
    std::map<std::string, ShellEntry> run;     // by lowered value name; name is the value's name
};

const char* const kRunPath = "software\\microsoft\\windows\\currentversion\\run";
const char* const kUrlAssociationsPath = "software\\microsoft\\windows\\shell\\associations\\urlassociations\\";

Key* walkText(Key& root, const char* path) {
    Path p;
    splitPath(path, p);
    Key* k = &root;
    for (const std::string& c : p) {
        if (!(k = k->find(c))) return nullptr;
    }
    return k;
}

ShellState shellState(Key& root) {
    ShellState state;
    if (Key* classes = walkText(root, "Software\\Classes")) {
        for (const auto& [scheme, key] : classes->subkeys) {
            if (!key->values.count("url protocol")) continue;
            ShellEntry e;
            e.sources = {"software\\classes\\" + scheme, kUrlAssociationsPath + scheme};
            // The user's choice of ProgID comes first, as the shell takes it; else the scheme's own command.
            const std::string progId =
                textOf(walkText(root, (std::string(kUrlAssociationsPath) + scheme + "\\UserChoice").c_str()), "ProgId");
            const Key* owner = key.get();
            const Key* command = nullptr;
            if (!progId.empty()) {
                e.sources.push_back("software\\classes\\" + lowered(progId));
                if (Key* p = classes->find(progId)) {
                    Key* c = walkText(*p, "shell\\open\\command");
                    if (!textOf(c, "").empty()) {
                        owner = p;
                        command = c;
                    }
                }
            }
            if (!command) command = walkText(*key, "shell\\open\\command");
            e.command = textOf(command, "", &e.expand);
            if (e.command.empty()) continue;
            e.name = textOf(owner, "");
            state.schemes[scheme] = std::move(e);
        }
    }
    if (Key* run = walkText(root, "Software\\Microsoft\\Windows\\CurrentVersion\\Run")) {
        for (const auto& [lower, v] : run->values) {
            ShellEntry e;
            e.command = textOf(run, v.name.c_str(), &e.expand);
            if (e.command.empty()) continue;
            e.name = v.name;
            e.sources = {kRunPath};
            state.run[lower] = std::move(e);
        }
    }
    return state;
}

// Brings the desktop's entries in line with a change of the tree at the key touched: an entry
// that changed, or whose keys were written, is written again; one that is gone is removed.
void syncDesktop(const ShellState& before, const ShellState& after, const Path& touched) {
    std::string at;
    for (const std::string& c : touched) at += (at.empty() ? "" : "\\") + lowered(c);
    auto related = [&](const ShellEntry& e) {
        for (const std::string& p : e.sources) {
            if (at.empty() || at == p || (at.size() > p.size() && at.compare(0, p.size(), p) == 0 && at[p.size()] == '\\') ||
                (p.size() > at.size() && p.compare(0, at.size(), at) == 0 && p[at.size()] == '\\')) {
                return true;
            }
        }
        return false;
    };
    for (const auto& [scheme, e] : after.schemes) {
        auto old = before.schemes.find(scheme);
        if (old == before.schemes.end() || !(old->second == e) || related(e)) {
            detail::xdg::writeUrlHandler(scheme, e.command, e.expand, e.name);
        }
    }
    for (const auto& [scheme, e] : before.schemes) {
        if (!after.schemes.count(scheme)) detail::xdg::removeUrlHandler(scheme);
    }
    for (const auto& [lower, e] : after.run) {
        auto old = before.run.find(lower);
        if (old == before.run.end() || !(old->second == e) || related(e)) {
            detail::xdg::writeAutostart(e.name, e.command, e.expand);
        }
    }
    for (const auto& [lower, e] : before.run) {
        if (!after.run.count(lower)) detail::xdg::removeAutostart(e.name);
    }
}

// Runs op on the tree with the key behind handle, under the file lock; writes the tree back when
// op asks for it (returns true in `changed`).
template <typename Op> LSTATUS withKey(HKEY handle, REGSAM needed, bool write, Op op, const Path& sub = Path()) {
    Path path;
    REGSAM rights;
    if (!resolve(handle, path, rights)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((rights & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    const std::string file = usableRegistryFile();
    if (file.empty()) {
        return ERROR_ACCESS_DENIED;
    }
    FileLock lock(file, write);
    if (!lock.ok()) {
        std::fprintf(stderr, "registry: cannot lock %s.lock: %s\n", file.c_str(), std::strerror(errno));
        return ERROR_CANTOPEN;
    }
    Key root;
    if (const DWORD r = load(file, root); r != ERROR_SUCCESS) {
        return static_cast<LSTATUS>(r);
    }
    Key* key = walk(root, path);
    if (!key) {
        // HKCR's base may not exist yet: it then has nothing in it.
        if (handle == HKEY_CLASSES_ROOT && !write) {
            Key empty;
            bool changed = false;
            return op(empty, path, changed);
        }
        if (handle == HKEY_CURRENT_USER || handle == HKEY_CLASSES_ROOT) {
            bool added;
            key = &root;
            for (const std::string& c : path) key = key->findOrAdd(c, added);
        } else {
            return ERROR_KEY_DELETED;
        }
    }
    const ShellState before = write ? shellState(root) : ShellState();
    bool changed = false;
    const LSTATUS r = op(*key, path, changed);
    if (r == ERROR_SUCCESS && changed) {
        const DWORD stored = store(file, root);
        if (stored == ERROR_SUCCESS) {
            Path touched = path;
            touched.insert(touched.end(), sub.begin(), sub.end());
            syncDesktop(before, shellState(root), touched);
        }
        return static_cast<LSTATUS>(stored);
    }
    return r;
}

std::string utf16ToUtf8(const WCHAR* w, int count) {
    if (count == 0) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, count, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, count, out.data(), n, nullptr, nullptr);
    return out;
}

bool isText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

LSTATUS setValue(HKEY key, const std::string& name, DWORD type, std::string data) {
    if (name.size() > 16383) {
        return ERROR_INVALID_PARAMETER;
    }
    return withKey(key, KEY_SET_VALUE, true, [&](Key& k, const Path&, bool& changed) {
        Value& v = k.values[lowered(name)];
        v.name = name;
        v.type = type;
        v.data = std::move(data);
        changed = true;
        return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
}

} // namespace

LSTATUS RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM rights, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Path sub;
    if (!splitPath(subKey, sub)) return ERROR_BADKEY;
    return withKey(parent, 0, false, [&](Key& k, const Path& base, bool&) {
        Key* target = walk(k, sub);
        if (!target) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
        Path full = base;
        full.insert(full.end(), sub.begin(), sub.end());
        *result = newHandle(std::move(full), rights);
        return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
}

LSTATUS RegCreateKeyExA(HKEY parent, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM rights,
                        void* securityAttributes, PHKEY result, DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Path sub;
    if (!splitPath(subKey, sub)) return ERROR_BADKEY;
    return withKey(parent, 0, true, [&](Key& k, const Path& base, bool& changed) {
        Key* target = &k;
        bool added = false;
        for (const std::string& c : sub) {
            target = target->findOrAdd(c, added);
            changed = changed || added;
        }
        if (disposition) *disposition = added ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        Path full = base;
        full.insert(full.end(), sub.begin(), sub.end());
        *result = newHandle(std::move(full), rights);
        return static_cast<LSTATUS>(ERROR_SUCCESS);
    }, sub);
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
    auto* h = reinterpret_cast<RegHandle*>(key);
    {
        std::lock_guard<std::mutex> guard(handlesLock);
        if (!handles().erase(h)) return ERROR_INVALID_HANDLE;
    }
    delete h;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
    if (data && !size) return ERROR_INVALID_PARAMETER;
    const std::string valueName = name ? name : "";
    return withKey(key, KEY_QUERY_VALUE, false, [&](Key& k, const Path&, bool&) {
        auto it = k.values.find(lowered(valueName));
        if (it == k.values.end()) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
        const Value& v = it->second;
        std::string bytes = v.data;
        if (isText(v.type)) {
            // Stored as UTF-16; an odd last byte cannot be a character and is dropped.
            std::u16string wide(bytes.size() / 2, u'\0');
            std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
            bytes = utf16ToUtf8(wide.data(), static_cast<int>(wide.size()));
        }
        if (type) *type = v.type;
        if (!size) return static_cast<LSTATUS>(ERROR_SUCCESS);
        const DWORD room = *size;
        *size = static_cast<DWORD>(bytes.size());
        if (!data) return static_cast<LSTATUS>(ERROR_SUCCESS);
        if (room < bytes.size()) return static_cast<LSTATUS>(ERROR_MORE_DATA);
        std::memcpy(data, bytes.data(), bytes.size());
        return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    if (!data && size) return ERROR_INVALID_PARAMETER;
    std::string bytes(reinterpret_cast<const char*>(data), data ? size : 0);
    if (isText(type)) {
        // ANSI text is stored as UTF-16.
        std::u16string wide;
        if (!bytes.empty()) {
            const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
            wide.resize(static_cast<size_t>(n > 0 ? n : 0));
            if (n > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
        }
        bytes.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    }
    return setValue(key, name ? name : "", type, std::move(bytes));
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    if (!data && size) return ERROR_INVALID_PARAMETER;
    std::string valueName;
    if (name) {
        size_t n = 0;
        while (name[n]) ++n;
        valueName = utf16ToUtf8(name, static_cast<int>(n));
    }
    return setValue(key, valueName, type, std::string(reinterpret_cast<const char*>(data), data ? size : 0));
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
    const std::string valueName = name ? name : "";
    return withKey(key, KEY_SET_VALUE, true, [&](Key& k, const Path&, bool& changed) {
        changed = k.values.erase(lowered(valueName)) > 0;
        return static_cast<LSTATUS>(changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved, LPSTR keyClass,
                      DWORD* classSize, FILETIME* lastWrite) {
    if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
    return withKey(key, KEY_ENUMERATE_SUB_KEYS, false, [&](Key& k, const Path&, bool&) {
        if (index >= k.subkeys.size()) return static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS);
        auto it = k.subkeys.begin();
        std::advance(it, index);
        const std::string& n = it->second->name;
        if (*nameSize < n.size() + 1) return static_cast<LSTATUS>(ERROR_MORE_DATA);
        std::memcpy(name, n.c_str(), n.size() + 1);
        *nameSize = static_cast<DWORD>(n.size());
        if (lastWrite) *lastWrite = FILETIME{0, 0};
        if (classSize) *classSize = 0;
        return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
}

LSTATUS RegDeleteKeyA(HKEY parent, LPCSTR subKey) {
    Path sub;
    if (!subKey || !*subKey || !splitPath(subKey, sub) || sub.empty()) return ERROR_BADKEY;
    return withKey(parent, 0, true, [&](Key& k, const Path&, bool& changed) {
        Path up(sub.begin(), sub.end() - 1);
        Key* owner = walk(k, up);
        Key* target = owner ? owner->find(sub.back()) : nullptr;
        if (!target) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
        if (!target->subkeys.empty()) return static_cast<LSTATUS>(ERROR_ACCESS_DENIED);
        owner->subkeys.erase(lowered(sub.back()));
        changed = true;
        return static_cast<LSTATUS>(ERROR_SUCCESS);
    }, sub);
}

BOOL GetProfileType(DWORD* flags) {
    if (!flags) return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    const char* env = std::getenv("KBR_PROFILE_TYPE");
    if (!env || !*env) {
        *flags = 0;
        return TRUE;
    }
    char* end = nullptr;
    const unsigned long v = std::strtoul(env, &end, 0);
    if (!end || *end != '\0' || v > 0xFFFFFFFFul) {
        return detail::fail<BOOL>(ERROR_FILE_NOT_FOUND, FALSE);
    }
    *flags = static_cast<DWORD>(v);
    return TRUE;
}

namespace testing {
std::string registryFile() {
    return registryPath();
}
std::string desktopExecLine(const std::string& command, bool expand, bool url) {
    return detail::xdg::execLine(command, expand, url);
}
bool parseRegistryText(const std::string& text, std::string& why) {
    Key root;
    return parse(text, root, why);
}
int openRegistryKeyCount() {
    std::lock_guard<std::mutex> guard(handlesLock);
    return static_cast<int>(handles().size());
}
} // namespace testing

} // namespace plat
