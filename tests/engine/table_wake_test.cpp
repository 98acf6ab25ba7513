// When the table timer wakes for news and for its safety net, on a fake clock.

#include "velmor/engine/table_wake.h"

#include <gtest/gtest.h>

#include <chrono>

#include "velmor/test/fakes.h"

namespace velmor::engine {
namespace {

using namespace std::chrono_literals;

TEST(TableWakeSchedule, NewsWaitsForTheCyclesOwnDelayAndTheSafetyNetCountsFromTheLastTick) {
    test::FakeClock clock;
    TableWakeSchedule schedule(clock);
    schedule.TickRan(1ms);
    EXPECT_EQ(schedule.DelayForNews(), 1ms);  // at most one tick per millisecond
    EXPECT_EQ(schedule.DelayForSafetyNet(250ms), 250ms);
    clock.Advance(1ms);
    EXPECT_EQ(schedule.DelayForNews(), 0ms);
    clock.Advance(99ms);
    EXPECT_EQ(schedule.DelayForNews(), 0ms);
    EXPECT_EQ(schedule.DelayForSafetyNet(250ms), 150ms);
    clock.Advance(500ms);
    EXPECT_EQ(schedule.DelayForSafetyNet(250ms), 0ms);

    // Hidden: the 100 ms pause holds news back too.
    schedule.TickRan(101ms);
    clock.Advance(30ms);
    EXPECT_EQ(schedule.DelayForNews(), 71ms);
    // The toolbar's 1000 ms interval: neither news nor the net comes sooner.
    schedule.TickRan(1000ms);
    EXPECT_EQ(schedule.DelayForNews(), 1000ms);
    EXPECT_EQ(schedule.DelayForSafetyNet(250ms), 1000ms);
    // Part of a millisecond left still counts as a whole one.
    schedule.TickRan(2ms);
    clock.now += std::chrono::microseconds(1500);
    EXPECT_EQ(schedule.DelayForNews(), 1ms);
}

}  // namespace
}  // namespace velmor::engine
