// Windows and sent messages between real processes: results, data, nested sends, broadcast, peers
// that die or hang, and frames that are refused.
#include "plat/psapi.h"
#include "plat/sync.h"
#include "plat/winmsg.h"
#include "support/OtherUser.h"
#include "support/PipeLines.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace plat;

namespace {

constexpr UINT kAdd = WM_USER + 1;           // returns wParam + lParam
constexpr UINT kNested = WM_USER + 2;        // sends kAnswer to the window in wParam, returns its result + 1
constexpr UINT kAnswer = WM_USER + 3;        // returns 41
constexpr UINT kDie = WM_USER + 4;           // the process ends while handling it
constexpr UINT kSleep = WM_USER + 5;         // sleeps lParam ms without taking messages, returns 7
constexpr UINT kNestedTwice = WM_USER + 6;   // sends kSleep (3500 ms) twice to the window in wParam

int reportFd = -1; // where a child's window procedure writes what it saw
std::atomic<int> parentCalls{0};

void report(const std::string& line) {
    const std::string l = line + "\n";
    (void)!::write(reportFd, l.data(), l.size());
}

uint32_t checksum(const void* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char*>(p)[i]) * 16777619u;
    return h;
}

LRESULT testProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    static UINT ping = RegisterWindowMessageA("KbrTestPing");
    if (message == WM_CREATE || message == WM_DESTROY) return 0;
    ++parentCalls;
    if (message == ping) {
        report("ping " + std::to_string(::getpid()));
        return 5;
    }
    switch (message) {
    case kAdd:
        return static_cast<LRESULT>(wParam) + lParam;
    case kNested:
        return SendMessageA(reinterpret_cast<HWND>(wParam), kAnswer, 0, 0) + 1;
    case kAnswer:
        return 41;
    case kDie:
        ::_exit(3);
    case kSleep:
        std::this_thread::sleep_for(std::chrono::milliseconds(lParam));
        return 7;
    case kNestedTwice:
        return SendMessageA(reinterpret_cast<HWND>(wParam), kSleep, 0, 3500) +
               SendMessageA(reinterpret_cast<HWND>(wParam), kSleep, 0, 3500);
    case WM_COPYDATA: {
        const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        report("copy " + std::to_string(cds->dwData) + " " + std::to_string(cds->cbData));
        return static_cast<LRESULT>(checksum(cds->lpData, cds->cbData));
    }
    }
    return DefWindowProcA(w, message, wParam, lParam);
}

HWND createTestWindow() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = testProc;
    wc.lpszClassName = "KbrTestWindow";
    RegisterClassExA(&wc); // once per process
    return CreateWindowExA(0, "KbrTestWindow", "test", 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           nullptr, nullptr, nullptr, nullptr);
}

using testsupport::readLine;

// A process with one test window that takes messages until it is killed.
struct Child {
    pid_t pid = -1;
    int lines = -1;
    HWND window = nullptr;

    void start() {
        pid = testsupport::forkWithLines(
            [](int out) {
                reportFd = out;
                const HWND w = createTestWindow();
                report(std::to_string(reinterpret_cast<uintptr_t>(w)));
                MSG msg;
                while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
                    DispatchMessageA(&msg);
                }
            },
            lines);
        ASSERT_GE(pid, 0);
        window = reinterpret_cast<HWND>(std::strtoull(readLine(lines).c_str(), nullptr, 10));
        ASSERT_NE(nullptr, window);
    }
    void stop() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
        if (lines >= 0) ::close(lines);
        lines = -1;
    }
    ~Child() { stop(); }
};

class WindowMessages : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kbr-winmsg-test-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern)); // mode 0700
        dir = pattern;
        ::setenv("KBR_WINMSG_DIR", dir.c_str(), 1);
        int p[2];
        ASSERT_EQ(0, ::pipe(p));
        ownLines = p[0];
        reportFd = p[1];
        parentCalls = 0;
    }
    void TearDown() override {
        for (HWND w : ownWindows) DestroyWindow(w);
        ::close(ownLines);
        ::close(reportFd);
        ::unsetenv("KBR_WINMSG_DIR");
        std::system(("rm -rf " + dir).c_str());
    }
    HWND ownWindow() {
        const HWND w = createTestWindow();
        ownWindows.push_back(w);
        return w;
    }
    std::string socketPath(HWND w) {
        const uintptr_t v = reinterpret_cast<uintptr_t>(w);
        return dir + "/w" + std::to_string(v >> 24) + "-" + std::to_string(v & 0xFFFFFF);
    }

    std::string dir;
    int ownLines = -1;
    std::vector<HWND> ownWindows;
};

TEST_F(WindowMessages, SentMessagesReachAWindowOfAnotherProcess) {
    Child child;
    child.start();
    EXPECT_TRUE(IsWindow(child.window));
    DWORD pid = 0;
    GetWindowThreadProcessId(child.window, &pid);
    EXPECT_EQ(DWORD(child.pid), pid);
    EXPECT_EQ(LRESULT(1000041), SendMessageA(child.window, kAdd, 1000000, 41));
    DWORD_PTR result = 0;
    EXPECT_NE(0, SendMessageTimeoutA(child.window, kAdd, 2, -5, SMTO_NORMAL, 5000, &result));
    EXPECT_EQ(LRESULT(-3), static_cast<LRESULT>(result));

    // WM_COPYDATA carries its bytes, zeros included, from empty up to the largest allowed.
    for (size_t size : {size_t(0), size_t(7), size_t(65536), winmsg::kMaxCopyData}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; i += 3) data[i] = static_cast<char>('a' + i % 26);
        COPYDATASTRUCT cds{size + 9, static_cast<DWORD>(size), size ? data.data() : nullptr};
        EXPECT_EQ(static_cast<LRESULT>(checksum(data.data(), size)),
                  SendMessageA(child.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)))
            << size;
        EXPECT_EQ("copy " + std::to_string(size + 9) + " " + std::to_string(size), readLine(child.lines));
    }
    std::string tooLarge(winmsg::kMaxCopyData + 1, 'x');
    COPYDATASTRUCT big{0, static_cast<DWORD>(tooLarge.size()), tooLarge.data()};
    EXPECT_EQ(0, SendMessageA(child.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&big)));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    // A system message other than WM_COPYDATA would carry this process's pointers.
    EXPECT_EQ(0, SendMessageA(child.window, WM_CREATE, 0, 0x1234));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(WindowMessages, ASenderHandlesMessagesSentToItWhileItWaits) {
    Child child;
    child.start();
    const HWND mine = ownWindow();
    // The child's procedure sends back to this window while this thread waits for its answer.
    EXPECT_EQ(LRESULT(42), SendMessageA(child.window, kNested, reinterpret_cast<WPARAM>(mine), 0));
    EXPECT_EQ(1, parentCalls.load());
}

TEST_F(WindowMessages, AReceiverThatWaitsOnAThirdKeepsItsSenderWaiting) {
    // The first child handles the message for seven seconds, but takes messages meanwhile (it waits on
    // the second child twice), so it is not hung.
    Child first, second;
    first.start();
    second.start();
    DWORD_PTR result = 0;
    EXPECT_NE(0, SendMessageTimeoutA(first.window, kNestedTwice, reinterpret_cast<WPARAM>(second.window), 0,
                                     SMTO_ABORTIFHUNG | SMTO_NOTIMEOUTIFNOTHUNG, 0, &result))
        << GetLastError();
    EXPECT_EQ(DWORD_PTR(14), result);
}

TEST_F(WindowMessages, RegisteredMessagesHaveOneIdInEveryProcess) {
    int p[2];
    ASSERT_EQ(0, ::pipe(p));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        reportFd = p[1];
        report(std::to_string(RegisterWindowMessageA("SecondName")) + " " +
               std::to_string(RegisterWindowMessageA("FirstName")));
        ::_exit(0);
    }
    ::close(p[1]);
    const UINT first = RegisterWindowMessageA("FirstName");
    const std::string childIds = readLine(p[0]);
    ::close(p[0]);
    ::waitpid(pid, nullptr, 0);
    const UINT second = RegisterWindowMessageA("secondNAME");
    EXPECT_GE(first, 0xC000u);
    EXPECT_NE(first, second);
    EXPECT_EQ(std::to_string(second) + " " + std::to_string(first), childIds);
    EXPECT_EQ(first, RegisterWindowMessageA("FIRSTNAME"));
    EXPECT_EQ(0u, RegisterWindowMessageA(""));
}

TEST_F(WindowMessages, BroadcastReachesEveryWindowTheSendersOwnIncluded) {
    Child a, b;
    a.start();
    b.start();
    ownWindow();
    DWORD_PTR result = 0;
    EXPECT_NE(0, SendMessageTimeoutA(HWND_BROADCAST, RegisterWindowMessageA("KbrTestPing"), 0, 0x8001,
                                     SMTO_ABORTIFHUNG | SMTO_NOTIMEOUTIFNOTHUNG, 0, &result));
    EXPECT_EQ("ping " + std::to_string(a.pid), readLine(a.lines));
    EXPECT_EQ("ping " + std::to_string(b.pid), readLine(b.lines));
    EXPECT_EQ("ping " + std::to_string(::getpid()), readLine(ownLines));
}

TEST_F(WindowMessages, PeersThatDieOrHangDoNotHoldTheSender) {
    struct Case {
        const char* what;
        UINT message;
        LPARAM lParam;
        UINT flags;
        UINT timeoutMs;
        bool killFirst;
        DWORD error;
        int withinMs;
    } cases[] = {
        {"dies while handling", kDie, 0, SMTO_ABORTIFHUNG | SMTO_NOTIMEOUTIFNOTHUNG, 0, false,
         ERROR_INVALID_WINDOW_HANDLE, 3000},
        {"gone, its socket left behind", kAdd, 0, SMTO_NORMAL, 1000, true, ERROR_INVALID_WINDOW_HANDLE, 3000},
        {"busy past the time-out", kSleep, 3000, SMTO_NORMAL, 300, false, ERROR_TIMEOUT, 2500},
        {"hung, no time-out while not hung", kSleep, 60000, SMTO_ABORTIFHUNG | SMTO_NOTIMEOUTIFNOTHUNG, 0, false,
         ERROR_TIMEOUT, 9000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Child child;
        child.start();
        if (c.killFirst) {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, nullptr, 0);
            child.pid = -1;
        }
        const auto start = std::chrono::steady_clock::now();
        DWORD_PTR result = 0;
        EXPECT_EQ(0, SendMessageTimeoutA(child.window, c.message, 0, c.lParam, c.flags, c.timeoutMs, &result));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                      .count(),
                  c.withinMs);
        if (c.killFirst) {
            EXPECT_FALSE(IsWindow(child.window));
        }
    }
}

// Runs this thread's message loop until the child that writes raw bytes to the window has ended.
int serveUntilChildEnds(pid_t pid) {
    const DWORD self = GetCurrentThreadId();
    std::atomic<int> status{-1};
    std::thread watcher([&] {
        int s = 0;
        ::waitpid(pid, &s, 0);
        status = WIFEXITED(s) ? WEXITSTATUS(s) : 100;
        while (!PostThreadMessageA(self, WM_QUIT, 0, 0)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    watcher.join();
    return status;
}

TEST_F(WindowMessages, FramesCutShortTooLargeOrFromAnotherUserAreRefused) {
    const HWND mine = ownWindow();
    winmsg::Request good;
    good.target = reinterpret_cast<uintptr_t>(mine);
    good.message = kAdd;
    good.wParam = 1;
    good.lParam = 2;
    const std::string frame = winmsg::encodeRequest(good);
    winmsg::Request system = good;
    system.message = WM_CREATE;
    const std::string systemFrame = winmsg::encodeRequest(system);
    std::string huge = frame;
    huge[4] = huge[5] = huge[6] = huge[7] = '\x7f';
    struct Case {
        const char* what;
        std::string bytes;
        uid_t uid;
        const char* logged; // empty: accepted
        int exitCode;       // 0 answered with 3, 1 refused without an answer of 3
    } cases[] = {
        {"whole", frame, 0, "", 0},
        {"cut short in the header", frame.substr(0, 6), 0, "cut short in its header", 1},
        {"cut short in the body", frame.substr(0, frame.size() - 3), 0, "cut short after", 1},
        {"too large", huge, 0, "refused a message of 2139062143 bytes", 1},
        {"not a window message", "GET / HTTP/1.0\r\n\r\n", 0, "not a window message", 1},
        {"another user", frame, 65534, "of user 65534 (not this user)", 1},
        {"a system message with a pointer", systemFrame, 0, "system message 0x1 cannot come", 1},
    };
    const std::string path = socketPath(mine);
    // Only root can act as another user, and not in a user namespace that maps uid 0 alone.
    const bool otherUsers = ::geteuid() == 0 && testsupport::canActAsUser(testsupport::kNobody);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.uid != 0 && !otherUsers) {
            std::cout << "skipped \"" << c.what << "\": this process cannot act as user " << c.uid << "\n";
            continue;
        }
        parentCalls = 0;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (c.uid != 0) {
                // Another user, who can still reach the socket by its path.
                if (::seteuid(c.uid) != 0) ::_exit(10);
                ::setfsuid(0);
            }
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strcpy(addr.sun_path, path.c_str());
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(11);
            (void)!::send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
            ::shutdown(fd, SHUT_WR);
            char reply[13];
            size_t got = 0;
            for (ssize_t n; got < sizeof reply && (n = ::read(fd, reply + got, sizeof reply - got)) > 0;) got += n;
            ::_exit(got == sizeof reply && reply[4] == 0 && reply[5] == 3 ? 0 : 1);
        }
        ::testing::internal::CaptureStderr();
        const int status = serveUntilChildEnds(pid);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.exitCode, status);
        if (*c.logged) {
            EXPECT_NE(std::string::npos, err.find(c.logged)) << err;
            EXPECT_EQ(0, parentCalls.load());
        } else {
            EXPECT_EQ("", err);
            EXPECT_EQ(1, parentCalls.load());
        }
    }
}

TEST(WindowMessageFrames, DecodingChecksEveryLength) {
    winmsg::Request r;
    r.target = 0x123456789;
    r.message = WM_COPYDATA;
    r.wParam = 77;
    r.copyData = true;
    r.dwData = 5;
    r.data = std::string("a\0b", 3);
    const std::string frame = winmsg::encodeRequest(r);
    winmsg::Request out;
    std::string why;
    ASSERT_TRUE(winmsg::decodeRequest(frame.data(), frame.size(), out, why)) << why;
    EXPECT_EQ(r.target, out.target);
    EXPECT_EQ(r.data, out.data);
    EXPECT_EQ(r.dwData, out.dwData);
    EXPECT_EQ(r.wParam, out.wParam);

    std::string wrongCount = frame;
    wrongCount[frame.size() - 3 - 4] = 9; // the data length field
    winmsg::Request plainCopyData;
    plainCopyData.message = WM_COPYDATA;
    plainCopyData.lParam = 0x7fff0000;
    winmsg::Request dataOnUserMessage = r;
    dataOnUserMessage.message = WM_USER;
    winmsg::Request create;
    create.message = WM_CREATE;
    create.lParam = 0x1234;
    std::string dataWithoutFlag = frame;
    dataWithoutFlag[8 + 28] = 0;
    struct Case {
        const char* what;
        std::string bytes;
        const char* why;
    } cases[] = {
        {"empty", "", "cut short in its header"},
        {"header only", frame.substr(0, 8), "cut short after 8"},
        {"one byte short", frame.substr(0, frame.size() - 1), "cut short after"},
        {"one byte over", frame + "x", "1 bytes after the end"},
        {"other format", "XXXX" + frame.substr(4), "not a window message"},
        {"length beyond the limit", frame.substr(0, 4) + std::string("\xff\xff\xff\xff", 4) + frame.substr(8),
         "outside"},
        {"data length does not match", wrongCount, "does not match"},
        {"data without the flag", dataWithoutFlag, "carries none"},
        {"WM_COPYDATA without data", winmsg::encodeRequest(plainCopyData), "without its data block"},
        {"data with another message", winmsg::encodeRequest(dataOnUserMessage), "other than WM_COPYDATA"},
        {"a system message", winmsg::encodeRequest(create), "system message 0x1 cannot come"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(winmsg::decodeRequest(c.bytes.data(), c.bytes.size(), out, why)) << c.what;
        EXPECT_NE(std::string::npos, why.find(c.why)) << c.what << ": " << why;
    }
}

// A named folder: one of the user's own left open to others is made private, one of another user is
// refused (the variable names it, so nothing else is tried).
TEST(WindowMessageFolder, OwnFolderOpenToOthersIsRepairedAnotherUsersRefused) {
    char pattern[] = "/tmp/kbr-winmsg-open-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    const std::string folder = pattern;
    ::chmod(pattern, 0755);
    ::setenv("KBR_WINMSG_DIR", pattern, 1);
    ::testing::internal::CaptureStderr();
    const HWND w = createTestWindow();
    EXPECT_NE(nullptr, w);
    EXPECT_NE(nullptr, createTestWindow()); // the second sees a private folder: nothing more is said
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ("winmsg: message folder " + folder + " was open to others (mode 755); made it private (mode 700)\n", err);
    struct stat st {};
    ASSERT_EQ(0, ::stat(pattern, &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);

    if (::geteuid() != testsupport::kNobody && ::chown(pattern, testsupport::kNobody, testsupport::kNobody) == 0) {
        std::string why;
        EXPECT_EQ("", winmsg::messageFolder(why));
        EXPECT_EQ("message folder " + folder + " is not private to this user (owner 65534, mode 700)", why);
    } else {
        std::cout << "skipped the folder of another user: cannot give a folder away here\n";
    }
    ::unsetenv("KBR_WINMSG_DIR");
    std::system(("rm -rf " + folder).c_str());
}

// Without XDG_RUNTIME_DIR the default folder is /tmp/kbr-winmsg-<uid>, a name another user can take
// first. Played for real: the folder or link is made as user nobody, then a victim (a spare uid with
// a home of its own) creates a window in one process and sends to it from a second.
TEST(WindowMessageFolder, ADefaultFolderTakenByAnotherUserFallsBackToTheHome) {
    const uid_t victim = testsupport::spareUserId();
    if (::geteuid() != 0 || !testsupport::canActAsUser(testsupport::kNobody) || !testsupport::canActAsUser(victim)) {
        GTEST_SKIP() << "this process cannot act as other users";
    }
    char pattern[] = "/tmp/kbr-winmsg-home-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    const std::string home = pattern;
    ASSERT_EQ(0, ::chown(pattern, victim, victim));
    const std::string shared = "/tmp/kbr-winmsg-" + std::to_string(victim);
    const std::string fallback = home + "/.kbr-winmsg";
    struct Case {
        const char* what;
        uid_t maker;                  // who lays out the shared name first
        std::function<int()> layOut;  // as that user
        std::string folderUsed;
        std::string logged; // the one line on stderr; empty: none
    } cases[] = {
        {"a folder of another user, open to all", testsupport::kNobody,
         [&] { return ::mkdir(shared.c_str(), 0777) == 0 && ::chmod(shared.c_str(), 0777) == 0 ? 0 : 1; }, fallback,
         "winmsg: message folder " + shared + " is not private to this user (owner 65534, mode 777); using " + fallback},
        {"a link of another user to a folder", testsupport::kNobody,
         [&] { return ::symlink(home.c_str(), shared.c_str()) == 0 ? 0 : 1; }, fallback,
         "winmsg: message folder " + shared + " is not a folder (a link of user 65534); using " + fallback},
        {"the user's own folder left open to others", victim,
         [&] { return ::mkdir(shared.c_str(), 0700) == 0 && ::chmod(shared.c_str(), 0755) == 0 ? 0 : 1; }, shared,
         "winmsg: message folder " + shared + " was open to others (mode 755); made it private (mode 700)"},
        {"nothing there yet", victim, [] { return 0; }, shared, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::system(("rm -rf " + shared + " " + fallback).c_str());
        ASSERT_EQ(0, testsupport::runAsUser(c.maker, c.layOut));
        const std::string errFile = home + "/stderr";
        const int status = testsupport::runAsUser(victim, [&] {
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(err, 2);
            ::setenv("HOME", home.c_str(), 1);
            ::unsetenv("XDG_RUNTIME_DIR");
            ::unsetenv("KBR_WINMSG_DIR");
            std::string why;
            if (winmsg::messageFolder(why) != c.folderUsed) return 1;
            const HWND w = createTestWindow();
            if (!w) return 2;
            const pid_t sender = ::fork();
            if (sender == 0) {
                ::_exit(SendMessageA(w, kAdd, 40, 2) == 42 ? 0 : 1);
            }
            return serveUntilChildEnds(sender) == 0 ? 0 : 3;
        });
        EXPECT_EQ(0, status) << "1: another folder used, 2: no window, 3: the message did not arrive";
        std::ifstream in(errFile);
        std::stringstream err;
        err << in.rdbuf();
        EXPECT_EQ(c.logged.empty() ? "" : c.logged + "\n", err.str());
        struct stat st {};
        if (c.folderUsed == shared) {
            ASSERT_EQ(0, ::lstat(shared.c_str(), &st));
            EXPECT_EQ(0700u, st.st_mode & 0777);
        }
    }
    std::system(("rm -rf " + shared + " " + home).c_str());
}

TEST(WindowClasses, OneNamePerProcessAndNotUnregisteredWhileInUse) {
    char pattern[] = "/tmp/kbr-winmsg-class-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    ::setenv("KBR_WINMSG_DIR", pattern, 1);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = testProc;
    wc.lpszClassName = "KbrClassTest";
    const ATOM atom = RegisterClassExA(&wc);
    ASSERT_NE(0, atom);
    wc.lpszClassName = "kbrclasstest";
    EXPECT_EQ(0, RegisterClassExA(&wc));
    EXPECT_EQ(ERROR_CLASS_ALREADY_EXISTS, GetLastError());
    const LPCSTR byAtom = reinterpret_cast<LPCSTR>(uintptr_t(atom));
    const HWND w = CreateWindowExA(0, byAtom, "x", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, w);
    EXPECT_FALSE(UnregisterClassA(byAtom, nullptr));
    EXPECT_TRUE(DestroyWindow(w));
    EXPECT_FALSE(IsWindow(w));
    EXPECT_TRUE(UnregisterClassA(byAtom, nullptr));
    EXPECT_FALSE(UnregisterClassA("KbrClassTest", nullptr));
    EXPECT_EQ(ERROR_CLASS_DOES_NOT_EXIST, GetLastError());
    ::unsetenv("KBR_WINMSG_DIR");
    std::system((std::string("rm -rf ") + pattern).c_str());
}

TEST(Processes, ExecutablePathOfAProcess) {
    const HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
    ASSERT_NE(nullptr, self);
    char path[1000];
    const DWORD n = K32GetModuleFileNameExA(self, nullptr, path, sizeof path);
    ASSERT_GT(n, 0u);
    EXPECT_NE(std::string::npos, std::string(path, n).find("platform_tests"));
    char small[4];
    EXPECT_EQ(3u, K32GetModuleFileNameExA(self, nullptr, small, sizeof small));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(3u, std::strlen(small));
    EXPECT_TRUE(CloseHandle(self));
    EXPECT_EQ(nullptr, OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0x3FFFFFFF));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

} // namespace
