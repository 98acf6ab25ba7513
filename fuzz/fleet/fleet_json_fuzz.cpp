// Arbitrary bytes as every reply of the Local API the CrowdSec client reads, and as its journal.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velmor/fleet/alert_journal.h"
#include "velmor/fleet/lapi_messages.h"
#include "velmor/platform/address_text.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// What a bouncer hands on is a ban of an address or a range from an accepted origin, whatever came.
void CheckKept(const std::vector<velmor::fleet::Decision>& decisions,
               const velmor::fleet::DecisionFilter& filter) {
    for (const auto& decision : decisions) {
        Check(filter.Accepts(decision));
        Check(velmor::platform::ParseAddressRange(decision.value).has_value());
        Check(decision.origin == "velmor" || decision.origin == "cscli");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    using namespace velmor::fleet;

    const DecisionFilter filter{{"velmor", "cscli"}, {}};
    if (const auto batch = ParseDecisionStream(bytes, false, filter)) {
        CheckKept(batch->added, filter);
        CheckKept(batch->deleted, filter);
    }
    if (const auto token = ParseLoginToken(bytes)) {
        Check(!token->empty());
        for (char c : *token) Check(static_cast<unsigned char>(c) > ' ');
    }
    const std::string message = ParseErrorMessage(bytes);
    Check(message.size() <= 200 && message.find('\n') == std::string::npos);
    if (const auto count = ParseAlertsReply(bytes)) Check(*count <= size);
    if (const auto duration = ParseGoDuration(bytes))
        Check(duration->count() <= 9'300'000'000 && duration->count() >= -9'300'000'000);

    // A journal replays to canonical addresses only, never more than its capacity.
    const auto pending = AlertJournal::Replay(bytes, 8);
    Check(pending.size() <= 8);
    for (const Intruder& intruder : pending)
        Check(velmor::platform::CanonicalAddressText(intruder.address) == intruder.address);
    return 0;
}
