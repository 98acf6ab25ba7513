#include "velmor/engine/enforcement.h"

#include <algorithm>
#include <iterator>

#include "map_differences.h"
#include "velmor/platform/diag.h"
#include "velmor/rules/live_lists.h"

namespace velmor::engine {
namespace {

constexpr auto kRetryInterval = std::chrono::seconds(1);
constexpr auto kHangUpCheckInterval = std::chrono::milliseconds(500);

}  // namespace

BlockedAddressTracker::Change BlockedAddressTracker::Update(const BlockPolicy& policy, bool auto_block) {
    const rules::ListModel& address_list = policy.AddressList();
    const rules::RuleStore& store = policy.Store();
    Change change;
    std::set<std::string, std::less<>> candidates;
    const bool everything = !primed_ || auto_block != auto_block_;
    if (!primed_) {
        change.clear = true;
        applied_.clear();
    }
    auto_block_ = auto_block;

    if (everything || address_list.Generation() != list_generation_) {
        std::map<std::string, bool, std::less<>> listed;
        for (int row = 0; row < address_list.RowCount(); ++row) {
            listed.emplace(address_list.Cell(row, rules::watch_ip::kAddress),
                           rules::VerdictOf(address_list.Cell(row, rules::watch_ip::kVerdict)) ==
                               rules::Verdict::Blocked);
        }
        // Addresses that came, went or changed their verdict.
        AddDifferences(listed_, listed, candidates);
        listed_ = std::move(listed);
        list_generation_ = address_list.Generation();
    }
    // The index's own changes, without a copy of it; the whole index when they are no longer kept.
    bool whole_index = everything;
    if (!everything && store.BlockedGeneration() != blocked_generation_) {
        if (store.BlockedChangesSince(blocked_generation_, index_changes_)) {
            for (const auto& indexed : index_changes_) candidates.insert(indexed.address);
        } else {
            whole_index = true;
        }
    }
    blocked_generation_ = store.BlockedGeneration();
    if (whole_index) {
        candidates.insert(applied_.begin(), applied_.end());
        for (const auto& [address, blocked] : listed_) candidates.insert(address);
        candidates.insert(store.BlockedAddresses().begin(), store.BlockedAddresses().end());
    }
    candidates.insert(held_.begin(), held_.end());
    held_.clear();
    for (const std::string& address : candidates) {
        const bool want = auto_block_ && policy.Now(address).blocked;
        const bool have = applied_.contains(address);
        if (want && !have) {
            change.add.push_back(address);
            applied_.insert(address);
        } else if (!want && have) {
            change.remove.push_back(address);
            applied_.erase(address);
        }
    }
    primed_ = true;
    return change;
}

void BlockedAddressTracker::Held(std::string_view address) {
    // Before the first update everything is sent anew.
    if (!primed_) return;
    applied_.emplace(address);
    held_.emplace(address);
}

GuardEnforcement::GuardEnforcement(guard::GuardLink& link, platform::ConnectionTable& fallback,
                                   const Clock& clock)
    : link_(link), fallback_(fallback), clock_(clock) {}

void GuardEnforcement::NoteRefusals(const BlockedAddressTracker::Change& change) {
    bool changed = false;
    if (change.clear && !refused_lifelines_.empty()) {
        refused_lifelines_.clear();
        changed = true;
    }
    for (const std::string& address : change.remove) changed |= refused_lifelines_.erase(address) > 0;
    for (guard::RefusedLifeline& refused : link_.TakeRefused()) {
        platform::Diag("enforcement",
                       "the guard will not drop " + refused.address + ", a lifeline of its namespace");
        refused_lifelines_[std::move(refused.address)] = refused.reason;
        changed = true;
    }
    if (changed) ++refused_lifelines_generation_;
}

void GuardEnforcement::Lost() {
    if (state_) ++generation_;
    state_.reset();
    tracker_.Reset();
    exempt_tracker_.Reset();
    block_internet_sent_.reset();
    strike_sent_.reset();
    strike_refused_ = false;
}

bool GuardEnforcement::EnsureConnected(bool now) {
    const auto time = clock_.Now();
    if (link_.Connected() && state_) {
        if (time - last_check_ < kHangUpCheckInterval) return true;
        last_check_ = time;
        if (!link_.HungUp()) return true;
        Lost();
    }
    if (!now && attempted_ && time - last_attempt_ < kRetryInterval) return false;
    attempted_ = true;
    last_attempt_ = time;
    // A link connected by someone else only needs the guard's state.
    const bool connected = link_.Connected() || link_.Connect();
    // A guard that starts or stops refusing us changes what the notice says.
    if (const bool refused = !connected && link_.Refused(); refused != refused_) {
        refused_ = refused;
        ++generation_;
    }
    if (!connected) return false;
    state_ = link_.Status();
    if (!state_) return false;
    last_check_ = time;
    tracker_.Reset();
    exempt_tracker_.Reset();
    block_internet_sent_.reset();
    // A new session starts disarmed.
    strike_sent_ = false;
    strike_refused_ = false;
    ++generation_;
    return true;
}

void GuardEnforcement::TearDown(std::span<const platform::SocketId> ids) {
    if (ids.empty()) return;
    if (!link_.Connected()) EnsureConnected();
    if (link_.Connected() && link_.TearDown(ids)) return;
    // No guard (or it just went away): our own rights, if we have any.
    platform::Diag("enforcement",
                   link_.Connected() ? "the guard refused a teardown" : "no guard for a teardown");
    if (!link_.Connected()) Lost();
    fallback_.Destroy(ids);
}

void GuardEnforcement::KernelStruck(std::string_view address) {
    if (state_) tracker_.Held(address);
}

bool GuardEnforcement::SwitchFirstStrike(bool on) {
    if (strike_sent_ == on) return true;
    if (!link_.SetFirstStrike(on)) {
        if (!link_.Connected()) {
            Lost();
            return false;
        }
        platform::Diag("enforcement", "the guard refused to switch its first strike");
        strike_refused_ = true;
        return true;
    }
    strike_sent_ = on;
    return true;
}

bool GuardEnforcement::SyncExempt(const BlockPolicy& policy) {
    const auto change = exempt_tracker_.Update(policy.AddressList(), policy.Store(), *exemptions_);
    if (change.Empty() || link_.UpdateExempt(change.clear, change.add, change.remove)) return true;
    if (!link_.Connected()) {
        Lost();
        return false;
    }
    // The guard no longer knows for certain what to spare, and strikes nothing: so it stays.
    platform::Diag("enforcement", "the guard refused the first strike's exempt ranges");
    strike_refused_ = true;
    strike_sent_ = false;
    return true;
}

void GuardEnforcement::Sync(const BlockPolicy& policy, bool auto_block, bool block_internet) {
    if (!EnsureConnected()) return;
    if (state_ && state_->packet_filter) {
        const bool strike = state_->first_strike && exemptions_ != nullptr && !strike_refused_;
        // Off before the sets let go of anything; on only once what it must spare is in.
        if (strike && !auto_block && !SwitchFirstStrike(false)) return;
        if (strike && !SyncExempt(policy)) return;
        const auto change = tracker_.Update(policy, auto_block);
        if (!change.Empty()) {
            if (!link_.UpdateBlocked(change.clear, change.add, change.remove)) {
                Lost();
                return;
            }
            NoteRefusals(change);
        }
        if (block_internet_sent_ != block_internet) {
            if (!link_.SetBlockInternet(block_internet)) {
                Lost();
                return;
            }
            block_internet_sent_ = block_internet;
        }
        if (strike && auto_block && !strike_refused_) SwitchFirstStrike(true);
    }
}

}  // namespace velmor::engine
