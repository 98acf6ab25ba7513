#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "velmor/common/clock.h"
#include "velmor/common/ui_services.h"
#include "velmor/engine/enforcement.h"
#include "velmor/engine/guard_table_events.h"
#include "velmor/engine/lookup_cycle.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/engine/quiet_lamps.h"
#include "velmor/engine/socket_news.h"
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

class BaitListener;

// What a monitor service watches and acts through; the composition root (main, or a test) picks
// them. The optional ones left empty are not used: a table of a test's own comes without lifelines,
// events or single-socket lookups unless the test gives them.
struct MonitorParts {
    std::unique_ptr<platform::ConnectionTable> table;         // required
    std::unique_ptr<platform::SocketCounterSource> counters;  // required
    std::unique_ptr<guard::GuardLink> guard;                  // optional: velmor-guard
    // Opens a stream of the guard's socket events (the service subscribes it) whenever the guard is
    // connected; optional.
    std::function<std::unique_ptr<guard::GuardEventStream>()> guard_events;
    // Single sockets by id, in the namespace whose table is read; optional.
    std::unique_ptr<engine::SocketFinder> socket_finder;
    // The watch on the machine's lifelines, read into the exemptions; optional.
    std::unique_ptr<platform::LifelineWatch> lifelines;
};

// The system's own parts: the connection tables and socket counters of this namespace, velmor-guard
// at GuardSocketPath() with its socket events, the kernel's lookup of single sockets and the
// lifelines' watch.
MonitorParts SystemMonitorParts();

// The monitor as the event loop runs it: the rule store, the three lists, the monitoring cycle on
// the table timer TimerGetTable, the host-name lookup cycle on the lookup timer TimerGetWWW. Built
// in main with its parts and handed to the main window or the headless host, which sits on top of it
// as its MonitorHost; it links Qt Core only.
class MonitorService final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MonitorService)
public:
    // The five folders of the program folder that the load step creates when missing.
    static constexpr const char* kFolders[] = {"invader", "support", "shared", "temp", "help"};

    MonitorService(std::filesystem::path program_folder, MonitorParts parts, Dialogs& dialogs,
                   QObject* parent = nullptr);
    ~MonitorService() override;

    // The window or headless host on top (not owned; it outlives its use here). Until one is set,
    // and after nullptr, the cycle sees a visible window and changes no tray icon.
    void SetHost(engine::MonitorHost* host) { host_.host = host; }

    const std::filesystem::path& ProgramFolder() const { return program_folder_; }
    void CreateFolders();

    // Starts and stops the table timer and the lookup timer.
    void Start();
    void Stop();
    bool Running() const { return table_timer_.isActive(); }
    // With the table's events (kept by the caller, outliving the service) the table timer waits for
    // their news or the safety net instead of ticking every millisecond, and the cycle reads them
    // while they are live; without them (nullptr, the default) the timer and the change gate run as
    // they always have.
    void SetTableEvents(engine::TableEvents* events);
    TableWaker* Waker() { return waker_.get(); }
    // The guard's socket events as the table's events when it offers them (a stream that has not
    // subscribed is subscribed here); without them, or once the guard ends the stream, the counter
    // gate runs as before. nullptr drops the current stream.
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

    // Enforcement through velmor-guard (the parts' guard, or one given here). nullptr without a
    // guard link.
    void UseGuard(std::unique_ptr<guard::GuardLink> link);
    engine::GuardEnforcement* Guard() { return guard_.get(); }

    // The bait, decided here for every host: the guard's bait socket when the guard offers one
    // (velmor itself may not bind port 80), else, given `own_port`, velmor's own listener on it.
    // False when no bait listens.
    bool OpenBait(BaitListener& bait, std::optional<quint16> own_port);
    // A click on a box of CheckStopRun (engine::kAutoBlockBox, kBlockInternetBox): the cycle's
    // handler runs, and the next tick, which applies the mode, comes at once even while the table
    // timer sleeps on events. Returns whether the box is checked afterwards (a No to the question
    // unchecks it again).
    bool SetMode(int box, bool checked);

Q_SIGNALS:
    // After every tick that read the tables (not after quiet ticks).
    void TableRead();
    // The guard came or went, or its refusals changed.
    void GuardChanged();

private:
    // Hands the cycle's questions to the host on top, if any.
    class HostRelay final : public engine::MonitorHost {
    public:
        bool IsWindowVisible() const override { return host == nullptr || host->IsWindowVisible(); }
        void UpdateTrayIcon(engine::TrayIconChange change) override {
            if (host != nullptr) host->UpdateTrayIcon(change);
        }
        void IntruderFiled(std::string_view address) override {
            if (host != nullptr) host->IntruderFiled(address);
        }
        void ExemptAddressMet(std::string_view address, rules::Exemption why) override {
            if (host != nullptr) host->ExemptAddressMet(address, why);
        }
        engine::MonitorHost* host = nullptr;
    };

    // The table's periodic read while the guard's events are live: longer when they tell of SYNs.
    void UpdateEventSafetyNet();
    void OnTableTimer();
    void OnLookupTimer();
    // Subscribes to the guard's events through the parts' opener, when there is one.
    void OpenGuardEvents();

    std::filesystem::path program_folder_;
    SystemClock clock_;
    engine::DefaultRandomSource random_;
    HostRelay host_;
    std::unique_ptr<platform::ConnectionTable> table_;
    std::unique_ptr<platform::SocketCounterSource> counters_;
    std::function<std::unique_ptr<guard::GuardEventStream>()> open_guard_events_;
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
