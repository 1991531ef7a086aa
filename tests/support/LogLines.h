// A log output for tests: keeps the records a derived class chooses, and hands them over.
#pragma once

#include "kmt/log.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class LogLines : public kmt::DebugManager {
public:
    void categoryAdded(kmt::DebugCategory*) override {}

    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> out;
        out.swap(lines);
        return out;
    }

protected:
    void keep(std::string line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(std::move(line));
    }

private:
    std::mutex lock;
    std::vector<std::string> lines;
};

} // namespace testsupport
