#include "velmor/lists/shared_decisions.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

namespace velmor::lists {
namespace {

using Point = SharedDecisions::Point;
using std::chrono::system_clock;

constexpr std::uint64_t kAllOnes = std::numeric_limits<std::uint64_t>::max();

Point PointOf(const platform::IpAddress& address) {
    Point point;
    point.v6 = address.v6;
    if (!address.v6) {
        for (int i = 0; i < 4; ++i) point.lo = point.lo << 8 | address.bytes[static_cast<std::size_t>(i)];
        return point;
    }
    for (int i = 0; i < 8; ++i) point.hi = point.hi << 8 | address.bytes[static_cast<std::size_t>(i)];
    for (int i = 8; i < 16; ++i) point.lo = point.lo << 8 | address.bytes[static_cast<std::size_t>(i)];
    return point;
}

guard::Address AddressOf(const Point& point) {
    guard::Address address;
    address.family = point.v6 ? guard::Address::Family::V6 : guard::Address::Family::V4;
    if (!point.v6) {
        for (int i = 0; i < 4; ++i)
            address.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(point.lo >> (24 - 8 * i));
        return address;
    }
    for (int i = 0; i < 8; ++i) {
        address.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(point.hi >> (56 - 8 * i));
        address.bytes[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(point.lo >> (56 - 8 * i));
    }
    return address;
}

// The highest point of the family: nothing follows it.
bool IsTop(const Point& point) {
    return point.v6 ? point.hi == kAllOnes && point.lo == kAllOnes : point.lo == 0xffffffffu;
}

Point Next(Point point) {
    if (++point.lo == 0) ++point.hi;
    return point;
}

Point Prev(Point point) {
    if (point.lo-- == 0) --point.hi;
    return point;
}

bool Adjacent(const Point& last, const Point& first) {
    return last.v6 == first.v6 && !IsTop(last) && Next(last) == first;
}

// The first and last point of a range.
std::pair<Point, Point> SpanOf(const platform::AddressRange& range) {
    const Point first = PointOf(range.address);
    Point last = first;
    const int host_bits = (range.address.v6 ? 128 : 32) - range.prefix;
    if (host_bits >= 64) {
        last.lo = kAllOnes;
        last.hi |= host_bits >= 128 ? kAllOnes : (std::uint64_t{1} << (host_bits - 64)) - 1;
    } else if (host_bits > 0) {
        last.lo |= (std::uint64_t{1} << host_bits) - 1;
    }
    return {first, last};
}

std::int64_t SecondsCeil(system_clock::time_point moment) {
    return std::chrono::ceil<std::chrono::seconds>(moment).time_since_epoch().count();
}

}  // namespace

SharedDecisions::SharedDecisions(const rules::Exemptions& exemptions,
                                 std::function<bool(const platform::IpAddress&)> allowed_by_rule)
    : exemptions_(exemptions), allowed_by_rule_(std::move(allowed_by_rule)) {
    RefreshSafety();
}

SharedDecisions::~SharedDecisions() = default;

SharedDecisions::RangeKey SharedDecisions::KeyOf(const platform::AddressRange& range) {
    return {PointOf(range.address), range.prefix};
}

void SharedDecisions::RefreshSafety() {
    exemptions_seen_ = exemptions_.Generation();
    lifelines_.clear();
    trusted_.clear();
    // An IPv4 address is also met as its IPv4-mapped IPv6 form (::ffff:a.b.c.d), so an IPv6 range
    // over those holds it too.
    const auto keep = [](std::vector<Piece>& pieces, const Point& first, const Point& last) {
        pieces.push_back({first, last});
        if (!first.v6)
            pieces.push_back({{true, 0, 0xffff00000000u | first.lo}, {true, 0, 0xffff00000000u | last.lo}});
    };
    for (const char* loopback : {"127.0.0.0/8", "::1"}) {
        const auto span = SpanOf(*platform::ParseAddressRange(loopback));
        keep(lifelines_, span.first, span.second);
    }
    const platform::Lifelines& lifelines = exemptions_.Lifelines();
    for (const auto* texts : {&lifelines.own, &lifelines.gateways, &lifelines.resolvers}) {
        for (const std::string& text : *texts) {
            const auto canonical = platform::CanonicalAddressText(text);
            const auto address = canonical ? platform::ParseIpAddress(*canonical) : std::nullopt;
            if (!address) continue;
            const Point point = PointOf(address->Unmapped());
            keep(lifelines_, point, point);
        }
    }
    for (const platform::AddressRange& range : exemptions_.Trusted().ranges()) {
        const auto span = SpanOf(range);
        keep(trusted_, span.first, span.second);
    }
}

void SharedDecisions::Judge(Held& held, std::vector<Piece>& pieces) const {
    pieces.clear();
    held.refused.reset();
    const platform::AddressRange& range = held.decision.range;
    if (range.prefix < (range.address.v6 ? cap_v6_ : cap_v4_)) {
        held.refused = SharedRefusal::TooWide;
        return;
    }
    const auto span = SpanOf(range);
    const Point first = span.first, last = span.second;
    const auto overlaps = [&](const Piece& other) { return !(other.last < first) && !(last < other.first); };
    if (std::any_of(lifelines_.begin(), lifelines_.end(), overlaps)) {
        held.refused = SharedRefusal::Lifeline;
        return;
    }
    if (std::any_of(trusted_.begin(), trusted_.end(), overlaps)) {
        held.refused = SharedRefusal::Trusted;
        return;
    }
    if (first == last && allowed_by_rule_ && allowed_by_rule_(range.address)) {
        held.refused = SharedRefusal::Allowed;
        return;
    }
    // The allowed addresses inside the range are cut out of it.
    Point from = first;
    bool rest = true;
    for (auto it = std::lower_bound(allowed_.begin(), allowed_.end(), first);
         it != allowed_.end() && !(last < *it); ++it) {
        if (from < *it) pieces.push_back({from, Prev(*it)});
        if (*it == last) {
            rest = false;
            break;
        }
        from = Next(*it);
    }
    if (rest) pieces.push_back({from, last});
    if (pieces.empty()) held.refused = SharedRefusal::Allowed;
}

void SharedDecisions::SetRangeCap(int v4_prefix, int v6_prefix) {
    cap_v4_ = std::clamp(v4_prefix, 0, 32);
    cap_v6_ = std::clamp(v6_prefix, 0, 128);
    Recheck();
}

void SharedDecisions::SetAllowedAddresses(std::vector<platform::IpAddress> addresses) {
    std::vector<Point> allowed;
    allowed.reserve(addresses.size());
    for (const platform::IpAddress& address : addresses) allowed.push_back(PointOf(address.Unmapped()));
    std::sort(allowed.begin(), allowed.end());
    allowed.erase(std::unique(allowed.begin(), allowed.end()), allowed.end());
    std::vector<Point> changed;
    std::set_symmetric_difference(allowed_.begin(), allowed_.end(), allowed.begin(), allowed.end(),
                                  std::back_inserter(changed));
    allowed_ = std::move(allowed);
    if (changed.size() > 64 || exemptions_.Generation() != exemptions_seen_) {
        Recheck();
        return;
    }
    // Only the decisions whose range holds a changed address are judged again: within the cap
    // each address lies in one range of each prefix length, so a few lookups per source find them.
    std::set<std::uint32_t> touched;
    for (const Point& point : changed) {
        const int bits = point.v6 ? 128 : 32;
        for (int prefix = point.v6 ? cap_v6_ : cap_v4_; prefix <= bits; ++prefix) {
            const int host_bits = bits - prefix;
            Point first = point;
            if (host_bits >= 64) {
                first.lo = 0;
                first.hi &= host_bits >= 128 ? 0 : ~((std::uint64_t{1} << (host_bits - 64)) - 1);
            } else if (host_bits > 0) {
                first.lo &= ~((std::uint64_t{1} << host_bits) - 1);
            }
            for (const auto& [name, source] : sources_) {
                if (const auto found = source.decisions.find({first, prefix});
                    found != source.decisions.end())
                    touched.insert(found->second);
            }
        }
    }
    for (const std::uint32_t id : touched) Rejudge(id);
}

void SharedDecisions::Rejudge(std::uint32_t id) {
    Held& held = held_[id];
    const auto was = held.refused;
    std::vector<Piece> pieces;
    Judge(held, pieces);
    if (held.refused != was) NoteRefusalsChanged();
    if (pieces == held.pieces) return;
    for (const Piece& piece : held.pieces) RemovePiece(piece, id);
    Enforce(id, std::move(pieces));
}

void SharedDecisions::Recheck() {
    RefreshSafety();
    for (std::size_t id = 0; id < held_.size(); ++id) {
        if (held_[id].live) Rejudge(static_cast<std::uint32_t>(id));
    }
}

void SharedDecisions::Insert(SharedDecision decision) {
    Source& source = sources_[decision.source];
    if (const auto found = source.decisions.find(KeyOf(decision.range)); found != source.decisions.end()) {
        if (held_[found->second].decision == decision) return;
        Drop(found->second);
    }
    std::uint32_t id;
    if (!free_.empty()) {
        id = free_.back();
        free_.pop_back();
    } else {
        id = static_cast<std::uint32_t>(held_.size());
        held_.emplace_back();
    }
    Held& held = held_[id];
    held.expiry = decision.expires ? SecondsCeil(*decision.expires) : kNever;
    held.decision = std::move(decision);
    held.live = true;
    held.pieces.clear();
    std::vector<Piece> pieces;
    Judge(held, pieces);
    if (held.refused) NoteRefusalsChanged();
    Enforce(id, std::move(pieces));
    if (held.expiry != kNever) expiries_.emplace(held.expiry, id);
    source.decisions.emplace(KeyOf(held.decision.range), id);
}

void SharedDecisions::Drop(std::uint32_t id) {
    Held& held = held_[id];
    for (const Piece& piece : held.pieces) RemovePiece(piece, id);
    held.pieces.clear();
    if (held.refused) NoteRefusalsChanged();
    if (held.expiry != kNever) expiries_.erase({held.expiry, id});
    if (const auto source = sources_.find(held.decision.source); source != sources_.end())
        source->second.decisions.erase(KeyOf(held.decision.range));
    held.live = false;
    held.decision = {};
    free_.push_back(id);
}

void SharedDecisions::Enforce(std::uint32_t id, std::vector<Piece> pieces) {
    for (const Piece& piece : pieces) AddPiece(piece, id);
    held_[id].pieces = std::move(pieces);
}

void SharedDecisions::SplitBefore(const Point& at) {
    auto it = segments_.upper_bound(at);
    if (it == segments_.begin()) return;
    --it;
    if (!(it->first < at) || it->second.last < at) return;
    Segment tail{it->second.last, it->second.ids};
    it->second.last = Prev(at);
    segments_.emplace_hint(std::next(it), at, std::move(tail));
}

void SharedDecisions::AddPiece(const Piece& piece, std::uint32_t id) {
    dirty_.push_back(piece);
    SplitBefore(piece.first);
    if (!IsTop(piece.last)) SplitBefore(Next(piece.last));
    Point cursor = piece.first;
    auto it = segments_.lower_bound(piece.first);
    for (;;) {
        if (it == segments_.end() || piece.last < it->first) {
            segments_.emplace_hint(it, cursor, Segment{piece.last, {id}});
            return;
        }
        if (cursor < it->first) segments_.emplace_hint(it, cursor, Segment{Prev(it->first), {id}});
        it->second.ids.push_back(id);
        if (!(it->second.last < piece.last)) return;
        cursor = Next(it->second.last);
        ++it;
    }
}

void SharedDecisions::RemovePiece(const Piece& piece, std::uint32_t id) {
    dirty_.push_back(piece);
    auto it = segments_.lower_bound(piece.first);
    while (it != segments_.end() && !(piece.last < it->first)) {
        auto& ids = it->second.ids;
        if (const auto found = std::find(ids.begin(), ids.end(), id); found != ids.end()) {
            *found = ids.back();
            ids.pop_back();
        }
        it = ids.empty() ? segments_.erase(it) : std::next(it);
    }
    // Neighbours left with the same decisions become one segment again, so a range that held many
    // smaller decisions does not stay cut into pieces after they went.
    const auto same = [](std::vector<std::uint32_t> a, std::vector<std::uint32_t> b) {
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        return a == b;
    };
    for (const Point& at : {piece.first, IsTop(piece.last) ? piece.last : Next(piece.last)}) {
        auto right = segments_.find(at);
        if (right == segments_.end() || right == segments_.begin()) continue;
        auto left = std::prev(right);
        if (Adjacent(left->second.last, right->first) && same(left->second.ids, right->second.ids)) {
            left->second.last = right->second.last;
            segments_.erase(right);
        }
    }
}

SharedDecisions::Expiry SharedDecisions::ExpiryOf(const Segment& segment) const {
    Expiry latest = std::numeric_limits<Expiry>::min();
    for (const std::uint32_t id : segment.ids) latest = std::max(latest, held_[id].expiry);
    return latest;
}

void SharedDecisions::ReplaceSource(std::string_view source, std::vector<SharedDecision> decisions) {
    if (exemptions_.Generation() != exemptions_seen_) Recheck();
    Source& held_source = sources_[std::string(source)];
    held_source.updated = system_clock::now();
    // Decisions held already and unchanged stay as they are: only the difference costs.
    std::map<RangeKey, std::uint32_t> before = held_source.decisions;
    for (SharedDecision& decision : decisions) {
        decision.source = std::string(source);
        before.erase(KeyOf(decision.range));
        Insert(std::move(decision));
    }
    for (const auto& [range, id] : before) Drop(id);
}

void SharedDecisions::Add(std::vector<SharedDecision> decisions) {
    if (exemptions_.Generation() != exemptions_seen_) Recheck();
    const auto now = system_clock::now();
    for (SharedDecision& decision : decisions) {
        sources_[decision.source].updated = now;
        Insert(std::move(decision));
    }
}

void SharedDecisions::Remove(std::string_view source, const std::vector<platform::AddressRange>& ranges) {
    const auto found = sources_.find(source);
    if (found == sources_.end()) return;
    found->second.updated = system_clock::now();
    for (const platform::AddressRange& range : ranges) {
        const auto held = found->second.decisions.find(KeyOf(range));
        if (held != found->second.decisions.end()) Drop(held->second);
    }
}

bool SharedDecisions::DropExpired(system_clock::time_point now) {
    bool dropped = false;
    while (!expiries_.empty() &&
           system_clock::time_point(std::chrono::seconds(expiries_.begin()->first)) <= now) {
        Drop(expiries_.begin()->second);
        dropped = true;
    }
    return dropped;
}

void SharedDecisions::RemoveSource(std::string_view source) {
    const auto found = sources_.find(source);
    if (found == sources_.end()) return;
    std::vector<std::uint32_t> ids;
    for (const auto& [range, id] : found->second.decisions) ids.push_back(id);
    for (const std::uint32_t id : ids) Drop(id);
    sources_.erase(found);
}

SharedDecisions::GuardChange SharedDecisions::TakeGuardChange(system_clock::time_point now) {
    if (exemptions_.Generation() != exemptions_seen_) Recheck();
    DropExpired(now);

    GuardChange change;
    const auto timeout = [&](Expiry expiry) -> std::uint32_t {
        if (expiry == kNever) return 0;
        const auto left = std::chrono::ceil<std::chrono::seconds>(
                              system_clock::time_point(std::chrono::seconds(expiry)) - now)
                              .count();
        return static_cast<std::uint32_t>(
            std::clamp<std::int64_t>(left, 1, std::numeric_limits<std::uint32_t>::max()));
    };
    // The runs of adjacent segments with one expiry: the spans the guard holds.
    struct Run {
        Point first, last;
        Expiry expiry;
    };
    const auto run_at = [&](std::map<Point, Segment>::const_iterator it) {
        const Expiry expiry = ExpiryOf(it->second);
        auto start = it;
        while (start != segments_.begin()) {
            const auto before = std::prev(start);
            if (!Adjacent(before->second.last, start->first) || ExpiryOf(before->second) != expiry) break;
            start = before;
        }
        auto end = it;
        for (auto after = std::next(end); after != segments_.end(); ++after) {
            if (!Adjacent(end->second.last, after->first) || ExpiryOf(after->second) != expiry) break;
            end = after;
        }
        return std::pair{Run{start->first, end->second.last, expiry}, std::next(end)};
    };
    const auto send = [&](const Run& run) {
        change.add.push_back({{AddressOf(run.first), AddressOf(run.last)}, timeout(run.expiry)});
        sent_[run.first] = {run.last, run.expiry};
    };

    if (guard_fresh_) {
        guard_fresh_ = false;
        change.clear = true;
        sent_.clear();
        dirty_.clear();
        for (auto it = segments_.cbegin(); it != segments_.cend();) {
            auto [run, next] = run_at(it);
            send(run);
            it = next;
        }
        return change;
    }

    std::vector<Piece> dirty;
    dirty.swap(dirty_);
    std::sort(dirty.begin(), dirty.end(), [](const Piece& a, const Piece& b) { return a.first < b.first; });
    std::vector<Run> runs;
    std::vector<std::pair<Point, SentSpan>> held;
    Point done_to{};
    bool done_any = false;
    for (const Piece& piece : dirty) {
        if (done_any && !(done_to < piece.last)) continue;
        Point lo = piece.first, hi = piece.last;
        // Widen the region until it holds every span, old or new, that reaches into it.
        for (bool grew = true; grew;) {
            grew = false;
            runs.clear();
            held.clear();
            std::map<Point, Segment>::const_iterator it = segments_.upper_bound(lo);
            if (it != segments_.begin() && !(std::prev(it)->second.last < lo)) --it;
            while (it != segments_.end() && !(hi < it->first)) {
                auto [run, next] = run_at(it);
                runs.push_back(run);
                it = next;
            }
            auto sent = sent_.upper_bound(lo);
            if (sent != sent_.begin() && !(std::prev(sent)->second.last < lo)) --sent;
            for (; sent != sent_.end() && !(hi < sent->first); ++sent) held.emplace_back(*sent);
            for (const Run& run : runs) {
                if (run.first < lo) lo = run.first, grew = true;
                if (hi < run.last) hi = run.last, grew = true;
            }
            for (const auto& [first, span] : held) {
                if (first < lo) lo = first, grew = true;
                if (hi < span.last) hi = span.last, grew = true;
            }
        }
        done_to = hi;
        done_any = true;
        for (const auto& [first, span] : held) {
            const bool stays =
                std::any_of(runs.begin(), runs.end(), [&, &f = first, &s = span](const Run& run) {
                    return run.first == f && run.last == s.last && run.expiry == s.expiry;
                });
            if (stays) continue;
            sent_.erase(first);
            // A span whose timeout has passed is gone from the kernel already; it is named only
            // when a new span covers some of it, in case the guard's clock has not seen it lapse
            // yet (it passes over the removal of a span it no longer holds).
            const bool lapsed =
                span.expiry != kNever && system_clock::time_point(std::chrono::seconds(span.expiry)) <= now;
            const bool covered =
                std::any_of(runs.begin(), runs.end(), [&, &f = first, &s = span](const Run& run) {
                    return !(run.last < f) && !(s.last < run.first);
                });
            if (!lapsed || covered) change.remove.push_back({AddressOf(first), AddressOf(span.last)});
        }
        for (const Run& run : runs) {
            const auto found = sent_.find(run.first);
            if (found != sent_.end() && found->second.last == run.last && found->second.expiry == run.expiry)
                continue;
            send(run);
        }
    }
    return change;
}

void SharedDecisions::ForgetGuard() {
    guard_fresh_ = true;
}

const SharedDecision* SharedDecisions::Blocking(const platform::IpAddress& address) const {
    const Point point = PointOf(address.Unmapped());
    auto it = segments_.upper_bound(point);
    if (it == segments_.begin()) return nullptr;
    --it;
    if (it->second.last < point || it->second.ids.empty()) return nullptr;
    const auto latest =
        std::max_element(it->second.ids.begin(), it->second.ids.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return held_[a].expiry < held_[b].expiry; });
    return &held_[*latest].decision;
}

std::vector<SharedDecisions::SourceCount> SharedDecisions::Sources() const {
    std::vector<SourceCount> counts;
    for (const auto& [name, source] : sources_) {
        SourceCount count{name, 0, 0, source.updated};
        for (const auto& [range, id] : source.decisions)
            ++(held_[id].refused ? count.refused : count.entries);
        counts.push_back(std::move(count));
    }
    return counts;
}

const std::vector<SharedDecisions::Refused>& SharedDecisions::RefusedDecisions() const {
    if (refused_stale_) {
        refused_stale_ = false;
        refused_.clear();
        for (const auto& [name, source] : sources_) {
            for (const auto& [range, id] : source.decisions) {
                if (held_[id].refused) refused_.push_back({held_[id].decision, *held_[id].refused});
            }
        }
    }
    return refused_;
}

}  // namespace velmor::lists
