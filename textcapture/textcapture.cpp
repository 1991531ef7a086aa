// Text under the resting mouse pointer, through the word-capture library's engine.
#include "textcapture/textcapture.h"

#include "kmt/jnitext.h"
#include "plat/com.h"
#include "plat/cursor.h"
#include "plat/dl.h"
#include "plat/text.h"
#include "plat/time.h"
#include "wcapturex.h"

#include <jni.h>

#include <chrono>
#include <climits>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

using wcapturex::IWCaptureResult;
using wcapturex::IWCaptureX;
using wcapturex::IWInput;

namespace {

// A failed HRESULT from the word-capture library. Deliberately not a std::exception: callers
// report it apart from the other failures.
struct ComError {
    plat::HRESULT hr;
};

void check(plat::HRESULT hr) {
    if (plat::FAILED(hr)) {
        throw ComError{hr};
    }
}

// Releases an interface when it goes out of scope.
template <typename T> class Released {
public:
    explicit Released(T* object = nullptr) : object_(object) {}
    ~Released() {
        if (object_) {
            object_->Release();
        }
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    T* get() const { return object_; }
    T** out() { return &object_; }

private:
    T* object_;
};

// Frees a string of the library when it goes out of scope.
class FreedString {
public:
    ~FreedString() { wcapturex::freeString(text_); }
    wcapturex::BSTR* out() { return &text_; }
    std::u16string value() const { return std::u16string(text_ ? text_ : u"", wcapturex::stringLength(text_)); }

private:
    wcapturex::BSTR text_ = nullptr;
};

struct CaptureRecord {
    std::u16string text;
    std::u16string fallbackText;
    int offset = 0;
    int x = 0;
    int y = 0;
};

struct CaptureStep {
    int flag = 0;
    CaptureRecord record;
};

constexpr int restDelayMs = 800;
constexpr int declinedPauseMs = 5000;

// Guards the engine and the stop flag; a capture step holds it throughout.
std::recursive_mutex captureLock;
bool stopFlag = false;
IWCaptureX* engine = nullptr;
wcapturex::CreateCOMObjectProc createCOMObject = nullptr;
// Shared by the capture calls, of which only one runs at a time.
CaptureRecord lastCapture;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool stopRequested() {
    std::lock_guard<std::recursive_mutex> guard(captureLock);
    return stopFlag;
}

void loadCaptureEngine() {
    if (engine) {
        return;
    }
    if (!createCOMObject) {
        plat::HMODULE library = plat::LoadLibraryA("wcapturex_x64.dll");
        if (!library) {
            throw std::runtime_error("failed to load wcapturex_x64.dll");
        }
        auto entry = reinterpret_cast<wcapturex::CreateCOMObjectProc>(plat::GetProcAddress(library, "CreateCOMObject"));
        if (!entry) {
            plat::FreeLibrary(library);
            throw std::runtime_error("Invalid WordCapture library");
        }
        createCOMObject = entry; // the library stays loaded from now on
    }
    void* created = nullptr;
    if (createCOMObject(&wcapturex::CLSID_WCaptureX, &wcapturex::IID_IWCaptureX, &created) != 0 || !created) {
        throw std::runtime_error("WCaptureX object creation failed");
    }
    engine = static_cast<IWCaptureX*>(created);
}

void stopCaptureEngine() {
    std::lock_guard<std::recursive_mutex> guard(captureLock);
    stopFlag = true;
    if (engine) {
        check(engine->stop());
        engine->Release();
        engine = nullptr;
    }
}

IWInput* createCaptureInput(plat::LONG value, plat::LONG x, plat::LONG y) {
    void* created = nullptr;
    if (createCOMObject(&wcapturex::CLSID_WInput, &wcapturex::IID_IWInput, &created) != 0 || !created) {
        throw std::runtime_error("WInput object creation failed");
    }
    auto* input = static_cast<IWInput*>(created);
    try {
        check(input->putValue(value));
        check(input->putX(x));
        check(input->putY(y));
        check(input->putX2(x));
        check(input->putY2(y));
        check(input->putOptions(2));
        check(input->putMode(7));
        check(input->putScope(7));
    } catch (...) {
        input->Release();
        throw;
    }
    return input;
}

size_t readCaptureResult(IWCaptureResult* result, bool fallback, CaptureRecord& record) {
    if (!result) {
        return 0;
    }
    plat::LONG offset = 0;
    check(result->getOffset(&offset));
    std::u16string text;
    FreedString before, word, after;
    check(result->getBefore(before.out()));
    if (!before.value().empty()) {
        text = before.value();
        offset = static_cast<plat::LONG>(static_cast<int64_t>(offset) + static_cast<int64_t>(text.size()) > INT_MAX
                                             ? INT_MAX
                                             : offset + static_cast<plat::LONG>(text.size()));
    }
    check(result->getWord(word.out()));
    text += word.value();
    check(result->getAfter(after.out()));
    text += after.value();
    record.offset = offset;
    (fallback ? record.fallbackText : record.text) = text;
    return text.size();
}

CaptureStep captureAtCursor() {
    std::lock_guard<std::recursive_mutex> guard(captureLock);
    CaptureStep step;
    if (stopFlag || !engine) {
        return step;
    }
    plat::LONG value = 0, x = 0, y = 0;
    const plat::HRESULT hr = engine->queryPoint(&value, &x, &y);
    check(hr);
    if (hr != plat::S_OK) {
        return step;
    }
    step.record.x = x;
    step.record.y = y;
    Released<IWInput> input(createCaptureInput(value, x, y));
    try {
        Released<IWCaptureResult> first;
        check(engine->capture(input.get(), first.out()));
        readCaptureResult(first.get(), false, step.record);
        if (step.record.text.empty()) {
            plat::LONG options = 0;
            check(input.get()->getOptions(&options));
            check(input.get()->putOptions(options | wcapturex::kOptionWiden));
            Released<IWCaptureResult> second;
            check(engine->capture(input.get(), second.out()));
            readCaptureResult(second.get(), true, step.record);
        }
    } catch (const std::exception& e) {
        std::cerr << "caught exception " << e.what() << std::endl;
    }
    step.flag = 1;
    return step;
}

// True when the pointer has left the last capture point and then stayed put, or on stop; false
// when the pointer cannot be read.
bool waitForMouseRest() {
    plat::POINT reference{lastCapture.x, lastCapture.y};
    bool moved = false;
    int count = 5;
    for (;;) {
        if (stopRequested()) {
            return true;
        }
        plat::POINT now{};
        if (!plat::GetCursorPos(&now)) {
            return false;
        }
        if (now.x != reference.x || now.y != reference.y) {
            reference = now;
            moved = true;
            count = 5;
        } else if (moved) {
            if (count == 1) {
                return true;
            }
            --count;
        }
        sleepMs(restDelayMs / 5);
    }
}

CaptureRecord waitForNewCapture() {
    const CaptureRecord reference = lastCapture;
    int captured = 0;
    for (;;) {
        if (lastCapture.offset != reference.offset || lastCapture.text != reference.text ||
            lastCapture.fallbackText != reference.fallbackText) {
            break;
        }
        if (stopRequested()) {
            break;
        }
        if (waitForMouseRest()) {
            const CaptureStep step = captureAtCursor();
            captured = step.flag;
            lastCapture = step.record;
        } else {
            lastCapture = CaptureRecord();
        }
        if (captured == 0) {
            sleepMs(declinedPauseMs);
        }
    }
    return lastCapture;
}

// Capture calls need a started engine; after a stop they return the last capture at once.
bool captureUsable() {
    std::lock_guard<std::recursive_mutex> guard(captureLock);
    return engine != nullptr || stopFlag;
}

void throwRuntimeException(JNIEnv* env, const std::string& message) {
    if (env->ExceptionCheck()) {
        return; // the pending one says more
    }
    jclass runtimeException = env->FindClass("java/lang/RuntimeException");
    if (runtimeException) {
        env->ThrowNew(runtimeException, kmt::toModifiedUtf8(message).c_str());
        env->DeleteLocalRef(runtimeException);
    }
}

jstring newString(JNIEnv* env, const std::u16string& text) {
    static_assert(sizeof(jchar) == sizeof(char16_t), "UTF-16 units");
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        throw std::runtime_error("text too long");
    }
    return env->NewString(reinterpret_cast<const jchar*>(text.c_str()), static_cast<jsize>(text.size()));
}

jobjectArray captureArray(JNIEnv* env) {
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) {
        return nullptr;
    }
    if (!captureUsable()) {
        throw std::runtime_error("text capture not started");
    }
    const CaptureRecord capture = waitForNewCapture();
    jstring empty = env->NewStringUTF("");
    if (!empty) {
        return nullptr;
    }
    jobjectArray array = env->NewObjectArray(5, stringClass, empty);
    if (!array) {
        return nullptr;
    }
    const jstring elements[5] = {newString(env, capture.text), newString(env, capture.fallbackText),
                                 env->NewStringUTF(std::to_string(capture.offset).c_str()),
                                 env->NewStringUTF(std::to_string(capture.x).c_str()),
                                 env->NewStringUTF(std::to_string(capture.y).c_str())};
    for (jsize i = 0; i < 5; ++i) {
        if (!elements[i]) {
            return nullptr; // out of memory: the exception is pending
        }
        env->SetObjectArrayElement(array, i, elements[i]);
        env->DeleteLocalRef(elements[i]);
    }
    env->DeleteLocalRef(empty);
    env->DeleteLocalRef(stringClass);
    return array;
}

// How many of the first units of text, taken whole (a surrogate pair stays together), fit in
// room bytes of the ANSI code page.
size_t unitsThatFit(const std::u16string& text, size_t maxUnits, size_t room) {
    size_t units = 0;
    size_t bytes = 0;
    while (units < maxUnits) {
        size_t step = 1;
        const char16_t c = text[units];
        if (c >= 0xD800 && c <= 0xDBFF && units + 1 < text.size() && text[units + 1] >= 0xDC00 &&
            text[units + 1] <= 0xDFFF) {
            step = 2;
        }
        if (units + step > maxUnits) {
            break;
        }
        const int need = plat::WideCharToMultiByte(plat::CP_ACP, 0, reinterpret_cast<const plat::WCHAR*>(&text[units]),
                                                   static_cast<int>(step), nullptr, 0, nullptr, nullptr);
        if (need <= 0 || bytes + static_cast<size_t>(need) > room) {
            break;
        }
        bytes += static_cast<size_t>(need);
        units += step;
    }
    return units;
}

uint64_t copyText(char* buffer, uint64_t size) {
    buffer[0] = 0;
    if (!captureUsable()) {
        return 0;
    }
    const CaptureRecord capture = waitForNewCapture();
    const uint64_t room = size - 1;
    const size_t maxUnits = static_cast<size_t>(std::min<uint64_t>(capture.text.size(), room));
    const size_t units = unitsThatFit(capture.text, maxUnits, static_cast<size_t>(std::min<uint64_t>(room, INT_MAX)));
    int written = 0;
    if (units > 0) {
        written = plat::WideCharToMultiByte(plat::CP_ACP, 0, reinterpret_cast<const plat::WCHAR*>(capture.text.data()),
                                            static_cast<int>(units), buffer, static_cast<int>(std::min<uint64_t>(room, INT_MAX)),
                                            nullptr, nullptr);
    }
    buffer[written > 0 ? written : 0] = 0;
    return written > 0 ? units : 0;
}

} // namespace

extern "C" JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_startCapture(JNIEnv* env, jobject) {
    plat::CoInitialize(nullptr);
    try {
        std::lock_guard<std::recursive_mutex> guard(captureLock);
        loadCaptureEngine();
        stopFlag = false;
    } catch (const std::exception& e) {
        throwRuntimeException(env, e.what());
    } catch (...) {
        throwRuntimeException(env, "Exception in capture text");
    }
}

extern "C" JNIEXPORT void JNICALL Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_stopCapture(JNIEnv* env, jobject) {
    try {
        stopCaptureEngine();
    } catch (const std::exception& e) {
        throwRuntimeException(env, e.what());
    } catch (...) {
        throwRuntimeException(env, "Exception in capture text");
    }
}

extern "C" JNIEXPORT jobjectArray JNICALL
Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_captureTextUnderMouse(JNIEnv* env, jobject) {
    try {
        return captureArray(env);
    } catch (const ComError& e) {
        throwRuntimeException(env, "COM error: " + std::to_string(e.hr));
    } catch (const std::exception& e) {
        throwRuntimeException(env, e.what());
    } catch (...) {
        throwRuntimeException(env, "Exception in capture text");
    }
    return nullptr;
}

// The plain exports are called from code that cannot take a C++ exception: a failure is reported
// on the standard error and leaves an empty text.
JNIEXPORT uint64_t nextString(char* buffer, uint64_t size) {
    if (!buffer || size == 0) {
        return 0;
    }
    try {
        return copyText(buffer, size);
    } catch (const ComError& e) {
        std::cerr << "caught exception COM error: " << e.hr << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "caught exception " << e.what() << std::endl;
    }
    buffer[0] = 0;
    return 0;
}

JNIEXPORT void stopCapture() {
    try {
        stopCaptureEngine();
    } catch (const ComError& e) {
        std::cerr << "caught exception COM error: " << e.hr << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "caught exception " << e.what() << std::endl;
    }
}
