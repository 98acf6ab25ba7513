#include "velmor/engine/pass_ledger.h"

#include <random>

namespace velmor::engine {
namespace {

// The fingerprint key: unknown outside this process, so no remote host can pick rows that collide.
std::uint64_t FingerprintKey() {
    std::random_device source;
    return (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

}  // namespace

std::uint64_t CookieOf(const platform::SocketId& id) {
    return (static_cast<std::uint64_t>(id.cookie[1]) << 32) | id.cookie[0];
}

PassLedger::PassLedger() : key_(FingerprintKey()) {}

void PassLedger::EndPass() {
    pass_.active = false;
    udp_count_ = pass_.udp_count;
    tcp_count_ = pass_.tcp_count;
    fingerprint_ = pass_.fingerprint;
}

void PassLedger::RowJoined(const TcpRow& row) {
    const std::uint64_t digest = RowDigest(row, key_);
    if (pass_.active) {
        pass_.fingerprint += digest;
        ++pass_.tcp_count;
    } else {
        fingerprint_ += digest;
        ++tcp_count_;
    }
}

void PassLedger::RowLeft(const TcpRow& row) {
    fingerprint_ -= RowDigest(row, key_);
    --tcp_count_;
}

bool PassLedger::InTable(const TcpSnapshot& tcp, std::uint64_t cookie) {
    if (cookie == 0) return false;
    if (snapshot_cookies_stale_) {
        snapshot_cookies_.clear();
        // A row the read met half-open was listed but not filed: its arrival still has to be.
        for (std::size_t i = 0; i < tcp.ids.size(); ++i) {
            if (i < tcp.rows.size() && tcp.rows[i].dwState == kStateSynReceived) continue;
            snapshot_cookies_.insert(CookieOf(tcp.ids[i]));
        }
        snapshot_cookies_stale_ = false;
    }
    return snapshot_cookies_.contains(cookie);
}

bool PassLedger::Queue(const guard::EventRecord& event) {
    if (queued_arrivals_.contains(event.cookie)) return false;
    arrivals_.push_back({event});
    queued_arrivals_.emplace(event.cookie, &arrivals_.back());
    return true;
}

bool PassLedger::MarkClosed(std::uint64_t cookie) {
    const auto queued = queued_arrivals_.find(cookie);
    if (queued == queued_arrivals_.end()) return false;
    queued->second->closed = true;
    return true;
}

void PassLedger::DecideNewArrivals(const std::function<void(Arrival&)>& decide) {
    for (std::size_t i = decided_arrivals_; i < arrivals_.size(); ++i) decide(arrivals_[i]);
    decided_arrivals_ = arrivals_.size();
}

PassLedger::Arrival PassLedger::TakeArrival() {
    const Arrival arrival = arrivals_.front();
    queued_arrivals_.erase(arrival.event.cookie);
    arrivals_.pop_front();
    if (decided_arrivals_ > 0) --decided_arrivals_;
    return arrival;
}

}  // namespace velmor::engine
