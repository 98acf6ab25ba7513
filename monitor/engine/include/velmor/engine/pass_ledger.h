#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "velmor/engine/module_tcp_table.h"
#include "velmor/engine/table_events.h"
#include "velmor/guard/protocol.h"

namespace velmor::engine {

// What the monitoring cycle keeps between ticks of the table its last full pass stood for: the set
// of its rows (counts and a keyed fingerprint), the pass in progress while it is cut into slices,
// the new connections on the bait that events told of and that wait to be filed, and the sockets
// torn down and seen gone whose close events are expected.
class PassLedger final {
public:
    PassLedger();

    // --- The table the last pass stood for. The full pass runs when a read differs from it: same
    // count, other rows included. The key makes the fingerprint unpredictable from outside.
    std::uint64_t Fingerprint(const TcpSnapshot& tcp) const { return RowSetFingerprint(tcp, key_); }
    bool Differs(int tcp_count, int udp_count, std::uint64_t fingerprint) const {
        return udp_count != udp_count_ || tcp_count != tcp_count_ || fingerprint != fingerprint_;
    }
    int TcpCount() const { return tcp_count_; }
    int UdpCount() const { return udp_count_; }
    std::uint64_t TcpFingerprint() const { return fingerprint_; }

    // --- The pass in progress: over the rows of one read, slice by slice; done, it stands for that
    // read. Block the Internet drops it.
    void BeginPass(int tcp_count, int udp_count, std::uint64_t fingerprint) {
        pass_ = {true, 0, tcp_count, udp_count, fingerprint};
    }
    bool PassActive() const { return pass_.active; }
    // The row of the read that the pass goes on with, and the step past it.
    std::size_t NextRow() const { return pass_.next; }
    void RowPassed() { ++pass_.next; }
    void EndPass();
    void DropPass() { pass_.active = false; }

    // A connection that joined the table after its read (an arrival filed from its event and still
    // there): part of the table the pass in progress will stand for once done, or else of the last
    // one, so that the next read does not count it once more.
    void RowJoined(const TcpRow& row);
    // A connection of the last pass's table that is gone since (torn down and seen gone).
    void RowLeft(const TcpRow& row);

    // --- The cookies of the last read, gathered once per read and only when asked for. A socket the
    // read met half-open does not count: the read filed nothing for it.
    void TableRead() { snapshot_cookies_stale_ = true; }
    bool InTable(const TcpSnapshot& tcp, std::uint64_t cookie);

    // --- New connections on the bait that an event told of, oldest first, waiting to be filed.
    struct Arrival {
        guard::EventRecord event;
        bool closed = false;  // its close event came too
        bool torn = false;    // its teardown was asked for
    };
    // False when the arrival is queued already.
    bool Queue(const guard::EventRecord& event);
    // Marks the queued arrival of `cookie` closed; false when none is queued.
    bool MarkClosed(std::uint64_t cookie);
    bool HasArrivals() const { return !arrivals_.empty(); }
    // Hands each arrival queued since the last call to `decide` (its teardown is decided once).
    void DecideNewArrivals(const std::function<void(Arrival&)>& decide);
    // Takes the oldest arrival off the queue.
    Arrival TakeArrival();

    // --- Sockets torn down and known gone, kept until their close event comes (kMaxTornDown, the
    // oldest forgotten first).
    void RememberTornDown(std::uint64_t cookie) { torn_down_.Add(cookie); }
    bool IsTornDown(std::uint64_t cookie) const { return torn_down_.Contains(cookie); }
    // Forgets it (its close came); false when it was not remembered.
    bool ForgetTornDown(std::uint64_t cookie) { return torn_down_.Remove(cookie); }

private:
    std::uint64_t key_;
    int tcp_count_ = 0;
    int udp_count_ = 0;
    std::uint64_t fingerprint_ = 0;  // the empty set's
    struct Pass {
        bool active = false;
        std::size_t next = 0;  // the next row of the read
        int tcp_count = 0;
        int udp_count = 0;
        std::uint64_t fingerprint = 0;
    };
    Pass pass_;
    std::unordered_set<std::uint64_t> snapshot_cookies_;
    bool snapshot_cookies_stale_ = true;
    std::deque<Arrival> arrivals_;
    std::unordered_map<std::uint64_t, Arrival*> queued_arrivals_;  // the same by cookie
    std::size_t decided_arrivals_ = 0;  // the first ones, whose teardown is decided
    RecentCookies torn_down_{kMaxTornDown};
};

// The 64-bit cookie of a socket id (sock_diag's two 32-bit words, the low one first).
std::uint64_t CookieOf(const platform::SocketId& id);

}  // namespace velmor::engine
