#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/rules/exemptions.h"
#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_store.h"

namespace velmor::engine {

// Follows what the kernel's first strike must never strike, as range texts ("10.0.0.5",
// "192.168.0.0/24"): every address whose verdict is "허용" (a listed one by its cell "연결", an
// unlisted one by its allowed rule file when it has no blocked one, as the full pass reads them), the
// machine's lifelines (its own addresses, default gateways and DNS servers) and the trusted list.
// Each update looks only at what changed: the exemptions when their generation moved, the listed
// verdicts when the list changed, the journals of the allowed and blocked indexes; never a copy of an
// index.
class ExemptRangeTracker final {
public:
    struct Change {
        bool clear = false;  // empty the ranges before applying
        std::vector<std::string> add;
        std::vector<std::string> remove;
        bool Empty() const { return !clear && add.empty() && remove.empty(); }
    };

    // What changed since the last update; the first update (and the first after Reset) empties the
    // ranges and adds everything.
    Change Update(const rules::ListModel& address_list, const rules::RuleStore& store,
                  const rules::Exemptions& exemptions);
    void Reset() { primed_ = false; }
    // What the last update put in force.
    const std::set<std::string, std::less<>>& Applied() const { return applied_; }

private:
    bool Wanted(const std::string& range, const rules::RuleStore& store) const;
    // Adds the range texts of `changes` (addresses of the rule files) to `candidates`.
    static void AddChanged(const std::vector<rules::RuleStore::BlockedChange>& changes,
                           std::set<std::string, std::less<>>& candidates);

    bool primed_ = false;
    std::uint64_t exemptions_generation_ = 0;
    std::uint64_t list_generation_ = 0;
    std::uint64_t allowed_generation_ = 0;
    std::uint64_t blocked_generation_ = 0;
    std::set<std::string, std::less<>> ranges_;             // of the exemptions
    std::map<std::string, bool, std::less<>> listed_;       // listed with a verdict -> it is "허용"
    std::vector<rules::RuleStore::BlockedChange> changes_;  // scratch
    std::set<std::string, std::less<>> applied_;
};

// The one text of an address or range, as the tracker keeps it: the address alone for a range of
// one address, IPv4-mapped ranges as IPv4; nothing for a text that is neither.
std::optional<std::string> ExemptRangeText(std::string_view text);

}  // namespace velmor::engine
