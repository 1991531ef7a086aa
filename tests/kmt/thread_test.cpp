#include "kmt/exceptions.h"
#include "kmt/jniguard.h"
#include "kmt/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

struct Body : kmt::Thread {
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    std::atomic<int> selfJoinError{0};
    bool trySelfJoin = false;
    void run() override {
        if (trySelfJoin) {
            try {
                join();
            } catch (const std::system_error& e) {
                selfJoinError = e.code().value();
            }
        }
        for (int i = 0; i < 5000 && !release; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        finished = true;
    }
};

TEST(Thread, IdleJoinAndSelfJoin) {
    Body idle;
    EXPECT_FALSE(idle.joinable());
    EXPECT_NO_THROW(idle.join());

    Body t;
    t.trySelfJoin = true;
    t.release = true;
    t.start();
    EXPECT_TRUE(t.joinable());
    t.join();
    EXPECT_FALSE(t.joinable());
    EXPECT_EQ(t.selfJoinError, static_cast<int>(std::errc::resource_deadlock_would_occur));
}

// A body whose state lives outside the object (the derived part is gone while the base
// destructor waits), so the base destructor's join is the only wait.
std::atomic<bool> gRelease{false}, gEntered{false}, gFinished{false};

struct External : kmt::Thread {
    void run() override {
        gEntered = true;
        for (int i = 0; i < 5000 && !gRelease; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        gFinished = true;
    }
};

TEST(Thread, DestructorWaitsForTheBodyAndThreadsRestartAfterJoin) {
    // The flags outlive the test: a second run starts them as the first found them.
    gRelease = false;
    gEntered = false;
    gFinished = false;
    { External idle; }
    EXPECT_FALSE(gEntered) << "destroying an idle object runs nothing";

    auto* t = new External;
    t->start();
    // The body must be running before the object goes: the base destructor only waits for it.
    for (int i = 0; i < 5000 && !gEntered; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gRelease = true;
    });
    delete t;
    EXPECT_TRUE(gFinished) << "the destructor returned before the body";
    releaser.join();

    External again;
    for (int round = 0; round < 2; ++round) {
        gFinished = false;
        again.start();
        again.join();
        EXPECT_TRUE(gFinished) << "a joined thread object starts again, round " << round;
    }
}

TEST(JavaException, IsAStandardExceptionWithItsText) {
    try {
        throw kmt::JavaException("cannt create utf8 string");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "cannt create utf8 string");
    }
    kmt::JavaException a("method not found");
    kmt::JavaException b = a;
    EXPECT_STREQ(b.what(), "method not found");
}

// A JNI function table with just the calls the guards make, counting them.
struct FakeJni {
    static inline int pushes = 0, pops = 0, releases = 0, gets = 0;
    static inline bool failPush = false, nullChars = false, nullString = false;
    JNINativeInterface_ table{};
    JNIEnv env{};
    FakeJni() {
        pushes = pops = releases = gets = 0;
        failPush = nullChars = nullString = false;
        table.PushLocalFrame = [](JNIEnv*, jint) -> jint {
            ++pushes;
            return failPush ? -1 : 0;
        };
        table.PopLocalFrame = [](JNIEnv*, jobject) -> jobject {
            ++pops;
            return nullptr;
        };
        table.GetStringUTFChars = [](JNIEnv*, jstring, jboolean*) -> const char* {
            ++gets;
            return nullChars ? nullptr : "text";
        };
        table.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) { ++releases; };
        table.NewStringUTF = [](JNIEnv*, const char*) -> jstring {
            return nullString ? nullptr : reinterpret_cast<jstring>(0x10);
        };
        env.functions = &table;
    }
};

TEST(JniGuards, ReleaseOnEveryPath) {
    FakeJni jni;
    jstring js = reinterpret_cast<jstring>(0x20);
    { kmt::JavaUtfChars none(&jni.env, js); }
    EXPECT_EQ(FakeJni::releases, 0) << "nothing obtained, nothing released";
    {
        kmt::JavaUtfChars chars(&jni.env, js);
        EXPECT_STREQ(chars.get(), "text");
    }
    EXPECT_EQ(FakeJni::releases, 1);
    FakeJni::nullChars = true;
    try {
        kmt::JavaUtfChars chars(&jni.env, js);
        chars.get();
        FAIL();
    } catch (const kmt::JavaException& e) {
        EXPECT_STREQ(e.what(), "cannt create utf8 string");
    }
    EXPECT_EQ(FakeJni::releases, 1);

    // An exception between the push and the call into Java pops the frame exactly once.
    try {
        kmt::JavaLocalFrame::push(&jni.env);
        kmt::JavaLocalFrame frame(&jni.env);
        FakeJni::nullString = true;
        kmt::newJavaString(&jni.env, "x");
        FAIL();
    } catch (const kmt::JavaException& e) {
        EXPECT_STREQ(e.what(), "cannot create java string");
    }
    EXPECT_EQ(FakeJni::pushes, 1);
    EXPECT_EQ(FakeJni::pops, 1);

    FakeJni::failPush = true;
    try {
        kmt::JavaLocalFrame::push(&jni.env);
        kmt::JavaLocalFrame frame(&jni.env);
        FAIL();
    } catch (const kmt::JavaException& e) {
        EXPECT_STREQ(e.what(), "PushLocalFrame failed");
    }
    EXPECT_EQ(FakeJni::pops, 1) << "a frame that was not pushed is not popped";
}

} // namespace
