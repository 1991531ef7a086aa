// Scope guards for JNI strings and local frames.
#pragma once

#include "kmt/exceptions.h"

#include <jni.h>

namespace kmt {

// Releases the UTF-8 characters of a Java string when non-null.
struct JavaUtfChars {
    JavaUtfChars(JNIEnv* env_, jstring string_) : env(env_), string(string_), chars(nullptr) {}
    ~JavaUtfChars() {
        if (chars)
            env->ReleaseStringUTFChars(string, chars);
    }
    JavaUtfChars(const JavaUtfChars&) = delete;
    JavaUtfChars& operator=(const JavaUtfChars&) = delete;

    // Obtains the characters; throws "cannt create utf8 string" when Java gives none.
    const char* get() {
        if (!chars) {
            chars = string ? env->GetStringUTFChars(string, nullptr) : nullptr;
            if (!chars)
                throw JavaException("cannt create utf8 string");
        }
        return chars;
    }

    JNIEnv* env;
    jstring string;
    const char* chars;
};

// Pops the local frame that a successful PushLocalFrame(16) opened.
struct JavaLocalFrame {
    explicit JavaLocalFrame(JNIEnv* env_) : env(env_) {}
    ~JavaLocalFrame() { env->PopLocalFrame(nullptr); }
    JavaLocalFrame(const JavaLocalFrame&) = delete;
    JavaLocalFrame& operator=(const JavaLocalFrame&) = delete;

    // Pushes a frame of 16 and returns the guard; throws "PushLocalFrame failed".
    static void push(JNIEnv* env) {
        if (env->PushLocalFrame(16) != 0)
            throw JavaException("PushLocalFrame failed");
    }

    JNIEnv* env;
};

// A Java string from UTF-8; throws "cannot create java string".
inline jstring newJavaString(JNIEnv* env, const char* text) {
    jstring s = env->NewStringUTF(text);
    if (!s)
        throw JavaException("cannot create java string");
    return s;
}

inline jmethodID methodId(JNIEnv* env, jclass cls, const char* name, const char* signature) {
    jmethodID id = env->GetMethodID(cls, name, signature);
    if (!id)
        throw JavaException("method not found");
    return id;
}

} // namespace kmt
