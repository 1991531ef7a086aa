// The native methods of the Java class nl.brimel.kbr.phone.jni.JPhone. No C++ exception crosses into Java:
// every export catches at its edge, and a failure reaches Java as a null or false result (or, for
// processEvents, a RuntimeException when the loop ends).
#include "JPhone.h"
#include "LineActions.h"
#include "WASAudio/WASMediaManager.h"
#include "kmt/exceptions.h"
#include "kmt/jniguard.h"
#include "kmt/log.h"
#include "kmt/socket.h"

#include <iostream>
#include <mutex>

using kbrphone::Line;
using kbrphone::Protocol;
using kmt::JavaUtfChars;

namespace {

std::mutex initializeLock;
std::atomic<bool> loopStarted{false};

void reportException(const char* where, const std::exception& e) {
    KMT_LOG(kmt::logJphone, 1) << where << ": caught exception: " << e.what();
}

void reportUnknown(const char* where) {
    KMT_LOG(kmt::logJphone, 1) << where << ": caught unknown exception";
}

JPhone* phone(const char* where) {
    JPhone* p = phoneInstance;
    if (!p) {
        KMT_LOG(kmt::logJphone, 1) << where << ": the phone is not initialized";
    }
    return p;
}

Protocol* protocolOf(JPhone* p, const char* where) {
    Protocol* protocol = p ? p->getProtocol() : nullptr;
    if (p && !protocol) {
        KMT_LOG(kmt::logJphone, 1) << where << ": no signalling protocol installed";
    }
    return protocol;
}

// Runs an export's work; anything thrown is logged and turned into the given result.
template <class Result, class Work> Result guarded(const char* where, Result failed, Work&& work) {
    try {
        return work();
    } catch (const std::exception& e) {
        reportException(where, e);
    } catch (...) {
        reportUnknown(where);
    }
    return failed;
}

template <class Work> void guardedVoid(const char* where, Work&& work) {
    guarded(where, 0, [&] {
        work();
        return 0;
    });
}

// Standard output and standard error both go through one filter that drops carriage returns.
void installOutputFilters() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    std::cout.rdbuf(new FilterStreambuf(std::cout.rdbuf()));
    std::cerr.rdbuf(new FilterStreambuf(std::cout.rdbuf()));
}

std::unique_ptr<MediaManager> createMediaManager() {
    return std::unique_ptr<MediaManager>(new wasmedia::WASMediaManager());
}

jstring createLine(JNIEnv* env, const char* where, const std::string& name) {
    Protocol* protocol = protocolOf(phone(where), where);
    if (!protocol)
        return nullptr;
    Line* line = protocol->createLine(name);
    return kbrphone::newJavaString(env, line->getLineId());
}

// A posting export: one line id, one phone operation.
void postForLine(JNIEnv* env, jstring lineId, const char* where,
                 void (kbrphone::Phone::*maker)(const char*)) {
    guardedVoid(where, [&] {
        JPhone* p = phone(where);
        if (!p)
            return;
        JavaUtfChars id(env, lineId);
        (p->*maker)(id.get());
    });
}

// A posting export that makes a LineAction for a line operation without arguments.
void postLineOperation(JNIEnv* env, jstring lineId, const char* where, void (Line::*operation)()) {
    guardedVoid(where, [&] {
        JPhone* p = phone(where);
        if (!p)
            return;
        JavaUtfChars id(env, lineId);
        kbrphone::post(p, new kbrphone::LineAction(p, id.get(), operation));
    });
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_initialize(JNIEnv*, jobject) {
    std::lock_guard<std::mutex> guard(initializeLock);
    if (phoneInstance)
        return;
    guardedVoid("initialize", [] {
        installOutputFilters();
        kmt::ipMode = 1;
        plat::WSADATA data;
        const int result = plat::WSAStartup(plat::MAKEWORD(2, 2), &data);
        if (result != 0)
            throw kmt::SocketException("WSAStartup", result);
        DefaultPhoneDeviceCreator creator;
        phoneInstance = new JPhone(createMediaManager(), creator);
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_processEvents(JNIEnv* env, jobject self) {
    JPhone* p = phone("processEvents");
    if (!p)
        return;
    if (loopStarted.exchange(true)) {
        KMT_LOG(kmt::logJphone, 1) << "processEvents: the event loop runs already";
        return;
    }
    std::string failure;
    try {
        p->processEvents(env, self);
        failure = "the event loop returned";
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    KMT_LOG(kmt::logJphone, 1) << "processEvents: event loop ended: " << failure;
    p->env = nullptr;
    p->javaObject = nullptr;
    loopStarted = false;
    kbrphone::clearJavaException(env);
    if (jclass cls = env->FindClass("java/lang/RuntimeException"))
        env->ThrowNew(cls, ("event loop ended: " + kbrphone::toModifiedUtf8(failure)).c_str());
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_registerWithProxy(
    JNIEnv* env, jobject, jstring user, jstring displayName, jstring authUser, jstring password, jstring host,
    jint port) {
    try {
        JPhone* p = phone("registerWithProxy");
        if (!p)
            return;
        JavaUtfChars u(env, user), d(env, displayName), a(env, authUser), w(env, password), h(env, host);
        const char *uc = u.get(), *dc = d.get(), *ac = a.get(), *wc = w.get(), *hc = h.get();
        KMT_LOG(kmt::logJphone, 2) << "start registration for " << ac << " with " << hc;
        if (Protocol* protocol = protocolOf(p, "registerWithProxy"))
            protocol->registerWithProxy(uc, dc, ac, wc, hc, port);
    } catch (const kmt::JavaException&) {
        // A string Java could not give: nothing to register with.
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logJphone, 1) << "caught exception: " << e.what();
    } catch (...) {
        reportUnknown("registerWithProxy");
    }
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_cancelRegistration(JNIEnv*, jobject) {
    try {
        JPhone* p = phone("cancelRegistration");
        if (!p)
            return;
        KMT_LOG(kmt::logJphone, 2) << "cancel registration";
        if (Protocol* protocol = protocolOf(p, "cancelRegistration"))
            protocol->cancelRegistration();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logJphone, 1) << "caught exception: " << e.what();
    } catch (...) {
        reportUnknown("cancelRegistration");
    }
}

JNIEXPORT jstring JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_createLineId__(JNIEnv* env, jobject) {
    return guarded("createLineId", jstring(nullptr), [&] { return createLine(env, "createLineId", ""); });
}

JNIEXPORT jstring JNICALL
Java_nl_brimel_kbr_phone_jni_JPhone_createLineId__Ljava_lang_String_2(JNIEnv* env, jobject, jstring name) {
    return guarded("createLineId", jstring(nullptr), [&] {
        JavaUtfChars n(env, name);
        return createLine(env, "createLineId", n.get());
    });
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_dial(JNIEnv* env, jobject, jstring lineId,
                                                                    jstring number, jstring displayName) {
    return guarded("dial", jboolean(JNI_FALSE), [&] {
        JPhone* p = phone("dial");
        if (!p)
            return jboolean(JNI_FALSE);
        JavaUtfChars id(env, lineId), n(env, number), d(env, displayName);
        const char* display = displayName ? d.get() : "";
        kbrphone::post(p, new kbrphone::LineAction2(p, id.get(), &Line::dial, n.get(), display));
        return jboolean(JNI_TRUE);
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_hangup(JNIEnv* env, jobject, jstring lineId) {
    postForLine(env, lineId, "hangup", &kbrphone::Phone::hangup);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_answerIncoming(JNIEnv* env, jobject,
                                                                          jstring lineId) {
    postForLine(env, lineId, "answerIncoming", &kbrphone::Phone::answerIncoming);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_rejectIncoming(JNIEnv* env, jobject,
                                                                          jstring lineId) {
    postForLine(env, lineId, "rejectIncoming", &kbrphone::Phone::rejectIncoming);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_busyIncoming(JNIEnv* env, jobject,
                                                                        jstring lineId) {
    postLineOperation(env, lineId, "busyIncoming", &Line::busyIncoming);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_setRinging(JNIEnv* env, jobject, jstring lineId) {
    postLineOperation(env, lineId, "setRinging", &Line::setRinging);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_putOnHold(JNIEnv* env, jobject, jstring lineId) {
    postForLine(env, lineId, "putOnHold", &kbrphone::Phone::putOnHold);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_activate(JNIEnv* env, jobject, jstring lineId) {
    postForLine(env, lineId, "activate", &kbrphone::Phone::activate);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_blindTransfer(JNIEnv* env, jobject, jstring lineId,
                                                                         jstring target) {
    guardedVoid("blindTransfer", [&] {
        JPhone* p = phone("blindTransfer");
        if (!p)
            return;
        JavaUtfChars id(env, lineId), t(env, target);
        kbrphone::post(p, new kbrphone::LineAction1(p, id.get(), &Line::blindTransfer, t.get()));
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_transfer(JNIEnv* env, jobject, jstring lineId,
                                                                    jstring otherLineId) {
    guardedVoid("transfer", [&] {
        JPhone* p = phone("transfer");
        if (!p)
            return;
        JavaUtfChars id(env, lineId), other(env, otherLineId);
        kbrphone::post(p, new kbrphone::TransferLineAction(p, id.get(), other.get()));
    });
}

} // extern "C"
