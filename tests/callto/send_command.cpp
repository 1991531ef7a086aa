// A copy of the application reduced to its hand-off, for tests: sends the bytes given in
// hexadecimal as argv[1] to a running copy and prints "sent" or "no copy".
#include "MessageWindow.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s HEXBYTES\n", argv[0]);
        return 2;
    }
    std::string bytes;
    const std::string hex = argv[1];
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    const bool sent = callto::handOverCommand(bytes.data(), bytes.size());
    std::printf("%s\n", sent ? "sent" : "no copy");
    return sent ? 0 : 1;
}
