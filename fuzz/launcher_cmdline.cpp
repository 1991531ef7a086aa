// The launcher's command line: Windows-style splitting, UTF-8 conversion, option parsing and the
// Java text of every argument. Splitting what quoting built gives the arguments back.
#include "kmt/utf.h"
#include "kmt/jnitext.h"
#include "launcher/launcher.h"
#include "plat/jvm.h"
#include "plat/types.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::u16string> split(const std::u16string& line) {
    int count = 0;
    plat::LPWSTR* argv = plat::CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::u16string> out;
    if (!argv) {
        return out;
    }
    for (int i = 0; i < count; ++i) {
        out.push_back(argv[i]);
    }
    plat::LocalFree(argv);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string line;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) {
            break;
        }
        line += c;
    }
    line.insert(0, u"brimel ");
    const std::vector<std::u16string> wide = split(line);
    if (wide.empty()) {
        std::abort();
    }
    std::vector<std::string> args;
    for (const auto& w : wide) {
        try {
            args.push_back(kmt::toUtf8(w));
        } catch (const std::exception&) {
            return 0;
        }
    }
    launcher::LaunchSettings s;
    const size_t first = launcher::parseLauncherArguments(s, args);
    if (first < 1 || first > args.size()) {
        std::abort();
    }
    for (const auto& a : args) {
        const std::string text = kmt::toModifiedUtf8(a);
        if (text.find('\0') != std::string::npos) {
            std::abort();
        }
    }
    if (split(plat::commandLineFromArguments(wide)) != wide) {
        std::abort();
    }
    return 0;
}
