#include "kmt/utf.h"

#include "plat/text.h"

#include <climits>
#include <stdexcept>

namespace kmt {

std::string toUtf8(const char16_t* text) {
    if (!text || !*text)
        return std::string();
    int n = plat::WideCharToMultiByte(plat::CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n == 0)
        throw std::runtime_error("WideCharToMultiByte failed");
    std::string out(static_cast<size_t>(n), '\0');
    if (plat::WideCharToMultiByte(plat::CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr) == 0)
        throw std::runtime_error("WideCharToMultiByte failed");
    out.resize(static_cast<size_t>(n) - 1);
    return out;
}

wstring fromUtf8(const char* text, size_t length) {
    if (!text || length == 0)
        return wstring();
    if (length > static_cast<size_t>(INT_MAX))
        throw std::runtime_error("WideCharToMultiByte failed");
    int len = static_cast<int>(length);
    int n = plat::MultiByteToWideChar(plat::CP_UTF8, 0, text, len, nullptr, 0);
    if (n == 0)
        throw std::runtime_error("WideCharToMultiByte failed");
    wstring out(static_cast<size_t>(n), u'\0');
    if (plat::MultiByteToWideChar(plat::CP_UTF8, 0, text, len, &out[0], n) == 0)
        throw std::runtime_error("WideCharToMultiByte failed");
    return out;
}

} // namespace kmt
