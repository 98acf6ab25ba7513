#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "velmor/common/clock.h"
#include "velmor/common/ui_services.h"
#include "velmor/engine/block_policy.h"
#include "velmor/engine/enforcement.h"
#include "velmor/engine/module_tcp_table.h"
#include "velmor/engine/pass_ledger.h"
#include "velmor/engine/socket_news.h"
#include "velmor/engine/table_events.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/socket_counters.h"
#include "velmor/rules/exemptions.h"
#include "velmor/rules/list_model.h"
#include "velmor/rules/live_lists.h"
#include "velmor/rules/rule_store.h"

namespace velmor::engine {

namespace watch_ip = rules::watch_ip;
namespace watch_port = rules::watch_port;

inline constexpr std::string_view kCountOverflowText = "10000 - OVER";
inline constexpr std::string_view kBlockInternetQuestion = "인터넷을 정말 차단할까요?";
inline constexpr int kListCap = 100;
// The two boxes of the check-box pair CheckStopRun, by index.
inline constexpr int kAutoBlockBox = 0;
inline constexpr int kBlockInternetBox = 1;
inline constexpr std::uint32_t kLampRed = 0x0000FF;
inline constexpr std::uint32_t kLampBlue = 0xFF0000;

// The changes of the tray icon: put it up with the normal image, back to the normal image, the
// alert image (an intruder was filed while the window was hidden). The window names them in its
// own terms; the core only ever asks for Invader.
enum class TrayIconChange { Add, Reset, Invader };

// What the cycle needs of the window that hosts it.
class MonitorHost {
public:
    virtual ~MonitorHost() = default;
    // False while the window is hidden in the tray.
    virtual bool IsWindowVisible() const = 0;
    // Switches the tray icon.
    virtual void UpdateTrayIcon(TrayIconChange change) = 0;
    // A remote address without a rule reached the bait and was just filed as blocked.
    virtual void IntruderFiled(std::string_view address) { static_cast<void>(address); }
    // A lifeline or a trusted address reached the bait and was filed as allowed, not as an intruder.
    virtual void ExemptAddressMet(std::string_view address, rules::Exemption why) {
        static_cast<void>(address);
        static_cast<void>(why);
    }
};

class RandomSource {
public:
    virtual ~RandomSource() = default;
    // A uniform number in [0, 1).
    virtual double Next() = 0;
};

class DefaultRandomSource final : public RandomSource {
public:
    double Next() override { return distribution_(engine_); }

private:
    std::minstd_rand engine_{std::random_device{}()};
    std::uniform_real_distribution<double> distribution_{0.0, 1.0};
};

// The monitoring cycle: on every tick of the table timer it reads the connection tables, fills the
// address and port lists, files every new remote address as a blocked or allowed rule, tears down
// connections to blocked addresses (automatic blocking) or every connection (block the Internet),
// and blinks the two activity lamps.
//
// A tick reads the tables only when something may have changed: the kernel's socket counters moved,
// a verdict, the mode or the address list changed, or the safety-net interval passed. Otherwise the
// tick is quiet: a lamp step and nothing else, no system call beyond reading the counters.
class MonitoringCycle final {
public:
    struct Stats {
        std::uint64_t ticks = 0;
        std::uint64_t dumps = 0;
        std::uint64_t full_passes = 0;
        std::uint64_t teardowns = 0;
        // New connections on the bait torn down and filed from their event, without reading the table.
        std::uint64_t targeted = 0;
        // Those of them whose socket had closed before they were filed (a read would have missed them).
        std::uint64_t targeted_fallbacks = 0;
        // Ticks that ended a slice of a long pass, to go on with it at once.
        std::uint64_t pass_slices = 0;
        // Bait hits from lifelines and trusted addresses, filed as allowed.
        std::uint64_t exempt_hits = 0;
        // Arrivals whose address the kernel's first strike had blocked before the cycle saw them.
        std::uint64_t struck = 0;
    };

    MonitoringCycle(platform::ConnectionTable& table, platform::SocketCounterSource* counters,
                    rules::RuleStore& store, rules::ListModel& address_list, rules::ListModel& port_list,
                    MonitorHost& host, Dialogs& dialogs, const Clock& clock, RandomSource& random);

    // One tick of the table timer.
    void TimerGetTable_Timer();

    // The check-box pair CheckStopRun: kAutoBlockBox "침입한 IP를 자동으로 차단합니다." (automatic
    // blocking, starts checked), kBlockInternetBox "인터넷을 차단합니다." (block the Internet, starts
    // unchecked). A click first changes
    // the box (SetChecked), then runs the click handler.
    bool IsChecked(int index) const;
    void SetChecked(int index, bool checked);
    void CheckStopRun_Click(int index);

    // Inserts or updates the port list row of `port` with `address`.
    void UpdatePortList(std::string_view address, std::string_view port);
    // One step of the activity lamps: flag 0 after a full pass, 1 when the pass was skipped.
    void ShowActivityLed(int flag);
    // The lamps after `quiet_ticks` quiet ticks that an event source let the timer skip, with the
    // law of as many ShowActivityLed(1) (quiet_lamps.h; a long run costs one draw).
    void ShowQuietActivityLeds(std::uint64_t quiet_ticks);
    std::array<std::uint32_t, 2> LampColors() const { return lamps_; }

    // The table timer's interval (1 ms; the toolbar's mouse-over sets 1000, the lookup tick 1 again)
    // and the delay before the next tick, which adds the 100 ms pause while the window is hidden.
    int TimerIntervalMs() const { return interval_ms_; }
    void SetTimerIntervalMs(int interval_ms) { interval_ms_ = interval_ms; }
    std::chrono::milliseconds NextTickDelay() const;
    // A full pass, or the filing of many arrivals, that yielded to the event loop and goes on with
    // the next tick, which is due at once.
    bool PassPending() const { return ledger_.PassActive() || ledger_.HasArrivals(); }

    // The longest a slice of a full pass may take before the tick yields to the event loop, once it
    // has passed `min_rows` rows; the next tick (at once) goes on with it.
    void SetPassSlice(std::chrono::milliseconds slice, std::size_t min_rows) {
        pass_slice_ = slice;
        pass_slice_rows_ = min_rows;
    }

    // The longest time a tick may stay quiet without reading the tables. With live socket events
    // it is the longest the timer sleeps between two looks at the counters, and the tables are read
    // at least every event safety net.
    void SetSafetyNet(std::chrono::milliseconds interval) { safety_net_ = interval; }
    std::chrono::milliseconds SafetyNet() const { return safety_net_; }
    void SetEventSafetyNet(std::chrono::milliseconds interval) { event_safety_net_ = interval; }
    std::chrono::milliseconds EventSafetyNet() const { return event_safety_net_; }

    // The kernel's socket events of this namespace, and a lookup of single sockets in it (both not
    // owned; nullptr for none). While they are live, an event is news that the next tick reads the
    // table for, and a new connection on the bait is filed and torn down from its event and one
    // lookup of that socket instead.
    void SetTableEvents(TableEvents* events, SocketFinder* finder) {
        events_ = events;
        finder_ = finder;
        events_were_live_ = false;
    }

    int LastTcpCount() const { return ledger_.TcpCount(); }
    int LastUdpCount() const { return ledger_.UdpCount(); }
    std::uint64_t LastTcpFingerprint() const { return ledger_.TcpFingerprint(); }
    const Stats& GetStats() const { return stats_; }
    const TcpSnapshot& LastSnapshot() const { return tcp_; }

    // What decides whether an address is blocked, and why.
    const BlockPolicy& Policy() const { return policy_; }
    // The addresses the bait never files as intruders (not owned); nullptr: loopback only.
    void SetExemptions(const rules::Exemptions* exemptions) { policy_.SetExemptions(exemptions); }

    // Where teardowns and the verdicts take effect; the process's own rights unless set. Not owned.
    void SetEnforcement(Enforcement* enforcement) {
        enforcement_ = enforcement != nullptr ? enforcement : &direct_;
    }

private:
    bool ShouldDump();
    void BlockEverything();
    void ContinuePass();
    // What every tick that read the table does last: the teardowns, the guard's sets, the state the
    // change gate compares with.
    void FinishTick();
    // Tears down, before the pass, every row whose address the pass will show as blocked.
    void TearDownWhatThePassWillBlock();
    // What the full pass does for one row (also for a row filed from its event).
    void PassRow(const TcpRow& row);
    // Gives a newly listed address (or one listed without a verdict) its verdict: from its rule
    // file, else by filing it from `row`, which may not prove it yet (then the cell stays empty).
    void FileNewAddress(int list_row, const std::string& address, const std::string& remote_port,
                        const TcpRow& row);
    void AutomaticBlocking();
    void AlertIfHidden();
    // Socket events (monitoring_cycle_events.cpp).
    bool EventsLive() const { return events_ != nullptr && events_->Live(); }
    void TakeTableNews();
    void FileArrivals();
    // After a read's teardowns: sockets now gone leave the table the last pass stood for, and their
    // close events are no news.
    void SettleTeardowns();
    // A socket torn down and seen gone: its close event is no news, nor worth a tick of its own.
    void RememberGone(std::uint64_t cookie);
    // Whether the blocked index changed since generation `since` only by the arrivals' own new rules.
    bool OnlyArrivalsAdded(std::uint64_t since);

    platform::ConnectionTable& table_;
    platform::SocketCounterSource* counters_;
    rules::RuleStore& store_;
    rules::ListModel& address_list_;
    rules::ListModel& port_list_;
    MonitorHost& host_;
    Dialogs& dialogs_;
    const Clock& clock_;
    RandomSource& random_;
    BlockPolicy policy_{address_list_, store_};
    PassLedger ledger_;
    DirectEnforcement direct_{table_};
    Enforcement* enforcement_ = &direct_;

    TcpSnapshot tcp_;
    UdpSnapshot udp_;
    TeardownBatch teardowns_;
    std::array<bool, 2> checked_{true, false};
    std::array<std::uint32_t, 2> lamps_{kLampRed, kLampBlue};
    std::string address_text_;  // scratch of the automatic-blocking scan, kept between ticks
    std::chrono::milliseconds pass_slice_{20};
    std::size_t pass_slice_rows_ = 100;
    std::vector<bool> torn_early_;  // rows of tcp_ torn down before the pass
    std::size_t early_teardowns_ = 0;
    std::unordered_map<std::string, bool> decided_;  // scratch: address -> blocked after the pass
    int interval_ms_ = 1;

    // Change gate.
    std::chrono::milliseconds safety_net_{250};
    bool dumped_once_ = false;
    std::chrono::steady_clock::time_point last_dump_{};
    platform::SocketCounters last_counters_{};
    std::uint64_t seen_list_generation_ = 0;
    std::uint64_t seen_blocked_generation_ = 0;
    std::array<bool, 2> seen_checked_{true, false};

    // Socket events.
    TableEvents* events_ = nullptr;
    SocketFinder* finder_ = nullptr;
    std::chrono::milliseconds event_safety_net_{1000};
    bool events_were_live_ = false;
    bool table_news_ = false;  // this tick's events need a read of the table
    // A SYN came in since the last read: its half-open row is read within a second, as without
    // events, and never sooner than a second after the last read (a flood of SYNs reads no more).
    bool half_open_news_ = false;
    std::vector<guard::EventRecord> news_events_;                   // this tick's events
    std::unordered_set<std::string> filed_addresses_;               // scratch of FileArrivals
    std::vector<rules::RuleStore::BlockedChange> blocked_changes_;  // scratch

    Stats stats_;
};

}  // namespace velmor::engine
