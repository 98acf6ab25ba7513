#pragma once

#include <chrono>

#include "velmor/common/clock.h"
#include "velmor/platform/native_handle.h"

namespace velmor::engine {

// Tells the table timer when the connection table may have changed, so that it need not look every
// millisecond: a descriptor that is readable while news is pending (the kernel's socket events,
// forwarded by the privileged helper).
class TableEventSource {
public:
    virtual ~TableEventSource() = default;
    // Readable (POLLIN) while news is pending; kNoNativeHandle when the source has none to offer.
    virtual platform::NativeHandle Fd() const = 0;
    // Takes everything pending without waiting. True when the table may have changed (events that
    // were lost count as a change); false when there was nothing that concerns the table.
    virtual bool TakePending() = 0;
};

// When the table timer ticks while an event source is present: when news arrives, but never sooner
// after the last tick than the cycle's own delay (the 1 ms interval, plus the 100 ms pause while the
// window is hidden), or when the safety net is due. In between the timer does not wake at all. The
// tick itself is unchanged: its change gate still decides whether the tables are read.
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
