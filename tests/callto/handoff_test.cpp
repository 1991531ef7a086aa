// Handing a command line to a running copy: listeners and clients in separate processes.
#include "MessageWindow.h"
#include "listener.h"
#include "../support/OtherUser.h"
#include "../support/PipeLines.h"
#include "plat/winmsg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace callto;

namespace {

using testsupport::readLine;

class HandOff : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kbr-handoff-test-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        dir = pattern;
        ::setenv("KBR_WINMSG_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("KBR_WINMSG_DIR");
        std::system(("rm -rf " + dir).c_str());
    }
    int windowsLeft() {
        int n = 0;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d)) n += e->d_name[0] == 'w';
            ::closedir(d);
        }
        return n;
    }
    std::string dir;
};

TEST_F(HandOff, WithoutAListenerNothingIsSentAndNoWindowStays) {
    ::testing::internal::CaptureStdout();
    const std::string text = "callto:123";
    EXPECT_FALSE(handOverCommand(text.c_str(), text.size()));
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ("broadcast discover attach\ndone broadcast discover attach\n", out);
    EXPECT_EQ(0, windowsLeft());
}

TEST_F(HandOff, TheCommandReachesTheRunningCopyUnchanged) {
    Listener listener;
    listener.start();
    EXPECT_EQ("started strong=0 weak=0", readLine(listener.lines)); // its own broadcast is ignored
    struct Case {
        std::string sent;
        std::string arrived;
    } cases[] = {
        {"callto:+31 20 555 0100", "command [callto:+31 20 555 0100]"},
        {std::string("tel:1\0", 6), "command [tel:1]"},                  // one trailing NUL is dropped
        {"", "command []"},                                              // zero bytes arrive as empty text
        {"\"C:\\x\" -dial \xc3\xa9\n2", "command [\"C:\\x\" -dial \xc3\xa9\\n2]"},
        {std::string(5000, 'k'), "command [" + std::string(5000, 'k') + "]"},
    };
    for (const Case& c : cases) {
        ::testing::internal::CaptureStdout();
        EXPECT_TRUE(handOverCommand(c.sent.data(), c.sent.size()));
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.arrived, readLine(listener.lines)) << c.sent.size();
        EXPECT_NE(std::string::npos, out.find("broadcast discover attach\nreceved command reply\n"
                                              "got discover message from: "))
            << out;
        EXPECT_NE(std::string::npos, out.find("callto_tests")) << out; // the listener's executable
        EXPECT_EQ(0, windowsLeft() - 1);
    }
}

TEST_F(HandOff, WithTwoListenersTheFirstGetsTheCommand) {
    Listener first, second;
    first.start();
    EXPECT_EQ("started strong=0 weak=0", readLine(first.lines));
    second.start();
    EXPECT_EQ("started strong=1 weak=0", readLine(second.lines)); // it found the first
    const std::string text = "callto:2";
    EXPECT_TRUE(handOverCommand(text.c_str(), text.size()));
    EXPECT_EQ("command [callto:2]", readLine(first.lines));
    // The second answers weakly until it receives a command itself; nothing reached it.
    pollfd p{second.lines, POLLIN, 0};
    EXPECT_EQ(0, ::poll(&p, 1, 200));
}

// Answers a discovery as a running copy would (strongly); true when message was one.
bool answerDiscovery(plat::HWND w, plat::UINT message, plat::WPARAM wParam) {
    if (message != plat::RegisterWindowMessageA("BrimelSoftphoneIDiscover")) return false;
    plat::SendMessageA(reinterpret_cast<plat::HWND>(wParam), plat::RegisterWindowMessageA("BrimelSoftphoneCommand"),
                       reinterpret_cast<plat::WPARAM>(w), 1);
    return true;
}

// The write end of a peer's pipe, in the peer's process.
int peerLines = -1;

// Starts a peer process with one window of className run by proc and waits until it says it is ready;
// lines is the read end of its pipe.
void startPeer(const char* className, plat::WNDPROC proc, pid_t& pid, int& lines) {
    int p[2];
    ASSERT_EQ(0, ::pipe(p));
    pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        peerLines = p[1];
        plat::WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = proc;
        wc.lpszClassName = className;
        plat::RegisterClassExA(&wc);
        plat::CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        (void)!::write(p[1], "ready\n", 6);
        plat::MSG msg;
        while (plat::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        }
        ::_exit(0);
    }
    ::close(p[1]);
    lines = p[0];
    EXPECT_EQ("ready", readLine(lines));
}

plat::LRESULT answerThenEnd(plat::HWND w, plat::UINT message, plat::WPARAM wParam, plat::LPARAM) {
    if (answerDiscovery(w, message, wParam)) {
        ::_exit(0); // gone before the command comes
    }
    return 0;
}

TEST_F(HandOff, APeerThatEndsBeforeTheCommandLeavesItWithTheSender) {
    pid_t pid = -1;
    int lines = -1;
    ASSERT_NO_FATAL_FAILURE(startPeer("Vanishing", answerThenEnd, pid, lines));
    ::close(lines);
    ::testing::internal::CaptureStderr();
    const std::string text = "callto:7";
    EXPECT_FALSE(handOverCommand(text.c_str(), text.size())); // so the caller goes on as the first copy
    EXPECT_EQ("PostMessage WM_COPYDATA Failed: Invalid window handle.\r\n (1400 = 0x578) (14000x578)\n",
              ::testing::internal::GetCapturedStderr());
    ::waitpid(pid, nullptr, 0);
}

plat::LRESULT answerThenTakeLong(plat::HWND w, plat::UINT message, plat::WPARAM wParam, plat::LPARAM lParam) {
    if (answerDiscovery(w, message, wParam)) {
        return 1;
    }
    if (message == plat::WM_COPYDATA) {
        ::sleep(7); // busy, taking no messages: hung for the sender
        const auto* cds = reinterpret_cast<const plat::COPYDATASTRUCT*>(lParam);
        const std::string line = "late " + std::string(static_cast<const char*>(cds->lpData), cds->cbData) + "\n";
        (void)!::write(peerLines, line.data(), line.size());
        return 1;
    }
    return 0;
}

TEST_F(HandOff, APeerThatHangsDoesNotHoldTheSenderAndStillGetsTheCommand) {
    pid_t pid = -1;
    int lines = -1;
    ASSERT_NO_FATAL_FAILURE(startPeer("Slow", answerThenTakeLong, pid, lines));
    ::testing::internal::CaptureStderr();
    const std::string text = "callto:8";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(handOverCommand(text.c_str(), text.size())); // queued at the peer
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));
    EXPECT_EQ("PostMessage WM_COPYDATA Failed: This operation returned because the timeout period expired.\r\n"
              " (1460 = 0x5b4) (14600x5b4)\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ("late callto:8", readLine(lines));
    ::close(lines);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// Every send that did not reach the running copy is reported as not delivered, so the caller goes
// on as the first copy; the running copy is unharmed and takes the next command.
TEST_F(HandOff, ACommandThePlatformRefusesIsNotDelivered) {
    Listener listener;
    listener.start();
    EXPECT_EQ("started strong=0 weak=0", readLine(listener.lines));
    const std::string tooLarge(plat::winmsg::kMaxCopyData + 1, 'k');
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(handOverCommand(tooLarge.data(), tooLarge.size()));
    EXPECT_EQ("PostMessage WM_COPYDATA Failed: The parameter is incorrect.\r\n (87 = 0x57) (870x57)\n",
              ::testing::internal::GetCapturedStderr());
    pollfd p{listener.lines, POLLIN, 0};
    EXPECT_EQ(0, ::poll(&p, 1, 200));
    const std::string text = "callto:9";
    EXPECT_TRUE(handOverCommand(text.c_str(), text.size()));
    EXPECT_EQ("command [callto:9]", readLine(listener.lines));
}

// With no XDG_RUNTIME_DIR, another user who made /tmp/kbr-winmsg-<uid> first (here a link) no
// longer keeps a second copy from finding the running one: both use the folder in the home.
TEST(HandOffFolder, AMessageFolderTakenByAnotherUserStillReachesTheRunningCopy) {
    const uid_t victim = testsupport::spareUserId();
    if (::geteuid() != 0 || !testsupport::canActAsUser(testsupport::kNobody) || !testsupport::canActAsUser(victim)) {
        GTEST_SKIP() << "this process cannot act as other users";
    }
    char pattern[] = "/tmp/kbr-handoff-home-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    const std::string home = pattern;
    ASSERT_EQ(0, ::chown(pattern, victim, victim));
    const std::string shared = "/tmp/kbr-winmsg-" + std::to_string(victim);
    std::system(("rm -rf " + shared).c_str());
    ASSERT_EQ(0, testsupport::runAsUser(testsupport::kNobody, [&] { return ::symlink("/tmp", shared.c_str()); }));
    const int status = testsupport::runAsUser(victim, [&] {
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("XDG_RUNTIME_DIR");
        ::unsetenv("KBR_WINMSG_DIR");
        Listener running;
        running.start();
        if (readLine(running.lines) != "started strong=0 weak=0") return 1;
        const std::string text = "callto:777";
        if (!handOverCommand(text.c_str(), text.size())) return 2;
        return readLine(running.lines) == "command [callto:777]" ? 0 : 3;
    });
    EXPECT_EQ(0, status) << "1: the running copy did not start, 2: not handed over, 3: it did not arrive";
    std::system(("rm -rf " + shared + " " + home).c_str());
}

TEST_F(HandOff, OneWindowPerProcessAtATime) {
    MessageWindow first;
    first.create(std::function<void(const char*)>());
    MessageWindow second;
    try {
        second.create(std::function<void(const char*)>());
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Register class failed: Class already exists.\r\n (1410 = 0x582)", e.what());
    }
    first.destroy();
    const std::string text = "x";
    EXPECT_FALSE(handOverCommand(text.c_str(), text.size())); // the class is free again
}

TEST_F(HandOff, ASendWithoutPeerIsRefused) {
    MessageWindow w;
    w.create(std::function<void(const char*)>());
    EXPECT_THROW(w.sendCommand("x", 1), std::runtime_error);
}

TEST(Win32ErrorText, PrefixSystemTextAndCode) {
    EXPECT_EQ("PostMessage WM_COPYDATA Failed: Invalid window handle.\r\n (1400 = 0x578)",
              formatWin32Error(std::string("PostMessage WM_COPYDATA Failed: "), 1400));
    EXPECT_EQ("Creation of message window failedAccess is denied.\r\n (5 = 0x5)",
              formatWin32Error(std::string("Creation of message window failed"), 5));
    EXPECT_EQ("x: unknown error (48879 = 0xbeef)", formatWin32Error(std::string("x: "), 0xBEEF));
}

} // namespace
