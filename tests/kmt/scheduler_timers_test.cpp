// The timer queue against a plain model: many timers of few callbacks, posted and removed in random
// order, fire by due time and then by posting order, and removed callbacks never fire.
#include "kmt/scheduler.h"
#include "plat/time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace {

struct Tagged : kmt::EventCallbackBase {
    Tagged(std::vector<int>& fired_, int tag_) : fired(fired_), tag(tag_) {}
    void invoke() override { fired.push_back(tag); }
    std::vector<int>& fired;
    int tag;
};

struct Posting {
    int delay;
    int order;
    int tag;
};

TEST(EventSchedulerTimers, ManyPostingsAndRemovalsFireInModelOrder) {
    std::mt19937 random(20261210);
    kmt::EventScheduler s;
    std::vector<int> fired;
    std::vector<std::unique_ptr<Tagged>> callbacks;
    for (int tag = 0; tag < 300; ++tag)
        callbacks.push_back(std::make_unique<Tagged>(fired, tag));

    // The clock stands still while posting, so every delay counts from the same moment. It is held
    // by an offset set before each posting; a tick between setting it and the posting moves it on
    // by a millisecond, and the next hold keeps that millisecond (a clock that stepped back would
    // make the head due at once). The delays are 10 ms apart, so a few such ticks reorder nothing.
    int64_t frozenAt = plat::wallClockMs();
    std::vector<Posting> model;
    std::set<int> removed;
    for (int i = 0; i < 3000; ++i) {
        const int tag = static_cast<int>(random() % callbacks.size());
        if (random() % 10 == 0) {
            s.removeTimer(callbacks[tag].get());
            removed.insert(tag);
            model.erase(std::remove_if(model.begin(), model.end(), [&](const Posting& p) { return p.tag == tag; }),
                        model.end());
            continue;
        }
        removed.erase(tag);
        const int delay = 10 * static_cast<int>(random() % 40);
        plat::testing::setWallClockOffsetMs(frozenAt - (plat::wallClockMs() - plat::testing::wallClockOffsetMs()));
        s.addTimer(delay, callbacks[tag].get());
        frozenAt = std::max(frozenAt, plat::wallClockMs());
        model.push_back({delay, i, tag});
    }
    ASSERT_EQ(s.timerCount(), model.size());

    std::stable_sort(model.begin(), model.end(), [](const Posting& a, const Posting& b) { return a.delay < b.delay; });
    std::vector<int> expected;
    for (const Posting& p : model)
        expected.push_back(p.tag);

    // Let the wall clock run again and jump past every due time: the order must hold.
    plat::testing::setWallClockOffsetMs(1000);
    for (int cycles = 0; cycles < 20000 && fired.size() < expected.size(); ++cycles)
        s.runOnce();
    plat::testing::setWallClockOffsetMs(0);
    EXPECT_EQ(fired, expected);
    EXPECT_EQ(s.timerCount(), 0u);
}

} // namespace
