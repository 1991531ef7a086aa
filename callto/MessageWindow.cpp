#include "MessageWindow.h"

#include "ModifiedUtf8.h"
#include "kmt/jniguard.h"
#include "plat/psapi.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace callto {

using namespace plat;

namespace {
constexpr const char* kClassName = "Brimel Softphone Queue";
constexpr const char* kWindowName = "brimel softphone server";
} // namespace

std::string formatWin32Error(const char* prefix, size_t prefixLength, DWORD code) {
    std::string out(prefix, prefixLength);
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                   nullptr, code, 1033, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (n > 0 && buffer) {
        out.append(buffer, n);
    } else {
        out += "unknown error";
    }
    if (buffer) {
        LocalFree(buffer);
    }
    char tail[48];
    std::snprintf(tail, sizeof tail, " (%u = 0x%x)", static_cast<unsigned>(code), static_cast<unsigned>(code));
    return out + tail;
}

void MessageWindow::create(std::function<void(const char*)>&& cb) {
    callback = std::move(cb);
    cb = nullptr;
    window = nullptr;
    peer = nullptr;
    replyFlag = false;
    weakReplyFlag = false;
    discoverMessage = RegisterWindowMessageA("BrimelSoftphoneIDiscover");
    commandMessage = RegisterWindowMessageA("BrimelSoftphoneCommand");
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = messageWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    classAtom = RegisterClassExA(&wc);
    if (!classAtom) {
        throw std::runtime_error(formatWin32Error(std::string("Register class failed: "), GetLastError()));
    }
    const HWND w = CreateWindowExA(0, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(classAtom)), kWindowName, 0,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                   GetModuleHandleA(nullptr), this);
    if (!w) {
        const DWORD code = GetLastError();
        UnregisterClassA(reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(classAtom)), GetModuleHandleA(nullptr));
        classAtom = 0;
        throw std::runtime_error(formatWin32Error(std::string("Creation of message window failed"), code));
    }
}

void MessageWindow::destroy() {
    if (window) {
        DestroyWindow(window);
        window = nullptr;
    }
    if (classAtom) {
        UnregisterClassA(reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(classAtom)), GetModuleHandleA(nullptr));
        classAtom = 0;
    }
    callback = nullptr;
}

LRESULT messageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MessageWindow* self;
    if (message == WM_CREATE) {
        self = static_cast<MessageWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        if (self) {
            self->window = window;
        }
    } else {
        self = reinterpret_cast<MessageWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    }
    if (self && self->handleMessage(message, reinterpret_cast<HWND>(wParam), lParam)) {
        return 1;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool logMessageSource(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
        return false;
    }
    char path[1000];
    const DWORD n = K32GetModuleFileNameExA(process, nullptr, path, sizeof path);
    const DWORD code = GetLastError();
    CloseHandle(process);
    if (n == 0) {
        std::cout << "cannot get source of discover message: " << code << "\n";
        return false;
    }
    std::cout << "got discover message from: " << path << "\n";
    return true;
}

bool MessageWindow::handleMessage(UINT message, HWND sender, LPARAM lParam) {
    if (message == discoverMessage) {
        if (sender != window) {
            std::cout << "received discover message from other window\n";
            logMessageSource(sender);
            if (callback) {
                SendMessageA(sender, commandMessage, reinterpret_cast<WPARAM>(window), replyFlag ? 0 : 1);
            }
        }
        return true;
    }
    if (message == commandMessage) {
        std::cout << "receved command reply\n";
        logMessageSource(sender);
        if (lParam != 0) {
            replyFlag = true;
            peer = sender;
        } else if (!replyFlag) {
            weakReplyFlag = true;
            peer = sender;
        }
        return false;
    }
    if (message == WM_COPYDATA) {
        const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        std::string text;
        if (cds && cds->lpData && cds->cbData) {
            text.assign(static_cast<const char*>(cds->lpData), cds->cbData);
        }
        if (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        std::cout << "Got wm_copydata: " << text << std::endl;
        if (callback) {
            callback(text.c_str());
        }
        replyFlag = false;
        weakReplyFlag = false;
        return true;
    }
    return false;
}

bool MessageWindow::sendCommand(const char* text, size_t length) {
    if (!replyFlag && !weakReplyFlag) {
        throw std::runtime_error("No peer");
    }
    COPYDATASTRUCT cds{0, static_cast<DWORD>(length), const_cast<char*>(text)};
    if (SendMessageA(peer, WM_COPYDATA, reinterpret_cast<WPARAM>(window), reinterpret_cast<LPARAM>(&cds)) == 0) {
        const DWORD code = GetLastError();
        char tail[48];
        std::snprintf(tail, sizeof tail, " (%u0x%x)\n", static_cast<unsigned>(code), static_cast<unsigned>(code));
        std::cerr << formatWin32Error(std::string("PostMessage WM_COPYDATA Failed: "), code) << tail;
        // Delivered only when the peer has it: one that did not answer in time still takes it from
        // its queue when it goes on; one that is gone, or a send refused before it (too large, another
        // user's window), never gets it.
        return winmsg::lastSendHandedOver();
    }
    return true;
}

void broadcastDiscover(MessageWindow& w) {
    std::cout << "broadcast discover attach\n";
    DWORD_PTR result = 0;
    SendMessageTimeoutA(HWND_BROADCAST, w.discoverMessage, reinterpret_cast<WPARAM>(w.window), 0x8001,
                        SMTO_ABORTIFHUNG | SMTO_NOTIMEOUTIFNOTHUNG, 0, &result);
    std::cout << "done broadcast discover attach\n";
    std::cout.flush(); // progress is visible at once also when the output is a pipe
}

void forwardCommandToJava(JNIEnv* env, jobject object, const char* text) {
    try {
        kmt::JavaLocalFrame::push(env);
        kmt::JavaLocalFrame frame(env);
        // The text comes from another process: Java gets it only as valid modified UTF-8.
        jstring string = nullptr;
        if (text) {
            bool replaced = false;
            const std::string valid = toModifiedUtf8(text, std::strlen(text), replaced);
            if (replaced) {
                std::cerr << "command text is not valid UTF-8; invalid bytes replaced" << std::endl;
            }
            string = kmt::newJavaString(env, valid.c_str());
        }
        jclass cls = env->GetObjectClass(object);
        jmethodID method = kmt::methodId(env, cls, "processCommandRequest", "(Ljava/lang/String;)V");
        env->CallVoidMethod(object, method, string);
        if (env->ExceptionCheck()) {
            // Reported here, so the next JNI call on this thread starts clean.
            env->ExceptionDescribe();
            env->ExceptionClear();
        }
    } catch (const kmt::JavaException&) {
        if (env->ExceptionCheck()) {
            env->ExceptionDescribe();
            env->ExceptionClear();
        }
        std::cerr << "ignoring java exception" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "caught exception: " << e.what() << std::endl;
    }
}

void runListener(JNIEnv* env, jobject object) {
    try {
        std::function<void(const char*)> callback = [&env, &object](const char* text) {
            forwardCommandToJava(env, object, text);
        };
        MessageWindow w;
        w.create(std::move(callback));
        broadcastDiscover(w);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        w.destroy();
    } catch (const std::exception& e) {
        std::cerr << "calltoListener: caught exception: " << e.what() << std::endl;
    }
}

bool handOverCommand(const char* text, size_t length) {
    MessageWindow w;
    w.create(std::function<void(const char*)>());
    broadcastDiscover(w);
    if (!w.replyFlag && !w.weakReplyFlag) {
        w.destroy();
        return false;
    }
    const bool sent = w.sendCommand(text, length);
    w.destroy();
    return sent;
}

} // namespace callto
