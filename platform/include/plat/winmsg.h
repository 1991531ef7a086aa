// Windows and window messages, also between processes of the same user.
//
// Every window has a Unix-domain socket in the message folder ($KBR_WINMSG_DIR, else
// $XDG_RUNTIME_DIR/kbr-winmsg, else /tmp/kbr-winmsg-<uid>), which is created with mode 0700 and
// refused when it is not a folder (a link) or another user owns it; one of the user's own that
// others can open is made private (0700) with one line on stderr. When the default folder is
// refused, ~/.kbr-winmsg serves (the home from $HOME, else the user database), with one line. A window's HWND names its process and
// its number there, so it means the same window in every process. Messages sent to a window of
// another thread or process travel over its socket and are handled by the window's thread when it
// waits for messages (GetMessageA) or waits for the answer to a send of its own: a sending thread
// keeps handling messages sent to it, so two windows may send to each other. A sender never waits
// on a receiver that is gone, and gives up on one that has taken no messages for 5 s (hung; a
// receiver that waits on a send of its own keeps taking them, and tells its senders so). This holds
// for SendMessageA too: a message given up on stays queued and is handled when the receiver goes on.
// Messages from another user's process, and frames that are cut short or too large, are refused
// with a line on stderr.
#pragma once

#include "plat/types.h"

#include <cstddef>
#include <string>

namespace plat {

using ATOM = WORD;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LONG_PTR = intptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
struct HiconObject;
using HICON = HiconObject*;
using HCURSOR = HICON;
struct HbrushObject;
using HBRUSH = HbrushObject*;
struct HmenuObject;
using HMENU = HmenuObject*;

struct WNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
};

struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    struct {
        LONG x;
        LONG y;
    } pt; // the pointer position is not recorded (always 0, 0)
};

struct COPYDATASTRUCT {
    ULONG_PTR dwData;
    DWORD cbData;
    LPVOID lpData;
};

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_COPYDATA = 0x004A;
constexpr UINT WM_USER = 0x0400;

constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);
constexpr int GWLP_USERDATA = -21;
inline HWND const HWND_BROADCAST = reinterpret_cast<HWND>(uintptr_t(0xFFFF));

constexpr UINT SMTO_NORMAL = 0x0000;
constexpr UINT SMTO_BLOCK = 0x0001;
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;
constexpr UINT SMTO_NOTIMEOUTIFNOTHUNG = 0x0008;

constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;

// The executable's module (null name) or a loaded library's.
HMODULE GetModuleHandleA(LPCSTR name);

// The same id for the same name (ignoring ASCII case) in every process of the user: 0xC000..0xFFFF.
UINT RegisterWindowMessageA(LPCSTR name);

ATOM RegisterClassExA(const WNDCLASSEXA* windowClass);
// className is a name or an atom (a value below 0x10000).
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtrA(HWND window, int index);
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId);

// The calling thread's message loop. GetMessageA returns 0 for WM_QUIT, -1 on failure; it takes
// the posted messages in order (the window and range filters are not applied) and handles the
// messages sent to the thread's windows while it waits.
BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
void PostQuitMessage(int exitCode);
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

// Of the system messages (below WM_USER) only WM_NULL and WM_COPYDATA go to another thread or
// process; the others carry pointers that mean nothing there (ERROR_INVALID_PARAMETER).
// 0 with the last error set when the window is gone (ERROR_INVALID_WINDOW_HANDLE) or the receiver
// hung or did not answer within the time-out (ERROR_TIMEOUT). HWND_BROADCAST sends to every
// top-level window in turn, this thread's own included, and returns non-zero.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                            DWORD_PTR* result);

// The wire form of one sent message, exposed for the tests and the fuzzer.
namespace winmsg {
constexpr size_t kMaxCopyData = 1 << 20;
struct Request {
    uint64_t target = 0;
    UINT message = 0;
    uint64_t wParam = 0;
    int64_t lParam = 0;
    bool copyData = false;
    uint64_t dwData = 0;
    std::string data; // the WM_COPYDATA bytes
};
std::string encodeRequest(const Request& request);
// Decodes one whole frame. Returns false with why set for a frame that is cut short, too large,
// of another format or with bytes after its end.
bool decodeRequest(const void* bytes, size_t size, Request& out, std::string& why);
// The folder of the window sockets (created when missing); empty with why set when unusable.
std::string messageFolder(std::string& why);
// Whether the last SendMessageA/SendMessageTimeoutA of this thread to one window handed its message
// over: the receiver has it whole and handles it, also when the send then failed because the
// receiver did not answer in time. False for a send refused before that (window gone, data too
// large, another user's window, no connection).
bool lastSendHandedOver();
} // namespace winmsg

} // namespace plat
