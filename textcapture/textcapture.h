// The two plain exports of the text-capture library (C++ names, not C names).
#pragma once

#include <cstdint>

// Waits until the pointer rests over new text, then copies that text (in the ANSI code page,
// UTF-8 here) into buffer: as many whole characters as fit in size - 1 bytes, then a terminator.
// Returns the number of UTF-16 characters taken. A size of 0 returns 0 at once and writes nothing.
uint64_t nextString(char* buffer, uint64_t size);

// Stops capturing: every waiting and later capture call returns at once with the last capture.
void stopCapture();
