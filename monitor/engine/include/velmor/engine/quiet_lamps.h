#pragma once

#include <chrono>
#include <cstdint>

#include "velmor/common/clock.h"

namespace velmor::engine {

// Counts the quiet ticks that the table timer would have run while an event source let it sleep:
// one per tick delay (the 1 ms interval while the window is visible) after the last real tick, each
// counted once. A real tick steps the lamps itself, so the count starts again from it; the part of
// a delay that is left over carries to the next call.
class QuietTickCount final {
public:
    explicit QuietTickCount(const Clock& clock) : clock_(clock) {}

    // A real tick has just run.
    void TickRan();
    // The quiet ticks due since the last tick or the last call, at one per `tick_delay` (at least
    // 1 ms). None before the first tick.
    std::uint64_t TakeDue(std::chrono::milliseconds tick_delay);

private:
    const Clock& clock_;
    bool started_ = false;
    std::chrono::steady_clock::time_point counted_until_{};
};

// How likely lamp 0 is red after `quiet_ticks` quiet lamp steps, each ShowActivityLed(1), when it
// is red (or blue) before them. Two draws per step, each lighting its lamp with probability 1/10:
// lamp 0 gives way to lamp 1 with probability 1/10 a step, lamp 1 to lamp 0 with 1/10 × 9/10 (the
// second draw of the same step may take it back).
double LampZeroRedAfterQuietTicks(bool lamp_zero_red, std::uint64_t quiet_ticks);

// Up to this many quiet ticks are stepped one by one; a longer run takes one draw with the exact law
// of the lamp that is red after it, so a long idle costs no more than a short one.
inline constexpr std::uint64_t kQuietTicksStepByStep = 1000;

}  // namespace velmor::engine
