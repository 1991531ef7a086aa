// A session against sipp's RTP echo on loopback: what the session sends comes back through the
// jitter buffer sample for sample.
#include "RTPSession.h"
#include "rtp_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

std::string findProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::string all = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos)
            end = all.size();
        std::string candidate = all.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

// sipp as a UAS with its RTP echo, ended by the test (and by its own time-out at the latest).
class SippEcho {
public:
    SippEcho(const std::string& program, uint16_t sipPort, uint16_t mediaPort) {
        std::vector<std::string> args = {program,
                                         "-sn",
                                         "uas",
                                         "-i",
                                         "127.0.0.1",
                                         "-p",
                                         std::to_string(sipPort),
                                         "-mi",
                                         "127.0.0.1",
                                         "-mp",
                                         std::to_string(mediaPort),
                                         "-rtp_echo",
                                         "-nostdin",
                                         "-timeout",
                                         "60s"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~SippEcho() {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 300; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    bool started() const { return pid > 0; }

private:
    pid_t pid = -1;
};

// A media port whose neighbour two up (sipp's second echo) is free too.
uint16_t freeMediaPort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        rtptest::UdpPeer first;
        if (first.port() > 65000)
            continue;
        try {
            rtptest::UdpPeer second(static_cast<uint16_t>(first.port() + 2));
            return first.port();
        } catch (const std::runtime_error&) {
        }
    }
    throw std::runtime_error("no free media port");
}

TEST(SippEcho, AudioComesBackSampleForSample) {
    const std::string sipp = findProgram("sipp");
    if (sipp.empty())
        GTEST_SKIP() << "sipp is not installed (Debian package sip-tester): RTP echo test skipped";
    const uint16_t mediaPort = freeMediaPort();
    const uint16_t sipPort = rtptest::freeUdpPortPair();
    SippEcho echo(sipp, sipPort, mediaPort);
    ASSERT_TRUE(echo.started());

    // Wait (bounded) until the echo answers a probe.
    {
        rtptest::UdpPeer probe;
        std::vector<uint8_t> packet(172, 0xD5), back;
        packet[0] = 0x80;
        packet[1] = 8;
        bool answered = false;
        for (int i = 0; i < 50 && !answered; ++i) {
            probe.sendTo(mediaPort, packet.data(), packet.size());
            answered = probe.receive(back, 100);
        }
        ASSERT_TRUE(answered) << "sipp's RTP echo did not answer on port " << mediaPort;
    }

    rtp::RTPSession session;
    session.start(rtptest::loopback(mediaPort), kmt::SocketAddress(), 101);
    std::vector<int16_t> frame(160), got(160);
    for (int n = 0; n < 100; ++n) {
        for (int i = 0; i < 160; ++i)
            frame[size_t(i)] = static_cast<int16_t>(
                16000 * std::sin(2 * M_PI * 600 * (n * 160 + i) / 8000.0) + (n % 7) * 100);
        session.putFrame(uint32_t(n), frame.data(), 160);
        bool ready = false;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!ready && std::chrono::steady_clock::now() < end) {
            ready = session.getFrame(uint32_t(n), got.data(), 160, true);
            if (!ready)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(ready) << "frame " << n << " did not come back";
        for (int i = 0; i < 160; ++i)
            ASSERT_EQ(got[size_t(i)],
                      rtp::RTPSession::decodeALaw(rtp::RTPSession::encodeALaw(frame[size_t(i)])))
                << "frame " << n << " sample " << i;
    }
    rtp::CallStatistics st = session.callStatistics();
    EXPECT_EQ(st.ssrc, session.getSsrc()) << "the echo returns our own packets";
    EXPECT_EQ(st.expected, 100);
    EXPECT_EQ(st.lost, 0);
    session.stop();
}

} // namespace
