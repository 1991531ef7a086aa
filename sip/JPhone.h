// The phone as the Java class nl.brimel.kbr.phone.jni.JPhone sees it.
#pragma once

#include "Phone.h"

#include <jni.h>

#include <atomic>

#include <streambuf>
#include <string>

// A stream buffer without a buffer of its own that forwards to target and drops carriage returns.
class FilterStreambuf : public std::basic_streambuf<char> {
public:
    explicit FilterStreambuf(std::basic_streambuf<char>* target_) : target(target_) {}

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    std::basic_streambuf<char>* target;
};

class JPhone : public kbrphone::Phone {
public:
    JPhone(std::unique_ptr<MediaManager> mediaManager, PhoneDeviceCreatorBase& creator);

    void registrationStateChanged(int state, const std::string& text) override;
    void lineStateChanged(kbrphone::Line* line, bool active) override;
    void buttonPressed(int code) override;
    void requestDialing(const std::string& number) override;
    void muteStateChanged(bool muted) override;

    // Becomes the loop thread: stores the thread's environment and object, starts the headset device and
    // runs the event loop. Returns only by an exception.
    void processEvents(JNIEnv* env, jobject javaObject);

    // The environment of the loop thread and the Java object; null until processEvents runs.
    JNIEnv* env = nullptr;
    jobject javaObject = nullptr;

private:
    void sendStatistics(kbrphone::Line* line);
};

// The one phone of the process; null until initialize.
extern std::atomic<JPhone*> phoneInstance;

namespace kbrphone {

// Text as JNI's modified UTF-8 for NewStringUTF: valid UTF-8 is kept (characters above U+FFFF become
// surrogate pairs), every byte that is not part of a valid sequence becomes '?'.
std::string toModifiedUtf8(const std::string& text);

// A Java string from engine text; throws kmt::JavaException "cannot create java string".
jstring newJavaString(JNIEnv* env, const std::string& text);

// Describes and clears a pending Java exception; true when there was one.
bool clearJavaException(JNIEnv* env);

} // namespace kbrphone
