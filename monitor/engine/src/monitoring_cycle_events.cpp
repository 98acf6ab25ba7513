// The monitoring cycle's use of the kernel's socket events: which of them need a read of the whole
// table, and the new connections on the bait that are torn down and filed from their event instead.

#include <algorithm>

#include "velmor/common/text_rules.h"
#include "velmor/engine/monitoring_cycle.h"

namespace velmor::engine {
namespace {

// Cookies of sockets torn down and known gone, kept until their close event comes: as many as a
// flood of intruders can leave between two ticks.
constexpr std::size_t kMaxTornDown = 4096;
// Teardowns of one read that are looked up again to see them gone.
constexpr std::size_t kMaxSettled = 64;

std::uint64_t CookieOf(const platform::SocketId& id) {
    return (static_cast<std::uint64_t>(id.cookie[1]) << 32) | id.cookie[0];
}

}  // namespace

void MonitoringCycle::TakeTableNews() {
    table_news_ = false;
    if (news_ == nullptr) return;
    if (!news_->Live()) {
        // From here the counter gate watches the table; what the last events left unsaid is read now.
        table_news_ = news_was_live_;
        news_was_live_ = false;
        return;
    }
    news_was_live_ = true;
    // Events lost on the way: only a read of the whole table can tell what changed. The arrivals
    // that did come are still filed from their events first.
    if (news_->TakeNews(news_events_)) table_news_ = true;
    // In block-the-Internet mode every event leads to the tick that tears the whole table down.
    const bool targeted = finder_ != nullptr && !checked_[kBlockInternetBox];
    for (const guard::EventRecord& event : news_events_) {
        // The kernel blocked the arrival's address already: the guard's sets hold it. It is filed, torn
        // down and told all the same, as every arrival.
        if ((event.flags & guard::kEventStruck) != 0 && IsBaitArrival(event)) {
            ++stats_.struck;
            enforcement_->KernelStruck(RemoteAddressText(RowOfEvent(event)));
        }
        if (event.new_state == kEventNewSynRecv) {
            half_open_news_ = true;
            continue;
        }
        if (targeted && IsBaitArrival(event)) {
            // Filed and torn down by a read that met it before its event came: nothing to do.
            if (IsTornDown(event.cookie)) continue;
            if (queued_arrivals_.contains(event.cookie)) continue;
            arrivals_.push_back({event});
            queued_arrivals_.emplace(event.cookie, &arrivals_.back());
            continue;
        }
        if (event.new_state == kEventClose) {
            // The close of a socket torn down from its event, and known gone since: nothing left to see.
            if (ForgetTornDown(event.cookie)) continue;
            // The close of an arrival still waiting to be filed: its event proved it, so it is filed
            // from the event; the table has nothing more to say about it.
            if (const auto queued = queued_arrivals_.find(event.cookie); queued != queued_arrivals_.end()) {
                queued->second->closed = true;
                continue;
            }
        }
        table_news_ = true;
    }
}

void MonitoringCycle::FileArrivals() {
    // The teardown first, for every arrival as soon as its event is in: decided from what its event
    // says and what the pass will file for it, before any lookup or rule file.
    if (decided_arrivals_ < arrivals_.size()) {
        for (std::size_t i = decided_arrivals_; i < arrivals_.size(); ++i) {
            Arrival& arrival = arrivals_[i];
            if (arrival.closed || !checked_[kAutoBlockBox] || InLastSnapshot(arrival.event.cookie)) continue;
            if (!WillBeBlocked(RowOfEvent(arrival.event))) continue;
            teardowns_.Add(SocketIdOfEvent(arrival.event));
            arrival.torn = true;
        }
        decided_arrivals_ = arrivals_.size();
        stats_.teardowns += teardowns_.Size();
        teardowns_.Flush(*enforcement_);
    }

    // Then the full pass's steps for each of them, slice by slice. The store indexes the rule files
    // they write at once: no change from outside for the next tick, while anything else that changed
    // in the rule folder is.
    const std::uint64_t blocked_generation = store_.BlockedGeneration();
    filed_addresses_.clear();
    const auto start = clock_.Now();
    std::size_t filed = 0;
    while (!arrivals_.empty()) {
        const Arrival arrival = arrivals_.front();
        queued_arrivals_.erase(arrival.event.cookie);
        arrivals_.pop_front();
        if (decided_arrivals_ > 0) --decided_arrivals_;
        // A read of the table since the connection came has filed it already.
        if (InLastSnapshot(arrival.event.cookie)) continue;
        const TcpRow row = RowOfEvent(arrival.event);
        PassRow(row);
        filed_addresses_.insert(RemoteAddressText(row));
        ++stats_.targeted;
        ++filed;
        // A connection that is still there is part of the table the last pass stood for, so that the
        // next read does not count it once more; one that went leaves that table as it was, and its
        // close is no news. A torn one is looked at once more to see it gone.
        platform::SocketRow again;
        bool gone = arrival.closed;
        if (!gone && arrival.torn && finder_ != nullptr) {
            const auto status = finder_->Find(SocketIdOfEvent(arrival.event), again);
            gone = status == platform::SocketLookupStatus::kGone;
        }
        if (arrival.closed) ++stats_.targeted_fallbacks;
        if (gone) {
            if (!arrival.closed) RememberTornDown(arrival.event.cookie);
        } else {
            // During a long pass, the table it will stand for once done.
            const std::uint64_t digest = RowDigest(row, fingerprint_key_);
            if (pass_.active) {
                pass_.fingerprint += digest;
                ++pass_.tcp_count;
            } else {
                last_tcp_fingerprint_ += digest;
                ++last_tcp_count_;
            }
        }
        if (!arrivals_.empty() && filed >= pass_slice_rows_ && clock_.Now() - start >= pass_slice_) {
            ++stats_.pass_slices;
            break;
        }
    }
    if (filed == 0) {
        ShowActivityLed(1);
        return;
    }
    enforcement_->Sync(address_list_, store_, checked_[kAutoBlockBox], checked_[kBlockInternetBox]);
    seen_list_generation_ = address_list_.Generation();
    if (blocked_generation == seen_blocked_generation_ && OnlyArrivalsAdded(blocked_generation))
        seen_blocked_generation_ = store_.BlockedGeneration();
    ShowActivityLed(0);
}

void MonitoringCycle::SettleTeardowns() {
    // Only while events tell of sockets leaving, and not in block-the-Internet mode, where every
    // event is read from the table anyway. A few lookups at most; past them a close event is news.
    if (!EventsLive() || finder_ == nullptr || checked_[kBlockInternetBox]) return;
    std::size_t looked_up = 0;
    for (std::size_t i = 0; i < tcp_.rows.size() && i < tcp_.ids.size(); ++i) {
        if (tcp_.rows[i].dwState != kDeleteTcb) continue;
        if (++looked_up > kMaxSettled) return;
        platform::SocketRow again;
        if (finder_->Find(tcp_.ids[i], again) != platform::SocketLookupStatus::kGone) continue;
        RememberTornDown(CookieOf(tcp_.ids[i]));
        last_tcp_fingerprint_ -= RowDigest(tcp_.rows[i], fingerprint_key_);
        --last_tcp_count_;
    }
}

bool MonitoringCycle::OnlyArrivalsAdded(std::uint64_t since) {
    if (!store_.BlockedChangesSince(since, blocked_changes_)) return false;
    return std::all_of(blocked_changes_.begin(), blocked_changes_.end(), [&](const auto& change) {
        return change.blocked && filed_addresses_.contains(change.address);
    });
}

bool MonitoringCycle::InLastSnapshot(std::uint64_t cookie) {
    if (cookie == 0) return false;
    // The cookies of the snapshot, gathered once per read and only when asked for.
    if (snapshot_cookies_stale_) {
        snapshot_cookies_.clear();
        for (const platform::SocketId& id : tcp_.ids) snapshot_cookies_.insert(CookieOf(id));
        snapshot_cookies_stale_ = false;
    }
    return snapshot_cookies_.contains(cookie);
}

void MonitoringCycle::RememberTornDown(std::uint64_t cookie) {
    if (!torn_down_.insert(cookie).second) return;
    torn_down_order_.push_back(cookie);
    // The oldest are forgotten first: a close that never came (its event was lost) must not pile up.
    while (torn_down_order_.size() > kMaxTornDown) {
        torn_down_.erase(torn_down_order_.front());
        torn_down_order_.pop_front();
    }
}

bool MonitoringCycle::ExpectsEvent(const guard::EventRecord& event) const {
    return event.new_state == kEventClose && IsTornDown(event.cookie);
}

bool MonitoringCycle::IsTornDown(std::uint64_t cookie) const {
    return torn_down_.contains(cookie);
}

bool MonitoringCycle::ForgetTornDown(std::uint64_t cookie) {
    // Its place in the order goes when it comes to the front.
    return torn_down_.erase(cookie) > 0;
}

}  // namespace velmor::engine
