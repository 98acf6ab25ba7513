#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <filesystem>
#include <memory>

#include "velmor/common/clock.h"
#include "velmor/common/ui_services.h"
#include "velmor/engine/enforcement.h"
#include "velmor/engine/guard_table_events.h"
#include "velmor/engine/lookup_cycle.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/engine/quiet_lamps.h"
#include "velmor/guard/guard_link.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/lifelines.h"
#include "velmor/platform/socket_counters.h"
#include "velmor/rules/exemptions.h"
#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_list.h"
#include "velmor/rules/rule_store.h"
#include "velmor/shell/table_waker.h"

namespace velmor::shell {

// The monitor as the event loop runs it: the rule store, the three lists, the monitoring cycle on
// the table timer TimerGetTable, the host-name lookup cycle on the lookup timer TimerGetWWW. The
// main window and the headless host both sit on top of it; it links Qt Core only.
class MonitorService final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MonitorService)
public:
    // The five folders of the program folder that the load step creates when missing.
    static constexpr const char* kFolders[] = {"invader", "support", "shared", "temp", "help"};

    MonitorService(std::filesystem::path program_folder, engine::MonitorHost& host, Dialogs& dialogs,
                   std::unique_ptr<platform::ConnectionTable> table = nullptr,
                   std::unique_ptr<platform::SocketCounterSource> counters = nullptr,
                   QObject* parent = nullptr);
    ~MonitorService() override;

    const std::filesystem::path& ProgramFolder() const { return program_folder_; }
    void CreateFolders();

    // Starts and stops the table timer and the lookup timer.
    void Start();
    void Stop();
    bool Running() const { return table_timer_.isActive(); }
    // With an event source (kept by the caller, outliving the service) the table timer waits for
    // its news or the safety net instead of ticking every millisecond; without one (nullptr, the
    // default) the timer and the change gate run as they always have.
    void SetTableEvents(engine::TableEventSource* source);
    TableWaker* Waker() { return waker_.get(); }
    // The guard's socket events as the table timer's source when it offers them (a stream that has
    // not subscribed is subscribed here); without them, or once the guard ends the stream, the
    // counter gate runs as before. nullptr drops the current stream.
    bool UseGuardEvents(std::unique_ptr<guard::GuardEventStream> stream);
    engine::GuardTableEvents* GuardEvents() { return guard_events_.get(); }
    // For the lamps' repaint: while an event source lets the table timer sleep, steps the lamps by
    // the quiet ticks it would have run since the last tick or call, so they flicker as they did
    // on the 1 ms timer. Without a source the ticks step them and this does nothing. Returns the
    // quiet ticks stepped.
    std::uint64_t ShowQuietLamps();

    rules::RuleStore& Store() { return store_; }
    // The connection tables the cycle reads.
    platform::ConnectionTable& Table() { return *table_; }
    rules::ListModel& AddressList() { return address_list_; }
    rules::ListModel& PortList() { return port_list_; }
    rules::ListModel& RuleList() { return rule_list_; }
    engine::MonitoringCycle& Cycle() { return cycle_; }
    engine::LookupCycle& Lookup() { return lookup_; }
    const Clock& GetClock() const { return clock_; }

    // The addresses the bait never files as intruders: the machine's lifelines (kept current for a
    // monitor of the system's own tables) and the user's trusted list.
    rules::Exemptions& Exemptions() { return exemptions_; }
    // Reads the lifelines again when the watch says they may have changed.
    void RefreshLifelines();
    // The trusted list file, "trusted.txt" in the user's settings folder (platform::UserConfigFolder);
    // empty when there is none.
    static std::filesystem::path TrustedListPath();
    // Reads the trusted list file (a missing one is an empty list) and applies it.
    rules::TrustedList LoadTrustedList();
    // Writes `text` as the trusted list file and applies the ranges it holds; the lines that are no
    // address or range are named in the result and skipped. False when it could not be written.
    bool SaveTrustedList(std::string_view text, rules::TrustedList& parsed);
    std::string TrustedListText() const { return trusted_text_; }

    // Enforcement through velmor-guard. A monitor that reads the system's own tables looks for the
    // guard at $VELMOR_GUARD_SOCKET (else /run/velmor/guard.sock) from the start; one fed a table of
    // a test's own has none unless given one here. nullptr without a guard link.
    void UseGuard(std::unique_ptr<guard::GuardLink> link);
    engine::GuardEnforcement* Guard() { return guard_.get(); }

Q_SIGNALS:
    // After every tick that read the tables (not after quiet ticks).
    void TableRead();
    // The guard came or went, or its refusals changed.
    void GuardChanged();

private:
    void OnTableTimer();
    void OnLookupTimer();

    std::filesystem::path program_folder_;
    SystemClock clock_;
    engine::DefaultRandomSource random_;
    bool system_tables_;
    std::unique_ptr<platform::ConnectionTable> table_;
    std::unique_ptr<platform::SocketCounterSource> counters_;
    rules::RuleStore store_;
    rules::ListModel address_list_{engine::watch_ip::kColumns, engine::watch_ip::kAddress};
    rules::ListModel port_list_{engine::watch_port::kColumns, engine::watch_port::kPort};
    rules::ListModel rule_list_{rules::kRuleListColumns};
    engine::MonitoringCycle cycle_;
    QTimer table_timer_;
    std::unique_ptr<engine::GuardTableEvents> guard_events_;
    std::unique_ptr<engine::SocketFinder> socket_finder_;
    std::unique_ptr<TableWaker> waker_;
    engine::QuietTickCount quiet_ticks_{clock_};
    // Brings the tick forward when a list changes outside it (a verdict toggled, a rule added).
    std::unique_ptr<rules::ListModelObserver> list_poker_;
    platform::DetachedLauncher launcher_;
    engine::LookupCycle lookup_;
    QTimer lookup_timer_;
    rules::Exemptions exemptions_;
    std::unique_ptr<platform::LifelineWatch> lifeline_watch_;
    std::unique_ptr<QSocketNotifier> lifeline_notifier_;
    std::string trusted_text_;
    std::unique_ptr<guard::GuardLink> guard_link_;
    std::unique_ptr<engine::GuardEnforcement> guard_;
    std::uint64_t seen_guard_generation_ = 0;
    std::uint64_t seen_refused_generation_ = 0;
};

}  // namespace velmor::shell
