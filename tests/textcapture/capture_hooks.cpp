// Test-only JNI library: drives the simulated pointer and the stand-in word-capture library, and
// calls the text-capture library's plain exports by their exported names.
#include "plat/cursor.h"
#include "plat/dl.h"

#include <jni.h>

#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

namespace {

void* wordCapture = nullptr;
void* textCapture = nullptr;

template <typename Fn> Fn driver(const char* name) {
    return wordCapture ? reinterpret_cast<Fn>(dlsym(wordCapture, name)) : nullptr;
}

std::u16string javaText(JNIEnv* env, jstring s) {
    if (!s) {
        return std::u16string();
    }
    const jsize length = env->GetStringLength(s);
    std::u16string out(static_cast<size_t>(length), u'\0');
    env->GetStringRegion(s, 0, length, reinterpret_cast<jchar*>(&out[0]));
    return out;
}

std::string javaUtf(JNIEnv* env, jstring s) {
    const char* chars = env->GetStringUTFChars(s, nullptr);
    std::string out = chars ? chars : "";
    if (chars) {
        env->ReleaseStringUTFChars(s, chars);
    }
    return out;
}

void fail(JNIEnv* env, const std::string& message) {
    jclass c = env->FindClass("java/lang/IllegalStateException");
    if (c) {
        env->ThrowNew(c, message.c_str());
    }
}

} // namespace

extern "C" {

// Makes the word-capture library present: the library search looks in folder first.
JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_useWordCaptureFolder(JNIEnv* env, jclass,
                                                                                          jstring folder) {
    const std::string path = javaUtf(env, folder);
    plat::SetDllDirectoryA(path.c_str());
    if (!wordCapture) {
        const std::string file = path + "/libwcapturex_x64.so";
        // Only the real stand-in has the driver; another library of that name is left alone.
        void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle && dlsym(handle, "wcx_driver_reset")) {
            wordCapture = handle;
        } else if (handle) {
            dlclose(handle);
        }
    }
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_bindTextCapture(JNIEnv* env, jclass, jstring path) {
    textCapture = dlopen(javaUtf(env, path).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!textCapture) {
        fail(env, "text-capture library not loaded");
    }
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_setCursor(JNIEnv*, jclass, jint x, jint y) {
    plat::testing::setCursorPos(x, y);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_setCursorFails(JNIEnv*, jclass, jboolean fails) {
    plat::testing::setCursorPosFails(fails == JNI_TRUE);
}

JNIEXPORT jstring JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_cursorBackend(JNIEnv* env, jclass) {
    return env->NewStringUTF(plat::testing::cursorBackend());
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_reset(JNIEnv* env, jclass) {
    auto fn = driver<void (*)()>("wcx_driver_reset");
    if (!fn) {
        return fail(env, "no word-capture driver");
    }
    fn();
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_setText(JNIEnv* env, jclass, jint x, jint y,
                                                                             jstring before, jstring word, jstring after,
                                                                             jint offset, jstring widened) {
    auto fn = driver<void (*)(int, int, const char16_t*, const char16_t*, const char16_t*, int, const char16_t*)>(
        "wcx_driver_setText");
    if (!fn) {
        return fail(env, "no word-capture driver");
    }
    const std::u16string b = javaText(env, before), w = javaText(env, word), a = javaText(env, after),
                         f = javaText(env, widened);
    fn(x, y, b.c_str(), w.c_str(), a.c_str(), offset, f.c_str());
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_setPointResult(JNIEnv* env, jclass, jint hr) {
    auto fn = driver<void (*)(int32_t)>("wcx_driver_setPointResult");
    if (!fn) {
        return fail(env, "no word-capture driver");
    }
    fn(hr);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_setFailure(JNIEnv* env, jclass, jstring what,
                                                                                jint hr, jint slot) {
    auto fn = driver<void (*)(const char*, int32_t, int)>("wcx_driver_setFailure");
    if (!fn) {
        return fail(env, "no word-capture driver");
    }
    fn(javaUtf(env, what).c_str(), hr, slot);
}

JNIEXPORT jint JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_liveObjects(JNIEnv* env, jclass) {
    auto fn = driver<int (*)()>("wcx_driver_liveObjects");
    return fn ? fn() : -1;
}

JNIEXPORT jint JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_captureCount(JNIEnv* env, jclass) {
    auto fn = driver<int (*)()>("wcx_driver_captureCount");
    return fn ? fn() : -1;
}

JNIEXPORT jintArray JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_lastInput(JNIEnv* env, jclass) {
    auto fn = driver<void (*)(int32_t*)>("wcx_driver_lastInput");
    int32_t values[8] = {};
    if (fn) {
        fn(values);
    }
    jintArray out = env->NewIntArray(8);
    if (out) {
        env->SetIntArrayRegion(out, 0, 8, reinterpret_cast<const jint*>(values));
    }
    return out;
}

// Calls nextString(char*, uint64_t) by its exported name with a buffer of size bytes followed by
// guard bytes; copies the whole buffer, guard included, into out (size + 16 bytes).
JNIEXPORT jlong JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_nextString(JNIEnv* env, jclass, jbyteArray out,
                                                                                 jint size) {
    auto fn = textCapture ? reinterpret_cast<uint64_t (*)(char*, uint64_t)>(dlsym(textCapture, "_Z10nextStringPcm"))
                          : nullptr;
    if (!fn) {
        fail(env, "no export _Z10nextStringPcm");
        return -1;
    }
    std::vector<char> buffer(static_cast<size_t>(size) + 16, 0x7F);
    const uint64_t taken = fn(size > 0 ? buffer.data() : buffer.data(), static_cast<uint64_t>(size));
    env->SetByteArrayRegion(out, 0, static_cast<jsize>(buffer.size()), reinterpret_cast<const jbyte*>(buffer.data()));
    return static_cast<jlong>(taken);
}

JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_CaptureDriver_plainStopCapture(JNIEnv* env, jclass) {
    auto fn = textCapture ? reinterpret_cast<void (*)()>(dlsym(textCapture, "_Z11stopCapturev")) : nullptr;
    if (!fn) {
        return fail(env, "no export _Z11stopCapturev");
    }
    fn();
}

} // extern "C"
