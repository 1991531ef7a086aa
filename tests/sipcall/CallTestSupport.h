// Helpers for the call tests: the dialog tests' phone with the real end point and its proxy peer on
// 127.0.0.1, plus a far end's SDP and RTP, message builders, line-state reports and the resource
// counts (dialogs, lines, open files, threads) that must come back to where they were after a call.
#pragma once

#include "LineActions.h"
#include "RTPSession.h"
#include "SipInviteDialog.h"
#include "SipLine.h"
#include "sipdialog/DialogTestSupport.h"

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace calltest {

using namespace dialogtest;

inline size_t entriesIn(const char* folder) {
    size_t n = 0;
    if (DIR* d = ::opendir(folder)) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}
inline size_t openFiles() {
    return entriesIn("/proc/self/fd");
}
// The process's threads. A sanitizer may start a thread of its own with the process's first
// thread (ThreadSanitizer does); one short thread before the first count makes it part of every
// baseline, so that counts compared with a baseline see only the engine's threads. A joined thread
// may still be listed for a moment (the kernel wakes the joiner before it removes the task), so the
// first count waits (at most 2 s) until that thread is gone.
inline size_t threadCount() {
    static const bool settled = [] {
        pid_t tid = 0;
        std::thread([&tid] { tid = ::gettid(); }).join();
        const std::string entry = "/proc/self/task/" + std::to_string(tid);
        for (int i = 0; i < 2000 && ::access(entry.c_str(), F_OK) == 0; ++i)
            ::usleep(1000);
        return true;
    }();
    (void)settled;
    return entriesIn("/proc/self/task");
}

// The SDP of a far end on 127.0.0.1 (or the address given) offering or answering PCMA and telephone-event.
inline std::string
farSdp(uint16_t rtpPort, const std::string& direction = "sendrecv", const std::string& address = "127.0.0.1",
       const std::string& formats = "8 101",
       const std::string& rtpmaps = "a=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                                    "a=fmtp:101 0-11\r\n") {
    std::ostringstream os;
    os << "v=0\r\no=- 7 7 IN IP4 " << address << "\r\ns=far\r\nc=IN IP4 " << address << "\r\nt=0 0\r\n"
       << "m=audio " << rtpPort << " RTP/AVP " << formats << "\r\n"
       << rtpmaps << "a=" << direction << "\r\n";
    return os.str();
}

inline std::string contactOf(uint16_t port, const std::string& user = "3002") {
    return "Contact: <sip:" + user + "@127.0.0.1:" + std::to_string(port) + ">\r\n";
}

// A response to a request text with extra header lines and an optional body.
inline std::string reply(const std::string& request, int code, const std::string& reason,
                         const std::string& extra = "", const std::string& contentType = "",
                         const std::string& body = "", const std::string& toTag = "rt1") {
    std::string to = headerOf(request, "To");
    if (!toTag.empty() && paramOf(to, "tag").empty())
        to += ";tag=" + toTag;
    std::ostringstream os;
    os << "SIP/2.0 " << code << " " << reason << "\r\n"
       << "Via: " << headerOf(request, "Via") << "\r\n"
       << "From: " << headerOf(request, "From") << "\r\n"
       << "To: " << to << "\r\n"
       << "Call-ID: " << headerOf(request, "Call-ID") << "\r\n"
       << "CSeq: " << headerOf(request, "CSeq") << "\r\n"
       << extra;
    if (!contentType.empty())
        os << "Content-Type: " << contentType << "\r\n";
    os << "Content-Length: " << body.size() << "\r\n\r\n" << body;
    return os.str();
}

// A request of the far end: a new call (no To tag) or one inside a call.
struct FarRequest {
    std::string method = "INVITE";
    std::string callId = "call-in-1";
    int cseq = 1;
    std::string branch = "z9hG4bKfar1";
    std::string fromTag = "ft1";
    std::string toTag;
    std::string extra; // header lines, each ending in CR LF
    std::string contentType;
    std::string body;
    std::string cseqMethod; // empty: the method
};

inline std::string farRequest(const FarRequest& r, uint16_t viaPort) {
    std::ostringstream os;
    os << r.method << " sip:2001@127.0.0.1 SIP/2.0\r\n"
       << "Via: SIP/2.0/UDP 127.0.0.1:" << viaPort << ";branch=" << r.branch << ";rport\r\n"
       << "Max-Forwards: 70\r\n"
       << "From: \"Far End\" <sip:3002@127.0.0.1>;tag=" << r.fromTag << "\r\n"
       << "To: <sip:2001@127.0.0.1>" << (r.toTag.empty() ? "" : ";tag=" + r.toTag) << "\r\n"
       << "Call-ID: " << r.callId << "\r\n"
       << "CSeq: " << r.cseq << " " << (r.cseqMethod.empty() ? r.method : r.cseqMethod) << "\r\n"
       << r.extra;
    if (!r.contentType.empty())
        os << "Content-Type: " << r.contentType << "\r\n";
    os << "Content-Length: " << r.body.size() << "\r\n\r\n" << r.body;
    return os.str();
}

// The body of a message text.
inline std::string bodyOf(const std::string& text) {
    size_t at = text.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : text.substr(at + 4);
}

// The port of the m=audio line of an SDP body (0 when none).
inline int audioPortOf(const std::string& sdp) {
    size_t at = sdp.find("m=audio ");
    return at == std::string::npos ? 0 : std::atoi(sdp.c_str() + at + 8);
}

// One RTP packet of 160 A-law bytes.
inline std::string rtpPacket(uint16_t sequence, uint32_t timestamp, uint32_t ssrc) {
    std::string p(12 + 160, '\xd5');
    p[0] = '\x80';
    p[1] = 8;
    p[2] = char(sequence >> 8);
    p[3] = char(sequence);
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = char(timestamp >> (24 - 8 * i));
        p[8 + i] = char(ssrc >> (24 - 8 * i));
    }
    return p;
}

// The harness with a proxy installed and the far end's RTP socket.
class CallHarness : public Harness {
public:
    struct Counts {
        size_t files = 0;
        size_t threads = 0;
    };

    CallHarness() {
        installProxy();
        baseline = counts();
    }

    Counts counts() { return Counts{openFiles(), threadCount()}; }
    // The counts once they are down to target, or after 2 s: an ended call's receive thread ends on
    // its own, off the loop, and closes the call's sockets as its last act.
    Counts settledCounts(const Counts& target) {
        for (int i = 0; i < 2000; ++i) {
            const Counts c = counts();
            if (c.files <= target.files && c.threads <= target.threads)
                return c;
            ::usleep(1000);
        }
        return counts();
    }

    // The packets the call's session has counted once they are n or more, or after 10 s: the call's
    // receive thread, started when the call connects, may take seconds to run on a loaded machine.
    static int receivedWithin(rtp::RTPSession& session, int n) {
        for (int i = 0; i < 10000 && session.receiveStatistics().received < n; ++i)
            ::usleep(1000);
        return session.receiveStatistics().received;
    }

    // The states reported for a line to the phone's notification, with the active flag: "N/A".
    std::vector<std::string> reportsOf(const std::string& lineId) {
        std::vector<std::string> out;
        const std::string prefix = "java " + lineId + " state ";
        for (const std::string& e : journal.snapshot()) {
            if (e.compare(0, prefix.size(), prefix) != 0)
                continue;
            int state = -1, active = -1;
            std::sscanf(e.c_str() + prefix.size(), "%d active %d", &state, &active);
            out.push_back(std::to_string(state) + "/" + std::to_string(active));
        }
        return out;
    }
    std::vector<int> statesOf(const std::string& lineId) {
        std::vector<int> out;
        for (const std::string& r : reportsOf(lineId))
            out.push_back(std::atoi(r.c_str()));
        return out;
    }

    // Takes the datagrams whose first line starts with prefix out of a list.
    static std::vector<Datagram> take(std::vector<Datagram>& list, const std::string& prefix) {
        std::vector<Datagram> out, rest;
        for (Datagram& d : list)
            (d.text.compare(0, prefix.size(), prefix) == 0 ? out : rest).push_back(d);
        list.swap(rest);
        return out;
    }
    // Exactly one such datagram (a test failure otherwise); its text, or empty.
    static std::string one(std::vector<Datagram>& list, const std::string& prefix) {
        std::vector<Datagram> found = take(list, prefix);
        EXPECT_EQ(found.size(), 1u) << "datagrams starting with '" << prefix << "'";
        return found.empty() ? std::string() : found.front().text;
    }
    std::string oneAtProxy(const std::string& prefix) { return one(proxyReceived, prefix); }
    std::string oneAtOther(const std::string& prefix) { return one(otherReceived, prefix); }

    sip::SipLine* newLine(const std::string& name = "") {
        return static_cast<sip::SipLine*>(endPoint.createLine(name));
    }

    // Line commands as the Java side gives them: posted to the loop, run by the next pump.
    void post(const std::string& lineId, void (kbrphone::Line::*operation)()) {
        kbrphone::post(&phone, new kbrphone::LineAction(&phone, lineId, operation));
        pump();
    }
    void post(const std::string& lineId, void (kbrphone::Line::*operation)(const std::string&),
              const std::string& argument) {
        kbrphone::post(&phone, new kbrphone::LineAction1(&phone, lineId, operation, argument));
        pump();
    }
    void dial(const std::string& lineId, const std::string& number,
              const std::string& displayName = "Callee") {
        kbrphone::post(&phone,
                       new kbrphone::LineAction2(&phone, lineId, &kbrphone::Line::dial, number, displayName));
        pump();
    }
    void transfer(const std::string& lineId, const std::string& otherLineId) {
        kbrphone::post(&phone, new kbrphone::TransferLineAction(&phone, lineId, otherLineId));
        pump();
    }

    // Lets every transaction run out (32 s and some), then expects nothing of any call to remain. The
    // steps are small: a clock step longer than the head timer's wait is not carried on to the timers
    // behind it, so large steps would make the later timers run late.
    void expectAllReleased() {
        advance(36000, 20);
        collect();
        EXPECT_EQ(endPoint.dialogCount(), 0u) << "dialogs in the Call-ID map";
        EXPECT_EQ(sip::SipInviteDialog::instanceCount(), 0u) << "live INVITE dialogs";
        EXPECT_EQ(phone.lineCount(), 0u) << "lines";
        EXPECT_EQ(phone.timerCount(), 0u) << "timers on the phone's loop";
        EXPECT_EQ(phone.getActiveLine(), nullptr);
        const Counts now = settledCounts(baseline);
        EXPECT_EQ(now.files, baseline.files) << "open files (sockets)";
        EXPECT_EQ(now.threads, baseline.threads) << "threads";
    }

    Peer rtp; // the far end's RTP socket
    Counts baseline;
};

} // namespace calltest
