#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/common/clock.h"
#include "velmor/engine/block_policy.h"
#include "velmor/engine/exempt_tracker.h"
#include "velmor/guard/guard_link.h"
#include "velmor/guard/protocol.h"
#include "velmor/platform/connection_table.h"
#include "velmor/rules/exemptions.h"
#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_store.h"

namespace velmor::engine {

// Where the monitoring cycle's verdicts take effect: the teardown of each tick's batch, and, after
// every tick that read the tables, whatever else follows the verdicts and the two modes.
class Enforcement {
public:
    virtual ~Enforcement() = default;
    virtual void TearDown(std::span<const platform::SocketId> ids) = 0;
    // Cheap when nothing changed since the last call.
    virtual void Sync(const BlockPolicy& policy, bool auto_block, bool block_internet) = 0;
    // The kernel's first strike marked `address` blocked when its handshake on the bait completed (its
    // event said so): where the verdicts take effect holds it already, and the next Sync only lets it
    // go if the verdict is not "차단".
    virtual void KernelStruck(std::string_view address) { static_cast<void>(address); }
};

// The process's own rights: SOCK_DESTROY through the connection table, nothing at packet level.
class DirectEnforcement final : public Enforcement {
public:
    explicit DirectEnforcement(platform::ConnectionTable& table) : table_(table) {}
    void TearDown(std::span<const platform::SocketId> ids) override { table_.Destroy(ids); }
    void Sync(const BlockPolicy&, bool, bool) override {}

private:
    platform::ConnectionTable& table_;
};

// Follows the addresses that automatic blocking tears down, as the block policy decides them now;
// none while automatic blocking is off. Each update asks only about what changed: the listed
// addresses when the list changed, the index's own changes (its journal) when the index changed; it
// never copies the index.
class BlockedAddressTracker final {
public:
    struct Change {
        bool clear = false;  // empty the set before applying
        std::vector<std::string> add;
        std::vector<std::string> remove;
        bool Empty() const { return !clear && add.empty() && remove.empty(); }
    };

    // What changed since the last update; the first update (and the first after Reset) empties the
    // set and adds everything.
    Change Update(const BlockPolicy& policy, bool auto_block);
    // Forgets what was applied.
    void Reset() {
        primed_ = false;
        held_.clear();
    }
    // The set holds `address` already (the kernel struck it): no addition is sent for it, and the next
    // update looks at it again, to take it out should it not be wanted.
    void Held(std::string_view address);
    // What the last update put in force.
    const std::set<std::string, std::less<>>& Applied() const { return applied_; }

private:
    bool primed_ = false;
    bool auto_block_ = false;
    std::uint64_t list_generation_ = 0;
    std::uint64_t blocked_generation_ = 0;
    std::map<std::string, bool, std::less<>> listed_;             // address -> its verdict cell says "차단"
    std::vector<rules::RuleStore::BlockedChange> index_changes_;  // scratch
    std::set<std::string, std::less<>> applied_;
    std::set<std::string, std::less<>> held_;  // to be looked at by the next update
};

// Enforcement through velmor-guard: teardown batches and the blocked sets go to the guard, block the
// Internet switches its packet-level rules. While no guard answers, teardown falls back to the
// process's own rights and the link is tried again once a second; a new connection starts the sets
// over, so a restarted guard holds the whole set again.
//
// A guard that offers the kernel's first strike gets, given the exemptions, the ranges it must spare
// (ExemptRangeTracker), and the strike is armed while automatic blocking is on: after the ranges are
// in, switched off before the sets let go of anything. A ranges update the guard refuses leaves the
// strike off for that connection.
class GuardEnforcement final : public Enforcement {
public:
    GuardEnforcement(guard::GuardLink& link, platform::ConnectionTable& fallback, const Clock& clock);

    void TearDown(std::span<const platform::SocketId> ids) override;
    void Sync(const BlockPolicy& policy, bool auto_block, bool block_internet) override;
    void KernelStruck(std::string_view address) override;

    // What the first strike must spare besides the allowed rules (not owned); without it the strike is
    // never armed.
    void SetExemptions(const rules::Exemptions* exemptions) { exemptions_ = exemptions; }
    // Whether the guard's first strike is armed as far as this side asked.
    bool FirstStrikeArmed() const { return strike_sent_.value_or(false); }
    const ExemptRangeTracker& ExemptTracker() const { return exempt_tracker_; }

    // Connects when not connected (at most once a second unless `now`); true when connected.
    bool EnsureConnected(bool now = false);
    // The guard's state as it answered on connecting; nullopt while there is no guard.
    const std::optional<guard::GuardState>& GuardState() const { return state_; }
    // True while the guard runs but refuses us (the last attempt reached it and it hung up).
    bool Refused() const { return refused_; }
    // Grows whenever the guard came, went or began or stopped refusing us, so a notice can follow.
    std::uint64_t Generation() const { return generation_; }
    guard::GuardLink& Link() { return link_; }
    // The addresses the guard would not drop (its namespace's lifelines: loopback, its own
    // addresses, its gateways), as it last said; and a number that grows when that changes.
    const std::map<std::string, guard::Refusal, std::less<>>& RefusedLifelines() const {
        return refused_lifelines_;
    }
    std::uint64_t RefusedLifelinesGeneration() const { return refused_lifelines_generation_; }
    const BlockedAddressTracker& Tracker() const { return tracker_; }

private:
    void Lost();
    void NoteRefusals(const BlockedAddressTracker::Change& change);
    // False when the link broke (then lost); a refusal only leaves the strike off.
    bool SwitchFirstStrike(bool on);
    bool SyncExempt(const BlockPolicy& policy);

    guard::GuardLink& link_;
    platform::ConnectionTable& fallback_;
    const Clock& clock_;
    BlockedAddressTracker tracker_;
    std::optional<guard::GuardState> state_;
    bool attempted_ = false;
    std::chrono::steady_clock::time_point last_attempt_{};
    std::chrono::steady_clock::time_point last_check_{};
    std::optional<bool> block_internet_sent_;
    bool refused_ = false;
    std::uint64_t generation_ = 0;
    std::map<std::string, guard::Refusal, std::less<>> refused_lifelines_;
    std::uint64_t refused_lifelines_generation_ = 0;
    const rules::Exemptions* exemptions_ = nullptr;
    ExemptRangeTracker exempt_tracker_;
    std::optional<bool> strike_sent_;
    bool strike_refused_ = false;  // for this connection
};

}  // namespace velmor::engine
