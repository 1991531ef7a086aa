// Named log categories, log records and log outputs.
//
//     KMT_LOG(kmt::logSip, 2) << "registered at " << address;
//
// formats nothing unless the category's effective level is at least the record's level.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>
#include <fstream>
#include <ostream>

namespace kmt {

class DebugCategory;
class DebugRoot;

// A log output. Deliberately without a virtual destructor: outputs are static objects.
class DebugManager {
public:
    virtual void write(const char* category, int level, const char* sourceFile, int line,
                       std::ostringstream& text) = 0;
    // The level this output wants for the category; returning proposed means no opinion.
    virtual int level(const DebugCategory& category, int proposed) = 0;
    virtual void categoryAdded(DebugCategory* category) = 0;

protected:
    ~DebugManager() = default;
};

struct DebugRegistry {
    std::vector<DebugCategory*> categories;
    std::recursive_mutex lock;
};

class DebugRoot {
public:
    static constexpr int kMaxOutputs = 4;

    // The process's root, created on first use and never freed.
    static DebugRoot* instance();

    // A separate root (tests build their own trees on it).
    DebugRoot();
    ~DebugRoot();
    DebugRoot(const DebugRoot&) = delete;
    DebugRoot& operator=(const DebugRoot&) = delete;

    void addCategory(DebugCategory* category);
    void removeCategory(DebugCategory* category);
    // Puts the output into the first free slot unless it is there already; false when all are taken.
    bool addOutput(DebugManager* output);
    void removeOutput(DebugManager* output);

    DebugRegistry* registry;
    DebugManager* outputs[kMaxOutputs];
};

class DebugCategory {
public:
    // The top category of a tree.
    DebugCategory(DebugRoot* root, const char* name);
    // A child; the root comes from the parent (null while the parent is not constructed yet).
    DebugCategory(DebugCategory* parent, const char* name);
    ~DebugCategory();
    DebugCategory(const DebugCategory&) = delete;
    DebugCategory& operator=(const DebugCategory&) = delete;

    // One integer compare once the level is cached.
    int effectiveLevel() {
        int l = level.load(std::memory_order_relaxed);
        return l > 0 ? l : resolveLevel();
    }

    const std::string& getName() const { return name; }
    DebugCategory* getParent() const { return parent; }
    DebugRoot* getRoot() const { return root; }

private:
    int resolveLevel();

    DebugRoot* root;
    DebugCategory* parent;
    std::string name;
    // The cached effective level (0: not resolved). Relaxed: concurrent first queries store the same value.
    std::atomic<int> level;
};

class DebugRecord {
public:
    DebugRecord(DebugCategory& category, int level, const char* sourceFile, int line);
    ~DebugRecord();
    DebugRecord(const DebugRecord&) = delete;
    DebugRecord& operator=(const DebugRecord&) = delete;

    std::ostringstream& stream() { return text; }

private:
    DebugRoot* root;
    const char* category;
    int level;
    const char* sourceFile;
    int line;
    std::ostringstream text;
};

// Bounds a log line that any sender can cause (a malformed datagram, a stray source): the first one
// is written, then at most one per interval, which tells how many like it were left out before it.
class LogBound {
public:
    static constexpr int64_t kDefaultIntervalMs = 10000;

    explicit LogBound(int64_t intervalMs = kDefaultIntervalMs) : intervalMs(intervalMs) {}
    LogBound(const LogBound&) = delete;
    LogBound& operator=(const LogBound&) = delete;

    // Whether the line that occurs at nowMs is written; when it is, *left gets how many were left
    // out since the one written before it.
    bool admit(int64_t nowMs, uint64_t* left);
    // Test hook: as new again, nothing written and nothing left out.
    void reset();

private:
    const int64_t intervalMs;
    std::mutex lock;
    bool written = false;
    int64_t lastWrittenMs = 0;
    uint64_t leftOut = 0;
};

// A record under a bound: appends how many lines like it were left out.
class BoundedRecord {
public:
    BoundedRecord(DebugCategory& category, int level, const char* sourceFile, int line, uint64_t leftOut)
        : record(category, level, sourceFile, line), leftOut(leftOut) {}
    ~BoundedRecord();
    BoundedRecord(const BoundedRecord&) = delete;
    BoundedRecord& operator=(const BoundedRecord&) = delete;

    std::ostringstream& stream() { return record.stream(); }

private:
    DebugRecord record;
    uint64_t leftOut;
};

// Writes one line per record to std::cout, or to "<kbr_logfile_prefix><start time>.log".
class CoutManager : public DebugManager {
public:
    explicit CoutManager(DebugRoot* root);
    ~CoutManager();

    void write(const char* category, int level, const char* sourceFile, int line,
               std::ostringstream& text) override;
    int level(const DebugCategory& category, int proposed) override;
    void categoryAdded(DebugCategory*) override {}

    // The file name in use, empty while writing to std::cout.
    const std::string& fileName() const { return openedName; }

private:
    DebugRoot* root;
    std::recursive_mutex lock;
    std::ofstream file;
    std::ostream* out;
    std::string openedName;
};

// The clock of the log bounds: the wall clock in milliseconds, the event loop's clock.
int64_t logClockMs();

// The engine's categories.
extern DebugCategory logGeneric;
extern DebugCategory logPhone;
extern DebugCategory logJphone;
extern DebugCategory logJitter;
extern DebugCategory logSip;
extern DebugCategory logSipCore;
extern DebugCategory logSipDialog;
extern DebugCategory logSipInvite;
extern DebugCategory logSipReinvite;
extern DebugCategory logSipTransfer;
extern DebugCategory logSipRegister;
extern DebugCategory logAudio;
extern DebugCategory logRtp;
extern DebugCategory logSdp;
extern DebugCategory logInputlevel;
extern DebugCategory logPhoneDevice;
extern DebugCategory logJabra;
extern DebugCategory logPlantronics;
extern DebugCategory logWasapi;
extern DebugCategory logEpos;
extern DebugCategory logHid;

} // namespace kmt

#define KMT_LOG(category, lvl)                                                                               \
    if ((category).effectiveLevel() < (lvl))                                                                 \
        ;                                                                                                    \
    else                                                                                                     \
        ::kmt::DebugRecord((category), (lvl), __FILE__, __LINE__).stream()

// As KMT_LOG, under a kmt::LogBound of the call site's (a static or a member):
//
//     KMT_LOG_BOUNDED(kmt::logRtp, 1, versionBound) << "dropped rtp datagram of version " << version;
#define KMT_LOG_BOUNDED(category, lvl, bound)                                                                \
    if (uint64_t kmtLeftOut = 0;                                                                             \
        (category).effectiveLevel() < (lvl) || !(bound).admit(::kmt::logClockMs(), &kmtLeftOut))             \
        ;                                                                                                    \
    else                                                                                                     \
        ::kmt::BoundedRecord((category), (lvl), __FILE__, __LINE__, kmtLeftOut).stream()
