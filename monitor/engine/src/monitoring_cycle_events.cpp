// The monitoring cycle's use of the kernel's socket events: which of them need a read of the whole
// table, and the new connections on the bait that are filed and torn down from their event and a
// lookup of that one socket instead.

#include <algorithm>
#include <set>

#include "velmor/common/text_rules.h"
#include "velmor/engine/monitoring_cycle.h"

namespace velmor::engine {
namespace {

// Cookies of sockets torn down and known gone, kept until their close event comes; a handful is
// ever pending.
constexpr std::size_t kMaxTornDown = 64;

std::uint64_t CookieOf(const platform::SocketId& id) {
    return (static_cast<std::uint64_t>(id.cookie[1]) << 32) | id.cookie[0];
}

}  // namespace

void MonitoringCycle::TakeTableNews() {
    table_news_ = false;
    arrivals_.clear();
    if (news_ == nullptr) return;
    if (!news_->Live()) {
        // From here the counter gate watches the table; what the last events left unsaid is read now.
        table_news_ = news_was_live_;
        news_was_live_ = false;
        return;
    }
    news_was_live_ = true;
    if (news_->TakeNews(news_events_)) {
        // Events were lost on the way.
        table_news_ = true;
        return;
    }
    // In block-the-Internet mode every event leads to the tick that tears the whole table down.
    const bool targeted = finder_ != nullptr && !checked_[kBlockInternetBox];
    for (const guard::EventRecord& event : news_events_) {
        if (targeted && IsBaitArrival(event)) {
            // Filed and torn down by a read that met it before its event came: nothing to do.
            if (IsTornDown(event.cookie)) continue;
            const platform::SocketId id = SocketIdOfEvent(event);
            const bool known =
                std::any_of(arrivals_.begin(), arrivals_.end(),
                            [&](const platform::SocketId& seen) { return CookieOf(seen) == event.cookie; });
            if (!known) arrivals_.push_back(id);
            continue;
        }
        // The close of a socket torn down from its event, and known gone since: nothing left to see.
        if (event.new_state == kEventClose && ForgetTornDown(event.cookie)) continue;
        table_news_ = true;
    }
    // A read of the table files the arrivals as the full pass does.
    if (table_news_) arrivals_.clear();
}

bool MonitoringCycle::FileArrivals() {
    // Every arrival is looked up before anything changes: if one cannot be, the table is read
    // instead, and it files them all.
    arrived_.clear();
    for (const platform::SocketId& id : arrivals_) {
        platform::SocketRow found;
        if (finder_->Find(id, found) != platform::SocketLookupStatus::kFound) return false;
        // A read of the table since the connection came has filed it already.
        if (InLastSnapshot(found.id)) continue;
        arrived_.push_back(found);
    }
    if (arrived_.empty()) {
        ShowActivityLed(1);
        return true;
    }

    // What automatic blocking and the full pass do for each of these rows, the teardown first: it is
    // decided from what the pass will file, so the reset leaves before any rule file is written.
    const std::uint64_t blocked_generation = store_.BlockedGeneration();
    const std::set<std::string, std::less<>> blocked_before = store_.BlockedAddresses();
    std::vector<bool> torn(arrived_.size(), false);
    if (checked_[kAutoBlockBox]) {
        for (std::size_t i = 0; i < arrived_.size(); ++i) {
            if (!WillBeBlocked(arrived_[i].row)) continue;
            teardowns_.Add(arrived_[i].id);
            torn[i] = true;
        }
    }
    stats_.teardowns += teardowns_.Size();
    teardowns_.Flush(*enforcement_);
    // The store indexes the rule files the pass writes at once: they are no change from outside for
    // the next tick, while anything else that changed in the rule folder is.
    for (const platform::SocketRow& arrival : arrived_) PassRow(arrival.row);
    enforcement_->Sync(address_list_, store_, checked_[kAutoBlockBox], checked_[kBlockInternetBox]);
    seen_list_generation_ = address_list_.Generation();
    if (blocked_generation == seen_blocked_generation_ && OnlyArrivalsAdded(blocked_before))
        seen_blocked_generation_ = store_.BlockedGeneration();

    // A row that is still there is part of the table the last pass stood for, so that the next read
    // does not count it once more; one that went leaves that table as it was.
    for (std::size_t i = 0; i < arrived_.size(); ++i) {
        platform::SocketRow again;
        if (torn[i] && finder_->Find(arrived_[i].id, again) == platform::SocketLookupStatus::kGone) {
            RememberTornDown(arrived_[i].id);
            continue;
        }
        last_tcp_fingerprint_ += RowDigest(arrived_[i].row, fingerprint_key_);
        ++last_tcp_count_;
    }
    stats_.targeted += arrived_.size();
    ShowActivityLed(0);
    return true;
}

void MonitoringCycle::SettleTeardowns() {
    // Only while events tell of sockets leaving, and not in block-the-Internet mode, where every
    // event is read from the table anyway. A few lookups at most; past them a close event is news.
    if (!EventsLive() || finder_ == nullptr || checked_[kBlockInternetBox]) return;
    std::size_t looked_up = 0;
    for (std::size_t i = 0; i < tcp_.rows.size() && i < tcp_.ids.size(); ++i) {
        if (tcp_.rows[i].dwState != kDeleteTcb) continue;
        if (++looked_up > kMaxTornDown) return;
        platform::SocketRow again;
        if (finder_->Find(tcp_.ids[i], again) != platform::SocketLookupStatus::kGone) continue;
        RememberTornDown(tcp_.ids[i]);
        last_tcp_fingerprint_ -= RowDigest(tcp_.rows[i], fingerprint_key_);
        --last_tcp_count_;
    }
}

bool MonitoringCycle::OnlyArrivalsAdded(const std::set<std::string, std::less<>>& before) const {
    const auto& after = store_.BlockedAddresses();
    if (!std::includes(after.begin(), after.end(), before.begin(), before.end())) return false;
    for (const std::string& address : after) {
        if (before.contains(address)) continue;
        const bool ours = std::any_of(
            arrived_.begin(), arrived_.end(),
            [&](const platform::SocketRow& arrival) { return RemoteAddressText(arrival.row) == address; });
        if (!ours) return false;
    }
    return true;
}

bool MonitoringCycle::InLastSnapshot(const platform::SocketId& id) const {
    const std::uint64_t cookie = CookieOf(id);
    if (cookie == 0) return false;
    return std::any_of(tcp_.ids.begin(), tcp_.ids.end(),
                       [&](const platform::SocketId& row) { return CookieOf(row) == cookie; });
}

void MonitoringCycle::RememberTornDown(const platform::SocketId& id) {
    if (torn_down_.size() >= kMaxTornDown) torn_down_.erase(torn_down_.begin());
    torn_down_.push_back(CookieOf(id));
}

bool MonitoringCycle::ExpectsEvent(const guard::EventRecord& event) const {
    return event.new_state == kEventClose && IsTornDown(event.cookie);
}

bool MonitoringCycle::IsTornDown(std::uint64_t cookie) const {
    return std::find(torn_down_.begin(), torn_down_.end(), cookie) != torn_down_.end();
}

bool MonitoringCycle::ForgetTornDown(std::uint64_t cookie) {
    const auto found = std::find(torn_down_.begin(), torn_down_.end(), cookie);
    if (found == torn_down_.end()) return false;
    torn_down_.erase(found);
    return true;
}

}  // namespace velmor::engine
