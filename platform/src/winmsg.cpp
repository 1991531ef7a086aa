// Windows, the thread message loop and sent messages between processes (see plat/winmsg.h).
#include "internal.h"
#include "userdirs.h"

#include "plat/sync.h"
#include "plat/winmsg.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace plat {

namespace {

// A thread that has taken no sent message for this long counts as hung.
constexpr int64_t kHungMs = 5000;
// While a thread handles a sent message and waits itself, it tells the sender it is alive this often.
constexpr int64_t kAliveEveryMs = 1000;
// A frame is written at once; a receiver does not wait longer than this for the rest of it.
constexpr int kFrameReadMs = 2000;
constexpr char kRequestMagic[4] = {'K', 'W', 'M', '1'};
constexpr char kReplyMagic[4] = {'K', 'W', 'R', '1'};
constexpr char kAlive = '.';
constexpr size_t kBodyFixed = 8 + 4 + 8 + 8 + 1 + 8 + 4;
constexpr size_t kReplySize = 4 + 1 + 8;
constexpr uint64_t kSeqBits = 24;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string lowered(const char* s) {
    std::string out = s ? s : "";
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

struct ClassRec {
    ATOM atom;
    std::string name;
    WNDPROC proc;
};

struct WindowRec {
    pid_t pid; // a child made by fork inherits the table, not the windows
    uint32_t seq;
    DWORD thread;
    ATOM atom;
    WNDPROC proc;
    LONG_PTR userData = 0;
    int listenFd = -1;
    std::string path;
};

std::mutex tableLock;
std::map<std::string, ClassRec>& classes() {
    static auto* m = new std::map<std::string, ClassRec>();
    return *m;
}
std::map<uint32_t, WindowRec>& windows() {
    static auto* m = new std::map<uint32_t, WindowRec>();
    return *m;
}
ATOM nextAtom = 0xC100;
uint32_t nextSeq = 1;
std::map<std::string, UINT>& messageIds() {
    static auto* m = new std::map<std::string, UINT>();
    return *m;
}

// The posted-message queue of one thread.
struct ThreadQueue {
    ThreadQueue() : wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~ThreadQueue() {
        if (wake >= 0) ::close(wake);
    }
    std::mutex lock;
    std::deque<MSG> posted;
    int wake;
};

std::map<DWORD, std::shared_ptr<ThreadQueue>>& queues() {
    static auto* m = new std::map<DWORD, std::shared_ptr<ThreadQueue>>();
    return *m;
}

struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    DWORD thread = 0;
    pid_t pid = 0;
    ~QueueHolder() {
        if (queue && pid == ::getpid()) {
            std::lock_guard<std::mutex> guard(tableLock);
            queues().erase(thread);
        }
    }
};
thread_local QueueHolder queueHolder;
// Connections whose messages this thread is handling now, innermost last.
thread_local std::vector<int> handling;

ThreadQueue& myQueue() {
    if (!queueHolder.queue || queueHolder.pid != ::getpid()) {
        if (queueHolder.queue && queueHolder.pid != ::getpid()) {
            // Made by fork: the parent's queue is not this process's; start afresh.
            std::lock_guard<std::mutex> guard(tableLock);
            queues().clear();
            windows().clear();
            handling.clear();
        }
        queueHolder.queue = std::make_shared<ThreadQueue>();
        queueHolder.thread = GetCurrentThreadId();
        queueHolder.pid = ::getpid();
        std::lock_guard<std::mutex> guard(tableLock);
        queues()[queueHolder.thread] = queueHolder.queue;
    }
    return *queueHolder.queue;
}

uint32_t pidOf(HWND w) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(w) >> kSeqBits);
}
uint32_t seqOf(HWND w) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(w) & ((uintptr_t(1) << kSeqBits) - 1));
}
HWND makeHwnd(uint32_t pid, uint32_t seq) {
    return reinterpret_cast<HWND>((uintptr_t(pid) << kSeqBits) | seq);
}
std::string socketName(uint32_t pid, uint32_t seq) {
    return "w" + std::to_string(pid) + "-" + std::to_string(seq);
}

// The local window record of w, when w is a window of this process.
bool localWindow(HWND w, WindowRec& out) {
    if (pidOf(w) != static_cast<uint32_t>(::getpid())) return false;
    std::lock_guard<std::mutex> guard(tableLock);
    auto it = windows().find(seqOf(w));
    if (it == windows().end() || it->second.pid != ::getpid()) return false;
    out = it->second;
    return true;
}

void putU32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void putU64(std::string& s, uint64_t v) {
    for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
uint64_t getLe(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::string encodeReply(uint8_t status, LRESULT result) {
    std::string s(kReplyMagic, 4);
    s += static_cast<char>(status);
    putU64(s, static_cast<uint64_t>(result));
    return s;
}

bool writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{fd, POLLOUT, 0};
            if (::poll(&pfd, 1, kFrameReadMs) <= 0) return false;
            continue;
        }
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads exactly n bytes within the deadline; returns how many arrived.
size_t readFor(int fd, char* p, size_t n, int64_t deadline) {
    size_t got = 0;
    while (got < n) {
        const int64_t left = deadline - nowMs();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        const ssize_t k = ::recv(fd, p + got, n - got, 0);
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (k <= 0) break;
        got += static_cast<size_t>(k);
    }
    return got;
}

LRESULT callProc(WNDPROC proc, HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(w, message, wParam, lParam) : DefWindowProcA(w, message, wParam, lParam);
}

void serveConnection(int listenFd, uint32_t seq);

// Waits, handling the messages sent to this thread's windows meanwhile, until fd has `events`
// (fd < 0: until a message is posted to this thread) or timeoutMs pass (-1: no limit).
// Returns 1 when fd is ready (or a message was posted), 0 on time-out.
int pumpWait(int fd, short events, int64_t timeoutMs) {
    ThreadQueue& queue = myQueue();
    const DWORD self = GetCurrentThreadId();
    const int64_t start = nowMs();
    int64_t lastAlive = start;
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<uint32_t> seqs;
        fds.push_back(fd >= 0 ? pollfd{fd, events, 0} : pollfd{queue.wake, POLLIN, 0});
        {
            std::lock_guard<std::mutex> guard(tableLock);
            for (const auto& [seq, rec] : windows()) {
                if (rec.thread == self && rec.pid == ::getpid() && rec.listenFd >= 0) {
                    fds.push_back(pollfd{rec.listenFd, POLLIN, 0});
                    seqs.push_back(seq);
                }
            }
        }
        int64_t wait = handling.empty() ? -1 : kAliveEveryMs;
        if (timeoutMs >= 0) {
            const int64_t left = start + timeoutMs - nowMs();
            if (left <= 0) return 0;
            wait = wait < 0 ? left : std::min(wait, left);
        }
        const int r = ::poll(fds.data(), fds.size(), static_cast<int>(wait));
        if (!handling.empty() && nowMs() - lastAlive >= kAliveEveryMs) {
            // The senders waiting on this thread learn that it still takes messages.
            lastAlive = nowMs();
            for (int h : handling) {
                ::send(h, &kAlive, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
        if (r < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (r == 0) continue;
        if (fds[0].revents) return 1;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents & POLLIN) {
                serveConnection(fds[i].fd, seqs[i - 1]);
                break; // the set of windows may have changed
            }
        }
    }
}

// Takes one sent message from a window's socket, hands it to the window procedure and answers.
void serveConnection(int listenFd, uint32_t seq) {
    const int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    struct CloseFd {
        int fd;
        ~CloseFd() { ::close(fd); }
    } closer{c};
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
        std::fprintf(stderr, "winmsg: refused a message from process %d of user %u (not this user)\n",
                     static_cast<int>(cred.pid), static_cast<unsigned>(cred.uid));
        return;
    }
    const int64_t deadline = nowMs() + kFrameReadMs;
    char head[8];
    const size_t got = readFor(c, head, sizeof head, deadline);
    if (got < sizeof head || std::memcmp(head, kRequestMagic, 4) != 0) {
        std::fprintf(stderr, "winmsg: refused a message from process %d: %s\n", static_cast<int>(cred.pid),
                     got < sizeof head ? "cut short in its header" : "not a window message");
        writeAll(c, encodeReply(2, 0).data(), kReplySize);
        return;
    }
    const uint64_t body = getLe(reinterpret_cast<const unsigned char*>(head + 4), 4);
    if (body < kBodyFixed || body > kBodyFixed + winmsg::kMaxCopyData) {
        std::fprintf(stderr, "winmsg: refused a message of %llu bytes from process %d (limit %zu)\n",
                     static_cast<unsigned long long>(body), static_cast<int>(cred.pid),
                     kBodyFixed + winmsg::kMaxCopyData);
        writeAll(c, encodeReply(2, 0).data(), kReplySize);
        return;
    }
    std::string frame(head, sizeof head);
    frame.resize(sizeof head + body);
    const size_t rest = readFor(c, frame.data() + sizeof head, body, deadline);
    winmsg::Request request;
    std::string why;
    if (rest < body) {
        std::fprintf(stderr, "winmsg: refused a message from process %d: cut short after %zu of %llu bytes\n",
                     static_cast<int>(cred.pid), rest + sizeof head,
                     static_cast<unsigned long long>(body + sizeof head));
        writeAll(c, encodeReply(2, 0).data(), kReplySize);
        return;
    }
    if (!winmsg::decodeRequest(frame.data(), frame.size(), request, why)) {
        std::fprintf(stderr, "winmsg: refused a message from process %d: %s\n", static_cast<int>(cred.pid),
                     why.c_str());
        writeAll(c, encodeReply(2, 0).data(), kReplySize);
        return;
    }
    const HWND target = makeHwnd(static_cast<uint32_t>(::getpid()), seq);
    WindowRec rec;
    if (reinterpret_cast<uintptr_t>(target) != request.target || !localWindow(target, rec)) {
        writeAll(c, encodeReply(1, 0).data(), kReplySize);
        return;
    }
    LRESULT result;
    handling.push_back(c);
    try {
        if (request.copyData) {
            COPYDATASTRUCT cds{static_cast<ULONG_PTR>(request.dwData), static_cast<DWORD>(request.data.size()),
                               request.data.empty() ? nullptr : request.data.data()};
            result = callProc(rec.proc, target, WM_COPYDATA, static_cast<WPARAM>(request.wParam),
                              reinterpret_cast<LPARAM>(&cds));
        } else {
            result = callProc(rec.proc, target, request.message, static_cast<WPARAM>(request.wParam),
                              static_cast<LPARAM>(request.lParam));
        }
    } catch (...) {
        handling.pop_back();
        throw;
    }
    handling.pop_back();
    writeAll(c, encodeReply(0, result).data(), kReplySize);
}

// Whether this thread's last send put its whole message in the receiver's hands.
thread_local bool handedOver = false;

bool processAlive(uint32_t pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Sends over the window's socket and waits for the answer, handling messages sent to this thread
// meanwhile. Returns false with the last error set.
bool remoteSend(HWND w, const winmsg::Request& request, UINT flags, UINT timeoutMs, LRESULT& result) {
    std::string why;
    const std::string folder = winmsg::messageFolder(why);
    if (folder.empty()) {
        std::fprintf(stderr, "winmsg: %s\n", why.c_str());
        return detail::fail<bool>(ERROR_ACCESS_DENIED, false);
    }
    const std::string path = folder + "/" + socketName(pidOf(w), seqOf(w));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return detail::fail<bool>(ERROR_INVALID_WINDOW_HANDLE, false);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return detail::fail<bool>(ERROR_NO_SYSTEM_RESOURCES, false);
    struct CloseFd {
        int fd;
        ~CloseFd() { ::close(fd); }
    } closer{fd};

    const int64_t start = nowMs();
    int64_t lastAlive = start;
    const bool limited = timeoutMs > 0 || !(flags & SMTO_NOTIMEOUTIFNOTHUNG);
    const int64_t deadline = start + timeoutMs;
    auto expired = [&]() {
        const int64_t now = nowMs();
        return now - lastAlive >= kHungMs || (limited && now >= deadline);
    };
    // A full backlog means the receiver is not taking messages: retry until it counts as hung.
    while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            if (expired()) return detail::fail<bool>(ERROR_TIMEOUT, false);
            pumpWait(-1, 0, 20);
            continue;
        }
        if (errno == ECONNREFUSED && !processAlive(pidOf(w))) {
            ::unlink(path.c_str()); // left behind by a process that ended without cleaning up
        }
        return detail::fail<bool>(ERROR_INVALID_WINDOW_HANDLE, false);
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
        std::fprintf(stderr, "winmsg: window %s belongs to another user; nothing sent\n", path.c_str());
        return detail::fail<bool>(ERROR_ACCESS_DENIED, false);
    }
    const std::string frame = winmsg::encodeRequest(request);
    for (size_t done = 0; done < frame.size();) {
        const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            if (expired()) return detail::fail<bool>(ERROR_TIMEOUT, false);
            pumpWait(fd, POLLOUT, 100);
            continue;
        }
        return detail::fail<bool>(ERROR_INVALID_WINDOW_HANDLE, false);
    }
    handedOver = true; // whole in the receiver's socket: it takes the message when it goes on
    std::string reply;
    for (;;) {
        if (expired()) return detail::fail<bool>(ERROR_TIMEOUT, false);
        int64_t wait = kHungMs - (nowMs() - lastAlive);
        if (limited) wait = std::min(wait, deadline - nowMs());
        if (pumpWait(fd, POLLIN, std::max<int64_t>(wait, 1)) == 0) continue;
        char buf[64];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            // The receiver ended (or dropped the message) without answering.
            handedOver = false;
            return detail::fail<bool>(ERROR_INVALID_WINDOW_HANDLE, false);
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (reply.empty() && buf[i] == kAlive) {
                lastAlive = nowMs();
            } else {
                reply += buf[i];
            }
        }
        if (reply.size() >= kReplySize) break;
    }
    if (std::memcmp(reply.data(), kReplyMagic, 4) != 0) {
        std::fprintf(stderr, "winmsg: window %s gave an answer of another format\n", path.c_str());
        handedOver = false;
        return detail::fail<bool>(ERROR_INVALID_WINDOW_HANDLE, false);
    }
    const auto* p = reinterpret_cast<const unsigned char*>(reply.data());
    if (p[4] != 0) {
        handedOver = false;
        return detail::fail<bool>(p[4] == 1 ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER, false);
    }
    result = static_cast<LRESULT>(getLe(p + 5, 8));
    return true;
}

bool sendTo(HWND w, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs, LRESULT& result) {
    handedOver = false;
    WindowRec rec;
    if (localWindow(w, rec) && rec.thread == GetCurrentThreadId()) {
        handedOver = true;
        result = callProc(rec.proc, w, message, wParam, lParam);
        return true;
    }
    if (message != WM_NULL && message != WM_COPYDATA && message < WM_USER) {
        return detail::fail<bool>(ERROR_INVALID_PARAMETER, false); // its pointers mean nothing elsewhere
    }
    winmsg::Request request;
    request.target = reinterpret_cast<uintptr_t>(w);
    request.message = message;
    request.wParam = wParam;
    if (message == WM_COPYDATA) {
        const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (!cds || (cds->cbData && !cds->lpData)) return detail::fail<bool>(ERROR_INVALID_PARAMETER, false);
        if (cds->cbData > winmsg::kMaxCopyData) return detail::fail<bool>(ERROR_INVALID_PARAMETER, false);
        request.copyData = true;
        request.dwData = cds->dwData;
        request.data.assign(static_cast<const char*>(cds->lpData), cds->cbData);
    } else {
        request.lParam = lParam;
    }
    return remoteSend(w, request, flags, timeoutMs, result);
}

// Every window in the message folder, in a fixed order.
std::vector<HWND> allWindows() {
    std::vector<std::pair<std::pair<uint32_t, uint32_t>, HWND>> found;
    std::string why;
    const std::string folder = winmsg::messageFolder(why);
    if (folder.empty()) {
        std::fprintf(stderr, "winmsg: %s\n", why.c_str());
        return {};
    }
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            unsigned pid = 0, seq = 0;
            char tail = 0;
            if (std::sscanf(e->d_name, "w%u-%u%c", &pid, &seq, &tail) == 2 && seq > 0 && seq < (1u << kSeqBits) &&
                e->d_name == "w" + std::to_string(pid) + "-" + std::to_string(seq)) {
                found.push_back({{pid, seq}, makeHwnd(pid, seq)});
            }
        }
        ::closedir(d);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<HWND> out;
    for (const auto& f : found) out.push_back(f.second);
    return out;
}

} // namespace

namespace winmsg {

std::string encodeRequest(const Request& r) {
    std::string s(kRequestMagic, 4);
    putU32(s, static_cast<uint32_t>(kBodyFixed + r.data.size()));
    putU64(s, r.target);
    putU32(s, r.message);
    putU64(s, r.wParam);
    putU64(s, static_cast<uint64_t>(r.lParam));
    s += static_cast<char>(r.copyData ? 1 : 0);
    putU64(s, r.dwData);
    putU32(s, static_cast<uint32_t>(r.data.size()));
    return s + r.data;
}

bool decodeRequest(const void* bytes, size_t size, Request& out, std::string& why) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    if (size < 8) {
        why = "cut short in its header (" + std::to_string(size) + " bytes)";
        return false;
    }
    if (std::memcmp(p, kRequestMagic, 4) != 0) {
        why = "not a window message";
        return false;
    }
    const uint64_t body = getLe(p + 4, 4);
    if (body < kBodyFixed || body > kBodyFixed + kMaxCopyData) {
        why = "body of " + std::to_string(body) + " bytes is outside " + std::to_string(kBodyFixed) + ".." +
              std::to_string(kBodyFixed + kMaxCopyData);
        return false;
    }
    if (size - 8 < body) {
        why = "cut short after " + std::to_string(size) + " of " + std::to_string(body + 8) + " bytes";
        return false;
    }
    if (size - 8 > body) {
        why = std::to_string(size - 8 - body) + " bytes after the end of the message";
        return false;
    }
    const unsigned char* b = p + 8;
    Request r;
    r.target = getLe(b, 8);
    r.message = static_cast<UINT>(getLe(b + 8, 4));
    r.wParam = getLe(b + 12, 8);
    r.lParam = static_cast<int64_t>(getLe(b + 20, 8));
    if (b[28] > 1) {
        why = "bad data flag";
        return false;
    }
    r.copyData = b[28] == 1;
    r.dwData = getLe(b + 29, 8);
    const uint64_t cb = getLe(b + 37, 4);
    if (cb != body - kBodyFixed) {
        why = "data length " + std::to_string(cb) + " does not match the message length";
        return false;
    }
    if (!r.copyData && cb != 0) {
        why = "data with a message that carries none";
        return false;
    }
    if (r.copyData != (r.message == WM_COPYDATA)) {
        why = r.copyData ? "a data block with a message other than WM_COPYDATA" : "WM_COPYDATA without its data block";
        return false;
    }
    if (r.message != WM_NULL && r.message != WM_COPYDATA && r.message < WM_USER) {
        // System messages carry pointers of the sender's process; only WM_COPYDATA is carried over.
        char text[64];
        std::snprintf(text, sizeof text, "system message 0x%x cannot come from another process", r.message);
        why = text;
        return false;
    }
    r.data.assign(reinterpret_cast<const char*>(b + kBodyFixed), static_cast<size_t>(cb));
    out = std::move(r);
    return true;
}

namespace {

// Makes the folder (mode 0700) and checks it: a folder (no link) of this user that no one else can
// open. A folder of this user left open to others is made private, with one line on stderr.
bool privateMessageFolder(const std::string& folder, std::string& why) {
    ::mkdir(folder.c_str(), 0700);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        struct stat link {};
        const bool exists = ::lstat(folder.c_str(), &link) == 0;
        why = "message folder " + folder + " is not a folder" +
              (exists && S_ISLNK(link.st_mode) ? " (a link of user " + std::to_string(link.st_uid) + ")" : "");
        return false;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    // Another user's folder is refused; one of the user's own is made private whoever may open it.
    struct stat owner = st;
    owner.st_mode &= ~static_cast<mode_t>(077);
    if (!detail::notUsersAlone(owner).empty()) {
        ::close(fd);
        why = "message folder " + folder + " is not private to this user (owner " + std::to_string(st.st_uid) +
              ", mode " + mode + ")";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        if (::fchmod(fd, 0700) != 0) {
            ::close(fd);
            why = "message folder " + folder + " is not private to this user (owner " + std::to_string(st.st_uid) +
                  ", mode " + mode + ") and cannot be made so: " + std::strerror(errno);
            return false;
        }
        std::fprintf(stderr, "winmsg: message folder %s was open to others (mode %s); made it private (mode 700)\n",
                     folder.c_str(), mode);
    }
    ::close(fd);
    return true;
}

} // namespace

std::string messageFolder(std::string& why) {
    if (const char* d = std::getenv("KBR_WINMSG_DIR"); d && *d) {
        return privateMessageFolder(d, why) ? std::string(d) : std::string();
    }
    std::string folder;
    if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
        folder = std::string(x) + "/kbr-winmsg";
    } else {
        folder = "/tmp/kbr-winmsg-" + std::to_string(::geteuid());
    }
    if (privateMessageFolder(folder, why)) {
        return folder;
    }
    // Taken by someone else (a shared folder's name can be taken first): the user's home, where
    // no one else can make anything, serves instead.
    const std::string refused = why;
    std::string homeWhy;
    const std::string home = detail::userHome(homeWhy);
    if (home.empty()) {
        why = refused + "; " + homeWhy;
        return std::string();
    }
    if (const std::string open = detail::notPrivateFolder(home); !open.empty()) {
        why = refused + "; and the home folder " + open;
        return std::string();
    }
    const std::string fallback = home + "/.kbr-winmsg";
    if (!privateMessageFolder(fallback, why)) {
        why = refused + "; and " + why;
        return std::string();
    }
    detail::logOnce("winmsg: " + refused + "; using " + fallback);
    return fallback;
}

bool lastSendHandedOver() {
    return handedOver;
}

} // namespace winmsg

HMODULE GetModuleHandleA(LPCSTR name) {
    if (name) {
        return detail::fail<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
    }
    static void* self = ::dlopen(nullptr, RTLD_LAZY);
    return reinterpret_cast<HMODULE>(self);
}

UINT RegisterWindowMessageA(LPCSTR name) {
    if (!name || !*name || std::strlen(name) > 255 || std::strpbrk(name, "\r\n")) {
        return detail::fail<UINT>(ERROR_INVALID_PARAMETER, 0);
    }
    const std::string key = lowered(name);
    {
        std::lock_guard<std::mutex> guard(tableLock);
        auto it = messageIds().find(key);
        if (it != messageIds().end()) return it->second;
    }
    // The ids are kept in a list in the message folder, so every process gets the same one.
    std::string why;
    const std::string folder = winmsg::messageFolder(why);
    if (folder.empty()) {
        std::fprintf(stderr, "winmsg: %s\n", why.c_str());
        return detail::fail<UINT>(ERROR_ACCESS_DENIED, 0);
    }
    const int fd = ::open((folder + "/messages").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return detail::fail<UINT>(ERROR_ACCESS_DENIED, 0);
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    UINT index = 0, id = 0;
    for (size_t pos = 0; pos < text.size(); ++index) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        if (text.compare(pos, nl - pos, key) == 0 && nl - pos == key.size()) {
            id = 0xC000 + index;
            break;
        }
        pos = nl + 1;
    }
    if (id == 0) {
        if (index >= 0x4000) {
            ::close(fd);
            return detail::fail<UINT>(ERROR_NOT_ENOUGH_MEMORY, 0);
        }
        if (!text.empty() && text.back() != '\n') {
            // A line cut short by a crash: it keeps its number, the new name starts a new line.
            text += '\n';
            (void)::write(fd, "\n", 1);
        }
        const std::string line = key + "\n";
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            ::close(fd);
            return detail::fail<UINT>(ERROR_ACCESS_DENIED, 0);
        }
        id = 0xC000 + index;
    }
    ::close(fd);
    std::lock_guard<std::mutex> guard(tableLock);
    messageIds()[key] = id;
    return id;
}

ATOM RegisterClassExA(const WNDCLASSEXA* wc) {
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXA) || !wc->lpszClassName || !*wc->lpszClassName) {
        return detail::fail<ATOM>(ERROR_INVALID_PARAMETER, 0);
    }
    const std::string key = lowered(wc->lpszClassName);
    std::lock_guard<std::mutex> guard(tableLock);
    if (classes().count(key)) {
        return detail::fail<ATOM>(ERROR_CLASS_ALREADY_EXISTS, 0);
    }
    const ATOM atom = nextAtom++;
    classes()[key] = ClassRec{atom, wc->lpszClassName, wc->lpfnWndProc};
    return atom;
}

namespace {
// The class named by a name or an atom (under tableLock).
std::map<std::string, ClassRec>::iterator findClass(LPCSTR className) {
    if (reinterpret_cast<uintptr_t>(className) < 0x10000) {
        const ATOM atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(className));
        return std::find_if(classes().begin(), classes().end(),
                            [atom](const auto& c) { return c.second.atom == atom; });
    }
    return classes().find(lowered(className));
}
} // namespace

BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance) {
    std::lock_guard<std::mutex> guard(tableLock);
    auto it = findClass(className);
    if (it == classes().end()) {
        return detail::fail<BOOL>(ERROR_CLASS_DOES_NOT_EXIST, FALSE);
    }
    for (const auto& [seq, w] : windows()) {
        if (w.atom == it->second.atom) {
            return detail::fail<BOOL>(1412 /* ERROR_CLASS_HAS_WINDOWS */, FALSE);
        }
    }
    classes().erase(it);
    return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    WindowRec rec;
    {
        std::lock_guard<std::mutex> guard(tableLock);
        auto it = findClass(className);
        if (it == classes().end()) {
            return detail::fail<HWND>(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
        }
        rec.atom = it->second.atom;
        rec.proc = it->second.proc;
        rec.seq = nextSeq++;
    }
    std::string why;
    const std::string folder = winmsg::messageFolder(why);
    if (folder.empty()) {
        std::fprintf(stderr, "winmsg: %s\n", why.c_str());
        return detail::fail<HWND>(ERROR_ACCESS_DENIED, nullptr);
    }
    const uint32_t pid = static_cast<uint32_t>(::getpid());
    rec.path = folder + "/" + socketName(pid, rec.seq);
    rec.thread = GetCurrentThreadId();
    rec.pid = ::getpid();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (rec.path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "winmsg: message folder path %s is too long\n", folder.c_str());
        return detail::fail<HWND>(ERROR_INVALID_PARAMETER, nullptr);
    }
    std::memcpy(addr.sun_path, rec.path.c_str(), rec.path.size() + 1);
    rec.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (rec.listenFd < 0) {
        return detail::fail<HWND>(ERROR_NO_SYSTEM_RESOURCES, nullptr);
    }
    ::unlink(rec.path.c_str()); // a leftover of an earlier process with this id
    if (::bind(rec.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(rec.listenFd, 64) != 0) {
        std::fprintf(stderr, "winmsg: cannot listen on %s: %s\n", rec.path.c_str(), std::strerror(errno));
        ::close(rec.listenFd);
        return detail::fail<HWND>(ERROR_ACCESS_DENIED, nullptr);
    }
    ::chmod(rec.path.c_str(), 0600);
    myQueue();
    const HWND w = makeHwnd(pid, rec.seq);
    {
        std::lock_guard<std::mutex> guard(tableLock);
        windows()[rec.seq] = rec;
    }
    CREATESTRUCTA cs{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style), windowName,
                     className, exStyle};
    if (callProc(rec.proc, w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(w);
        return detail::fail<HWND>(ERROR_ACCESS_DENIED, nullptr);
    }
    return w;
}

BOOL DestroyWindow(HWND w) {
    WindowRec rec;
    if (!localWindow(w, rec)) {
        return detail::fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    }
    if (rec.thread != GetCurrentThreadId()) {
        return detail::fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    }
    callProc(rec.proc, w, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> guard(tableLock);
        windows().erase(rec.seq);
    }
    ::unlink(rec.path.c_str());
    ::close(rec.listenFd);
    return TRUE;
}

BOOL IsWindow(HWND w) {
    WindowRec rec;
    if (localWindow(w, rec)) return TRUE;
    if (!w || w == HWND_BROADCAST || seqOf(w) == 0) return FALSE;
    std::string why;
    const std::string folder = winmsg::messageFolder(why);
    struct stat st {};
    return !folder.empty() && ::stat((folder + "/" + socketName(pidOf(w), seqOf(w))).c_str(), &st) == 0 &&
                   S_ISSOCK(st.st_mode) && processAlive(pidOf(w))
               ? TRUE
               : FALSE;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

LONG_PTR SetWindowLongPtrA(HWND w, int index, LONG_PTR value) {
    if (index != GWLP_USERDATA) {
        return detail::fail<LONG_PTR>(ERROR_INVALID_PARAMETER, 0);
    }
    if (pidOf(w) != static_cast<uint32_t>(::getpid())) {
        return detail::fail<LONG_PTR>(ERROR_ACCESS_DENIED, 0);
    }
    std::lock_guard<std::mutex> guard(tableLock);
    auto it = windows().find(seqOf(w));
    if (it == windows().end() || it->second.pid != ::getpid()) {
        return detail::fail<LONG_PTR>(ERROR_INVALID_WINDOW_HANDLE, 0);
    }
    const LONG_PTR old = it->second.userData;
    it->second.userData = value;
    SetLastError(ERROR_SUCCESS);
    return old;
}

LONG_PTR GetWindowLongPtrA(HWND w, int index) {
    if (index != GWLP_USERDATA) {
        return detail::fail<LONG_PTR>(ERROR_INVALID_PARAMETER, 0);
    }
    WindowRec rec;
    if (!localWindow(w, rec)) {
        return detail::fail<LONG_PTR>(ERROR_INVALID_WINDOW_HANDLE, 0);
    }
    return rec.userData;
}

DWORD GetWindowThreadProcessId(HWND w, DWORD* processId) {
    WindowRec rec;
    if (localWindow(w, rec)) {
        if (processId) *processId = static_cast<DWORD>(::getpid());
        return rec.thread;
    }
    if (!IsWindow(w)) {
        return detail::fail<DWORD>(ERROR_INVALID_WINDOW_HANDLE, 0);
    }
    // The thread of a window in another process is not known here; its process id stands in.
    if (processId) *processId = pidOf(w);
    return pidOf(w);
}

BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
    if (!msg) return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, -1);
    ThreadQueue& queue = myQueue();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            if (!queue.posted.empty()) {
                *msg = queue.posted.front();
                queue.posted.pop_front();
                return msg->message == WM_QUIT ? FALSE : TRUE;
            }
            uint64_t drain;
            while (::read(queue.wake, &drain, sizeof drain) > 0) {
            }
        }
        pumpWait(-1, 0, -1);
    }
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    WindowRec rec;
    if (!msg || !localWindow(msg->hwnd, rec)) return 0;
    return callProc(rec.proc, msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

namespace {
void post(ThreadQueue& queue, const MSG& m) {
    std::lock_guard<std::mutex> guard(queue.lock);
    queue.posted.push_back(m);
    const uint64_t one = 1;
    (void)::write(queue.wake, &one, sizeof one);
}
} // namespace

void PostQuitMessage(int exitCode) {
    post(myQueue(), MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0, 0, {0, 0}});
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadQueue> queue;
    {
        std::lock_guard<std::mutex> guard(tableLock);
        auto it = queues().find(threadId);
        if (it != queues().end()) queue = it->second;
    }
    if (!queue) {
        return detail::fail<BOOL>(1444 /* ERROR_INVALID_THREAD_ID */, FALSE);
    }
    post(*queue, MSG{nullptr, message, wParam, lParam, 0, {0, 0}});
    return TRUE;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_NOTIMEOUTIFNOTHUNG, 0,
                               &result)
               ? static_cast<LRESULT>(result)
               : 0;
}

LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                            DWORD_PTR* result) {
    if (window == HWND_BROADCAST) {
        for (HWND w : allWindows()) {
            LRESULT r;
            sendTo(w, message, wParam, lParam, flags, timeoutMs, r);
        }
        if (result) *result = 0;
        SetLastError(ERROR_SUCCESS);
        return 1;
    }
    LRESULT r = 0;
    if (!window || seqOf(window) == 0) {
        return detail::fail<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
    }
    if (!sendTo(window, message, wParam, lParam, flags, timeoutMs, r)) {
        return 0;
    }
    if (result) *result = static_cast<DWORD_PTR>(r);
    return 1;
}

} // namespace plat
