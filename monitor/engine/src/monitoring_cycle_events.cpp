// The monitoring cycle's use of the kernel's socket events: which of them need a read of the whole
// table, and the new connections on the bait that are filed and torn down from their event and a
// lookup of that one socket instead.

#include <algorithm>
#include <set>

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
    arrivals_.clear();
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
        if (targeted && IsBaitArrival(event)) {
            // Filed and torn down by a read that met it before its event came: nothing to do.
            if (IsTornDown(event.cookie)) continue;
            if (!FindArrival(event.cookie)) arrivals_.push_back({event, false});
            continue;
        }
        if (event.new_state == kEventClose) {
            // The close of a socket torn down from its event, and known gone since: nothing left to see.
            if (ForgetTornDown(event.cookie)) continue;
            // The close of an arrival of this same batch: its event proved it, so it is filed from
            // the event; the table has nothing more to say about it.
            if (Arrival* arrival = FindArrival(event.cookie)) {
                arrival->closed = true;
                continue;
            }
        }
        table_news_ = true;
    }
}

MonitoringCycle::Arrival* MonitoringCycle::FindArrival(std::uint64_t cookie) {
    const auto found = std::find_if(arrivals_.begin(), arrivals_.end(),
                                    [&](const Arrival& arrival) { return arrival.event.cookie == cookie; });
    return found != arrivals_.end() ? &*found : nullptr;
}

void MonitoringCycle::FileArrivals() {
    // Each arrival's socket is looked up before anything changes. One that is gone (or cannot be
    // asked for) is filed from its event all the same: the event proved its handshake, and a read of
    // the table would no longer meet it.
    arrived_.clear();
    for (const Arrival& arrival : arrivals_) {
        const platform::SocketId id = SocketIdOfEvent(arrival.event);
        // A read of the table since the connection came has filed it already.
        if (InLastSnapshot(id)) continue;
        ArrivedRow arrived;
        arrived.close_seen = arrival.closed;
        const platform::SocketLookupStatus status =
            arrival.closed ? platform::SocketLookupStatus::kGone : finder_->Find(id, arrived.socket);
        if (status != platform::SocketLookupStatus::kFound) {
            ++stats_.targeted_fallbacks;
            arrived.socket.row = RowOfEvent(arrival.event);
            arrived.socket.id = id;
            arrived.gone = status == platform::SocketLookupStatus::kGone;
        }
        arrived_.push_back(arrived);
    }
    if (arrived_.empty()) {
        ShowActivityLed(1);
        return;
    }

    // What automatic blocking and the full pass do for each of these rows, the teardown first: it is
    // decided from what the pass will file, so the reset leaves before any rule file is written.
    const std::uint64_t blocked_generation = store_.BlockedGeneration();
    std::vector<bool> torn(arrived_.size(), false);
    if (checked_[kAutoBlockBox]) {
        for (std::size_t i = 0; i < arrived_.size(); ++i) {
            if (arrived_[i].gone || !WillBeBlocked(arrived_[i].socket.row)) continue;
            teardowns_.Add(arrived_[i].socket.id);
            torn[i] = true;
        }
    }
    stats_.teardowns += teardowns_.Size();
    teardowns_.Flush(*enforcement_);
    // The store indexes the rule files the pass writes at once: they are no change from outside for
    // the next tick, while anything else that changed in the rule folder is.
    for (const ArrivedRow& arrival : arrived_) PassRow(arrival.socket.row);
    enforcement_->Sync(address_list_, store_, checked_[kAutoBlockBox], checked_[kBlockInternetBox]);
    seen_list_generation_ = address_list_.Generation();
    if (blocked_generation == seen_blocked_generation_ && OnlyArrivalsAdded(blocked_generation))
        seen_blocked_generation_ = store_.BlockedGeneration();

    // A row that is still there is part of the table the last pass stood for, so that the next read
    // does not count it once more; one that went leaves that table as it was, and its close is no news.
    for (std::size_t i = 0; i < arrived_.size(); ++i) {
        platform::SocketRow again;
        if (arrived_[i].gone ||
            (torn[i] && finder_->Find(arrived_[i].socket.id, again) == platform::SocketLookupStatus::kGone)) {
            if (!arrived_[i].close_seen) RememberTornDown(arrived_[i].socket.id);
            continue;
        }
        // During a long pass, the table it will stand for once done.
        const std::uint64_t digest = RowDigest(arrived_[i].socket.row, fingerprint_key_);
        if (pass_.active) {
            pass_.fingerprint += digest;
            ++pass_.tcp_count;
        } else {
            last_tcp_fingerprint_ += digest;
            ++last_tcp_count_;
        }
    }
    stats_.targeted += arrived_.size();
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
        RememberTornDown(tcp_.ids[i]);
        last_tcp_fingerprint_ -= RowDigest(tcp_.rows[i], fingerprint_key_);
        --last_tcp_count_;
    }
}

bool MonitoringCycle::OnlyArrivalsAdded(std::uint64_t since) {
    if (!store_.BlockedChangesSince(since, blocked_changes_)) return false;
    for (const rules::RuleStore::BlockedChange& change : blocked_changes_) {
        if (!change.blocked) return false;
        const bool ours = std::any_of(arrived_.begin(), arrived_.end(), [&](const ArrivedRow& arrival) {
            RemoteAddressText(arrival.socket.row, address_text_);
            return address_text_ == change.address;
        });
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
    const std::uint64_t cookie = CookieOf(id);
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
