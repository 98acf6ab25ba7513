#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "velmor/guard/protocol.h"

namespace velmor::guard {

class SocketEventSource;

// The first strike in the kernel, over the maps and packet-path programs that an open
// SocketEventSource loaded with its socket state program (bpf/first_strike.bpf.c):
//   - the blocked map, which the state program writes when a handshake completes on the bait while
//     the strike is armed, and the guard writes as its sets change;
//   - the exempt trie (the client's allowed rules, lifelines and trusted ranges) and the guard's own
//     lifelines, which the state program never strikes;
//   - the tc clsact programs on every interface of the namespace, which drop what comes from a blocked
//     address or goes to it (the reset of a connection the guard tears down excepted).
// Interfaces are covered when asked (CoverInterfaces), so a caller that watches the links keeps new
// ones covered; the destructor detaches from every interface it covered. Not thread-safe.
class KernelStrike final {
public:
    struct Counts {
        std::uint64_t struck = 0;
        std::uint64_t spared = 0;
        std::uint64_t full = 0;
        std::uint64_t dropped_in = 0;
        std::uint64_t dropped_out = 0;
    };
    // An address of the blocked map, times in CLOCK_MONOTONIC nanoseconds (bpf_ktime_get_ns).
    struct Entry {
        std::uint64_t since_ns = 0;       // struck, or put in by the guard
        std::uint64_t first_drop_ns = 0;  // 0 while no packet was dropped
        bool by_kernel = false;           // struck by a handshake on the bait
    };

    // Over `source`'s object, which must stay open while this lives; nullptr (with `reason`) when the
    // source is closed or loaded without the first strike.
    static std::unique_ptr<KernelStrike> Open(const SocketEventSource& source, std::string& reason);
    ~KernelStrike();
    KernelStrike(const KernelStrike&) = delete;
    KernelStrike& operator=(const KernelStrike&) = delete;

    bool Arm(bool on);
    bool Armed() const;

    // False when the map refused some (it is full); those stay out.
    bool Block(std::span<const Address> addresses);
    void Unblock(std::span<const Address> addresses);
    void ClearBlocked();
    bool Holds(const Address& address) const;
    std::optional<Entry> Find(const Address& address) const;
    std::size_t BlockedCount() const;

    // False when the kernel refused an addition (the trie is full).
    bool UpdateExempt(bool clear, std::span<const ExemptRange> add, std::span<const ExemptRange> remove);
    std::size_t ExemptCount() const { return exempt_.size(); }
    void SetLifelines(const std::set<Address>& lifelines);

    // Attaches the programs to every interface of the calling thread's namespace that lacks them;
    // returns how many interfaces are covered now.
    std::size_t CoverInterfaces();
    // Detaches from every interface covered, and removes the clsact hooks it made.
    void Uncover();
    std::size_t Covered() const { return covered_.size(); }

    Counts GetCounts() const;

private:
    KernelStrike() = default;
    bool Attach(int ifindex);
    void Detach(int ifindex, bool hook_made);

    int blocked_ = -1;
    int exempt_fd_ = -1;
    int lifeline_ = -1;
    int config_ = -1;
    int counts_ = -1;
    int program_in_ = -1;
    int program_out_ = -1;
    bool armed_ = false;
    std::set<ExemptRange> exempt_;
    std::set<Address> lifelines_;
    // Covered interfaces by index: whether the clsact hook was made here (and goes with the guard).
    std::map<int, bool> covered_;
    // Interfaces that refused the programs; tried again when the links change.
    std::set<int> refused_;
};

}  // namespace velmor::guard
