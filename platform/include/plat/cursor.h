// The mouse pointer's position on the screen. Two back ends: a simulated pointer that tests move
// (the default), and the X server's pointer (libX11, loaded when first needed). KBR_POINTER=sim or
// KBR_POINTER=x11 chooses; without it the X server serves when DISPLAY is set and libX11 loads.
#pragma once

#include "plat/types.h"

namespace plat {

struct POINT {
    LONG x;
    LONG y;
};

// FALSE with the last error set when the position cannot be read (no X server, a forced failure).
BOOL GetCursorPos(POINT* point);

namespace testing {
// The simulated pointer: its position, and whether reading it fails (with ERROR_ACCESS_DENIED, as
// on a locked desktop).
void setCursorPos(LONG x, LONG y);
void setCursorPosFails(bool fails);
// "sim" or "x11": the back end GetCursorPos uses.
const char* cursorBackend();
} // namespace testing

} // namespace plat
