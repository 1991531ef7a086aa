// Calls past the engine's resources: an INVITE whose call cannot have its descriptors, its receive
// thread or its memory is answered 503 (500 for memory) with Retry-After, the refusals of a run are
// logged once, nothing of the refused calls stays behind, and the next call after the shortage is
// taken as any other. And what an ended call keeps while its dialog waits for its last transaction.
#include "CallTestSupport.h"
#include "RTPStream.h"
#include "plat/sync.h"
#include "support/ParamNames.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <map>
#include <memory>
#include <cstdlib>
#include <new>

using namespace calltest;

// Allocations of one size fail on the thread that asks for it: the memory shortage of the table.
// The replacement pairs malloc with free throughout, which the compiler cannot see across files.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
thread_local size_t failingAllocationSize = 0;
} // namespace

void* operator new(size_t n) {
    if (n != 0 && n == failingAllocationSize)
        throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {

// A shortage forced in the process, and lifted again.
struct Shortage {
    // Descriptors: every number below the limit is taken, so the call's sockets find none.
    std::vector<int> fillers;
    rlimit saved{};
};

void noDescriptors(Shortage& s) {
    ::getrlimit(RLIMIT_NOFILE, &s.saved);
    int highest = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (::fcntl(fd, F_GETFD) >= 0)
            highest = fd;
    rlimit low = s.saved;
    low.rlim_cur = static_cast<rlim_t>(highest + 1);
    ::setrlimit(RLIMIT_NOFILE, &low);
    // The holes below the limit are taken too.
    for (int fd; (fd = ::dup(0)) >= 0;)
        s.fillers.push_back(fd);
}
void descriptorsBack(Shortage& s) {
    for (int fd : s.fillers)
        ::close(fd);
    s.fillers.clear();
    ::setrlimit(RLIMIT_NOFILE, &s.saved);
}
void noThreads(Shortage&) {
    plat::testing::failThreadStarts(-1);
}
void threadsBack(Shortage&) {
    plat::testing::failThreadStarts(0);
}
void noMemory(Shortage&) {
    // The call's receive buffer, the first allocation of its own that a new call makes.
    failingAllocationSize = rtp::RTPStream::kReceiveBufferSize;
}
void memoryBack(Shortage&) {
    failingAllocationSize = 0;
}

struct ShortageCase {
    const char* name;
    void (*arrange)(Shortage&);
    void (*lift)(Shortage&);
    // The shortage shows when the call is answered (the receive thread starts then), not at its INVITE.
    bool atAnswer;
    const char* answer; // the status line the INVITE gets
};

std::ostream& operator<<(std::ostream& os, const ShortageCase& c) {
    return os << c.name;
}

// Runs body in a child process (the shortage is the child's alone), bounded to 60 s; the child's
// test failures and log come back as its output.
void runInChild(const std::function<void()>& body) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(out[0]);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::alarm(60);
        body();
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status << ":\n" << text;
}

struct CallFlow {
    explicit CallFlow(CallHarness& h_) : h(h_) {}

    // The far end's INVITE of a new call, as the proxy sends it.
    std::string invite(const std::string& callId, const std::string& lineId) {
        FarRequest r;
        r.callId = callId;
        r.branch = "z9hG4bK" + callId;
        r.extra = contactOf(h.other.port) + "X-Brimel-id: " + lineId + "\r\n";
        r.contentType = "application/sdp";
        r.body = farSdp(h.rtp.port);
        invites[callId] = r;
        return farRequest(r, h.proxy.port);
    }
    void offer(const std::string& callId, const std::string& lineId) { h.fromProxy(invite(callId, lineId)); }
    std::string answer(const std::string& lineId) {
        h.post(lineId, &kbrphone::Line::answerIncoming);
        std::vector<Datagram> finals = h.take(h.proxyReceived, "SIP/2.0 ");
        for (const Datagram& d : finals)
            if (firstLine(d.text) != "SIP/2.0 100 trying")
                return d.text;
        return std::string();
    }
    // The far end's ACK of our 200.
    void acknowledge(const std::string& callId, const std::string& answer200) {
        FarRequest r = invites[callId];
        const std::string ourTag = paramOf(headerOf(answer200, "To"), "tag");
        h.fromProxy(requestText("ACK", h.proxy.port, callId, r.cseq, r.branch, r.fromTag, ourTag));
    }
    // The far end's ACK of our 200 (again, when it was sent before), then its BYE; the line hangs up.
    void endAnswered(const std::string& callId, const std::string& lineId, const std::string& answer200) {
        FarRequest r = invites[callId];
        const std::string ourTag = paramOf(headerOf(answer200, "To"), "tag");
        acknowledge(callId, answer200);
        h.fromProxy(requestText("BYE", h.proxy.port, callId, 2, "z9hG4bKbye" + callId, r.fromTag, ourTag));
        h.post(lineId, &kbrphone::Line::hangup);
    }

    CallHarness& h;
    std::map<std::string, FarRequest> invites;
};

size_t linesContaining(const std::vector<std::string>& lines, const std::string& part) {
    size_t n = 0;
    for (const std::string& l : lines)
        n += l.find(part) != std::string::npos;
    return n;
}

class CallsPastTheResources : public ::testing::TestWithParam<ShortageCase> {};

TEST_P(CallsPastTheResources, AreRefusedWithRetryAfterLoggedOnceAndTakenAgainWhenTheResourcesReturn) {
    const ShortageCase c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' checks open descriptors of their own (a pipe to probe memory) and report
    // their own failure as a fault.
    if (c.arrange == noDescriptors)
        GTEST_SKIP() << "no descriptor shortage under the sanitizers";
#endif
    runInChild([&c] {
        CallHarness h;
        CallFlow calls(h);
        Shortage shortage;
        LogCapture::instance().take();
        h.takeProxy();

        // Two calls in a row run into the shortage.
        for (const char* id : {"a", "b"}) {
            SCOPED_TRACE(id);
            const std::string lineId = std::string("line-") + id;
            std::string refusal;
            if (c.atAnswer) {
                calls.offer(std::string("call-") + id, lineId);
                EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 100 trying");
                c.arrange(shortage);
                refusal = calls.answer(lineId);
                EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{5, 8})) << "the answered line ends";
            } else {
                c.arrange(shortage);
                calls.offer(std::string("call-") + id, lineId);
                refusal = h.oneAtProxy("SIP/2.0 ");
                EXPECT_TRUE(h.statesOf(lineId).empty()) << "no line for a call that has no media";
            }
            c.lift(shortage);
            EXPECT_EQ(firstLine(refusal), c.answer) << ::testing::PrintToString(LogCapture::instance().take());
            EXPECT_EQ(headerOf(refusal, "Retry-After"), std::to_string(sip::kRetryAfterSeconds));
            EXPECT_EQ(headerOf(refusal, "Call-ID"), std::string("call-") + id);
            EXPECT_EQ(h.phone.lineCount(), 0u);
        }
        std::vector<std::string> log = LogCapture::instance().take();
        EXPECT_EQ(linesContaining(log, "refusing calls with "), 1u) << "once for the run of refusals";
        EXPECT_EQ(h.endPoint.refusedCalls(), 2u);

        // The resources are back: the next call is taken as any other.
        calls.offer("call-c", "line-c");
        EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 100 trying");
        const std::string answer200 = calls.answer("line-c");
        EXPECT_EQ(firstLine(answer200), "SIP/2.0 200 OK");
        sip::SipLine* line = static_cast<sip::SipLine*>(h.phone.findLine("line-c"));
        ASSERT_NE(line, nullptr);
        EXPECT_TRUE(line->rtpSession()->getStream().isRunning());
        log = LogCapture::instance().take();
        EXPECT_EQ(linesContaining(log, "taking calls again after 2 refused"), 1u);
        calls.endAnswered("call-c", "line-c", answer200);
        h.expectAllReleased();
    });
}

INSTANTIATE_TEST_SUITE_P(
    Shortages, CallsPastTheResources,
    ::testing::Values(ShortageCase{"Descriptors", noDescriptors, descriptorsBack, false, "SIP/2.0 503 Service Unavailable"},
                      ShortageCase{"Threads", noThreads, threadsBack, true, "SIP/2.0 503 Service Unavailable"},
                      ShortageCase{"Memory", noMemory, memoryBack, false, "SIP/2.0 500 Server Internal Error"}),
    paramnames::ByName());

// A loop flooded past what it serves: new calls are answered 503 with Retry-After at once, without a
// dialog, a line or sockets, while the calls it has go on; one slow event is no flood; and once the
// loop has time to wait again, calls are taken as before.
struct LoadCase {
    const char* name;
    // Loads the loop; true when the load is a flood.
    std::function<bool(CallHarness&)> load;
};

class SleepingWork : public kmt::EventCallbackBase {
public:
    explicit SleepingWork(int ms_) : ms(ms_) {}
    void invoke() override {
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        ran = true;
    }
    int ms;
    bool ran = false;
};

constexpr useconds_t kPastAWindowUs = kmt::EventScheduler::kLoadWindowUs + 20000;

// Work items back to back, each a millisecond long, for several windows: the loop has no pause
// between them.
bool floodOfWork(CallHarness& h) {
    ::usleep(kPastAWindowUs);
    h.pump(); // the window before the flood is over
    constexpr int kItems = 450;
    std::vector<std::unique_ptr<SleepingWork>> work;
    for (int i = 0; i < kItems; ++i) {
        work.push_back(std::make_unique<SleepingWork>(1));
        h.phone.addTimer(0, work.back().get());
    }
    for (int i = 0; i < 2 * kItems && !work.back()->ran; ++i)
        h.phone.runOnce();
    EXPECT_TRUE(work.back()->ran);
    return true;
}

bool oneSlowEvent(CallHarness& h) {
    SleepingWork work(kPastAWindowUs / 1000 + 50);
    h.phone.addTimer(0, &work);
    for (int i = 0; i < 10 && !work.ran; ++i)
        h.pump();
    EXPECT_TRUE(work.ran);
    ::usleep(kPastAWindowUs);
    h.pump();
    return false;
}

class FloodedLoop : public ::testing::TestWithParam<LoadCase> {};

TEST_P(FloodedLoop, RefusesNewCallsAtOnceUntilItWaitsAgain) {
    CallHarness h;
    CallFlow calls(h);
    LogCapture::instance().take();
    h.takeProxy();
    // A call taken before the load, which the load must not disturb.
    calls.offer("call-before", "line-before");
    const std::string answered = calls.answer("line-before");
    ASSERT_EQ(firstLine(answered), "SIP/2.0 200 OK");
    calls.acknowledge("call-before", answered);
    h.takeProxy();

    // The one reply to a call's INVITE (the call taken before may be repeating its 200 meanwhile).
    auto replyTo = [&h](const std::string& callId) {
        std::vector<std::string> replies;
        for (const Datagram& d : h.take(h.proxyReceived, "SIP/2.0 "))
            if (headerOf(d.text, "Call-ID") == callId)
                replies.push_back(d.text);
        EXPECT_EQ(replies.size(), 1u) << callId;
        return replies.empty() ? std::string() : replies.front();
    };
    const bool flood = GetParam().load(h);
    EXPECT_EQ(h.phone.isOverloaded(), flood);
    calls.offer("call-during", "line-during");
    const std::string reply = replyTo("call-during");
    if (flood) {
        EXPECT_EQ(firstLine(reply), "SIP/2.0 503 Service Unavailable");
        EXPECT_EQ(headerOf(reply, "Retry-After"), std::to_string(sip::kRetryAfterSeconds));
        EXPECT_EQ(headerOf(reply, "Call-ID"), "call-during");
        EXPECT_TRUE(h.statesOf("line-during").empty()) << "no line for a refused call";
        EXPECT_EQ(h.endPoint.dialogCount(), 1u) << "no dialog for a refused call";
        EXPECT_EQ(h.endPoint.refusedCalls(), 1u);
        EXPECT_EQ(linesContaining(LogCapture::instance().take(), "refusing calls with 503: "), 1u);

        // The loop waits for its next event a while: the flood is over.
        SleepingWork tick(0);
        h.phone.addTimer(static_cast<int>(3 * kPastAWindowUs / 1000), &tick);
        for (int i = 0; i < 10 && !tick.ran; ++i)
            h.phone.runOnce();
        ASSERT_TRUE(tick.ran);
        calls.offer("call-after", "line-after");
        EXPECT_EQ(firstLine(replyTo("call-after")), "SIP/2.0 100 trying");
        EXPECT_FALSE(h.phone.isOverloaded());
        const std::string after = calls.answer("line-after");
        ASSERT_EQ(firstLine(after), "SIP/2.0 200 OK");
        EXPECT_EQ(linesContaining(LogCapture::instance().take(), "taking calls again after 1 refused"), 1u);
        calls.endAnswered("call-after", "line-after", after);
    } else {
        EXPECT_EQ(firstLine(reply), "SIP/2.0 100 trying");
        EXPECT_EQ(h.statesOf("line-during"), (std::vector<int>{5}));
        h.post("line-during", &kbrphone::Line::rejectIncoming);
        h.takeProxy();
        EXPECT_EQ(h.endPoint.refusedCalls(), 0u);
    }
    // The call taken before goes on to its end as any other.
    EXPECT_NE(h.phone.findLine("line-before"), nullptr);
    calls.endAnswered("call-before", "line-before", answered);
    h.expectAllReleased();
}

// After a flood the loop waits with nothing due until an INVITE wakes it: the wait is time the
// loop was not busy, so the INVITE that ends it is judged by a loop that keeps up again.
TEST(FloodedLoopWaiting, TakesTheInviteThatEndsItsWait) {
    CallHarness h;
    CallFlow calls(h);
    h.takeProxy();
    ASSERT_TRUE(floodOfWork(h));
    ASSERT_TRUE(h.phone.isOverloaded());
    const std::string invite = calls.invite("call-woken", "line-woken");
    // The INVITE comes three windows later, whatever the machine's speed: the loop cannot have
    // been busy for any of that time, since it sits in its wait until the INVITE arrives.
    std::thread far([&] {
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < std::chrono::microseconds(3 * kPastAWindowUs))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        h.proxy.sendTo(h.sipPort(), invite);
    });
    // Bounds the wait should the INVITE never come.
    SleepingWork giveUp(0);
    h.phone.addTimer(30000, &giveUp);
    // The loop's turns: its wait, ended by the INVITE, and the INVITE's reply.
    std::string reply;
    for (int i = 0; i < 20 && reply.empty() && !giveUp.ran; ++i) {
        h.phone.runOnce();
        h.collect();
        for (const Datagram& d : h.proxyReceived)
            if (firstLine(d.text).rfind("SIP/2.0 ", 0) == 0 && headerOf(d.text, "Call-ID") == "call-woken")
                reply = d.text;
    }
    far.join();
    h.phone.removeTimer(&giveUp);
    EXPECT_FALSE(h.phone.isOverloaded());
    EXPECT_EQ(firstLine(reply), "SIP/2.0 100 trying");
    EXPECT_EQ(h.endPoint.refusedCalls(), 0u);
    h.takeProxy();
    h.post("line-woken", &kbrphone::Line::rejectIncoming);
    h.takeProxy();
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Loads, FloodedLoop,
                         ::testing::Values(LoadCase{"FloodOfWork", floodOfWork},
                                           LoadCase{"OneSlowEvent", oneSlowEvent}),
                         paramnames::ByName());

size_t heapInUse() {
    const struct mallinfo2 m = ::mallinfo2();
    return m.uordblks + m.hblkhd;
}

// Each ended call's dialog stays 32 s for the BYE's transaction; what it holds meanwhile is heap
// that thousands of calls a minute multiply. The media (the jitter buffer's ring, the receive
// buffer, the scheduler) goes with the call.
TEST(EndedCalls, HoldLittleHeapWhileTheirDialogsWaitForTheirLastTransactions) {
    CallHarness h;
    CallFlow calls(h);
    constexpr int kCalls = 40;
    auto oneCall = [&](int i) {
        const std::string callId = "call-" + std::to_string(i), lineId = "line-" + std::to_string(i);
        calls.offer(callId, lineId);
        const std::string answer200 = calls.answer(lineId);
        ASSERT_EQ(firstLine(answer200), "SIP/2.0 200 OK");
        sip::SipLine* line = static_cast<sip::SipLine*>(h.phone.findLine(lineId));
        ASSERT_NE(line, nullptr);
        rtp::RTPSession* session = line->rtpSession();
        // Audio arrives, so that the call's jitter buffer holds its ring. The call's socket keeps the
        // three packets until its receive thread reads them.
        const uint16_t port = session->getStream().rtpLocalAddress().port();
        for (int k = 0; k < 3; ++k)
            h.rtp.sendTo(port, rtpPacket(uint16_t(k), 160u * k, 0x5151));
        EXPECT_GE(h.receivedWithin(*session, 3), 3);
        calls.endAnswered(callId, lineId, answer200);
        h.takeProxy();
    };
    oneCall(0); // what the first call sets up for good (the QoS binding, the log categories)
    // The test's log capture and console sink keep every line: emptied before each measure.
    LogCapture::instance().take();
    h.quiet.sink.str(std::string());
    const size_t before = heapInUse();
    for (int i = 1; i <= kCalls; ++i)
        oneCall(i);
    ASSERT_EQ(h.endPoint.dialogCount(), size_t(kCalls + 1)) << "the dialogs wait for their BYE transactions";
    EXPECT_EQ(h.phone.lineCount(), 0u);
    // Their receive threads are gone, and with them what they held.
    h.settledCounts(h.baseline);
    LogCapture::instance().take();
    h.quiet.sink.str(std::string());
    const double perCall = (double(heapInUse()) - double(before)) / kCalls;
    RecordProperty("heap_bytes_per_ended_call", static_cast<int>(perCall));
    std::printf("heap kept per ended call: %.0f bytes\n", perCall);
    // About 16 KB stays (the dialog, its transactions and their messages); the media state would
    // add some 32 KB more.
    EXPECT_LT(perCall, 24 * 1024) << "heap kept per ended call, in bytes";
    h.expectAllReleased();
}

} // namespace
