#include "velmor/engine/table_wake.h"

#include <algorithm>

namespace velmor::engine {
namespace {

// Rounded up: a tick must never come before the moment it is due.
std::chrono::milliseconds Until(std::chrono::steady_clock::time_point moment,
                                std::chrono::steady_clock::time_point now) {
    if (moment <= now) return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(moment - now);
}

}  // namespace

void TableWakeSchedule::TickRan(std::chrono::milliseconds next_tick_delay) {
    last_tick_ = clock_.Now();
    min_gap_ = std::max(next_tick_delay, std::chrono::milliseconds(0));
}

std::chrono::milliseconds TableWakeSchedule::DelayForNews() const {
    return Until(last_tick_ + min_gap_, clock_.Now());
}

std::chrono::milliseconds TableWakeSchedule::DelayForSafetyNet(std::chrono::milliseconds safety_net) const {
    return Until(last_tick_ + std::max(safety_net, min_gap_), clock_.Now());
}

}  // namespace velmor::engine
