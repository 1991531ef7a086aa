// The pointer position: simulated, or read from the X server through libX11 loaded at run time.
#include "internal.h"

#include "plat/cursor.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>

namespace plat {

namespace {

// x in the high half, y in the low half: one store moves the pointer, never half of it.
std::atomic<uint64_t> simPosition{0};
std::atomic<bool> simFails{false};

// The few libX11 calls used, bound by name. Displays and windows are opaque to us.
struct X11 {
    using OpenDisplay = void* (*)(const char*);
    using CloseDisplay = int (*)(void*);
    using DefaultRootWindow = unsigned long (*)(void*);
    using QueryPointer = int (*)(void*, unsigned long, unsigned long*, unsigned long*, int*, int*, int*, int*,
                                 unsigned int*);
    OpenDisplay openDisplay = nullptr;
    CloseDisplay closeDisplay = nullptr;
    DefaultRootWindow defaultRootWindow = nullptr;
    QueryPointer queryPointer = nullptr;
    std::mutex lock; // Xlib is not thread safe without XInitThreads
};

X11* loadX11() {
    void* library = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        return nullptr;
    }
    auto* x = new X11();
    x->openDisplay = reinterpret_cast<X11::OpenDisplay>(::dlsym(library, "XOpenDisplay"));
    x->closeDisplay = reinterpret_cast<X11::CloseDisplay>(::dlsym(library, "XCloseDisplay"));
    x->defaultRootWindow = reinterpret_cast<X11::DefaultRootWindow>(::dlsym(library, "XDefaultRootWindow"));
    x->queryPointer = reinterpret_cast<X11::QueryPointer>(::dlsym(library, "XQueryPointer"));
    if (!x->openDisplay || !x->closeDisplay || !x->defaultRootWindow || !x->queryPointer) {
        delete x;
        return nullptr;
    }
    return x;
}

// The X back end, loaded once; null when libX11 is missing.
X11* x11() {
    static X11* instance = loadX11();
    return instance;
}

bool useX11() {
    const char* choice = std::getenv("KBR_POINTER");
    if (choice && std::strcmp(choice, "x11") == 0) {
        return true;
    }
    if (choice && std::strcmp(choice, "sim") == 0) {
        return false;
    }
    const char* display = std::getenv("DISPLAY");
    return display && *display && x11() != nullptr;
}

BOOL x11CursorPos(POINT* point) {
    X11* x = x11();
    if (!x) {
        return detail::fail<BOOL>(ERROR_MOD_NOT_FOUND, FALSE);
    }
    std::lock_guard<std::mutex> guard(x->lock);
    // A connection of each call's own, to the server DISPLAY names now: one kept from call to call
    // would outlive its server (a session that ended, a server started again), and Xlib ends the
    // process on the first call over a connection that has gone. A server that is not there now
    // may be there on a later call.
    void* display = x->openDisplay(nullptr);
    if (!display) {
        return detail::fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    }
    unsigned long root = 0;
    unsigned long child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    const bool onScreen = x->queryPointer(display, x->defaultRootWindow(display), &root, &child, &rootX,
                                          &rootY, &winX, &winY, &mask) != 0;
    x->closeDisplay(display);
    if (!onScreen) {
        // The pointer is on another screen.
        return detail::fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    }
    point->x = rootX;
    point->y = rootY;
    return TRUE;
}

} // namespace

BOOL GetCursorPos(POINT* point) {
    if (!point) {
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (useX11()) {
        return x11CursorPos(point);
    }
    if (simFails.load()) {
        return detail::fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
    }
    const uint64_t position = simPosition.load();
    point->x = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
    point->y = static_cast<LONG>(static_cast<uint32_t>(position));
    return TRUE;
}

namespace testing {

void setCursorPos(LONG x, LONG y) {
    simPosition.store((uint64_t(uint32_t(x)) << 32) | uint32_t(y));
}

void setCursorPosFails(bool fails) {
    simFails.store(fails);
}

const char* cursorBackend() {
    return useX11() ? "x11" : "sim";
}

} // namespace testing

} // namespace plat
