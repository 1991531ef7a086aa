// The JVM's modified UTF-8 (U+0000 as C0 80, characters beyond U+FFFF as two encoded surrogates)
// at the library's edges: texts from another process are made valid before Java sees them, and
// texts from Java are stored in UTF-16 exactly.
#pragma once

#include "kmt/utf.h"

#include <cstddef>
#include <string>

namespace callto {

// The text as modified UTF-8: well-formed sequences kept, four-byte UTF-8 sequences re-encoded as
// surrogate pairs, anything else replaced by U+FFFD. `replaced` tells whether bytes were replaced.
std::string toModifiedUtf8(const char* bytes, size_t length, bool& replaced);

// UTF-16 of a modified UTF-8 (or plain UTF-8) text; other text is converted as kmt::fromUtf8 does.
kmt::wstring fromModifiedUtf8(const std::string& text);

} // namespace callto
