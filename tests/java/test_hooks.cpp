// Test-only native library for the Java tests: a recording protocol and lines installed into the engine's
// phone through its own Protocol and Line interfaces, a statistics double for the lines' RTP sessions, and
// helpers that run work on the phone's loop. It uses only what libkbrjphone exports.
#include "CallStatistics.h"
#include "JPhone.h"
#include "LineActions.h"

#include <jni.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(10);

long threadId() {
    return static_cast<long>(syscall(SYS_gettid));
}

std::atomic<long> loopThread{0};
std::atomic<long> operations{0};
// Benchmarks: the lines count their operations without writing them down.
std::atomic<bool> quiet{false};

std::mutex callsLock;
std::vector<std::string> calls;

void record(const std::string& what) {
    const char* where = threadId() == loopThread.load() ? " @loop" : " @other";
    std::lock_guard<std::mutex> guard(callsLock);
    calls.push_back(what + where);
}

std::string text(JNIEnv* env, jstring s) {
    if (!s)
        return std::string();
    const char* chars = env->GetStringUTFChars(s, nullptr);
    if (!chars)
        return std::string();
    std::string result(chars);
    env->ReleaseStringUTFChars(s, chars);
    return result;
}

class CallAction : public kbrphone::InvokeLaterAction {
public:
    explicit CallAction(std::function<void()> f_) : f(std::move(f_)) {}
    void run() override { f(); }

private:
    std::function<void()> f;
};

void onLoop(std::function<void()> f) {
    kbrphone::post(phoneInstance.load(), new CallAction(std::move(f)));
}

// Runs f on the loop and waits for it; false when the loop did not run it in time.
bool onLoopAndWait(std::function<void()> f) {
    auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto done = std::make_shared<bool>(false);
    onLoop([state, done, f] {
        f();
        std::lock_guard<std::mutex> guard(state->first);
        *done = true;
        state->second.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->first);
    return state->second.wait_for(lock, kWait, [&] { return *done; });
}

// The figures a session double gives; the line hands out its address as its RTP session.
struct SessionDouble {
    kbrphone::CallStatistics statistics;
    bool failing = false;
};

kbrphone::CallStatistics readSessionDouble(rtp::RTPSession& session) {
    auto& s = reinterpret_cast<SessionDouble&>(session);
    if (s.failing)
        throw std::runtime_error("session statistics unavailable");
    return s.statistics;
}

class RecordingLine : public kbrphone::Line {
public:
    RecordingLine(kbrphone::Phone* phone, const std::string& id, const std::string& name)
        : Line(phone, id, name) {}

    void dial(const std::string& number, const std::string& displayName) override {
        op("dial " + number + " '" + displayName + "'");
    }
    void hangup() override { op("hangup"); }
    void toneFinished() override { op("toneFinished"); }
    void putOnHold() override { op("putOnHold"); }
    void activate() override { op("activate"); }
    void setRinging() override { op("setRinging"); }
    void answerIncoming() override { op("answerIncoming"); }
    void rejectIncoming() override { op("rejectIncoming"); }
    void busyIncoming() override { op("busyIncoming"); }
    void blindTransfer(const std::string& target) override { op("blindTransfer " + target); }
    void transfer(Line* other) override { op("transfer " + other->getLineId()); }
    std::string remoteName() override { return "Remote"; }
    std::string remoteUri() override { return "sip:200@127.0.0.1"; }
    std::string localName() override { return "Local"; }
    std::string localUri() override { return "sip:100@127.0.0.1"; }
    std::string calledUri() override { return ""; }
    bool isInternal() override { return true; }
    int wrapUpTime() override { return 30; }
    kbrphone::TransportChannel* transportChannel() override { return nullptr; }
    rtp::RTPSession* rtpSession() override {
        return session ? reinterpret_cast<rtp::RTPSession*>(session.get()) : nullptr;
    }

    std::unique_ptr<SessionDouble> session;
    std::string throwText;

private:
    void op(const std::string& what) {
        if (!quiet.load())
            record(getLineId() + " " + what);
        operations.fetch_add(1);
        if (!throwText.empty()) {
            std::string t;
            t.swap(throwText);
            throw std::runtime_error(t);
        }
    }
};

std::string newId() {
    static std::mt19937_64 random{std::random_device{}()};
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::ostringstream s;
    s << std::hex;
    s.width(16);
    s.fill('0');
    s << random();
    return s.str();
}

class RecordingProtocol : public kbrphone::Protocol {
public:
    explicit RecordingProtocol(kbrphone::Phone* phone) : Protocol(phone) {}

    kbrphone::Line* createLine(const std::string& name) override {
        std::string failure;
        failure.swap(failNext);
        if (!failure.empty())
            throw std::runtime_error(failure);
        const std::string id = duplicateNext.exchange(false) ? firstId : newId();
        std::unique_ptr<RecordingLine> line(new RecordingLine(phone, id, name));
        phone->addLine(line.get());
        if (firstId.empty())
            firstId = id;
        return line.release();
    }
    void processEvents() override { phone->run(); }
    void registerWithProxy(const std::string& user, const std::string& displayName,
                           const std::string& authUser, const std::string& password, const std::string& host,
                           int port) override {
        record("registerWithProxy " + user + " '" + displayName + "' " + authUser + " " + password + " " +
               host + ":" + std::to_string(port));
        kbrphone::Phone* p = phone;
        onLoop([p, authUser] { p->registrationStateChanged(1, "registered " + authUser); });
    }
    void setProxy(const std::string&, const std::string&, const std::string&, const std::string&,
                  const std::string&, int) override {}
    void cancelRegistration() override {
        record("cancelRegistration");
        kbrphone::Phone* p = phone;
        // The reason comes from the network: its bytes need not be valid UTF-8.
        onLoop([p] { p->registrationStateChanged(3, "Not registered \xFF\xC3("); });
    }

    std::string failNext;
    std::atomic<bool> duplicateNext{false};

private:
    // The first line lives through the whole test: a duplicate takes its id.
    std::string firstId;
};

RecordingProtocol* protocol = nullptr;

std::mutex gateLock;
std::condition_variable gateChanged;
bool loopHeld = false;
bool released = false;

RecordingLine* findLine(JNIEnv* env, jstring lineId) {
    return static_cast<RecordingLine*>(phoneInstance.load()->findLine(text(env, lineId)));
}

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_phoneAddress(JNIEnv*, jclass) {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(phoneInstance.load()));
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_installProtocol(JNIEnv*, jclass) {
    kbrphone::setCallStatisticsReader(readSessionDouble);
    protocol = new RecordingProtocol(phoneInstance.load());
}

JNIEXPORT jlong JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_threadTag(JNIEnv*, jclass) {
    return threadId();
}

JNIEXPORT jlong JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_loopTag(JNIEnv*, jclass) {
    if (!onLoopAndWait([] { loopThread = threadId(); }))
        return 0;
    return loopThread.load();
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_blockLoop(JNIEnv*, jclass) {
    {
        std::lock_guard<std::mutex> guard(gateLock);
        loopHeld = false;
        released = false;
    }
    onLoop([] {
        std::unique_lock<std::mutex> lock(gateLock);
        loopHeld = true;
        gateChanged.notify_all();
        gateChanged.wait_for(lock, std::chrono::seconds(30), [] { return released; });
    });
    std::unique_lock<std::mutex> lock(gateLock);
    return gateChanged.wait_for(lock, kWait, [] { return loopHeld; });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_releaseLoop(JNIEnv*, jclass) {
    std::lock_guard<std::mutex> guard(gateLock);
    released = true;
    gateChanged.notify_all();
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_settle(JNIEnv*, jclass) {
    return onLoopAndWait([] {});
}

JNIEXPORT jstring JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_takeCalls(JNIEnv* env, jclass) {
    std::string joined;
    {
        std::lock_guard<std::mutex> guard(callsLock);
        for (const std::string& c : calls)
            joined += c + "\n";
        calls.clear();
    }
    return env->NewStringUTF(joined.c_str());
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_setState(JNIEnv* env, jclass, jstring lineId,
                                                                       jint state) {
    const std::string id = text(env, lineId);
    onLoop([id, state] {
        if (kbrphone::Line* line = phoneInstance.load()->findLine(id))
            line->setState(state);
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_setSession(JNIEnv* env, jclass, jstring lineId,
                                                                         jint ssrc, jint expected, jint lost,
                                                                         jint late80, jint late160,
                                                                         jint late240, jint jitter,
                                                                         jboolean failing) {
    auto session = std::make_unique<SessionDouble>();
    session->statistics = {static_cast<uint32_t>(ssrc), expected, lost, late80, late160, late240, jitter};
    session->failing = failing;
    const std::string id = text(env, lineId);
    auto* moved = session.release();
    onLoopAndWait([id, moved] {
        std::unique_ptr<SessionDouble> owned(moved);
        if (auto* line = static_cast<RecordingLine*>(phoneInstance.load()->findLine(id)))
            line->session = std::move(owned);
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_throwNext(JNIEnv* env, jclass, jstring lineId,
                                                                        jstring message) {
    const std::string t = text(env, message);
    onLoopAndWait([line = findLine(env, lineId), t] {
        if (line)
            line->throwText = t;
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_failNextCreate(JNIEnv* env, jclass,
                                                                             jstring message) {
    protocol->failNext = text(env, message);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_duplicateNextId(JNIEnv*, jclass) {
    protocol->duplicateNext = true;
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_pressButton(JNIEnv*, jclass, jint code) {
    JPhone* p = phoneInstance.load();
    kbrphone::post(p, new kbrphone::PhoneButtonAction(p, code));
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_requestDialing(JNIEnv* env, jclass,
                                                                             jstring number) {
    JPhone* p = phoneInstance.load();
    kbrphone::post(p, new kbrphone::PhoneRequestDialingAction(p, text(env, number)));
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_requestDialingBytes(JNIEnv* env, jclass,
                                                                                  jbyteArray number) {
    std::string bytes(static_cast<size_t>(env->GetArrayLength(number)), '\0');
    env->GetByteArrayRegion(number, 0, static_cast<jsize>(bytes.size()), reinterpret_cast<jbyte*>(&bytes[0]));
    JPhone* p = phoneInstance.load();
    kbrphone::post(p, new kbrphone::PhoneRequestDialingAction(p, bytes));
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_setMute(JNIEnv*, jclass, jboolean muted) {
    phoneInstance.load()->setMute(muted);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_writeCerr(JNIEnv* env, jclass, jstring t) {
    std::cerr << text(env, t);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_writeCout(JNIEnv* env, jclass, jstring t) {
    std::cout << text(env, t) << std::flush;
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_quiet(JNIEnv*, jclass, jboolean on) {
    quiet = on;
}

JNIEXPORT jlong JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_operationCount(JNIEnv*, jclass) {
    return operations.load();
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_awaitOperations(JNIEnv*, jclass,
                                                                                  jlong count) {
    const auto deadline = Clock::now() + kWait;
    while (operations.load(std::memory_order_acquire) < count) {
        if (Clock::now() > deadline)
            return JNI_FALSE;
    }
    return JNI_TRUE;
}

JNIEXPORT jlong JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_timeButtonCallbacks(JNIEnv*, jclass, jint n) {
    auto elapsed = std::make_shared<std::atomic<jlong>>(-1);
    onLoopAndWait([n, elapsed] {
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i)
            phoneInstance.load()->buttonPressed(i % 10);
        *elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    });
    return elapsed->load();
}

JNIEXPORT jlong JNICALL Java_nl_brimel_kbr_phone_jni_TestHooks_timeLineCallbacks(JNIEnv* env, jclass,
                                                                                 jstring lineId, jint n) {
    auto elapsed = std::make_shared<std::atomic<jlong>>(-1);
    const std::string id = text(env, lineId);
    onLoopAndWait([n, id, elapsed] {
        JPhone* p = phoneInstance.load();
        kbrphone::Line* line = p->findLine(id);
        if (!line)
            return;
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i)
            p->lineStateChanged(line, true);
        *elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    });
    return elapsed->load();
}

} // extern "C"
