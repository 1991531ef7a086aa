// Readable, stable names for the rows of parameterised tests, so that ctest -R and --gtest_filter can
// select a row by name (without a generator the rows are named by their index, and the test lists show
// the raw bytes of the row).
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

namespace paramnames {

// Letters and digits only, each word after the first capitalised: "sip 4, dialog 2" -> "sip4Dialog2".
inline std::string identifier(const std::string& text) {
    std::string out;
    bool upper = false;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) {
            out += upper && !out.empty() ? static_cast<char>(std::toupper(u)) : c;
            upper = false;
        } else {
            upper = true;
        }
    }
    return out.empty() ? "unnamed" : out;
}

// The generator for tables whose rows carry a `name`.
struct ByName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        return identifier(info.param.name);
    }
};

// "Code486" for a table of status codes.
inline std::string code(int status) { return "Code" + std::to_string(status); }

} // namespace paramnames
