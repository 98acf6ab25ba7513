// The lamp steps of the quiet ticks that a sleeping table timer skipped: how many are due on a fake
// clock, and that stepping them has the law of as many quiet ticks.
#include "velmor/engine/quiet_lamps.h"

#include <gtest/gtest.h>

#include <deque>

#include "velmor/engine/monitoring_cycle.h"
#include "velmor/test/engine_fakes.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::engine {
namespace {

using namespace std::chrono_literals;
using Lamps = std::array<std::uint32_t, 2>;
constexpr Lamps kZeroRed{kLampRed, kLampBlue};
constexpr Lamps kOneRed{kLampBlue, kLampRed};

TEST(QuietTickCount, OneTickPerDelayAfterTheLastRealTickEachCountedOnce) {
    test::FakeClock clock;
    QuietTickCount count(clock);
    clock.Advance(50ms);
    EXPECT_EQ(count.TakeDue(1ms), 0u) << "no tick has run yet";

    count.TickRan();
    clock.now += 500us;
    EXPECT_EQ(count.TakeDue(1ms), 0u);
    clock.now += 2200us;  // 2.7 ms after the tick
    EXPECT_EQ(count.TakeDue(1ms), 2u);
    EXPECT_EQ(count.TakeDue(1ms), 0u) << "taken twice";
    clock.now += 400us;  // 3.1 ms: the 0.7 ms left over make a third
    EXPECT_EQ(count.TakeDue(1ms), 1u);

    // A real tick at 3.9 ms stepped the lamps itself: the slot up to it is not stepped again.
    clock.now += 800us;
    count.TickRan();
    clock.now += 600us;  // 4.5 ms, 0.6 ms after the tick
    EXPECT_EQ(count.TakeDue(1ms), 0u);
    clock.now += 400us;
    EXPECT_EQ(count.TakeDue(1ms), 1u);

    // The delay the timer would have had: the hidden pause, the toolbar's 1000 ms, never below 1 ms.
    clock.Advance(303ms);
    EXPECT_EQ(count.TakeDue(101ms), 3u);
    clock.Advance(2500ms);
    EXPECT_EQ(count.TakeDue(1000ms), 2u);
    clock.Advance(4ms);  // with the 0.5 s left over from before
    EXPECT_EQ(count.TakeDue(0ms), 504u);

    // A long idle is counted in full, without losing a tick.
    clock.Advance(std::chrono::hours(24 * 30));
    EXPECT_EQ(count.TakeDue(1ms), 30ull * 24 * 3600 * 1000);
}

// Draws from a queue, counting them; a draw past the end is a fault of the test's script.
class QueuedRandom final : public RandomSource {
public:
    std::deque<double> values;
    int drawn = 0;
    double Next() override {
        ++drawn;
        if (values.empty()) {
            ADD_FAILURE() << "more draws than scripted";
            return 0.99;
        }
        const double value = values.front();
        values.pop_front();
        return value;
    }
};

class QuietLampsTest : public ::testing::Test, protected test::CycleParts {
protected:
    // One quiet tick that leaves lamp 0 red (or lamp 1), whatever they were.
    void Start(bool zero_red) {
        random.values = zero_red ? std::deque<double>{0.0, 0.99} : std::deque<double>{0.99, 0.0};
        cycle.ShowActivityLed(1);
        ASSERT_EQ(cycle.LampColors(), zero_red ? kZeroRed : kOneRed);
        random.drawn = 0;
    }

    QueuedRandom random;
    MonitoringCycle cycle{table, &counters, store, address_list, port_list, host, dialogs, clock, random};
};

TEST_F(QuietLampsTest, AShortRunIsSteppedTickByTickAsQuietTicks) {
    Start(true);
    cycle.ShowQuietActivityLeds(0);
    EXPECT_EQ(random.drawn, 0);

    // 0.05 lights a lamp on a quiet tick (0.05 × 10 = 0); 0.1 and above does not; 0.3 would have
    // lit it after a full pass, so a run of quiet ticks must not take the full pass's odds.
    random.values = {0.3, 0.05, 0.09, 0.3, 0.1, 0.5, 0.05, 0.05};
    cycle.ShowQuietActivityLeds(1);
    EXPECT_EQ(cycle.LampColors(), kOneRed);
    cycle.ShowQuietActivityLeds(2);
    EXPECT_EQ(cycle.LampColors(), kZeroRed) << "lamp 0 lit, lamp 1 stayed blue, then nothing lit";
    cycle.ShowQuietActivityLeds(1);
    EXPECT_EQ(cycle.LampColors(), kOneRed) << "lamp 0 was red already, lamp 1 lit";
    EXPECT_EQ(random.drawn, 8);

    for (int i = 0; i < 2 * static_cast<int>(kQuietTicksStepByStep); ++i) random.values.push_back(0.5);
    random.drawn = 0;
    cycle.ShowQuietActivityLeds(kQuietTicksStepByStep);
    EXPECT_EQ(random.drawn, 2 * static_cast<int>(kQuietTicksStepByStep));
    EXPECT_EQ(cycle.LampColors(), kOneRed);
}

TEST_F(QuietLampsTest, TheLawOfTheShortcutIsThatOfTheTicksItStandsFor) {
    // Every outcome of n quiet ticks, weighed by its odds: a hit (1 in 10) or a miss per draw.
    for (const bool zero_red : {true, false}) {
        for (int n = 1; n <= 4; ++n) {
            double zero_red_odds = 0.0;
            for (unsigned pattern = 0; pattern < (1u << (2 * n)); ++pattern) {
                Start(zero_red);
                double weight = 1.0;
                for (int draw = 0; draw < 2 * n; ++draw) {
                    const bool hit = (pattern >> draw) & 1u;
                    random.values.push_back(hit ? 0.05 : 0.5);
                    weight *= hit ? 0.1 : 0.9;
                }
                cycle.ShowQuietActivityLeds(static_cast<std::uint64_t>(n));
                ASSERT_TRUE(cycle.LampColors() == kZeroRed || cycle.LampColors() == kOneRed);
                if (cycle.LampColors() == kZeroRed) zero_red_odds += weight;
            }
            EXPECT_NEAR(LampZeroRedAfterQuietTicks(zero_red, static_cast<std::uint64_t>(n)), zero_red_odds,
                        1e-12)
                << "from lamp " << (zero_red ? 0 : 1) << " red, " << n << " ticks";
        }
    }
    // In the long run lamp 0 is red 9 times in 19, whichever lamp was red before.
    EXPECT_NEAR(LampZeroRedAfterQuietTicks(true, 100000), 9.0 / 19.0, 1e-12);
    EXPECT_NEAR(LampZeroRedAfterQuietTicks(false, 100000), 9.0 / 19.0, 1e-12);
}

TEST_F(QuietLampsTest, ALongIdleCostsOneDrawAndLandsByTheLaw) {
    const std::uint64_t month = 30ull * 24 * 3600 * 1000;
    for (const bool zero_red : {true, false}) {
        Start(zero_red);
        random.values = {0.47};  // below 9/19 = 0.4737: lamp 0
        cycle.ShowQuietActivityLeds(month);
        EXPECT_EQ(cycle.LampColors(), kZeroRed);
        random.values = {0.48};
        cycle.ShowQuietActivityLeds(month);
        EXPECT_EQ(cycle.LampColors(), kOneRed);
        EXPECT_EQ(random.drawn, 2);
    }
    // The first run too long to step tick by tick takes the shortcut: one draw against the odds.
    Start(true);
    const double odds = LampZeroRedAfterQuietTicks(true, kQuietTicksStepByStep + 1);
    random.values = {odds - 1e-9};
    cycle.ShowQuietActivityLeds(kQuietTicksStepByStep + 1);
    EXPECT_EQ(cycle.LampColors(), kZeroRed);
    EXPECT_EQ(random.drawn, 1);
}

}  // namespace
}  // namespace velmor::engine
