#include "velmor/engine/exempt_tracker.h"

#include <algorithm>
#include <iterator>

#include "map_differences.h"
#include "velmor/platform/address_text.h"
#include "velmor/rules/live_lists.h"

namespace velmor::engine {
namespace {

using TextSet = std::set<std::string, std::less<>>;

void AddRanges(const std::vector<std::string>& texts, TextSet& into) {
    for (const std::string& text : texts)
        if (auto range = ExemptRangeText(text)) into.insert(std::move(*range));
}

// The exemptions as range texts. Loopback is left out: the guard's kernel program spares it itself.
TextSet RangesOf(const rules::Exemptions& exemptions) {
    TextSet ranges;
    const platform::Lifelines& lifelines = exemptions.Lifelines();
    AddRanges(lifelines.own, ranges);
    AddRanges(lifelines.gateways, ranges);
    AddRanges(lifelines.resolvers, ranges);
    for (const platform::AddressRange& range : exemptions.Trusted().ranges())
        ranges.insert(platform::FormatAddressRange(range));
    return ranges;
}

}  // namespace

std::optional<std::string> ExemptRangeText(std::string_view text) {
    const auto range = platform::ParseAddressRange(text);
    if (!range) return std::nullopt;
    return platform::FormatAddressRange(*range);
}

void ExemptRangeTracker::AddChanged(const std::vector<rules::RuleStore::BlockedChange>& changes,
                                    TextSet& candidates) {
    for (const auto& change : changes)
        if (auto range = ExemptRangeText(change.address)) candidates.insert(std::move(*range));
}

ExemptRangeTracker::Change ExemptRangeTracker::Update(const rules::ListModel& address_list,
                                                      const rules::RuleStore& store,
                                                      const rules::Exemptions& exemptions) {
    Change change;
    TextSet candidates;
    const bool everything = !primed_;
    if (everything) {
        change.clear = true;
        applied_.clear();
    }

    if (everything || exemptions.Generation() != exemptions_generation_) {
        TextSet ranges = RangesOf(exemptions);
        std::set_symmetric_difference(ranges_.begin(), ranges_.end(), ranges.begin(), ranges.end(),
                                      std::inserter(candidates, candidates.end()));
        ranges_ = std::move(ranges);
        exemptions_generation_ = exemptions.Generation();
    }

    if (everything || address_list.Generation() != list_generation_) {
        // A row without a verdict (half-open so far) leaves the rule files to decide, as the pass does.
        std::map<std::string, bool, std::less<>> listed;
        for (int row = 0; row < address_list.RowCount(); ++row) {
            const std::string& verdict = address_list.Cell(row, rules::watch_ip::kVerdict);
            if (verdict.empty()) continue;
            if (auto range = ExemptRangeText(address_list.Cell(row, rules::watch_ip::kAddress)))
                listed.emplace(std::move(*range), rules::VerdictOf(verdict) == rules::Verdict::Allowed);
        }
        AddDifferences(listed_, listed, candidates);
        listed_ = std::move(listed);
        list_generation_ = address_list.Generation();
    }

    // An address with both files is blocked: either index may change what an unlisted address needs.
    bool whole_index = everything;
    if (!everything && store.AllowedGeneration() != allowed_generation_) {
        if (store.AllowedChangesSince(allowed_generation_, changes_))
            AddChanged(changes_, candidates);
        else
            whole_index = true;
    }
    if (!everything && store.BlockedGeneration() != blocked_generation_) {
        if (store.BlockedChangesSince(blocked_generation_, changes_))
            AddChanged(changes_, candidates);
        else
            whole_index = true;
    }
    allowed_generation_ = store.AllowedGeneration();
    blocked_generation_ = store.BlockedGeneration();
    if (whole_index) {
        candidates.insert(applied_.begin(), applied_.end());
        candidates.insert(ranges_.begin(), ranges_.end());
        for (const auto& [range, allowed] : listed_) candidates.insert(range);
        for (const std::string& address : store.AllowedAddresses())
            if (auto range = ExemptRangeText(address)) candidates.insert(std::move(*range));
    }

    for (const std::string& range : candidates) {
        const bool want = Wanted(range, store);
        const bool have = applied_.contains(range);
        if (want && !have) {
            change.add.push_back(range);
            applied_.insert(range);
        } else if (!want && have) {
            change.remove.push_back(range);
            applied_.erase(range);
        }
    }
    primed_ = true;
    return change;
}

bool ExemptRangeTracker::Wanted(const std::string& range, const rules::RuleStore& store) const {
    if (ranges_.contains(range)) return true;
    if (const auto listed = listed_.find(range); listed != listed_.end()) return listed->second;
    return store.IsIndexedAllowed(range) && !store.IsIndexedBlocked(range);
}

}  // namespace velmor::engine
