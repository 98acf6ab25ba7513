#pragma once

#include <chrono>

#include "velmor/common/clock.h"

namespace velmor::engine {

// When the table timer ticks while the table's events are present (table_events.h): when news
// arrives, but never sooner after the last tick than the cycle's own delay (the 1 ms interval, plus
// the 100 ms pause while the window is hidden), or when the safety net is due. In between the timer does not
// wake at all. The tick itself is unchanged: its change gate still decides whether the tables are read.
class TableWakeSchedule final {
public:
    explicit TableWakeSchedule(const Clock& clock) : clock_(clock) {}

    // A tick has just run; `next_tick_delay` is the cycle's NextTickDelay() after it.
    void TickRan(std::chrono::milliseconds next_tick_delay);
    // From now, how long until a tick for news that has just arrived.
    std::chrono::milliseconds DelayForNews() const;
    // From now, how long until the safety net is due, `safety_net` after the last tick (and never
    // before the cycle's own delay).
    std::chrono::milliseconds DelayForSafetyNet(std::chrono::milliseconds safety_net) const;

private:
    const Clock& clock_;
    std::chrono::steady_clock::time_point last_tick_{};
    std::chrono::milliseconds min_gap_{1};
};

}  // namespace velmor::engine
