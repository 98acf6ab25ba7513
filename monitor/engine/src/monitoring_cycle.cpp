#include "velmor/engine/monitoring_cycle.h"

#include <utility>

#include "velmor/common/text_rules.h"
#include "velmor/platform/diag.h"

namespace velmor::engine {

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
      random_(random) {}

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
    if (SharedGeneration() != seen_shared_generation_) RefreshSharedRows();
    const bool events = EventsLive();
    const bool safety_net_due =
        !dumped_once_ || now - last_dump_ >= (events ? event_safety_net_ : safety_net_);
    store_.RefreshBlockedIndex(safety_net_due);

    // A half-open row is seen within a second, as it was before the events told of SYNs.
    const bool half_open_due = events && half_open_news_ && now - last_dump_ >= std::chrono::seconds(1);
    bool dump = safety_net_due || half_open_due || table_news_ || checked_ != seen_checked_ ||
                address_list_.Generation() != seen_list_generation_ ||
                store_.BlockedGeneration() != seen_blocked_generation_ ||
                SharedGeneration() != seen_shared_generation_;
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
        half_open_news_ = false;
    }
    return dump;
}

void MonitoringCycle::TimerGetTable_Timer() {
    ++stats_.ticks;
    TakeTableNews();
    // Block the Internet takes over from a pass in progress at once.
    if (ledger_.PassActive() && checked_[kBlockInternetBox]) ledger_.DropPass();
    if (ledger_.PassActive()) {
        // The rest of a long pass, after the arrivals since its last slice. It meets the table of its
        // own read; whatever changed since is read once it is done.
        if (ledger_.HasArrivals()) FileArrivals();
        ContinuePass();
        return;
    }
    // New shared decisions decide the addresses met so far anew: a pass follows even when the rows
    // are the same.
    const bool shared_changed = SharedGeneration() != seen_shared_generation_;
    const bool read = ShouldDump();
    if (ledger_.HasArrivals()) {
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
    ledger_.TableRead();
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
    const std::uint64_t fingerprint = ledger_.Fingerprint(tcp_);
    if (ledger_.Differs(tcp_count, udp_count, fingerprint) || shared_changed) {
        // Every connection the pass will block goes before any rule file is written.
        if (checked_[kAutoBlockBox]) TearDownWhatThePassWillBlock();
        ++stats_.full_passes;
        ledger_.BeginPass(tcp_count, udp_count, fingerprint);
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
    const std::size_t first = ledger_.NextRow();
    while (ledger_.NextRow() < tcp_.rows.size()) {
        const std::size_t row = ledger_.NextRow();
        ledger_.RowPassed();
        PassRow(tcp_.rows[row]);
        if (row + 1 < tcp_.rows.size() && row + 1 - first >= pass_slice_rows_ &&
            clock_.Now() - start >= pass_slice_) {
            ++stats_.pass_slices;
            FinishTick();
            return;
        }
    }
    ledger_.EndPass();
    ShowActivityLed(0);
    if (checked_[kAutoBlockBox]) AutomaticBlocking();
    FinishTick();
}

void MonitoringCycle::FinishTick() {
    // Teardowns asked for before a pass count once it is done, when its rows are marked.
    const std::size_t teardowns =
        teardowns_.Size() + (ledger_.PassActive() ? 0 : std::exchange(early_teardowns_, 0));
    stats_.teardowns += teardowns_.Size();
    teardowns_.Flush(*enforcement_);
    // After the teardowns, so their resets leave before the packet filter drops an address.
    enforcement_->Sync(policy_, checked_[kAutoBlockBox], checked_[kBlockInternetBox]);
    seen_list_generation_ = address_list_.Generation();
    seen_blocked_generation_ = store_.BlockedGeneration();
    seen_shared_generation_ = SharedGeneration();
    if (teardowns > 0 && !ledger_.PassActive()) SettleTeardowns();
}

void MonitoringCycle::TearDownWhatThePassWillBlock() {
    // The address's first row that decides its verdict decides it for all its rows, as in the pass.
    torn_early_.assign(tcp_.rows.size(), false);
    decided_.clear();
    for (std::size_t i = 0; i < tcp_.rows.size() && i < tcp_.ids.size(); ++i) {
        const TcpRow& row = tcp_.rows[i];
        RemoteAddressText(row, address_text_);
        if (BlockPolicy::IsUnlisted(address_text_)) continue;
        auto decided = decided_.find(address_text_);
        if (decided == decided_.end()) {
            const BlockDecision after_pass = policy_.AfterPass(row, address_text_);
            if (!after_pass.Decided()) continue;
            decided = decided_.emplace(address_text_, after_pass.blocked).first;
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
    if (BlockPolicy::IsUnlisted(address)) return;
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

void MonitoringCycle::FileNewAddress(int list_row, const std::string& address, const std::string& remote_port,
                                     const TcpRow& row) {
    using rules::Verdict;
    if (const std::optional<Verdict> filed = policy_.RuleFileVerdict(address)) {
        // A file that cannot be read still gives its verdict; its info stays empty.
        const auto line = store_.ReadLine(address, *filed);
        address_list_.SetCell(list_row, watch_ip::kVerdict, rules::VerdictText(*filed));
        address_list_.SetCell(list_row, watch_ip::kInfo, line ? rules::InfoOfRuleLine(*line) : std::string());
        if (*filed == Verdict::Blocked) AlertIfHidden();
        return;
    }
    // No rule yet.
    const BlockDecision decision = policy_.ForNewAddress(row, address);
    if (!decision.Decided()) return;
    if (decision.why == BlockReason::Shared) {
        // Listed as blocked with where the decision comes from; no rule file: it expires by itself.
        address_list_.SetCell(list_row, watch_ip::kVerdict, rules::kBlockedText);
        address_list_.SetCell(list_row, watch_ip::kInfo,
                              policy_.Shared()->BlockingNote(address).value_or(""));
        return;
    }
    const Verdict verdict = decision.blocked ? Verdict::Blocked : Verdict::Allowed;
    const rules::Exemption exemption = decision.exemption;
    // A bait hit from a lifeline or a trusted address is allowed, with a note saying why.
    const std::string info = exemption != rules::Exemption::None ? rules::ExemptionNote(exemption) : "";
    // The list shows the verdict even when the file cannot be written; the next start files it anew.
    if (!store_.Write(address, verdict, rules::MakeRuleLine(remote_port, address, info)))
        platform::Diag("rules", "no rule file for " + address);
    address_list_.SetCell(list_row, watch_ip::kVerdict, rules::VerdictText(verdict));
    address_list_.SetCell(list_row, watch_ip::kInfo, info);
    if (verdict == Verdict::Blocked) {
        AlertIfHidden();
        host_.IntruderFiled(address);
    } else if (exemption != rules::Exemption::None) {
        ++stats_.exempt_hits;
        host_.ExemptAddressMet(address, exemption);
    }
}

void MonitoringCycle::RefreshSharedRows() {
    const SharedVerdicts* shared = policy_.Shared();
    if (shared == nullptr) return;
    for (int row = 0; row < address_list_.RowCount(); ++row) {
        if (!address_list_.Cell(row, watch_ip::kInfo).starts_with(kSharedNotePrefix)) continue;
        const std::string address = address_list_.Cell(row, watch_ip::kAddress);
        if (std::optional<std::string> note = shared->BlockingNote(address)) {
            if (*note != address_list_.Cell(row, watch_ip::kInfo))
                address_list_.SetCell(row, watch_ip::kInfo, *note);
        } else {
            address_list_.SetCell(row, watch_ip::kVerdict, "");
            address_list_.SetCell(row, watch_ip::kInfo, "");
        }
    }
}

void MonitoringCycle::AlertIfHidden() {
    if (!host_.IsWindowVisible()) host_.UpdateTrayIcon(TrayIconChange::Invader);
}

void MonitoringCycle::AutomaticBlocking() {
    for (std::size_t i = 0; i < tcp_.rows.size(); ++i) {
        RemoteAddressText(tcp_.rows[i], address_text_);
        if (!policy_.Now(address_text_).blocked) continue;
        if (i < torn_early_.size() && torn_early_[i]) {
            // Asked for before the pass; marked as the table's other teardowns are.
            tcp_.rows[i].dwState = kDeleteTcb;
            continue;
        }
        TearDownConnection(tcp_, i, teardowns_);
    }
    torn_early_.clear();
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
