#include "JPhone.h"

#include "CallStatistics.h"
#include "kmt/exceptions.h"
#include "kmt/jniguard.h"
#include "kmt/log.h"

#include <iostream>

std::atomic<JPhone*> phoneInstance{nullptr};

// ---- FilterStreambuf

FilterStreambuf::int_type FilterStreambuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    if (traits_type::to_char_type(c) == '\r')
        return c;
    return target->sputc(traits_type::to_char_type(c));
}

int FilterStreambuf::sync() {
    return target->pubsync();
}

// ---- text and exceptions at the Java boundary

namespace kbrphone {

namespace {

bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

void appendThreeBytes(std::string& out, uint32_t unit) {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
}

// Length of the valid UTF-8 sequence at text[i] (1 to 4), or 0 when the bytes there are not one.
size_t sequenceLength(const std::string& text, size_t i) {
    const size_t rest = text.size() - i;
    const unsigned char b0 = static_cast<unsigned char>(text[i]);
    auto at = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    if (b0 < 0x80)
        return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF)
        return rest >= 2 && isContinuation(at(1)) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (rest < 3 || !isContinuation(at(1)) || !isContinuation(at(2)))
            return 0;
        if (b0 == 0xE0 && at(1) < 0xA0)
            return 0; // overlong
        if (b0 == 0xED && at(1) >= 0xA0)
            return 0; // a surrogate on its own
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (rest < 4 || !isContinuation(at(1)) || !isContinuation(at(2)) || !isContinuation(at(3)))
            return 0;
        if ((b0 == 0xF0 && at(1) < 0x90) || (b0 == 0xF4 && at(1) >= 0x90))
            return 0; // overlong or above U+10FFFF
        return 4;
    }
    return 0;
}

} // namespace

std::string toModifiedUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t length = sequenceLength(text, i);
        if (length == 0) {
            out += '?';
            ++i;
        } else if (length == 1 && text[i] == '\0') {
            out += "\xC0\x80";
            ++i;
        } else if (length == 4) {
            auto at = [&](size_t k) {
                return static_cast<uint32_t>(static_cast<unsigned char>(text[i + k]));
            };
            const uint32_t code =
                ((at(0) & 0x07) << 18 | (at(1) & 0x3F) << 12 | (at(2) & 0x3F) << 6 | (at(3) & 0x3F)) -
                0x10000;
            appendThreeBytes(out, 0xD800 | (code >> 10));
            appendThreeBytes(out, 0xDC00 | (code & 0x3FF));
            i += 4;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

bool clearJavaException(JNIEnv* env) {
    if (!env->ExceptionCheck())
        return false;
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

jstring newJavaString(JNIEnv* env, const std::string& text) {
    jstring s = env->NewStringUTF(toModifiedUtf8(text).c_str());
    if (!s) {
        clearJavaException(env);
        throw kmt::JavaException("cannot create java string");
    }
    return s;
}

} // namespace kbrphone

// ---- JPhone

namespace {

enum class JavaErrorText { plain, withText };

jmethodID lookUpMethod(JNIEnv* env, jobject object, const char* name, const char* signature) {
    jclass cls = env->GetObjectClass(object);
    jmethodID id = cls ? env->GetMethodID(cls, name, signature) : nullptr;
    if (!id) {
        kbrphone::clearJavaException(env);
        throw kmt::JavaException("method not found");
    }
    return id;
}

// One call into Java on the loop thread: a local frame of 16 around the strings, the method lookup and the
// call. Nothing escapes: failures are reported on std::cerr, and a Java exception is described and cleared
// so that the next call finds a clean environment.
template <class Body> void callJava(JNIEnv* env, const char* method, JavaErrorText errorText, Body&& body) {
    if (!env) {
        KMT_LOG(kmt::logJphone, 1) << "no Java event thread yet: " << method << " not delivered";
        return;
    }
    try {
        if (env->PushLocalFrame(16) != 0) {
            kbrphone::clearJavaException(env);
            throw kmt::JavaException("PushLocalFrame failed");
        }
        kmt::JavaLocalFrame frame(env);
        body(env);
        if (kbrphone::clearJavaException(env)) {
            KMT_LOG(kmt::logJphone, 1) << "java exception in " << method << " cleared";
        }
    } catch (const kmt::JavaException& e) {
        kbrphone::clearJavaException(env);
        if (errorText == JavaErrorText::withText)
            std::cerr << "ignoring java exception:" << e.what() << std::endl;
        else
            std::cerr << "ignoring java exception" << std::endl;
    } catch (const std::exception& e) {
        kbrphone::clearJavaException(env);
        std::cerr << "caught exception: " << e.what() << std::endl;
    }
}

} // namespace

using kbrphone::newJavaString;

JPhone::JPhone(std::unique_ptr<MediaManager> mediaManager, PhoneDeviceCreatorBase& creator)
    : kbrphone::Phone(std::move(mediaManager), creator) {}

void JPhone::processEvents(JNIEnv* env_, jobject javaObject_) {
    env = env_;
    javaObject = javaObject_;
    if (PhoneDeviceInterface* device = getPhoneDevice())
        device->start();
    if (kbrphone::Protocol* protocol = getProtocol()) {
        protocol->processEvents();
    } else {
        KMT_LOG(kmt::logJphone, 1) << "no signalling protocol installed: running the event loop without one";
        run();
    }
}

void JPhone::registrationStateChanged(int state, const std::string& text) {
    callJava(env, "registrationStateChanged", JavaErrorText::withText, [&](JNIEnv* e) {
        jstring jtext = newJavaString(e, text);
        jmethodID method = lookUpMethod(e, javaObject, "registrationStateChanged", "(ILjava/lang/String;)V");
        e->CallVoidMethod(javaObject, method, jint(state), jtext);
    });
}

void JPhone::sendStatistics(kbrphone::Line* line) {
    rtp::RTPSession* session = line->rtpSession();
    if (!session)
        return;
    try {
        const kbrphone::CallStatistics s = kbrphone::readCallStatistics(*session);
        callJava(env, "addLocalStatistics", JavaErrorText::plain, [&](JNIEnv* e) {
            jstring id = newJavaString(e, line->getLineId());
            jstring what = newJavaString(e, "local received");
            jmethodID method = lookUpMethod(e, javaObject, "addLocalStatistics",
                                            "(Ljava/lang/String;ZLjava/lang/String;IIIIIIIIII)V");
            e->CallVoidMethod(javaObject, method, id, jboolean(line->isInitiator()), what,
                              static_cast<jint>(s.remoteSsrc), jint(s.expected), jint(s.lost), jint(s.late80),
                              jint(s.late160), jint(s.late240), jint(s.jitter), jint(0), jint(0), jint(0));
        });
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logJphone, 1) << "caught exception in setLineStatistics: " << e.what();
    }
}

void JPhone::lineStateChanged(kbrphone::Line* line, bool active) {
    const int state = line->getState();
    if (state == kbrphone::lineEnded)
        sendStatistics(line);
    callJava(env, "lineStateChanged", JavaErrorText::plain, [&](JNIEnv* e) {
        jstring id = newJavaString(e, line->getLineId());
        jstring name = newJavaString(e, line->getName());
        jstring localName = newJavaString(e, line->localName());
        jstring localUri = newJavaString(e, line->localUri());
        jstring calledUri = newJavaString(e, line->calledUri());
        jstring remoteName = newJavaString(e, line->remoteName());
        jstring remoteUri = newJavaString(e, line->remoteUri());
        const jboolean internal = line->isInternal();
        const jint wrapUp = line->wrapUpTime();
        jmethodID method =
            lookUpMethod(e, javaObject, "lineStateChanged",
                         "(Ljava/lang/String;Ljava/lang/String;IZZLjava/lang/String;Ljava/lang/String;"
                         "Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;I)V");
        const jint reported = state == kbrphone::lineFailedOther ? kbrphone::lineBusy : state;
        e->CallVoidMethod(javaObject, method, id, name, reported, jboolean(active), internal, localName,
                          localUri, calledUri, remoteName, remoteUri, wrapUp);
    });
}

void JPhone::buttonPressed(int code) {
    callJava(env, "buttonPressed", JavaErrorText::plain, [&](JNIEnv* e) {
        jmethodID method = lookUpMethod(e, javaObject, "buttonPressed", "(I)V");
        e->CallVoidMethod(javaObject, method, jint(code));
    });
}

void JPhone::requestDialing(const std::string& number) {
    callJava(env, "requestDialing", JavaErrorText::plain, [&](JNIEnv* e) {
        jstring jnumber = newJavaString(e, number);
        jmethodID method = lookUpMethod(e, javaObject, "requestDialing", "(Ljava/lang/String;)V");
        e->CallVoidMethod(javaObject, method, jnumber);
    });
}

void JPhone::muteStateChanged(bool muted) {
    callJava(env, "muteStateChanged", JavaErrorText::plain, [&](JNIEnv* e) {
        jmethodID method = lookUpMethod(e, javaObject, "muteStateChanged", "(Z)V");
        e->CallVoidMethod(javaObject, method, jboolean(muted));
    });
}
