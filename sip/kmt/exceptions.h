// The exception for failed JNI calls.
#pragma once

#include <stdexcept>
#include <string>

namespace kmt {

class JavaException : public std::runtime_error {
public:
    explicit JavaException(const char* message) : std::runtime_error(message) {}
};

} // namespace kmt
