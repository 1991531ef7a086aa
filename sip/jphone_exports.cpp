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

#include "ToneGenerator.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

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

// Sends a device list to Java's addDevice(target, name) on the calling thread: the device really used first
// and only once. A missing method ends the call silently; a failed call into Java ends the list.
void sendDeviceList(JNIEnv* env, jobject self, jobject target, std::vector<std::string> names,
                    const std::string& actual) {
    names.erase(std::remove(names.begin(), names.end(), actual), names.end());
    names.insert(names.begin(), actual);
    jclass cls = env->GetObjectClass(self);
    jmethodID addDevice = cls ? env->GetMethodID(cls, "addDevice", "(Ljava/lang/Object;Ljava/lang/String;)V")
                              : nullptr;
    if (!addDevice) {
        kbrphone::clearJavaException(env);
        return;
    }
    for (const std::string& name : names) {
        if (env->PushLocalFrame(16) != 0) {
            kbrphone::clearJavaException(env);
            return;
        }
        kmt::JavaLocalFrame frame(env);
        try {
            jstring jname = kbrphone::newJavaString(env, name);
            env->CallVoidMethod(self, addDevice, target, jname);
            if (kbrphone::clearJavaException(env))
                return;
        } catch (const kmt::JavaException&) {
            return;
        } catch (const std::exception& e) {
            std::cerr << "caught exception: " << e.what() << std::endl;
            return;
        }
    }
}

// The device list of one side: the manager's names without the lock, the device really used under it.
void deviceList(JNIEnv* env, jobject self, jobject target, bool input, const char* where) {
    guardedVoid(where, [&] {
        JPhone* p = phone(where);
        if (!p)
            return;
        MediaManager* manager = p->getMediaManager();
        if (!manager)
            return;
        std::vector<std::string> names = input ? manager->getInputDevices() : manager->getOutputDevices();
        const std::string actual = input ? p->getActualInputDevice() : p->getActualOutputDevice();
        sendDeviceList(env, self, target, std::move(names), actual);
    });
}

jstring javaStringOrNull(JNIEnv* env, const std::string& text) {
    return kbrphone::newJavaString(env, text);
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

// ---- audio, devices, levels, mute, keys, ringer and the twin line

JNIEXPORT jstring JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_createTwinLineId(JNIEnv* env, jobject, jstring name) {
    return guarded("createTwinLineId", jstring(nullptr), [&]() -> jstring {
        JPhone* p = phone("createTwinLineId");
        if (!p)
            return nullptr;
        JavaUtfChars n(env, name);
        Line* line = p->createTwinLine(n.get());
        return kbrphone::newJavaString(env, line->getLineId());
    });
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_isTwinActive(JNIEnv*, jobject) {
    JPhone* p = phone("isTwinActive");
    return p && p->isTwinActive() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_sendDtmf(JNIEnv*, jobject, jchar key) {
    guardedVoid("sendDtmf", [&] {
        if (JPhone* p = phone("sendDtmf"))
            p->sendDtmf(static_cast<char>(key & 0xFF));
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_setMute(JNIEnv*, jobject, jboolean muted) {
    guardedVoid("setMute", [&] {
        if (JPhone* p = phone("setMute"))
            p->setMute(muted != JNI_FALSE);
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_enableRinger(JNIEnv*, jobject, jboolean enabled) {
    if (JPhone* p = phone("enableRinger")) {
        std::lock_guard<std::recursive_mutex> guard(p->getLock());
        p->enableRinger(enabled != JNI_FALSE);
    }
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_isRIngerEnabled(JNIEnv*, jobject) {
    JPhone* p = phone("isRIngerEnabled");
    if (!p)
        return JNI_FALSE;
    std::lock_guard<std::recursive_mutex> guard(p->getLock());
    return p->isRingerEnabled() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_getAutoInputLevel(JNIEnv*, jobject) {
    JPhone* p = phone("getAutoInputLevel");
    return p && p->getAutoInputLevel() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_setAutoInputLevel(JNIEnv*, jobject, jboolean enabled) {
    guardedVoid("setAutoInputLevel", [&] {
        if (JPhone* p = phone("setAutoInputLevel"))
            p->setAutoInputLevel(enabled != JNI_FALSE);
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_setInputLevel(JNIEnv*, jobject, jdouble level) {
    guardedVoid("setInputLevel", [&] {
        if (JPhone* p = phone("setInputLevel"))
            p->setInputLevel(level);
    });
}

JNIEXPORT jdouble JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_getInputLevel(JNIEnv*, jobject) {
    return guarded("getInputLevel", jdouble(0), [&] {
        JPhone* p = phone("getInputLevel");
        return p ? jdouble(p->getInputLevel()) : jdouble(0);
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_setOutputLevel(JNIEnv*, jobject, jdouble level) {
    guardedVoid("setOutputLevel", [&] {
        if (JPhone* p = phone("setOutputLevel"))
            p->setOutputLevel(level);
    });
}

JNIEXPORT jdouble JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_getOutputLevel(JNIEnv*, jobject) {
    return guarded("getOutputLevel", jdouble(0), [&] {
        JPhone* p = phone("getOutputLevel");
        return p ? jdouble(p->getOutputLevel()) : jdouble(0);
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_setDevices(JNIEnv* env, jobject, jstring input,
                                                                      jstring output) {
    guardedVoid("setDevices", [&] {
        JPhone* p = phone("setDevices");
        if (!p)
            return;
        JavaUtfChars in(env, input), out(env, output);
        p->setDevices(input ? in.get() : nullptr, output ? out.get() : nullptr);
    });
}

JNIEXPORT jstring JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_getActualInputDevice(JNIEnv* env, jobject) {
    return guarded("getActualInputDevice", jstring(nullptr), [&]() -> jstring {
        JPhone* p = phone("getActualInputDevice");
        return p ? javaStringOrNull(env, p->getActualInputDevice()) : nullptr;
    });
}

JNIEXPORT jstring JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_getActualOutputDevice(JNIEnv* env, jobject) {
    return guarded("getActualOutputDevice", jstring(nullptr), [&]() -> jstring {
        JPhone* p = phone("getActualOutputDevice");
        return p ? javaStringOrNull(env, p->getActualOutputDevice()) : nullptr;
    });
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_getInputDevices(JNIEnv* env, jobject self,
                                                                           jobject target) {
    deviceList(env, self, target, true, "getInputDevices");
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_getOutputDevices(JNIEnv* env, jobject self,
                                                                            jobject target) {
    deviceList(env, self, target, false, "getOutputDevices");
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_phone_jni_JPhone_playIncomingLineSound(JNIEnv*, jobject) {
    guardedVoid("playIncomingLineSound", [&] {
        JPhone* p = phone("playIncomingLineSound");
        if (!p)
            return;
        p->setLocalSound(new kbrphone::IncomingLineSoundPlayer());
        std::printf("total %d samples\n", kbrphone::IncomingLineSoundPlayer::sampleCount);
        std::fflush(stdout);
    });
}

} // extern "C"
