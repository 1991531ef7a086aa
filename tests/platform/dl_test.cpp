// LoadLibraryA and the stand-in libraries: the DLL-name map, the search order, the qWAVE stand-in's
// marking and failure driver, and the avrt task record.
#include "plat/dl.h"
#include "plat/net.h"
#include "plat/qos.h"
#include "plat/sync.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <netinet/ip.h>
#include <string>
#include <unistd.h>

using namespace plat;

namespace {

template <typename Fn> Fn bind(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(GetProcAddress(module, name));
}

std::string platformLibraryFolder() {
    Dl_info info{};
    EXPECT_NE(0, dladdr(reinterpret_cast<void*>(&LoadLibraryA), &info));
    const std::string path = info.dli_fname;
    return path.substr(0, path.rfind('/'));
}

// A private folder holding a copy of one of the built stand-in libraries under another name.
class LibraryFolder {
public:
    LibraryFolder(const std::string& builtName, const std::string& copyName) {
        char pattern[] = "/tmp/plat_dl_XXXXXX";
        folder_ = mkdtemp(pattern);
        copy_ = folder_ + "/" + copyName;
        std::ifstream in(platformLibraryFolder() + "/" + builtName, std::ios::binary);
        std::ofstream out(copy_, std::ios::binary);
        out << in.rdbuf();
    }
    ~LibraryFolder() {
        unlink(copy_.c_str());
        rmdir(folder_.c_str());
    }
    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
    std::string copy_;
};

TEST(Dl, DllNamesMapToTheStandIns) {
    struct Case {
        const char* dll;
        const char* file;
    } const cases[] = {
        {"qwave.dll", "libqwave.so"}, {"QWAVE.DLL", "libqwave.so"},
        {"avrt.dll", "libavrt.so"},   {"jabra.dll", "libjabra.so"},
        {"libfoo.so", "libfoo.so"},   {"bin\\server\\jvm.dll", "bin/server/libjvm.so"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.file, mappedLibraryName(c.dll)) << c.dll;
    }
}

TEST(Dl, LoadBindAndFree) {
    HMODULE qwave = LoadLibraryA("qwave.dll");
    ASSERT_NE(nullptr, qwave) << GetLastError();
    for (const char* name : {kQosCreateHandleName, kQosAddSocketToFlowName, kQosCloseHandleName}) {
        EXPECT_NE(nullptr, GetProcAddress(qwave, name)) << name;
    }
    SetLastError(0);
    EXPECT_EQ(nullptr, GetProcAddress(qwave, "NoSuchFunction"));
    EXPECT_EQ(ERROR_PROC_NOT_FOUND, GetLastError());

    HMODULE again = LoadLibraryA("qwave.dll");
    EXPECT_EQ(qwave, again);
    EXPECT_EQ(TRUE, FreeLibrary(again));
    EXPECT_NE(nullptr, GetProcAddress(qwave, kQosCreateHandleName)) << "still loaded once";
    EXPECT_EQ(TRUE, FreeLibrary(qwave));
    SetLastError(0);
    EXPECT_EQ(FALSE, FreeLibrary(qwave));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(nullptr, GetProcAddress(qwave, kQosCreateHandleName));
}

TEST(Dl, MissingLibrariesFailWithModuleNotFound) {
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA("no_such_library_kbr.dll"));
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());

    plat::testing::setLibraryMissing("qwave.dll", true);
    SetLastError(0);
    EXPECT_EQ(nullptr, LoadLibraryA("QWave.dll"));
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, GetLastError());
    plat::testing::setLibraryMissing("qwave.dll", false);
    HMODULE qwave = LoadLibraryA("qwave.dll");
    EXPECT_NE(nullptr, qwave);
    FreeLibrary(qwave);
}

TEST(Dl, DllDirectoryIsSearchedFirstThenTheEnvironmentFolder) {
    // A library only in a private folder: found once the folder is named.
    LibraryFolder extra("libavrt.so", "libkbr_dl_extra.so");
    EXPECT_EQ(nullptr, LoadLibraryA("kbr_dl_extra.dll"));
    ASSERT_EQ(0, setenv("KBR_PLATFORM_LIBDIR", extra.folder().c_str(), 1));
    HMODULE fromEnvironment = LoadLibraryA("kbr_dl_extra.dll");
    unsetenv("KBR_PLATFORM_LIBDIR");
    ASSERT_NE(nullptr, fromEnvironment);
    EXPECT_NE(nullptr, GetProcAddress(fromEnvironment, "plat_avrt_current_task"));
    FreeLibrary(fromEnvironment);

    // The DLL directory comes before the platform library's own folder: a "qwave" there wins.
    LibraryFolder shadow("libavrt.so", "libqwave.so");
    ASSERT_EQ(TRUE, SetDllDirectoryA(shadow.folder().c_str()));
    HMODULE shadowed = LoadLibraryA("qwave.dll");
    SetDllDirectoryA(nullptr);
    ASSERT_NE(nullptr, shadowed);
    EXPECT_NE(nullptr, GetProcAddress(shadowed, "plat_avrt_current_task"));
    EXPECT_EQ(nullptr, GetProcAddress(shadowed, kQosCreateHandleName));
    FreeLibrary(shadowed);
}

// The qWAVE stand-in loaded as the engine loads it, with a bound UDP socket.
class QwaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data{};
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
        module_ = LoadLibraryA("qwave.dll");
        ASSERT_NE(nullptr, module_);
        create_ = bind<QOSCreateHandleFn>(module_, kQosCreateHandleName);
        add_ = bind<QOSAddSocketToFlowFn>(module_, kQosAddSocketToFlowName);
        close_ = bind<QOSCloseHandleFn>(module_, kQosCloseHandleName);
        failCreate_ = bind<void (*)(DWORD)>(module_, "plat_qwave_fail_create");
        failAdd_ = bind<void (*)(DWORD)>(module_, "plat_qwave_fail_add");
        openHandles_ = bind<int (*)()>(module_, "plat_qwave_open_handle_count");
        ASSERT_TRUE(create_ && add_ && close_ && failCreate_ && failAdd_ && openHandles_);
        handlesBefore_ = openHandles_();

        socket_ = plat::socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(INVALID_SOCKET, socket_);
        destination_.sin_family = AF_INET;
        destination_.sin_port = htons(9);
        destination_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        SOCKADDR_IN local = destination_;
        local.sin_port = 0;
        ASSERT_EQ(0, plat::bind(socket_, reinterpret_cast<SOCKADDR*>(&local), sizeof local));
    }
    void TearDown() override {
        failCreate_(0);
        failAdd_(0);
        unsetenv("PLAT_QWAVE_FAIL_CREATE");
        unsetenv("PLAT_QWAVE_FAIL_ADD");
        closesocket(socket_);
        EXPECT_EQ(handlesBefore_, openHandles_());
        FreeLibrary(module_);
        WSACleanup();
    }
    int typeOfService() {
        int tos = -1;
        int len = sizeof tos;
        EXPECT_EQ(0, plat::getsockopt(socket_, IPPROTO_IP, IP_TOS, reinterpret_cast<char*>(&tos), &len));
        return tos;
    }
    BOOL addVoice(HANDLE h, SOCKET s, QOS_FLOWID* flow) {
        return add_(h, s, reinterpret_cast<SOCKADDR*>(&destination_), QOSTrafficTypeVoice,
                    QOS_NON_ADAPTIVE_FLOW, flow);
    }

    HMODULE module_ = nullptr;
    QOSCreateHandleFn create_ = nullptr;
    QOSAddSocketToFlowFn add_ = nullptr;
    QOSCloseHandleFn close_ = nullptr;
    void (*failCreate_)(DWORD) = nullptr;
    void (*failAdd_)(DWORD) = nullptr;
    int (*openHandles_)() = nullptr;
    int handlesBefore_ = 0;
    SOCKET socket_ = INVALID_SOCKET;
    SOCKADDR_IN destination_{};
};

TEST_F(QwaveTest, VoiceFlowMarksTheSocketExpeditedForwarding) {
    QOS_VERSION version{1, 0};
    HANDLE h = nullptr;
    ASSERT_EQ(TRUE, create_(&version, &h));
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(0, typeOfService());
    QOS_FLOWID flow = 0;
    ASSERT_EQ(TRUE, addVoice(h, socket_, &flow)) << GetLastError();
    EXPECT_NE(0u, flow);
    EXPECT_EQ(0xB8, typeOfService());
    EXPECT_EQ(TRUE, close_(h));
    SetLastError(0);
    EXPECT_EQ(FALSE, close_(h));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(QwaveTest, BadArgumentsSetTheLastError) {
    QOS_VERSION version{1, 0};
    HANDLE h = nullptr;
    ASSERT_EQ(TRUE, create_(&version, &h));
    SOCKET closed = plat::socket(AF_INET, SOCK_DGRAM, 0);
    closesocket(closed);
    int bogus = 0;
    QOS_FLOWID flow = 0;
    QOS_VERSION two{2, 0};
    HANDLE unused = nullptr;
    // Each call runs right before its error is read.
    auto check = [](const char* name, BOOL result, DWORD error) {
        SCOPED_TRACE(name);
        EXPECT_EQ(FALSE, result);
        EXPECT_EQ(error, GetLastError());
    };
    check("bad handle", addVoice(reinterpret_cast<HANDLE>(&bogus), socket_, &flow), ERROR_INVALID_HANDLE);
    check("closed socket", addVoice(h, closed, &flow), ERROR_INVALID_PARAMETER);
    check("no flow id", addVoice(h, socket_, nullptr), ERROR_INVALID_PARAMETER);
    check("version 2.0", create_(&two, &unused), ERROR_INVALID_PARAMETER);
    check("close of a bad handle", close_(reinterpret_cast<HANDLE>(&bogus)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(0, typeOfService());
    EXPECT_EQ(TRUE, close_(h));
}

TEST_F(QwaveTest, FailureDriverByCallAndByEnvironment) {
    QOS_VERSION version{1, 0};
    HANDLE h = nullptr;
    struct Case {
        const char* name;
        bool viaEnvironment;
        DWORD code;
    } const cases[] = {
        {"driver, not supported", false, ERROR_NOT_SUPPORTED},
        {"driver, code outside the table", false, 1234},
        {"environment, hexadecimal", true, 0x4C9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char text[16];
        snprintf(text, sizeof text, "%#x", c.code);
        if (c.viaEnvironment) {
            setenv("PLAT_QWAVE_FAIL_CREATE", text, 1);
        } else {
            failCreate_(c.code);
        }
        SetLastError(0);
        EXPECT_EQ(FALSE, create_(&version, &h));
        EXPECT_EQ(c.code, GetLastError());
        failCreate_(0);
        unsetenv("PLAT_QWAVE_FAIL_CREATE");

        ASSERT_EQ(TRUE, create_(&version, &h));
        if (c.viaEnvironment) {
            setenv("PLAT_QWAVE_FAIL_ADD", text, 1);
        } else {
            failAdd_(c.code);
        }
        QOS_FLOWID flow = 0;
        SetLastError(0);
        EXPECT_EQ(FALSE, addVoice(h, socket_, &flow));
        EXPECT_EQ(c.code, GetLastError());
        EXPECT_EQ(0, typeOfService());
        failAdd_(0);
        unsetenv("PLAT_QWAVE_FAIL_ADD");
        EXPECT_EQ(TRUE, addVoice(h, socket_, &flow));
        EXPECT_EQ(TRUE, close_(h));
        int tos = 0;
        plat::setsockopt(socket_, IPPROTO_IP, IP_TOS, reinterpret_cast<char*>(&tos), sizeof tos);
    }
}

TEST(Avrt, TaskIsRecordedForTheCallingThreadOnly) {
    HMODULE avrt = LoadLibraryA("avrt.dll");
    ASSERT_NE(nullptr, avrt);
    auto set = bind<AvSetMmThreadCharacteristicsAFn>(avrt, kAvSetMmThreadCharacteristicsAName);
    auto revert = bind<AvRevertMmThreadCharacteristicsFn>(avrt, kAvRevertMmThreadCharacteristicsName);
    auto current = bind<const char* (*)()>(avrt, "plat_avrt_current_task");
    ASSERT_TRUE(set && revert && current);

    EXPECT_EQ(nullptr, current());
    DWORD index = 0;
    HANDLE task = set("Pro Audio", &index);
    ASSERT_NE(nullptr, task);
    EXPECT_STREQ("Pro Audio", current());

    struct Seen {
        const char* (*current)();
        bool sawNone = false;
        pid_t tid = 0;
    } seen{current};
    auto body = [](void* p) -> unsigned {
        auto* s = static_cast<Seen*>(p);
        s->sawNone = s->current() == nullptr;
        s->tid = ::gettid();
        return 0;
    };
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, &seen, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
    EXPECT_TRUE(seen.sawNone);
    // The handle is set as the thread's function returns, before the thread has left the process: the
    // leak checker's tracer at the process's exit may fault on a thread still being torn down. The
    // test ends once it has gone (at most 10 s).
    const std::string entry = "/proc/self/task/" + std::to_string(seen.tid);
    for (int i = 0; i < 10000 && ::access(entry.c_str(), F_OK) == 0; ++i)
        ::usleep(1000);

    EXPECT_EQ(TRUE, revert(task));
    EXPECT_EQ(nullptr, current());
    SetLastError(0);
    EXPECT_EQ(FALSE, revert(task));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_EQ(nullptr, set(nullptr, &index));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    FreeLibrary(avrt);
}

} // namespace
