// The text-capture library in process (so the sanitizers see it), over the stand-in word-capture
// library and the simulated pointer, with a small JNI environment that records what the library
// hands to Java.
#include "plat/cursor.h"
#include "plat/dl.h"
#include "textcapture/textcapture.h"

#include <gtest/gtest.h>
#include <jni.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <future>
#include <string>
#include <vector>

extern "C" {
void Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_startCapture(JNIEnv*, jobject);
void Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_stopCapture(JNIEnv*, jobject);
jobjectArray Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_captureTextUnderMouse(JNIEnv*, jobject);
}

namespace {

// Java objects of the recording environment.
struct FakeObject {
    std::u16string text;               // a string
    std::vector<FakeObject*> elements; // an array
};

// The JNI calls the library makes, recorded. One environment per test.
struct RecordingEnv {
    JNINativeInterface_ table{};
    JNIEnv env{};
    std::deque<FakeObject> objects;
    std::string thrownClass;
    std::string thrownMessage;
    char classToken = 0;

    static RecordingEnv& of(JNIEnv* env) { return *reinterpret_cast<RecordingEnv*>(reinterpret_cast<char*>(env) - offsetof(RecordingEnv, env)); }

    RecordingEnv() {
        table.FindClass = [](JNIEnv* e, const char*) -> jclass { return reinterpret_cast<jclass>(&of(e).classToken); };
        table.ThrowNew = [](JNIEnv* e, jclass, const char* message) -> jint {
            of(e).thrownClass = "java/lang/RuntimeException";
            of(e).thrownMessage = message;
            return 0;
        };
        table.ExceptionCheck = [](JNIEnv* e) -> jboolean { return of(e).thrownClass.empty() ? JNI_FALSE : JNI_TRUE; };
        table.DeleteLocalRef = [](JNIEnv*, jobject) {};
        table.NewString = [](JNIEnv* e, const jchar* chars, jsize length) -> jstring {
            of(e).objects.push_back(FakeObject{std::u16string(reinterpret_cast<const char16_t*>(chars), size_t(length)), {}});
            return reinterpret_cast<jstring>(&of(e).objects.back());
        };
        table.NewStringUTF = [](JNIEnv* e, const char* utf) -> jstring {
            std::u16string text;
            for (const char* p = utf; *p; ++p) {
                text += char16_t(static_cast<unsigned char>(*p)); // the library gives ASCII digits here
            }
            of(e).objects.push_back(FakeObject{text, {}});
            return reinterpret_cast<jstring>(&of(e).objects.back());
        };
        table.NewObjectArray = [](JNIEnv* e, jsize length, jclass, jobject init) -> jobjectArray {
            of(e).objects.push_back(FakeObject{u"", std::vector<FakeObject*>(size_t(length), reinterpret_cast<FakeObject*>(init))});
            return reinterpret_cast<jobjectArray>(&of(e).objects.back());
        };
        table.SetObjectArrayElement = [](JNIEnv*, jobjectArray array, jsize index, jobject value) {
            reinterpret_cast<FakeObject*>(array)->elements.at(size_t(index)) = reinterpret_cast<FakeObject*>(value);
        };
        env.functions = &table;
    }
    RecordingEnv(const RecordingEnv&) = delete;
};

std::vector<std::u16string> texts(jobjectArray array) {
    std::vector<std::u16string> out;
    if (array) {
        for (FakeObject* o : reinterpret_cast<FakeObject*>(array)->elements) {
            out.push_back(o ? o->text : u"<null>");
        }
    }
    return out;
}

// The stand-in's driver, bound from the same file the library loads.
struct Driver {
    void (*reset)();
    void (*setText)(int, int, const char16_t*, const char16_t*, const char16_t*, int, const char16_t*);
    void (*setPointResult)(int32_t);
    int (*liveObjects)();
};

Driver& driver() {
    static Driver d = [] {
        plat::SetDllDirectoryA(WORDCAPTURE_DIR);
        void* lib = dlopen(WORDCAPTURE_DIR "/libwcapturex_x64.so", RTLD_NOW);
        EXPECT_NE(nullptr, lib) << dlerror();
        Driver out{};
        out.reset = reinterpret_cast<void (*)()>(dlsym(lib, "wcx_driver_reset"));
        out.setText = reinterpret_cast<decltype(out.setText)>(dlsym(lib, "wcx_driver_setText"));
        out.setPointResult = reinterpret_cast<void (*)(int32_t)>(dlsym(lib, "wcx_driver_setPointResult"));
        out.liveObjects = reinterpret_cast<int (*)()>(dlsym(lib, "wcx_driver_liveObjects"));
        return out;
    }();
    return d;
}

int nextX = 1000;

// Places text at a new point and moves the pointer there.
void pointAt(const char16_t* before, const char16_t* word, const char16_t* after, int offset, const char16_t* widened) {
    nextX += 7;
    driver().setText(nextX, 20, before, word, after, offset, widened);
    plat::testing::setCursorPos(nextX, 20);
}

// Each test starts the capture and stops it again: a stop lasts until the next start, so a test
// run after one that stopped would otherwise find every capture call returning at once.
class TextCapture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("KBR_POINTER", "sim", 1);
        driver(); // makes the word-capture library present
    }
    void SetUp() override {
        RecordingEnv e;
        Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_startCapture(&e.env, nullptr);
        ASSERT_EQ("", e.thrownMessage);
        ASSERT_EQ(1, driver().liveObjects());
    }
    void TearDown() override {
        stopCapture();
        EXPECT_EQ(0, driver().liveObjects());
        driver().reset();
    }
};

TEST_F(TextCapture, ArrayOfTextFallbackOffsetAndPoint) {
    struct Case {
        const char16_t *before, *word, *after;
        int offset;
        const char16_t* widened;
        std::vector<std::u16string> expected; // without x and y
    } cases[] = {
        {u"tel ", u"0201234567", u"!", 1, u"", {u"tel 0201234567!", u"", u"5"}},
        {u"", u"", u"", 2, u"wide 123", {u"", u"wide 123", u"2"}},
        {u"\xD800", u"x", u"", 0, u"", {u"\xD800x", u"", u"1"}},
    };
    for (const Case& c : cases) {
        pointAt(c.before, c.word, c.after, c.offset, c.widened);
        RecordingEnv e;
        const auto result = texts(Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_captureTextUnderMouse(&e.env, nullptr));
        std::vector<std::u16string> expected = c.expected;
        const std::string x = std::to_string(nextX);
        expected.push_back(std::u16string(x.begin(), x.end()));
        expected.push_back(u"20");
        EXPECT_EQ(expected, result);
        EXPECT_EQ("", e.thrownMessage);
    }
    EXPECT_EQ(1, driver().liveObjects());
}

TEST_F(TextCapture, ComErrorBecomesRuntimeException) {
    driver().setPointResult(static_cast<int32_t>(0x80004005u));
    pointAt(u"", u"unseen", u"", 0, u"");
    RecordingEnv e;
    EXPECT_EQ(nullptr, Java_nl_brimel_kbr_ui_core_phone_PhoneNumberCatcher_captureTextUnderMouse(&e.env, nullptr));
    EXPECT_EQ("java/lang/RuntimeException", e.thrownClass);
    EXPECT_EQ("COM error: -2147467259", e.thrownMessage);
}

// nextString writes whole characters within the buffer and never past it.
TEST_F(TextCapture, NextStringStaysInsideTheBuffer) {
    struct Case {
        const char16_t* text;
        uint64_t size;
        uint64_t taken;
        std::string bytes;
    } cases[] = {
        {u"0123456789", 4, 3, "012"},
        {u"\u00e9\u00e9\u00e9", 4, 1, "\xC3\xA9"},
        {u"a\U0001F600", 5, 1, "a"},
        {u"b\U0001F600", 6, 3, "b\xF0\x9F\x98\x80"},
        {u"plain", 64, 5, "plain"},
        {u"q", 1, 0, ""},
    };
    for (const Case& c : cases) {
        pointAt(u"", c.text, u"", 0, u"");
        // Exactly size bytes on the heap, so a write past them is caught by the sanitizer too.
        std::vector<char> buffer(c.size, '#');
        EXPECT_EQ(c.taken, nextString(buffer.data(), c.size));
        EXPECT_EQ(c.bytes, std::string(buffer.data()));
    }
    char untouched = '#';
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, nextString(&untouched, 0));
    EXPECT_EQ('#', untouched);
    EXPECT_EQ(0u, nextString(nullptr, 16));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

// Stops the engine under a waiting capture.
TEST_F(TextCapture, StopEndsAWaitingCapture) {
    pointAt(u"", u"before stop", u"", 0, u"");
    char buffer[32];
    ASSERT_EQ(11u, nextString(buffer, sizeof buffer));
    auto waiting = std::async(std::launch::async, [] {
        char out[32] = "x";
        const uint64_t n = nextString(out, sizeof out);
        return std::make_pair(n, std::string(out));
    });
    EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(1200)));
    stopCapture();
    EXPECT_EQ(0, driver().liveObjects());
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(15)));
    EXPECT_EQ(std::make_pair(uint64_t(0), std::string()), waiting.get());
}

} // namespace
