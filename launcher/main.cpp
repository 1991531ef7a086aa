// brimel: starts the Java application in a virtual machine of its own process.
#include "launcher/launcher.h"

#include "kmt/exceptions.h"
#include "kmt/jnitext.h"
#include "kmt/utf.h"
#include "plat/dl.h"
#include "plat/jvm.h"
#include "plat/types.h"

#include <jni.h>

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void exitProcess(int status) {
    std::cout.flush();
    std::fflush(stdout);
    std::_Exit(status);
}

std::vector<std::string> commandLineArguments() {
    int count = 0;
    plat::LPWSTR* wide = plat::CommandLineToArgvW(plat::GetCommandLineW(), &count);
    std::vector<std::string> args;
    if (!wide) {
        return args;
    }
    for (int i = 0; i < count; ++i) {
        try {
            args.push_back(kmt::toUtf8(wide[i]));
        } catch (...) {
            plat::LocalFree(wide);
            throw;
        }
    }
    plat::LocalFree(wide);
    return args;
}

// The text of a pending exception (its toString), cleared afterwards.
std::string describeJavaException(JNIEnv* env) {
    jthrowable thrown = env->ExceptionOccurred();
    env->ExceptionClear();
    std::string text = "unknown exception";
    if (!thrown) {
        return text;
    }
    jclass objectClass = env->FindClass("java/lang/Object");
    jmethodID toString = objectClass ? env->GetMethodID(objectClass, "toString", "()Ljava/lang/String;") : nullptr;
    if (toString) {
        auto s = static_cast<jstring>(env->CallObjectMethod(thrown, toString));
        if (!env->ExceptionCheck() && s) {
            const char* chars = env->GetStringUTFChars(s, nullptr);
            if (chars) {
                text = chars;
                env->ReleaseStringUTFChars(s, chars);
            }
        }
    }
    env->ExceptionClear();
    return text;
}

// After a failed listing of <install folder>/jars: which folder was looked in and where it came from.
void explainInstallFolder(launcher::LaunchSettings& s) {
    const std::string& install = launcher::installDirectory(s);
    std::error_code failed;
    const char* what = !std::filesystem::is_directory(install, failed) ? "install folder not found: "
                                                                         : "no jars folder in the install folder ";
    std::cout << what << install << (s.installFolderGiven ? " (-dir)" : " (the program's folder; -dir DIR names another)") << "\n";
}

int run() {
    launcher::LaunchSettings& s = launcher::settings();
    const std::vector<std::string> args = commandLineArguments();

    try {
        launcher::buildJvmOptions(s, args);
    } catch (const std::filesystem::filesystem_error& e) {
        std::cout << "caught: " << e.what() << "\n";
        explainInstallFolder(s);
        exitProcess(1);
    }

    const std::string& install = launcher::installDirectory(s);
    std::cout << "current directory: " << install << std::endl;
    plat::SetCurrentDirectoryA(install.c_str());

    std::string javaFolder = s.javaFolder;
    if (javaFolder.empty()) {
        javaFolder = install.empty() ? std::string(".") : install;
    }
    plat::SetDllDirectoryA(plat::jvmRuntimeFolder(javaFolder).c_str());

    const std::string jvmPath = plat::jvmLibraryPath(javaFolder);
    std::cout << "load java dll at: " << jvmPath << std::endl;
    plat::HMODULE runtime = plat::LoadLibraryA(jvmPath.c_str());
    plat::CreateJavaVMProc createJavaVM = runtime ? plat::bindCreateJavaVM(runtime) : nullptr;
    if (!createJavaVM) {
        const plat::DWORD code = plat::GetLastError();
        // The loader's own words: which file, and why it could not be loaded.
        const char* reason = ::dlerror();
        std::cout << "Failed to load dll, error: " << code << " (" << (reason ? reason : jvmPath.c_str()) << ")\n";
        std::cout << "Java folder: " << javaFolder
                  << (s.javaFolder.empty() ? " (the install folder; -java DIR names a JDK)" : " (-java)") << "\n";
        exitProcess(1);
    }

    std::vector<JavaVMOption> options(s.jvmOptions.size());
    for (size_t i = 0; i < options.size(); ++i) {
        options[i].optionString = const_cast<char*>(s.jvmOptions[i].c_str());
        options[i].extraInfo = nullptr;
    }
    JavaVMInitArgs initArgs{};
    initArgs.version = JNI_VERSION_1_8;
    initArgs.nOptions = static_cast<jint>(options.size());
    initArgs.options = options.data();
    initArgs.ignoreUnrecognized = JNI_FALSE;

    std::cout << "Create java vm\n";
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    const jint created = createJavaVM(reinterpret_cast<void**>(&vm), reinterpret_cast<void**>(&env), &initArgs);
    std::cout << "Create java vm done\n";
    if (created < 0) {
        std::printf("Creation failed: %d\n", static_cast<int>(created));
        exitProcess(1);
    }

    if (env->PushLocalFrame(16) != 0) {
        throw kmt::JavaException("PushLocalFrame failed");
    }
    jclass mainClass = env->FindClass("nl/brimel/kbr/ui/core/Main");
    if (!mainClass) {
        env->ExceptionClear();
        std::cout << "Cannot fiind main class\n";
        exitProcess(1);
    }
    jmethodID mainMethod = env->GetStaticMethodID(mainClass, "main", "([Ljava/lang/String;)V");
    if (!mainMethod) {
        env->ExceptionClear();
        std::cout << "Cannot find main method\n";
        exitProcess(1);
    }
    jclass stringClass = env->FindClass("java/lang/String");
    if (!stringClass) {
        throw kmt::JavaException("cannot find java/lang/String");
    }
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(s.programArguments.size()), stringClass, nullptr);
    if (!array) {
        throw kmt::JavaException("cannot create java array");
    }
    for (size_t i = 0; i < s.programArguments.size(); ++i) {
        jstring text = env->NewStringUTF(kmt::toModifiedUtf8(s.programArguments[i]).c_str());
        if (!text) {
            throw kmt::JavaException("cannot create java string");
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), text);
        env->DeleteLocalRef(text);
    }

    std::cout.flush();
    env->CallStaticVoidMethod(mainClass, mainMethod, array);
    if (env->ExceptionCheck()) {
        std::cout << "Exception in main: " << describeJavaException(env) << "\n";
        exitProcess(1);
    }
    env->PopLocalFrame(nullptr);
    std::cout.flush();

    for (;;) {
        plat::SleepEx(plat::INFINITE, plat::TRUE);
    }
}

} // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& e) {
        std::cout << "caught: " << e.what() << "\n";
        exitProcess(1);
    }
}
