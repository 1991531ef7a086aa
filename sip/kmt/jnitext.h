// Text for JNI's NewStringUTF and ThrowNew, which take modified UTF-8.
#pragma once

#include <string>

namespace kmt {

// Valid UTF-8 is kept, characters above U+FFFF become surrogate pairs (three bytes each), NUL
// becomes C0 80, and each byte that does not start a valid sequence becomes U+FFFD.
std::string toModifiedUtf8(const std::string& text);

} // namespace kmt
