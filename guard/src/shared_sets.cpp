#include <algorithm>
#include <string_view>
#include <tuple>
#include <utility>

#include "velmor/guard/guard_service.h"
#include "velmor/platform/diag.h"

namespace velmor::guard {
namespace {

// Range deletions from one interval set past which it is rewritten instead of changed. nft walks the
// whole set for each element it deletes from one (about 1.4 us an element here), and writes a range
// afresh in about 20 us, so past some 14 deletions a rewrite is cheaper at any size.
constexpr std::size_t kRewriteDeletions = 16;

bool IsV4Family(Address::Family family) {
    return family == Address::Family::V4;
}

bool IsV4(const Address& address) {
    return IsV4Family(address.family);
}

const char* SetOf(const AddressSpan& span) {
    const bool single = span.first == span.last;
    if (IsV4(span.first)) return single ? "shared4" : "shared4_ranges";
    return single ? "shared6" : "shared6_ranges";
}

// Whole seconds from `now` to `expires`, at least one; 0 for a span that never expires.
std::uint32_t SecondsLeft(const std::optional<SharedSets::Time>& expires, SharedSets::Time now) {
    if (!expires) return 0;
    const auto left = std::chrono::ceil<std::chrono::seconds>(*expires - now).count();
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(left, 1, UINT32_MAX));
}

// The lines of one verb for the four sets: "add element inet velmor shared4 { ... }" for each set
// that has elements.
class ElementLines {
public:
    void Add(const AddressSpan& span, std::uint32_t timeout_seconds) {
        std::string& line = lines_[SetOf(span)];
        if (!line.empty()) line += ", ";
        line += FormatSpan(span);
        if (timeout_seconds > 0) line += " timeout " + std::to_string(timeout_seconds) + "s";
    }
    void WriteTo(std::string& script, std::string_view verb) const {
        for (const auto& [set, elements] : lines_)
            script += std::string(verb) + " element inet velmor " + set + " { " + elements + " }\n";
    }

private:
    std::map<std::string, std::string> lines_;
};

}  // namespace

SharedSets::SharedSets(PacketFilter& filter, std::function<Time()> clock)
    : filter_(filter), clock_(std::move(clock)) {}

std::uint32_t SharedSets::Count(Address::Family family) const {
    return static_cast<std::uint32_t>(IsV4Family(family) ? count_v4_ : held_.size() - count_v4_);
}

void SharedSets::Insert(const Address& first, const Held& held) {
    if (held_.insert_or_assign(first, held).second && IsV4(first)) ++count_v4_;
    if (held.expires) expiries_.emplace(*held.expires, first);
    if (!(first == held.last)) ++(IsV4(first) ? ranges_v4_ : ranges_v6_);
}

void SharedSets::Erase(std::map<Address, Held>::iterator at) {
    if (at->second.expires) {
        auto [from, to] = expiries_.equal_range(*at->second.expires);
        for (auto it = from; it != to; ++it) {
            if (it->second == at->first) {
                expiries_.erase(it);
                break;
            }
        }
    }
    if (!(at->first == at->second.last)) --(IsV4(at->first) ? ranges_v4_ : ranges_v6_);
    if (IsV4(at->first)) --count_v4_;
    held_.erase(at);
}

void SharedSets::ForgetExpired(Time now) {
    // The kernel has dropped these itself: a deletion of one would fail the whole transaction. Each
    // expiry is taken after its transaction ran, so it is never earlier than the kernel's.
    while (!expiries_.empty() && expiries_.begin()->first <= now) {
        const Address first = expiries_.begin()->second;
        expiries_.erase(expiries_.begin());
        if (auto at = held_.find(first); at != held_.end()) {
            at->second.expires.reset();
            Erase(at);
        }
    }
}

bool SharedSets::OverlapsHeld(const AddressSpan& span, const std::set<Address>& leaving) const {
    // Held spans are disjoint and ordered: the one before span.first may reach into it, and every
    // one from span.first up to span.last starts inside it.
    auto at = held_.lower_bound(span.first);
    if (at != held_.begin()) {
        const auto before = std::prev(at);
        if (before->first.family == span.first.family && !(before->second.last < span.first) &&
            !leaving.contains(before->first))
            return true;
    }
    for (; at != held_.end() && !(span.last < at->first); ++at) {
        if (!leaving.contains(at->first)) return true;
    }
    return false;
}

Result SharedSets::Update(const Request& request, const Protector& protects,
                          std::vector<RefusedSpan>& refused) {
    const Time now = clock_();
    ForgetExpired(now);
    // Held spans that leave, and the transaction's deletions of them.
    std::set<Address> leaving;
    ElementLines deletions;
    std::size_t range_deletions_v4 = 0, range_deletions_v6 = 0;
    if (request.clear) {
        for (const auto& [first, held] : held_) leaving.insert(first);
    } else {
        for (const AddressSpan& span : request.shared_remove) {
            const auto at = held_.find(span.first);
            if (at == held_.end() || !(at->second.last == span.last) || !leaving.insert(span.first).second)
                continue;
            deletions.Add(span, 0);
            if (!(span.first == span.last)) ++(IsV4(span.first) ? range_deletions_v4 : range_deletions_v6);
        }
    }
    // The additions: never a lifeline, never over what stays or over each other.
    std::map<Address, Address> adding;
    std::vector<SharedElement> adds;
    for (const SharedElement& element : request.shared_add) {
        if (const auto reason = protects(element.span)) {
            refused.push_back({element.span, *reason});
            continue;
        }
        if (OverlapsHeld(element.span, leaving)) return Result::BadRequest;
        auto next = adding.lower_bound(element.span.first);
        if (next != adding.end() && !(element.span.last < next->first)) return Result::BadRequest;
        if (next != adding.begin() && !(std::prev(next)->second < element.span.first) &&
            std::prev(next)->first.family == element.span.first.family)
            return Result::BadRequest;
        adding.emplace(element.span.first, element.span.last);
        adds.push_back(element);
    }
    if (!refused.empty()) platform::Diag("guard", "refused shared decisions over lifelines");
    if (leaving.empty() && adds.empty()) return Result::Ok;

    std::string script;
    if (request.clear) {
        for (const char* set : {"shared4", "shared6", "shared4_ranges", "shared6_ranges"})
            script += std::string("flush set inet velmor ") + set + '\n';
    } else {
        // An interval set that would lose many of many ranges is written anew instead.
        const bool rewrite_v4 = range_deletions_v4 > kRewriteDeletions;
        const bool rewrite_v6 = range_deletions_v6 > kRewriteDeletions;
        ElementLines kept;
        for (const auto& [rewrite, set, family] :
             {std::tuple{rewrite_v4, "shared4_ranges", Address::Family::V4},
              std::tuple{rewrite_v6, "shared6_ranges", Address::Family::V6}}) {
            if (!rewrite) continue;
            script += std::string("flush set inet velmor ") + set + '\n';
            for (const auto& [first, held] : held_) {
                if (first.family == family && !(first == held.last) && !leaving.contains(first))
                    kept.Add({first, held.last}, SecondsLeft(held.expires, now));
            }
        }
        if (rewrite_v4 || rewrite_v6) {
            // Only the deletions of the sets that were not flushed.
            ElementLines remaining;
            for (const AddressSpan& span : request.shared_remove) {
                const bool range = !(span.first == span.last);
                const bool flushed = range && (IsV4(span.first) ? rewrite_v4 : rewrite_v6);
                const auto at = held_.find(span.first);
                if (!flushed && at != held_.end() && at->second.last == span.last) remaining.Add(span, 0);
            }
            deletions = remaining;
        }
        deletions.WriteTo(script, "delete");
        kept.WriteTo(script, "add");
    }
    ElementLines additions;
    for (const SharedElement& element : adds) additions.Add(element.span, element.timeout_seconds);
    additions.WriteTo(script, "add");

    if (!filter_.Run(script)) {
        if (request.clear) return Result::Failed;
        // Most likely a deletion of a span the kernel had just dropped at its expiry: everything
        // that stays, and the additions, are written afresh.
        platform::Diag("guard", "a change of the shared sets was refused; they are written afresh");
        for (const Address& first : leaving) Erase(held_.find(first));
        return Rewrite(adds, clock_()) ? Result::Ok : Result::Failed;
    }
    const Time after = clock_();
    if (request.clear) {
        held_.clear();
        expiries_.clear();
        ranges_v4_ = ranges_v6_ = count_v4_ = 0;
    } else {
        for (const Address& first : leaving) Erase(held_.find(first));
    }
    for (const SharedElement& element : adds) {
        Held held{element.span.last, std::nullopt};
        if (element.timeout_seconds > 0) held.expires = after + std::chrono::seconds(element.timeout_seconds);
        Insert(element.span.first, held);
    }
    return Result::Ok;
}

bool SharedSets::Rewrite(const std::vector<SharedElement>& extra, Time now) {
    std::string script;
    for (const char* set : {"shared4", "shared6", "shared4_ranges", "shared6_ranges"})
        script += std::string("flush set inet velmor ") + set + '\n';
    ElementLines lines;
    for (const auto& [first, held] : held_) lines.Add({first, held.last}, SecondsLeft(held.expires, now));
    for (const SharedElement& element : extra) lines.Add(element.span, element.timeout_seconds);
    lines.WriteTo(script, "add");
    if (!filter_.Run(script)) {
        // Nothing of the sets is known any more; empty is the state a later change can build on.
        platform::Diag("guard", "the shared sets could not be written afresh; they are emptied");
        Clear();
        return false;
    }
    const Time after = clock_();
    // What was held keeps its expiry; the additions count from now.
    for (const SharedElement& element : extra) {
        Held held{element.span.last, std::nullopt};
        if (element.timeout_seconds > 0) held.expires = after + std::chrono::seconds(element.timeout_seconds);
        Insert(element.span.first, held);
    }
    return true;
}

void SharedSets::DropProtected(const Protector& protects) {
    ForgetExpired(clock_());
    ElementLines deletions;
    std::vector<Address> leaving;
    for (const auto& [first, held] : held_) {
        const AddressSpan span{first, held.last};
        if (const auto reason = protects(span)) {
            deletions.Add(span, 0);
            leaving.push_back(first);
            dropped_.push_back({span, *reason});
        }
    }
    if (leaving.empty()) return;
    std::string script;
    deletions.WriteTo(script, "delete");
    if (!filter_.Run(script)) {
        // A span that expired meanwhile: write the rest afresh.
        for (const Address& first : leaving) Erase(held_.find(first));
        Rewrite({}, clock_());
        return;
    }
    for (const Address& first : leaving) Erase(held_.find(first));
}

std::vector<RefusedSpan> SharedSets::TakeDropped() {
    return std::exchange(dropped_, {});
}

void SharedSets::Clear() {
    if (!held_.empty()) {
        filter_.Run(
            "flush set inet velmor shared4\nflush set inet velmor shared6\n"
            "flush set inet velmor shared4_ranges\nflush set inet velmor shared6_ranges\n");
    }
    Forget();
}

void SharedSets::Forget() {
    held_.clear();
    expiries_.clear();
    ranges_v4_ = ranges_v6_ = count_v4_ = 0;
    dropped_.clear();
}

}  // namespace velmor::guard
