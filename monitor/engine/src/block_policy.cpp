#include "velmor/engine/block_policy.h"

#include "velmor/engine/socket_news.h"
#include "velmor/rules/live_lists.h"

namespace velmor::engine {

BlockPolicy::BlockPolicy(const rules::ListModel& address_list, const rules::RuleStore& store)
    : address_list_(address_list), store_(store) {}

bool BlockPolicy::IsUnlisted(std::string_view address) {
    return address == "0.0.0.0" || address == "127.0.0.1" || address == "::" || address == "::1";
}

BlockDecision BlockPolicy::Now(std::string_view address) const {
    if (const int listed = address_list_.Find(address); listed >= 0) {
        const bool blocked = rules::VerdictOf(address_list_.Cell(listed, rules::watch_ip::kVerdict)) ==
                             rules::Verdict::Blocked;
        return {blocked, BlockReason::Listed};
    }
    if (IsUnlisted(address)) return {false, BlockReason::Unlisted};
    if (store_.IsIndexedBlocked(address)) return {true, BlockReason::RuleFile};
    return {false, BlockReason::NoRule};
}

BlockDecision BlockPolicy::AfterPass(const TcpRow& row, std::string_view address) const {
    if (IsUnlisted(address)) return {false, BlockReason::Unlisted};
    // Listed with a verdict: its cell decides, as after the pass.
    const int listed = address_list_.Find(address);
    if (listed >= 0 && !address_list_.Cell(listed, rules::watch_ip::kVerdict).empty()) return Now(address);
    // The pass lists it with its rule file's verdict (a blocked file first: the index knows those
    // without a look into the folder), or files it as a new address; if that row empties the list at
    // 100 rows, the rule file then decides the same way.
    if (store_.IsIndexedBlocked(address)) return {true, BlockReason::RuleFile};
    if (store_.Exists(address, rules::Verdict::Allowed)) return {false, BlockReason::RuleFile};
    return ForNewAddress(row, address);
}

BlockDecision BlockPolicy::ForNewAddress(const TcpRow& row, std::string_view address) const {
    // Whoever completed a handshake with the bait listener is an intruder, unless it is a lifeline
    // or trusted. A half-open row proves no address, on the bait or elsewhere: it is listed, and
    // filed once a row of the same address completes its handshake.
    if (LocalPortOf(row) == guard::kBaitPort) {
        if (!HandshakeCompleted(row)) return {false, BlockReason::Unproven};
        const rules::Exemption exemption = exemptions_->Of(address);
        if (exemption != rules::Exemption::None) return {false, BlockReason::Exempt, exemption};
        return {true, BlockReason::Bait};
    }
    if (row.dwState == kStateSynReceived) return {false, BlockReason::Unproven};
    return {false, BlockReason::OtherPort};
}

std::optional<rules::Verdict> BlockPolicy::RuleFileVerdict(std::string_view address) const {
    using rules::Verdict;
    for (const Verdict verdict : {Verdict::Blocked, Verdict::Allowed})
        if (store_.Exists(address, verdict)) return verdict;
    return std::nullopt;
}

}  // namespace velmor::engine
