#include "velmor/shell/intruder_notices.h"

namespace velmor::shell {

std::string IntruderNotices::OneText(std::string_view address) {
    return "침입한 IP를 차단 목록에 올렸습니다: " + std::string(address);
}

std::string IntruderNotices::CountText(int count, std::string_view last_address) {
    return "침입한 IP " + std::to_string(count) +
           "개를 차단 목록에 올렸습니다 (마지막: " + std::string(last_address) + ")";
}

bool IntruderNotices::IntervalPassed() const {
    return !last_notice_ || clock_.Now() - *last_notice_ >= kInterval;
}

IntruderNotices::Notice IntruderNotices::Told(int count, std::string text) {
    last_notice_ = clock_.Now();
    pending_ = 0;
    pending_last_.clear();
    return Notice{std::move(text), count};
}

std::optional<IntruderNotices::Notice> IntruderNotices::Filed(std::string_view address) {
    if (IntervalPassed()) {
        // Anything still counted is older than this one and is told with it.
        if (pending_ > 0) return Told(pending_ + 1, CountText(pending_ + 1, address));
        return Told(1, OneText(address));
    }
    ++pending_;
    pending_last_ = address;
    return std::nullopt;
}

std::optional<std::chrono::steady_clock::time_point> IntruderNotices::PendingDue() const {
    if (pending_ == 0) return std::nullopt;
    return last_notice_ ? *last_notice_ + kInterval : clock_.Now();
}

std::optional<IntruderNotices::Notice> IntruderNotices::Flush() {
    if (pending_ == 0 || !IntervalPassed()) return std::nullopt;
    if (pending_ == 1) return Told(1, OneText(pending_last_));
    return Told(pending_, CountText(pending_, pending_last_));
}

std::string ExemptHitText(std::string_view address, rules::Exemption why) {
    return std::string(address) + ": 80번 포트에 접속했지만 " + std::string(rules::ExemptionText(why)) +
           "이므로 차단하지 않고 허용 목록에 올렸습니다.";
}

std::vector<std::string> ExemptionLines(const rules::Exemptions& exemptions) {
    using rules::Exemption;
    std::vector<std::string> lines{std::string(rules::ExemptionText(Exemption::Loopback)) + "\t127.0.0.0/8",
                                   std::string(rules::ExemptionText(Exemption::Loopback)) + "\t::1"};
    const auto add = [&](Exemption kind, const std::vector<std::string>& addresses) {
        for (const std::string& address : addresses)
            lines.push_back(std::string(rules::ExemptionText(kind)) + '\t' + address);
    };
    add(Exemption::Gateway, exemptions.Lifelines().gateways);
    add(Exemption::Resolver, exemptions.Lifelines().resolvers);
    add(Exemption::OwnAddress, exemptions.Lifelines().own);
    for (const platform::AddressRange& range : exemptions.Trusted().ranges())
        lines.push_back(std::string(rules::ExemptionText(Exemption::Trusted)) + '\t' +
                        platform::FormatAddressRange(range));
    return lines;
}

}  // namespace velmor::shell
