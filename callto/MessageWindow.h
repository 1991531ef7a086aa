// The hidden window through which a running copy of the application listens for command lines and
// a copy started later hands its command line over.
#pragma once

#include "plat/winmsg.h"

#include <cstddef>
#include <functional>
#include <jni.h>
#include <string>

namespace callto {

struct MessageWindow {
    std::function<void(const char*)> callback; // empty for the client of a hand-off
    plat::UINT discoverMessage = 0;
    plat::UINT commandMessage = 0;
    plat::ATOM classAtom = 0;
    plat::HWND window = nullptr;
    plat::HWND peer = nullptr;
    bool replyFlag = false;
    bool weakReplyFlag = false;

    MessageWindow() = default;
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    ~MessageWindow() { destroy(); }

    void create(std::function<void(const char*)>&& cb);
    void destroy();
    bool handleMessage(plat::UINT message, plat::HWND sender, plat::LPARAM lParam);
    // False when the command certainly did not arrive (the peer is gone); a failed send is reported
    // on stderr. Throws "No peer" without a peer.
    bool sendCommand(const char* text, size_t length);
};

plat::LRESULT messageWindowProc(plat::HWND window, plat::UINT message, plat::WPARAM wParam, plat::LPARAM lParam);
void broadcastDiscover(MessageWindow& w);
bool logMessageSource(plat::HWND window);
std::string formatWin32Error(const char* prefix, size_t prefixLength, plat::DWORD code);
inline std::string formatWin32Error(const std::string& prefix, plat::DWORD code) {
    return formatWin32Error(prefix.data(), prefix.size(), code);
}
void forwardCommandToJava(JNIEnv* env, jobject object, const char* text);
void runListener(JNIEnv* env, jobject object);
// True when a running copy took the command (or has it queued); false when none answered or the
// one that answered is gone, so the caller can go on as the first copy and the command is not lost.
bool handOverCommand(const char* text, size_t length);

} // namespace callto
