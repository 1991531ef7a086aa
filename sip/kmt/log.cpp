#include "kmt/log.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "plat/time.h"

namespace kmt {

int64_t logClockMs() { return plat::wallClockMs(); }

bool LogBound::admit(int64_t nowMs, uint64_t* left) {
    std::lock_guard<std::mutex> guard(lock);
    // A clock set back counts as an interval gone by: a bound never silences a kind for longer.
    if (written && nowMs >= lastWrittenMs && nowMs - lastWrittenMs < intervalMs) {
        ++leftOut;
        return false;
    }
    written = true;
    lastWrittenMs = nowMs;
    *left = leftOut;
    leftOut = 0;
    return true;
}

void LogBound::reset() {
    std::lock_guard<std::mutex> guard(lock);
    written = false;
    lastWrittenMs = 0;
    leftOut = 0;
}

BoundedRecord::~BoundedRecord() {
    if (leftOut > 0)
        record.stream() << " (" << leftOut << " more like it not logged since the one before)";
}

DebugRoot* DebugRoot::instance() {
    static DebugRoot* root = new DebugRoot;
    return root;
}

DebugRoot::DebugRoot() : registry(new DebugRegistry), outputs{} {}

DebugRoot::~DebugRoot() {
    delete registry;
}

void DebugRoot::addCategory(DebugCategory* category) {
    std::lock_guard<std::recursive_mutex> guard(registry->lock);
    registry->categories.push_back(category);
    for (DebugManager* out : outputs) {
        if (!out)
            break;
        out->categoryAdded(category);
    }
}

void DebugRoot::removeCategory(DebugCategory* category) {
    std::lock_guard<std::recursive_mutex> guard(registry->lock);
    auto& v = registry->categories;
    auto it = std::find(v.begin(), v.end(), category);
    if (it != v.end())
        v.erase(it);
}

bool DebugRoot::addOutput(DebugManager* output) {
    std::lock_guard<std::recursive_mutex> guard(registry->lock);
    for (DebugManager*& slot : outputs) {
        if (slot == output)
            return true;
        if (!slot) {
            slot = output;
            return true;
        }
    }
    return false;
}

DebugCategory::DebugCategory(DebugRoot* root_, const char* name_)
    : root(root_), parent(nullptr), name(name_), level(0) {
    if (root)
        root->addCategory(this);
}

DebugCategory::DebugCategory(DebugCategory* parent_, const char* name_)
    // A parent not constructed yet is still zero-initialised static storage: its root reads null.
    : root(parent_->root), parent(parent_), name(name_), level(0) {
    if (root)
        root->addCategory(this);
}

DebugCategory::~DebugCategory() {
    if (root)
        root->removeCategory(this);
}

int DebugCategory::resolveLevel() {
    int lvl = level.load(std::memory_order_relaxed);
    if (parent) {
        lvl = parent->effectiveLevel();
        level.store(lvl, std::memory_order_relaxed);
        if (!root) {
            root = parent->root;
            if (root)
                root->addCategory(this);
        }
    }
    if (!root) {
        level.store(0, std::memory_order_relaxed);
        return 1;
    }
    const int proposed = lvl;
    int result = proposed;
    for (DebugManager* out : root->outputs) {
        if (!out)
            break;
        int r = out->level(*this, proposed);
        if (r != proposed && (result == proposed || result < r))
            result = r;
    }
    level.store(result, std::memory_order_relaxed);
    return result > 0 ? result : 1;
}

DebugRecord::DebugRecord(DebugCategory& category_, int level_, const char* sourceFile_, int line_)
    : root(category_.getRoot()), category(category_.getName().c_str()), level(level_),
      sourceFile(sourceFile_), line(line_) {}

DebugRecord::~DebugRecord() {
    if (!root)
        return;
    for (DebugManager* out : root->outputs) {
        if (!out)
            break;
        out->write(category, level, sourceFile, line, text);
    }
}

namespace {

std::string localTimeText(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[101];
    size_t n = std::strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
}

// atoi semantics without atoi's undefined overflow.
int atoiValue(const char* text) {
    errno = 0;
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

} // namespace

void DebugRoot::removeOutput(DebugManager* output) {
    std::lock_guard<std::recursive_mutex> guard(registry->lock);
    for (int i = 0; i < kMaxOutputs; ++i) {
        if (outputs[i] == output) {
            for (int j = i; j + 1 < kMaxOutputs; ++j)
                outputs[j] = outputs[j + 1];
            outputs[kMaxOutputs - 1] = nullptr;
            return;
        }
    }
}

CoutManager::CoutManager(DebugRoot* root_) : root(root_), out(&std::cout) {
    root->addOutput(this);
    if (const char* prefix = std::getenv("kbr_logfile_prefix")) {
        std::string name = std::string(prefix) + localTimeText("%Y-%m-%d_%H-%M-%S") + ".log";
        file.open(name, std::ios::out | std::ios::binary | std::ios::trunc);
        if (file.good()) {
            out = &file;
            openedName = name;
        }
    }
}

// Records written after this output is gone (from other static destructors) must not reach it.
CoutManager::~CoutManager() {
    root->removeOutput(this);
}

void CoutManager::write(const char*, int, const char* sourceFile, int line, std::ostringstream& text) {
    try {
        std::string stamp = localTimeText("[%Y-%m-%d %H:%M:%S]");
        std::lock_guard<std::recursive_mutex> guard(lock);
        *out << stamp << ": " << sourceFile << "(" << line << "): " << text.str() << std::endl;
    } catch (...) {
        // A log line is never worth an exception out of a destructor.
    }
}

int CoutManager::level(const DebugCategory& category, int proposed) {
    std::string var = "kbr_" + category.getName() + "_level";
    int result = proposed;
    if (const char* value = std::getenv(var.c_str())) {
        int v = atoiValue(value);
        if (v != 0)
            result = v;
    }
    return result < 0 ? 0 : result;
}

// Construction order matters: the output takes its slot first; "jphone" and "phone" come before
// "generic" and adopt the root at their first query.
static CoutManager coutManager(DebugRoot::instance());
DebugCategory logJphone(&logPhone, "jphone");
DebugCategory logPhone(&logGeneric, "phone");
DebugCategory logGeneric(DebugRoot::instance(), "generic");
DebugCategory logJitter(&logPhone, "jitter");
DebugCategory logSip(&logGeneric, "sip");
DebugCategory logSipCore(&logSip, "sip_core");
DebugCategory logSipDialog(&logSip, "sip_dialog");
DebugCategory logSipInvite(&logSipDialog, "sip_invite");
DebugCategory logSipReinvite(&logSipInvite, "sip_reinvite");
DebugCategory logSipTransfer(&logSipInvite, "sip_transfer");
DebugCategory logSipRegister(&logSipDialog, "sip_register");
DebugCategory logAudio(&logGeneric, "audio");
DebugCategory logRtp(&logGeneric, "rtp");
DebugCategory logSdp(&logGeneric, "sdp");
DebugCategory logInputlevel(&logGeneric, "inputlevel");
DebugCategory logPhoneDevice(&logGeneric, "phone_device");
DebugCategory logJabra(&logGeneric, "jabra");
DebugCategory logPlantronics(&logGeneric, "plantronics");
DebugCategory logWasapi(&logGeneric, "wasapi");
DebugCategory logEpos(&logGeneric, "epos");
DebugCategory logHid(&logGeneric, "hid");

} // namespace kmt
