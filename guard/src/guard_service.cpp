#include "velmor/guard/guard_service.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

#include "velmor/platform/diag.h"

namespace velmor::guard {
namespace {

constexpr std::string_view kTable = "inet velmor";

// An IPv4-mapped IPv6 address as its IPv4 address; any other as it is.
Address Unmapped(const Address& address) {
    static constexpr std::array<std::uint8_t, 12> kMapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (address.family != Address::Family::V6 ||
        !std::equal(kMapped.begin(), kMapped.end(), address.bytes.begin())) {
        return address;
    }
    Address v4;
    std::copy_n(address.bytes.begin() + 12, 4, v4.bytes.begin());
    return v4;
}

// `out` becomes the addresses of `texts`; with `add_only` they join those it holds.
void TakeAddresses(const std::vector<std::string>& texts, bool add_only, std::set<Address>& out) {
    if (!add_only) out.clear();
    for (const std::string& text : texts) {
        Address address;
        if (ParseAddress(text, address)) out.insert(Unmapped(address));
    }
}

const char* SetOf(const Address& address) {
    return address.family == Address::Family::V4 ? "blocked4" : "blocked6";
}

// "add element inet velmor blocked4 { a, b }" lines, one per set that has elements.
void ElementLines(std::string& script, std::string_view verb, std::span<const Address> addresses) {
    for (const char* set : {"blocked4", "blocked6"}) {
        std::string elements;
        for (const Address& a : addresses) {
            if (std::string_view(SetOf(a)) != set) continue;
            if (!elements.empty()) elements += ", ";
            elements += FormatAddress(a);
        }
        if (elements.empty()) continue;
        script +=
            std::string(verb) + " element " + std::string(kTable) + ' ' + set + " { " + elements + " }\n";
    }
}

}  // namespace

bool ParseGuardOptions(int argc, char** argv, GuardOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--owners" && i + 1 < argc) {
            const std::string_view value = argv[++i];
            if (value != "on" && value != "off") {
                error = "--owners takes on or off";
                return false;
            }
            options.owners = value == "on";
            continue;
        }
        std::string* target = nullptr;
        if (arg == "--socket") target = &options.socket_path;
        if (arg == "--group") target = &options.group;
        if (arg == "--first-strike") target = &options.first_strike;
        if (target == nullptr) {
            error = "unknown option: " + std::string(arg);
            return false;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            error = std::string(arg) + " needs a value";
            return false;
        }
        *target = argv[++i];
    }
    if (options.first_strike != "on" && options.first_strike != "off") {
        error = "--first-strike takes on or off";
        return false;
    }
    return true;
}

bool IsTrusted(const PeerCredentials& peer, std::uint32_t trusted_gid) {
    if (peer.uid == 0) return true;
    if (peer.gid == trusted_gid) return true;
    return std::find(peer.groups.begin(), peer.groups.end(), trusted_gid) != peer.groups.end();
}

std::string InstallTableScript() {
    // "add" then "delete" removes a table left by a crash (and is harmless without one); the whole
    // script is one transaction, so there is never a moment with two tables or none half-made.
    return "add table inet velmor\n"
           "delete table inet velmor\n"
           "table inet velmor {\n"
           "  set blocked4 { type ipv4_addr; }\n"
           "  set blocked6 { type ipv6_addr; }\n"
           "  set shared4 { type ipv4_addr; flags timeout; }\n"
           "  set shared6 { type ipv6_addr; flags timeout; }\n"
           "  set shared4_ranges { type ipv4_addr; flags interval, timeout; }\n"
           "  set shared6_ranges { type ipv6_addr; flags interval, timeout; }\n"
           "  chain internet_in { }\n"
           "  chain internet_out { }\n"
           "  chain input {\n"
           "    type filter hook input priority filter - 10; policy accept;\n"
           "    ip saddr @blocked4 drop\n"
           "    ip6 saddr @blocked6 drop\n"
           "    ip saddr @shared4 drop\n"
           "    ip saddr @shared4_ranges drop\n"
           "    ip6 saddr @shared6 drop\n"
           "    ip6 saddr @shared6_ranges drop\n"
           "    jump internet_in\n"
           "  }\n"
           "  chain output {\n"
           "    type filter hook output priority filter - 10; policy accept;\n"
           // A reset still leaves: the connection the guard tears down is ended for the other side too.
           "    ip daddr @blocked4 meta l4proto != tcp drop\n"
           "    ip daddr @blocked4 tcp flags & rst == 0 drop\n"
           "    ip6 daddr @blocked6 meta l4proto != tcp drop\n"
           "    ip6 daddr @blocked6 tcp flags & rst == 0 drop\n"
           // The same for the shared sets: a reset goes on to the block-the-Internet rules at once.
           "    tcp flags & rst != 0 goto internet_out\n"
           "    ip daddr @shared4 drop\n"
           "    ip daddr @shared4_ranges drop\n"
           "    ip6 daddr @shared6 drop\n"
           "    ip6 daddr @shared6_ranges drop\n"
           "    jump internet_out\n"
           "  }\n"
           "}\n";
}

std::string RemoveTableScript() {
    return "delete table inet velmor\n";
}

std::string UpdateSetsScript(bool flush, std::span<const Address> remove, std::span<const Address> add) {
    std::string script;
    if (flush) script += "flush set inet velmor blocked4\nflush set inet velmor blocked6\n";
    ElementLines(script, "delete", remove);
    ElementLines(script, "add", add);
    return script;
}

std::string BlockInternetScript(bool on) {
    std::string script = "flush chain inet velmor internet_in\nflush chain inet velmor internet_out\n";
    if (on) {
        script +=
            "add rule inet velmor internet_in iif != \"lo\" drop\n"
            "add rule inet velmor internet_out oif != \"lo\" drop\n";
    }
    return script;
}

GuardService::GuardService(PacketFilter& filter, GuardActions& actions,
                           std::function<SharedSets::Time()> clock)
    : filter_(filter), actions_(actions), shared_(filter, std::move(clock)) {}

bool GuardService::Start() {
    table_ = filter_.Run(InstallTableScript());
    blocked_.clear();
    shared_.Forget();
    block_internet_ = false;
    return table_;
}

void GuardService::Stop() {
    if (strike_ != nullptr) {
        strike_->Arm(false);
        strike_->ClearBlocked();
        strike_->UpdateExempt(true, {}, {});
    }
    armed_ = false;
    if (table_) filter_.Run(RemoveTableScript());
    table_ = false;
    blocked_.clear();
    shared_.Forget();
    block_internet_ = false;
}

void GuardService::SetFirstStrike(FirstStrike* strike) {
    strike_ = strike;
    armed_ = false;
    if (strike_ == nullptr) return;
    strike_->Arm(false);
    std::set<Address> lifelines = own_;
    lifelines.insert(gateways_.begin(), gateways_.end());
    strike_->SetLifelines(lifelines);
}

GuardState GuardService::State() const {
    GuardState state;
    state.packet_filter = table_;
    state.teardown = actions_.CanTearDown();
    state.bait = actions_.CanOpenBait();
    state.block_internet = block_internet_;
    state.shared_sets = table_;
    state.shared_v4 = shared_.Count(Address::Family::V4);
    state.shared_v6 = shared_.Count(Address::Family::V6);
    // The first strike's programs on the packet path tell of the SYNs that come in.
    state.half_open_events = strike_ != nullptr;
    for (const Address& a : blocked_) {
        if (a.family == Address::Family::V4) {
            ++state.blocked_v4;
        } else {
            ++state.blocked_v6;
        }
    }
    if (strike_ != nullptr) {
        state.first_strike = true;
        state.first_strike_armed = armed_;
        state.struck = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(strike_->GetCounts().struck, std::numeric_limits<std::uint32_t>::max()));
    }
    return state;
}

Reply GuardService::Handle(const Request& request, int& descriptor) {
    descriptor = -1;
    Reply reply;
    reply.op = request.op;
    reply.version = request.version;
    switch (request.op) {
        case Op::Status:
            reply.state = State();
            break;
        case Op::TearDown:
            if (!actions_.CanTearDown()) {
                platform::Diag("guard", "teardown refused: no CAP_NET_ADMIN");
                reply.result = Result::NotAvailable;
                break;
            }
            actions_.TearDown(request.connections);
            break;
        case Op::UpdateBlocked:
            reply.result = UpdateBlocked(request, reply.refused);
            if (reply.result == Result::Ok) {
                // What left the sets on its own since the last reply is told once, here.
                reply.refused.insert(reply.refused.end(), dropped_.begin(), dropped_.end());
                dropped_.clear();
            }
            break;
        case Op::SetBlockInternet:
            reply.result = SetBlockInternet(request.on);
            break;
        case Op::UpdateShared:
            if (!table_) {
                reply.result = Result::NotAvailable;
                break;
            }
            reply.result = shared_.Update(
                request, [this](const AddressSpan& span) { return ProtectsSpan(span); }, reply.refused_spans);
            if (reply.result == Result::Ok) {
                // What left the sets on its own since the last reply is told once, here.
                for (RefusedSpan& dropped : shared_.TakeDropped()) reply.refused_spans.push_back(dropped);
            }
            reply.shared_v4 = shared_.Count(Address::Family::V4);
            reply.shared_v6 = shared_.Count(Address::Family::V6);
            break;
        case Op::UpdateExempt:
            reply.result = UpdateExempt(request);
            break;
        case Op::SetFirstStrike:
            reply.result = SetFirstStrikeArmed(request.on);
            break;
        case Op::BaitSocket:
            descriptor = actions_.OpenBait();
            reply.result = descriptor >= 0 ? Result::Ok : Result::Failed;
            break;
        case Op::Subscribe:
        case Op::Events:
            // Kernel events are the socket server's business; one without them says so here.
            reply.result = Result::NotAvailable;
            break;
        case Op::Owners:
            if (owners_ == nullptr) {
                reply.result = Result::NotAvailable;
                break;
            }
            reply.owners = owners_->Find(request.sockets);
            if (reply.owners.size() > kMaxOwnerRecords) reply.owners.resize(kMaxOwnerRecords);
            break;
    }
    return reply;
}

std::optional<Refusal> GuardService::Protects(const Address& address) const {
    const Address plain = Unmapped(address);
    static constexpr std::array<std::uint8_t, 16> kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0,
                                                                0, 0, 0, 0, 0, 0, 0, 1};
    if (plain.family == Address::Family::V4 ? plain.bytes[0] == 127 : plain.bytes == kLoopback6) {
        return Refusal::Loopback;
    }
    if (own_.contains(plain)) return Refusal::OwnAddress;
    if (gateways_.contains(plain)) return Refusal::Gateway;
    return std::nullopt;
}

std::optional<Refusal> GuardService::ProtectsRun(const Address& first, const Address& last) const {
    if (first.family == Address::Family::V4) {
        // Any of 127.0.0.0/8.
        if (first.bytes[0] <= 127 && last.bytes[0] >= 127) return Refusal::Loopback;
    } else {
        Address loopback;
        loopback.family = Address::Family::V6;
        loopback.bytes[15] = 1;
        if (!(loopback < first) && !(last < loopback)) return Refusal::Loopback;
    }
    const auto holds = [&](const std::set<Address>& addresses) {
        const auto at = addresses.lower_bound(first);
        return at != addresses.end() && !(last < *at);
    };
    if (holds(own_)) return Refusal::OwnAddress;
    if (holds(gateways_)) return Refusal::Gateway;
    return std::nullopt;
}

std::optional<Refusal> GuardService::ProtectsSpan(const AddressSpan& span) const {
    if (const auto reason = ProtectsRun(span.first, span.last)) return reason;
    if (span.first.family == Address::Family::V4) return std::nullopt;
    // The IPv4-mapped part of an IPv6 span holds the lifelines of IPv4 as well.
    Address mapped_first, mapped_last;
    mapped_first.family = mapped_last.family = Address::Family::V6;
    mapped_first.bytes[10] = mapped_first.bytes[11] = 0xFF;
    mapped_last.bytes.fill(0xFF);
    std::fill_n(mapped_last.bytes.begin(), 10, 0);
    if (span.last < mapped_first || mapped_last < span.first) return std::nullopt;
    const Address from = std::max(span.first, mapped_first), to = std::min(span.last, mapped_last);
    Address v4_first, v4_last;
    std::copy_n(from.bytes.begin() + 12, 4, v4_first.bytes.begin());
    std::copy_n(to.bytes.begin() + 12, 4, v4_last.bytes.begin());
    return ProtectsRun(v4_first, v4_last);
}

void GuardService::SetLifelines(const platform::Lifelines& lifelines) {
    // A read that failed in part forgets nothing it knew.
    TakeAddresses(lifelines.own, !lifelines.complete, own_);
    TakeAddresses(lifelines.gateways, !lifelines.complete, gateways_);
    if (table_) shared_.DropProtected([this](const AddressSpan& span) { return ProtectsSpan(span); });
    if (strike_ != nullptr) {
        std::set<Address> spared = own_;
        spared.insert(gateways_.begin(), gateways_.end());
        strike_->SetLifelines(spared);
    }
    std::vector<Address> leaving;
    std::vector<RefusedAddress> told;
    for (const Address& a : blocked_) {
        if (const auto reason = Protects(a)) {
            leaving.push_back(a);
            told.push_back({a, *reason});
        }
    }
    if (leaving.empty()) return;
    if (!Release(leaving)) {
        platform::Diag("guard", "lifelines in the blocked sets could not be taken out");
        return;
    }
    dropped_.insert(dropped_.end(), told.begin(), told.end());
}

bool GuardService::Release(std::span<const Address> addresses) {
    if (strike_ != nullptr) strike_->Unblock(addresses);
    if (!filter_.Run(UpdateSetsScript(false, addresses, {}))) return false;
    for (const Address& a : addresses) blocked_.erase(a);
    return true;
}

Result GuardService::UpdateBlocked(const Request& request, std::vector<RefusedAddress>& refused) {
    if (!table_) return Result::NotAvailable;
    // Only addresses the set holds are deleted (nft refuses the whole transaction otherwise), and
    // only new ones are added, never a lifeline. The set is never copied: a change costs what it
    // changes, however many addresses the set holds.
    std::vector<Address> remove, add;
    std::set<Address> removed, added;
    if (!request.clear) {
        for (const Address& a : request.remove) {
            if (blocked_.contains(a) && removed.insert(a).second) remove.push_back(a);
        }
    }
    for (const Address& a : request.add) {
        if (const auto reason = Protects(a)) {
            refused.push_back({a, *reason});
            continue;
        }
        const bool held = !request.clear && blocked_.contains(a) && !removed.contains(a);
        if (!held && added.insert(a).second) add.push_back(a);
    }
    if (!refused.empty()) platform::Diag("guard", "refused to block lifelines");
    const bool flush = request.clear && !blocked_.empty();
    if (flush || !remove.empty() || !add.empty()) {
        if (!filter_.Run(UpdateSetsScript(flush, remove, add))) return Result::Failed;
        if (request.clear) blocked_.clear();
        for (const Address& a : remove) blocked_.erase(a);
        blocked_.insert(add.begin(), add.end());
    }
    // The first strike's map follows the sets. A removal is passed on even for an address the sets do
    // not hold yet: the kernel may have struck it a moment ago, and the client releases it.
    if (strike_ != nullptr) {
        if (request.clear) strike_->ClearBlocked();
        if (!request.clear) strike_->Unblock(request.remove);
        if (!strike_->Block(add))
            platform::Diag("guard", "the first strike's map is full; the sets still drop");
    }
    return Result::Ok;
}

Result GuardService::UpdateExempt(const Request& request) {
    if (strike_ == nullptr) return Result::NotAvailable;
    if (strike_->UpdateExempt(request.clear, request.exempt_add, request.exempt_remove)) return Result::Ok;
    // What the kernel must spare is not known for certain any more: it strikes nothing until told again.
    strike_->Arm(false);
    armed_ = false;
    return Result::Failed;
}

Result GuardService::SetFirstStrikeArmed(bool on) {
    // A struck address joins the sets, which need the table.
    if (strike_ == nullptr || !table_) return Result::NotAvailable;
    if (!strike_->Arm(on)) return Result::Failed;
    armed_ = on;
    return Result::Ok;
}

void GuardService::Struck(std::span<const Address> addresses) {
    if (strike_ == nullptr || !table_) return;
    std::vector<Address> add;
    std::set<Address> added;
    for (const Address& struck : addresses) {
        const Address a = Unmapped(struck);
        // Released since (the user allowed it, the session ended), or held already.
        if (blocked_.contains(a) || Protects(a) || !strike_->Holds(a) || !added.insert(a).second) continue;
        add.push_back(a);
    }
    if (add.empty()) return;
    if (!filter_.Run(UpdateSetsScript(false, {}, add))) {
        platform::Diag("guard", "struck addresses could not join the blocked sets");
        return;
    }
    blocked_.insert(add.begin(), add.end());
}

void GuardService::InterfacesChanged() {
    if (strike_ != nullptr) strike_->CoverInterfaces();
}

Result GuardService::SetBlockInternet(bool on) {
    if (!table_) return Result::NotAvailable;
    if (on == block_internet_) return Result::Ok;
    if (!filter_.Run(BlockInternetScript(on))) return Result::Failed;
    block_internet_ = on;
    return Result::Ok;
}

void GuardService::ClientsGone() {
    dropped_.clear();
    // Nobody keeps what the kernel must spare any more: it strikes nothing, and lets go what it held.
    if (strike_ != nullptr) {
        strike_->Arm(false);
        strike_->ClearBlocked();
        strike_->UpdateExempt(true, {}, {});
    }
    armed_ = false;
    if (!table_) return;
    shared_.Clear();
    if (!blocked_.empty() && filter_.Run(UpdateSetsScript(true, {}, {}))) blocked_.clear();
    if (block_internet_ && filter_.Run(BlockInternetScript(false))) block_internet_ = false;
}

}  // namespace velmor::guard
