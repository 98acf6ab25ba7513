#include "velmor/engine/quiet_lamps.h"

#include <algorithm>
#include <cmath>

#include "velmor/engine/monitoring_cycle.h"

namespace velmor::engine {

void QuietTickCount::TickRan() {
    started_ = true;
    counted_until_ = clock_.Now();
}

std::uint64_t QuietTickCount::TakeDue(std::chrono::milliseconds tick_delay) {
    if (!started_) return 0;
    const auto now = clock_.Now();
    if (now <= counted_until_) return 0;
    const std::chrono::steady_clock::duration delay = std::max(tick_delay, std::chrono::milliseconds(1));
    const auto due = static_cast<std::uint64_t>((now - counted_until_) / delay);
    counted_until_ += delay * static_cast<std::chrono::steady_clock::rep>(due);
    return due;
}

double LampZeroRedAfterQuietTicks(bool lamp_zero_red, std::uint64_t quiet_ticks) {
    // A two-state chain: "lamp 0 red" goes to "lamp 1 red" with a = p, back with b = p (1 - p).
    constexpr double p = 0.1;
    constexpr double a = p;
    constexpr double b = p * (1.0 - p);
    constexpr double settled = b / (a + b);  // the share of time lamp 0 is red in the long run
    const double left = std::pow(1.0 - a - b, static_cast<double>(quiet_ticks));
    return lamp_zero_red ? settled + left * (1.0 - settled) : settled * (1.0 - left);
}

void MonitoringCycle::ShowQuietActivityLeds(std::uint64_t quiet_ticks) {
    if (quiet_ticks <= kQuietTicksStepByStep) {
        for (std::uint64_t i = 0; i < quiet_ticks; ++i) ShowActivityLed(1);
        return;
    }
    const bool zero_red = random_.Next() < LampZeroRedAfterQuietTicks(lamps_[0] == kLampRed, quiet_ticks);
    lamps_ = zero_red ? std::array<std::uint32_t, 2>{kLampRed, kLampBlue}
                      : std::array<std::uint32_t, 2>{kLampBlue, kLampRed};
}

}  // namespace velmor::engine
