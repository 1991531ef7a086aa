#include "kmt/registry.h"

#include "plat/types.h"

namespace kmt {

std::string systemMessage(uint32_t code) {
    using namespace plat;
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text;
    if (n > 0 && buffer) {
        text.assign(buffer, n);
    }
    if (buffer) {
        LocalFree(buffer);
    }
    return text;
}

RegistryException::RegistryException(const char* operation_, std::string key_, uint32_t code_)
    : std::runtime_error(systemMessage(code_)), operation(operation_), key(std::move(key_)),
      message(std::runtime_error::what()), code(code_) {}

RegistryException::~RegistryException() = default;

} // namespace kmt
