// UTF-8 <-> UTF-16 at the platform boundaries.
#pragma once

#include <cstddef>
#include <string>

namespace kmt {

using wstring = std::u16string;

// Throws std::runtime_error "WideCharToMultiByte failed" on a failed conversion.
std::string toUtf8(const char16_t* text);
inline std::string toUtf8(const wstring& text) {
    return toUtf8(text.c_str());
}
wstring fromUtf8(const char* text, size_t length);
inline wstring fromUtf8(const std::string& text) {
    return fromUtf8(text.data(), text.size());
}

} // namespace kmt
