// The monitoring cycle's use of the kernel's socket events: which of them need a read of the whole
// table, and the new connections on the bait that are torn down and filed from their event instead.

#include <algorithm>

#include "velmor/common/text_rules.h"
#include "velmor/engine/monitoring_cycle.h"

namespace velmor::engine {
namespace {

// Teardowns of one read that are looked up again to see them gone.
constexpr std::size_t kMaxSettled = 64;

}  // namespace

void MonitoringCycle::TakeTableNews() {
    table_news_ = false;
    if (events_ == nullptr) return;
    if (!events_->Live()) {
        // From here the counter gate watches the table; what the last events left unsaid is read now.
        table_news_ = events_were_live_;
        events_were_live_ = false;
        return;
    }
    events_were_live_ = true;
    // Events lost on the way: only a read of the whole table can tell what changed. The arrivals
    // that did come are still filed from their events first.
    if (events_->TakeNews(news_events_)) table_news_ = true;
    // In block-the-Internet mode every event leads to the tick that tears the whole table down.
    const bool targeted = finder_ != nullptr && !checked_[kBlockInternetBox];
    for (const guard::EventRecord& event : news_events_) {
        // The kernel blocked the arrival's address already: the guard's sets hold it. It is filed, torn
        // down and told all the same, as every arrival.
        if ((event.flags & guard::kEventStruck) != 0 && IsBaitArrival(event)) {
            ++stats_.struck;
            enforcement_->KernelStruck(RemoteAddressText(RowOfEvent(event)));
        }
        if (event.new_state == guard::tcp_state::kNewSynRecv) {
            half_open_news_ = true;
            continue;
        }
        if (targeted && IsBaitArrival(event)) {
            // Filed and torn down by a read that met it before its event came: nothing to do.
            if (!ledger_.IsTornDown(event.cookie)) ledger_.Queue(event);
            continue;
        }
        if (event.new_state == guard::tcp_state::kClose) {
            // The close of a socket torn down from its event, and known gone since: nothing left to see.
            if (ledger_.ForgetTornDown(event.cookie)) continue;
            // The close of an arrival still waiting to be filed: its event proved it, so it is filed
            // from the event; the table has nothing more to say about it.
            if (ledger_.MarkClosed(event.cookie)) continue;
        }
        table_news_ = true;
    }
}

void MonitoringCycle::FileArrivals() {
    // The teardown first, for every arrival as soon as its event is in: decided from what its event
    // says and what the pass will file for it, before any lookup or rule file.
    ledger_.DecideNewArrivals([&](PassLedger::Arrival& arrival) {
        if (arrival.closed || !checked_[kAutoBlockBox] || ledger_.InTable(tcp_, arrival.event.cookie)) return;
        const TcpRow row = RowOfEvent(arrival.event);
        if (!policy_.AfterPass(row, RemoteAddressText(row)).blocked) return;
        teardowns_.Add(guard::SocketIdOf(arrival.event));
        arrival.torn = true;
    });
    stats_.teardowns += teardowns_.Size();
    teardowns_.Flush(*enforcement_);

    // Then the full pass's steps for each of them, slice by slice. The store indexes the rule files
    // they write at once: no change from outside for the next tick, while anything else that changed
    // in the rule folder is.
    const std::uint64_t blocked_generation = store_.BlockedGeneration();
    filed_addresses_.clear();
    const auto start = clock_.Now();
    std::size_t filed = 0;
    while (ledger_.HasArrivals()) {
        const PassLedger::Arrival arrival = ledger_.TakeArrival();
        // A read of the table since the connection came has filed it already.
        if (ledger_.InTable(tcp_, arrival.event.cookie)) continue;
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
            const auto status = finder_->Find(guard::SocketIdOf(arrival.event), again);
            gone = status == platform::SocketLookupStatus::kGone;
        }
        if (arrival.closed) ++stats_.targeted_fallbacks;
        if (gone) {
            if (!arrival.closed) RememberGone(arrival.event.cookie);
        } else {
            ledger_.RowJoined(row);
        }
        if (ledger_.HasArrivals() && filed >= pass_slice_rows_ && clock_.Now() - start >= pass_slice_) {
            ++stats_.pass_slices;
            break;
        }
    }
    if (filed == 0) {
        ShowActivityLed(1);
        return;
    }
    enforcement_->Sync(policy_, checked_[kAutoBlockBox], checked_[kBlockInternetBox]);
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
        RememberGone(CookieOf(tcp_.ids[i]));
        ledger_.RowLeft(tcp_.rows[i]);
    }
}

void MonitoringCycle::RememberGone(std::uint64_t cookie) {
    ledger_.RememberTornDown(cookie);
    if (events_ != nullptr) events_->ExpectClose(cookie);
}

bool MonitoringCycle::OnlyArrivalsAdded(std::uint64_t since) {
    if (!store_.BlockedChangesSince(since, blocked_changes_)) return false;
    return std::all_of(blocked_changes_.begin(), blocked_changes_.end(), [&](const auto& change) {
        return change.blocked && filed_addresses_.contains(change.address);
    });
}

}  // namespace velmor::engine
