#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/common/clock.h"
#include "velmor/rules/exemptions.h"

namespace velmor::shell {

inline constexpr std::string_view kIntruderNoticeTitle = "Torvane 침입 감지";

// Desktop notices of newly filed intruders while the window is hidden. The tray image alone is
// easy to miss, a notice per intruder would flood the desktop during a scan: so at most one notice
// per interval, and the intruders filed meanwhile are told together, with their count, once the
// interval has passed.
class IntruderNotices final {
public:
    static constexpr std::chrono::seconds kInterval{10};

    struct Notice {
        std::string text;
        int count = 0;  // intruders this notice tells of
    };

    explicit IntruderNotices(const Clock& clock) : clock_(clock) {}

    // Intruder `address` was filed while the window is hidden: the notice to show now, or nothing
    // when the last one is less than an interval old (the intruder is then counted for later).
    std::optional<Notice> Filed(std::string_view address);
    // When the counted intruders may be told; nullopt when none are waiting.
    std::optional<std::chrono::steady_clock::time_point> PendingDue() const;
    // The notice of the intruders counted meanwhile, once the interval has passed; nothing before.
    std::optional<Notice> Flush();
    // The window was shown: the user sees the list, so nothing waiting is told any more.
    void WindowShown() { pending_ = 0; }

    static std::string OneText(std::string_view address);
    static std::string CountText(int count, std::string_view last_address);

private:
    bool IntervalPassed() const;
    Notice Told(int count, std::string text);

    const Clock& clock_;
    std::optional<std::chrono::steady_clock::time_point> last_notice_;
    int pending_ = 0;
    std::string pending_last_;
};

// The notice of a bait hit from a lifeline or a trusted address, filed as allowed: told once per
// address, so that the user learns of it without being asked to act.
std::string ExemptHitText(std::string_view address, rules::Exemption why);

// The lifelines and the trusted list as the options tab and the headless "trusted" command show
// them: one "KIND<tab>ADDRESS" line each, loopback first.
std::vector<std::string> ExemptionLines(const rules::Exemptions& exemptions);

}  // namespace velmor::shell
