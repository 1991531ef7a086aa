// The exceptions through which registry failures are reported: the failing function, the key, the
// Win32 code and the system's text for it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kmt {

struct RegistryException : std::runtime_error {
    RegistryException(const char* operation, std::string key, uint32_t code);
    ~RegistryException() override;
    const char* what() const noexcept override { return message.c_str(); }

    const char* operation; // the registry function that failed, or null
    std::string key;       // the key or subkey concerned, or empty
    std::string message;   // the system's text for code (line end included), empty when it has none
    uint32_t code;
};

struct RegistryKeyNotFound : RegistryException {
    explicit RegistryKeyNotFound(uint32_t code) : RegistryException(nullptr, std::string(), code) {}
};
struct RegistryValueNotFound : RegistryException {
    explicit RegistryValueNotFound(uint32_t code) : RegistryException(nullptr, std::string(), code) {}
};
struct RegistryKeyCreationFailed : RegistryException {
    explicit RegistryKeyCreationFailed(uint32_t code) : RegistryException(nullptr, std::string(), code) {}
};

// The system's text for a Win32 code in the default language, as the system gives it; empty when
// it has none.
std::string systemMessage(uint32_t code);

} // namespace kmt
