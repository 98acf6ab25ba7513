#include "velmor/engine/monitoring_cycle.h"

#include <utility>

#include "velmor/common/text_rules.h"
#include "velmor/platform/diag.h"

namespace velmor::engine {
namespace {

// The fingerprint key: unknown outside this process, so no remote host can pick rows that collide.
std::uint64_t FingerprintKey() {
    std::random_device source;
    return (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

}  // namespace

MonitoringCycle::MonitoringCycle(platform::ConnectionTable& table, platform::SocketCounterSource* counters,
                                 rules::RuleStore& store, rules::ListModel& address_list,
                                 rules::ListModel& port_list, MonitorHost& host, Dialogs& dialogs,
                                 const Clock& clock, RandomSource& random)
    : table_(table),
      counters_(counters),
      store_(store),
      address_list_(address_list),
      port_list_(port_list),
      host_(host),
      dialogs_(dialogs),
      clock_(clock),
      random_(random),
      fingerprint_key_(FingerprintKey()) {}

bool MonitoringCycle::IsChecked(int index) const {
    return index == kAutoBlockBox || index == kBlockInternetBox ? checked_[static_cast<std::size_t>(index)]
                                                                : false;
}

void MonitoringCycle::SetChecked(int index, bool checked) {
    if (index == kAutoBlockBox || index == kBlockInternetBox)
        checked_[static_cast<std::size_t>(index)] = checked;
}

void MonitoringCycle::CheckStopRun_Click(int index) {
    if (index != kBlockInternetBox || !checked_[kBlockInternetBox]) return;
    // The box already counts as checked while the question is open.
    if (!dialogs_.AskYesNo(kBlockInternetQuestion)) {
        SetChecked(kBlockInternetBox, false);
        CheckStopRun_Click(kBlockInternetBox);
    }
}

std::chrono::milliseconds MonitoringCycle::NextTickDelay() const {
    // A pass cut into slices goes on at once, shown or hidden.
    if (PassPending()) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(interval_ms_ + (host_.IsWindowVisible() ? 0 : 100));
}

bool MonitoringCycle::ShouldDump() {
    const auto now = clock_.Now();
    const bool events = EventsLive();
    const bool safety_net_due =
        !dumped_once_ || now - last_dump_ >= (events ? event_safety_net_ : safety_net_);
    store_.RefreshBlockedIndex(safety_net_due);

    bool dump = safety_net_due || table_news_ || checked_ != seen_checked_ ||
                address_list_.Generation() != seen_list_generation_ ||
                store_.BlockedGeneration() != seen_blocked_generation_;
    if (counters_ != nullptr) {
        platform::SocketCounters current;
        if (!counters_->Read(current)) {
            dump = true;
        } else if (!(current == last_counters_)) {
            // With events, every TCP socket entering or leaving the table is news of its own; the
            // counters still tell what no event does: UDP sockets, and TIME_WAIT entries that expire.
            if (!events || current.udp_in_use != last_counters_.udp_in_use ||
                current.udp6_in_use != last_counters_.udp6_in_use ||
                current.tcp_time_wait != last_counters_.tcp_time_wait)
                dump = true;
            // Read before the dump, so a change during the dump is seen on the next tick.
            last_counters_ = current;
        }
    } else {
        dump = true;
    }
    if (dump) {
        dumped_once_ = true;
        last_dump_ = now;
    }
    return dump;
}

void MonitoringCycle::TimerGetTable_Timer() {
    ++stats_.ticks;
    TakeTableNews();
    // Block the Internet takes over from a pass in progress at once.
    if (pass_.active && checked_[kBlockInternetBox]) pass_.active = false;
    if (pass_.active) {
        // The rest of a long pass, after the arrivals since its last slice. It meets the table of its
        // own read; whatever changed since is read once it is done.
        if (!arrivals_.empty()) FileArrivals();
        ContinuePass();
        return;
    }
    const bool read = ShouldDump();
    if (!arrivals_.empty()) {
        // New connections on the bait go first, so that a read due for another reason (the safety
        // net, a counter, other events) does not hold up their teardown; the read then meets the
        // table they left.
        FileArrivals();
        if (!read) return;
    } else if (!read) {
        ShowActivityLed(1);
        return;
    }
    ++stats_.dumps;
    seen_checked_ = checked_;
    TakeTcpSnapshot(table_, tcp_);
    snapshot_cookies_stale_ = true;
    TakeUdpSnapshot(table_, udp_);
    const int tcp_count = static_cast<int>(tcp_.dwNumEntries);
    const int udp_count = static_cast<int>(udp_.dwNumEntries);

    if (checked_[kBlockInternetBox]) {
        BlockEverything();
        FinishTick();
        return;
    }
    // The set of rows, not only their number: a connection that replaced a closed one since the
    // last pass (an intruder right after the one before it was torn down) is new all the same.
    const std::uint64_t fingerprint = RowSetFingerprint(tcp_, fingerprint_key_);
    if (udp_count != last_udp_count_ || tcp_count != last_tcp_count_ ||
        fingerprint != last_tcp_fingerprint_) {
        // Every connection the pass will block goes before any rule file is written.
        if (checked_[kAutoBlockBox]) TearDownWhatThePassWillBlock();
        ++stats_.full_passes;
        pass_ = {true, 0, tcp_count, udp_count, fingerprint};
        ContinuePass();
        return;
    }
    ShowActivityLed(1);
    if (checked_[kAutoBlockBox]) AutomaticBlocking();
    FinishTick();
}

void MonitoringCycle::ContinuePass() {
    // A pass over a table of thousands of new addresses writes thousands of rule files: it yields
    // to the event loop after each slice, so windows, commands and the bait listener keep answering.
    // At least a few rows per slice, so a small table is always passed in one tick.
    const auto start = clock_.Now();
    const std::size_t first = pass_.next;
    while (pass_.next < tcp_.rows.size()) {
        PassRow(tcp_.rows[pass_.next++]);
        if (pass_.next < tcp_.rows.size() && pass_.next - first >= pass_slice_rows_ &&
            clock_.Now() - start >= pass_slice_) {
            ++stats_.pass_slices;
            FinishTick();
            return;
        }
    }
    pass_.active = false;
    last_udp_count_ = pass_.udp_count;
    last_tcp_count_ = pass_.tcp_count;
    last_tcp_fingerprint_ = pass_.fingerprint;
    ShowActivityLed(0);
    if (checked_[kAutoBlockBox]) AutomaticBlocking();
    FinishTick();
}

void MonitoringCycle::FinishTick() {
    // Teardowns asked for before a pass count once it is done, when its rows are marked.
    const std::size_t teardowns = teardowns_.Size() + (pass_.active ? 0 : std::exchange(early_teardowns_, 0));
    stats_.teardowns += teardowns_.Size();
    teardowns_.Flush(*enforcement_);
    // After the teardowns, so their resets leave before the packet filter drops an address.
    enforcement_->Sync(address_list_, store_, checked_[kAutoBlockBox], checked_[kBlockInternetBox]);
    seen_list_generation_ = address_list_.Generation();
    seen_blocked_generation_ = store_.BlockedGeneration();
    if (teardowns > 0 && !pass_.active) SettleTeardowns();
}

void MonitoringCycle::TearDownWhatThePassWillBlock() {
    // The address's first row that decides its verdict decides it for all its rows, as in the pass.
    torn_early_.assign(tcp_.rows.size(), false);
    decided_.clear();
    for (std::size_t i = 0; i < tcp_.rows.size() && i < tcp_.ids.size(); ++i) {
        const TcpRow& row = tcp_.rows[i];
        RemoteAddressText(row, address_text_);
        if (IsUnlistedAddress(address_text_)) continue;
        auto decided = decided_.find(address_text_);
        if (decided == decided_.end()) {
            const std::optional<bool> blocked = VerdictAfterPass(row, address_text_);
            if (!blocked) continue;
            decided = decided_.emplace(address_text_, *blocked).first;
        }
        if (!decided->second) continue;
        teardowns_.Add(tcp_.ids[i]);
        torn_early_[i] = true;
    }
    stats_.teardowns += teardowns_.Size();
    early_teardowns_ = teardowns_.Size();
    teardowns_.Flush(*enforcement_);
}

void MonitoringCycle::BlockEverything() {
    for (std::size_t i = 0; i < tcp_.rows.size(); ++i) TearDownConnection(tcp_, i, teardowns_);
}

void MonitoringCycle::PassRow(const TcpRow& row) {
    const std::string address = RemoteAddressText(row);
    if (IsUnlistedAddress(address)) return;
    const std::string remote_port = PortToString(row.dwRemotePort);

    UpdatePortList(address, remote_port);
    const int found = address_list_.Find(address);
    if (found >= 0) {
        const std::int64_t count = LeadingNumber(address_list_.Cell(found, watch_ip::kCount));
        address_list_.SetCell(found, watch_ip::kCount,
                              count >= 10000 ? std::string(kCountOverflowText) : std::to_string(count + 1));
        // Listed from half-open rows only so far: the first row that proves the address files it.
        if (address_list_.Cell(found, watch_ip::kVerdict).empty())
            FileNewAddress(found, address, remote_port, row);
    } else {
        const int added = address_list_.AddRow({address, "1"});
        FileNewAddress(added, address, remote_port, row);
    }
    // The row that would be the hundredth empties the list; later passes fill it again.
    if (address_list_.RowCount() >= kListCap) address_list_.Clear();
}

std::optional<rules::Verdict> MonitoringCycle::FiledVerdict(const std::string& address) const {
    using rules::Verdict;
    for (const Verdict verdict : {Verdict::Blocked, Verdict::Allowed})
        if (store_.Exists(address, verdict)) return verdict;
    return std::nullopt;
}

std::optional<rules::Verdict> MonitoringCycle::NewAddressVerdict(const TcpRow& row) {
    // Whoever completed a handshake with our port 80 (the bait listener) is an intruder. A half-open
    // row proves no address, on the bait or elsewhere: it is listed, and filed once a row of the same
    // address completes its handshake.
    if (LocalPortOf(row) == kBaitPort)
        return HandshakeCompleted(row) ? std::optional(rules::Verdict::Blocked) : std::nullopt;
    if (row.dwState == kStateSynReceived) return std::nullopt;
    return rules::Verdict::Allowed;
}

void MonitoringCycle::FileNewAddress(int list_row, const std::string& address, const std::string& remote_port,
                                     const TcpRow& row) {
    using rules::Verdict;
    if (const std::optional<Verdict> filed = FiledVerdict(address)) {
        // A file that cannot be read still gives its verdict; its info stays empty.
        const auto line = store_.ReadLine(address, *filed);
        address_list_.SetCell(list_row, watch_ip::kVerdict, rules::VerdictText(*filed));
        address_list_.SetCell(list_row, watch_ip::kInfo, line ? rules::InfoOfRuleLine(*line) : std::string());
        if (*filed == Verdict::Blocked) AlertIfHidden();
        return;
    }
    // No rule yet.
    rules::Exemption exemption = rules::Exemption::None;
    const std::optional<Verdict> verdict = FilingVerdict(row, address, exemption);
    if (!verdict) return;
    // A bait hit from a lifeline or a trusted address is allowed, with a note saying why.
    const std::string info = exemption != rules::Exemption::None ? rules::ExemptionNote(exemption) : "";
    // The list shows the verdict even when the file cannot be written; the next start files it anew.
    if (!store_.Write(address, *verdict, rules::MakeRuleLine(remote_port, address, info)))
        platform::Diag("rules", "no rule file for " + address);
    address_list_.SetCell(list_row, watch_ip::kVerdict, rules::VerdictText(*verdict));
    address_list_.SetCell(list_row, watch_ip::kInfo, info);
    if (*verdict == Verdict::Blocked) {
        AlertIfHidden();
        host_.IntruderFiled(address);
    } else if (exemption != rules::Exemption::None) {
        ++stats_.exempt_hits;
        host_.ExemptAddressMet(address, exemption);
    }
}

std::optional<rules::Verdict> MonitoringCycle::FilingVerdict(const TcpRow& row, const std::string& address,
                                                             rules::Exemption& exemption) const {
    exemption = rules::Exemption::None;
    std::optional<rules::Verdict> verdict = NewAddressVerdict(row);
    if (verdict != rules::Verdict::Blocked) return verdict;
    exemption = exemptions_->Of(address);
    return exemption == rules::Exemption::None ? rules::Verdict::Blocked : rules::Verdict::Allowed;
}

void MonitoringCycle::AlertIfHidden() {
    if (!host_.IsWindowVisible()) host_.UpdateTrayIcon(TrayIconChange::Invader);
}

void MonitoringCycle::AutomaticBlocking() {
    for (std::size_t i = 0; i < tcp_.rows.size(); ++i) {
        RemoteAddressText(tcp_.rows[i], address_text_);
        if (!IsBlocked(address_text_)) continue;
        if (i < torn_early_.size() && torn_early_[i]) {
            // Asked for before the pass; marked as the table's other teardowns are.
            tcp_.rows[i].dwState = kDeleteTcb;
            continue;
        }
        TearDownConnection(tcp_, i, teardowns_);
    }
    torn_early_.clear();
}

bool MonitoringCycle::IsBlocked(const std::string& address) const {
    const int listed = address_list_.Find(address);
    // A listed address: its verdict cell decides. An address the list does not show (it was
    // emptied at 100 rows, or by the user) stays blocked if its blocked rule file exists.
    return listed >= 0
               ? rules::VerdictOf(address_list_.Cell(listed, watch_ip::kVerdict)) == rules::Verdict::Blocked
               : !IsUnlistedAddress(address) && store_.IsIndexedBlocked(address);
}

std::optional<bool> MonitoringCycle::VerdictAfterPass(const TcpRow& row, const std::string& address) const {
    if (IsUnlistedAddress(address)) return false;
    // Listed with a verdict: its cell decides, as after the pass.
    const int listed = address_list_.Find(address);
    if (listed >= 0 && !address_list_.Cell(listed, watch_ip::kVerdict).empty()) return IsBlocked(address);
    // The pass lists it with its rule file's verdict (a blocked file first: the index knows those
    // without a look into the folder), or files it as a new address; if that row empties the list at
    // 100 rows, the rule file then decides the same way.
    if (store_.IsIndexedBlocked(address)) return true;
    if (store_.Exists(address, rules::Verdict::Allowed)) return false;
    rules::Exemption exemption;
    const std::optional<rules::Verdict> verdict = FilingVerdict(row, address, exemption);
    if (!verdict) return std::nullopt;
    return *verdict == rules::Verdict::Blocked;
}

bool MonitoringCycle::WillBeBlocked(const TcpRow& row) const {
    return VerdictAfterPass(row, RemoteAddressText(row)).value_or(false);
}

void MonitoringCycle::UpdatePortList(std::string_view address, std::string_view port) {
    if (port_list_.RowCount() >= kListCap) port_list_.Clear();
    const int found = port_list_.Find(port);
    if (found >= 0) {
        port_list_.SetCell(found, watch_port::kAddress, address);
    } else {
        port_list_.AddRow({std::string(address), std::string(port)});
    }
}

void MonitoringCycle::ShowActivityLed(int flag) {
    const double range = flag != 0 ? 10.0 : 2.0;
    if (static_cast<int>(random_.Next() * range) == 0 && lamps_[0] != kLampRed) {
        lamps_[0] = kLampRed;
        lamps_[1] = kLampBlue;
    }
    if (static_cast<int>(random_.Next() * range) == 0 && lamps_[1] != kLampRed) {
        lamps_[1] = kLampRed;
        lamps_[0] = kLampBlue;
    }
}

}  // namespace velmor::engine
