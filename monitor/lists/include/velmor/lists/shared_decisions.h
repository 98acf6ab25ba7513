#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/guard/protocol.h"
#include "velmor/platform/address_text.h"
#include "velmor/rules/exemptions.h"

namespace velmor::lists {

// A decision to block a range, from the fleet or an imported list.
struct SharedDecision {
    platform::AddressRange range;
    std::string source;    // "crowdsec" (the fleet) or "list:NAME"
    std::string origin;    // CrowdSec origin ("velmor", "cscli", "CAPI", ...) or the list's name
    std::string scenario;  // may be empty
    std::optional<std::chrono::system_clock::time_point> expires;  // nullopt: never
    bool operator==(const SharedDecision&) const = default;
};

// Why a decision is not enforced: its range holds a lifeline (loopback, the machine's own
// addresses, its default gateways, its DNS servers) or a trusted address, the user's allowed
// rules leave nothing of it, or it is wider than the cap.
enum class SharedRefusal { Lifeline, Trusted, Allowed, TooWide };

// Every source's decisions merged into the disjoint spans the guard's interval sets hold, minus what
// must never be blocked. Anyone with the fleet's credentials or a list file can write a decision,
// so none may choose a lifeline or a trusted address: such a decision is refused whole. An
// address the user allowed is cut out of a decision's range (the rest still blocks). Where
// decisions overlap, the later expiry holds. Changes are kept per span, so a change of a few
// decisions among many costs only the spans it touches.
class SharedDecisions final {
public:
    // `allowed_by_rule` answers for a decision of one address; the allowed rules' addresses cut out
    // of wider ranges come from SetAllowedAddresses.
    SharedDecisions(const rules::Exemptions& exemptions,
                    std::function<bool(const platform::IpAddress&)> allowed_by_rule);
    ~SharedDecisions();
    SharedDecisions(const SharedDecisions&) = delete;
    SharedDecisions& operator=(const SharedDecisions&) = delete;

    // The widest prefix a decision may have per family (/16 and /32 unless set); rechecks all.
    void SetRangeCap(int v4_prefix = 16, int v6_prefix = 32);
    // The addresses of the user's allowed rules, cut out of every range that holds one; the
    // decisions over the addresses that came or went are judged again.
    void SetAllowedAddresses(std::vector<platform::IpAddress> addresses);

    // The source's decisions become exactly `decisions` (their own source fields are overwritten).
    void ReplaceSource(std::string_view source, std::vector<SharedDecision> decisions);
    // Adds each by its own source; one of the same source and range replaces the one held.
    void Add(std::vector<SharedDecision> decisions);
    void Remove(std::string_view source, const std::vector<platform::AddressRange>& ranges);
    // The source and all its decisions go, and with them its line in Sources() (a removed list).
    void RemoveSource(std::string_view source);
    // Exemptions, the trusted list or an allowed rule changed: every decision is judged again. A
    // change of the exemptions' generation is noticed by itself at the next change or take.
    void Recheck();

    // What the guard must change since the last call: clear (first time / after ForgetGuard), adds,
    // removes. Decisions expired by `now` are dropped first; spans the kernel dropped at their own
    // timeout are not removed again unless a new span covers part of them. Timeouts count from `now`.
    struct GuardChange {
        bool clear = false;
        std::vector<guard::SharedElement> add;
        std::vector<guard::AddressSpan> remove;
    };
    GuardChange TakeGuardChange(std::chrono::system_clock::time_point now);
    // Drops the decisions expired by `now` (their spans leave with the next change); true when any
    // did.
    bool DropExpired(std::chrono::system_clock::time_point now);
    // The guard restarted: the next change is a full replace.
    void ForgetGuard();

    // Which decision blocks `address` now (the one with the latest expiry), nullptr if none. Valid
    // until the next change.
    const SharedDecision* Blocking(const platform::IpAddress& address) const;

    struct SourceCount {
        std::string source;
        std::size_t entries = 0;  // decisions enforced (all or in part)
        std::size_t refused = 0;
        std::chrono::system_clock::time_point updated{};
    };
    std::vector<SourceCount> Sources() const;
    struct Refused {
        SharedDecision decision;
        SharedRefusal why = SharedRefusal::TooWide;
    };
    const std::vector<Refused>& RefusedDecisions() const;

    // The spans as the guard holds them after the last take, for checks and the status line.
    std::size_t SpanCount() const { return sent_.size(); }

    // A point of the address space: the family, then the address as a 128-bit number.
    struct Point {
        bool v6 = false;
        std::uint64_t hi = 0;
        std::uint64_t lo = 0;
        auto operator<=>(const Point&) const = default;
    };

private:
    using Expiry = std::int64_t;  // seconds since 1970; kNever for none
    static constexpr Expiry kNever = INT64_MAX;
    struct Piece {
        Point first, last;
        bool operator==(const Piece&) const = default;
    };
    struct Held {
        SharedDecision decision;
        Expiry expiry = kNever;
        std::vector<Piece> pieces;  // enforced parts; empty when refused
        std::optional<SharedRefusal> refused;
        bool live = false;
    };
    struct Segment {
        Point last;
        std::vector<std::uint32_t> ids;
    };
    struct SentSpan {
        Point last;
        Expiry expiry = kNever;
    };
    // A decision's range as a key that compares as numbers.
    struct RangeKey {
        Point first;
        int prefix = 0;
        auto operator<=>(const RangeKey&) const = default;
    };
    static RangeKey KeyOf(const platform::AddressRange& range);
    struct Source {
        std::map<RangeKey, std::uint32_t> decisions;
        std::chrono::system_clock::time_point updated{};
    };

    void Judge(Held& held, std::vector<Piece>& pieces) const;
    void Rejudge(std::uint32_t id);
    void Insert(SharedDecision decision);
    void Drop(std::uint32_t id);
    void Enforce(std::uint32_t id, std::vector<Piece> pieces);
    void AddPiece(const Piece& piece, std::uint32_t id);
    void RemovePiece(const Piece& piece, std::uint32_t id);
    void SplitBefore(const Point& at);
    Expiry ExpiryOf(const Segment& segment) const;
    void RefreshSafety();
    void NoteRefusalsChanged() { refused_stale_ = true; }

    const rules::Exemptions& exemptions_;
    std::function<bool(const platform::IpAddress&)> allowed_by_rule_;
    std::uint64_t exemptions_seen_ = UINT64_MAX;
    int cap_v4_ = 16, cap_v6_ = 32;
    std::vector<Piece> lifelines_;  // one point each, loopback as its ranges
    std::vector<Piece> trusted_;
    std::vector<Point> allowed_;  // sorted

    std::deque<Held> held_;
    std::vector<std::uint32_t> free_;
    std::map<std::string, Source, std::less<>> sources_;
    std::set<std::pair<Expiry, std::uint32_t>> expiries_;
    std::map<Point, Segment> segments_;
    std::map<Point, SentSpan> sent_;
    std::vector<Piece> dirty_;
    bool guard_fresh_ = true;
    mutable std::vector<Refused> refused_;
    mutable bool refused_stale_ = false;
};

}  // namespace velmor::lists
