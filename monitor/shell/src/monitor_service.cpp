#include "velmor/shell/monitor_service.h"

#include <algorithm>
#include <functional>

#include "velmor/common/text_file.h"
#include "velmor/platform/diag.h"
#include "velmor/platform/private_folder.h"
#include "velmor/platform/process.h"
#include "velmor/shell/bait_listener.h"

namespace velmor::shell {
namespace {

// A change of a list made outside the tick (the tick's own changes find its timer stopped and
// bring nothing forward) is something the next tick must apply: it need not wait for the safety net.
// A note (a program, a byte count) changes no list's generation and brings nothing forward.
class ListPoker final : public rules::ListModelObserver {
public:
    ListPoker(std::vector<const rules::ListModel*> lists, std::function<void()> poke)
        : lists_(std::move(lists)), poke_(std::move(poke)) {}
    void OnRowsInserted(int, int) override { PokeIfChanged(); }
    void OnRowsRemoved(int, int) override { PokeIfChanged(); }
    void OnCellChanged(int, int) override { PokeIfChanged(); }
    void OnSelectionChanged(int) override {}
    void OnLayoutChanged() override {}
    void OnReset() override { PokeIfChanged(); }

private:
    void PokeIfChanged() {
        std::uint64_t generations = 0;
        for (const rules::ListModel* list : lists_) generations += list->Generation();
        if (generations != seen_) poke_();
        seen_ = generations;
    }

    std::vector<const rules::ListModel*> lists_;
    std::function<void()> poke_;
    std::uint64_t seen_ = 0;
};

}  // namespace

MonitorParts SystemMonitorParts() {
    MonitorParts parts;
    parts.table = platform::MakeSystemConnectionTable();
    parts.counters = platform::MakeSystemSocketCounters();
    parts.guard = guard::MakeGuardLink(guard::GuardSocketPath());
    parts.guard_events = [] { return guard::MakeGuardEventStream(guard::GuardSocketPath()); };
    parts.socket_finder = std::make_unique<engine::SystemSocketFinder>();
    parts.lifelines = std::make_unique<platform::LifelineWatch>();
    return parts;
}

MonitorService::MonitorService(std::filesystem::path program_folder, MonitorParts parts, Dialogs& dialogs,
                               QObject* parent)
    : QObject(parent),
      program_folder_(std::move(program_folder)),
      table_(std::move(parts.table)),
      counters_(std::move(parts.counters)),
      open_guard_events_(std::move(parts.guard_events)),
      store_(program_folder_),
      cycle_(*table_, counters_.get(), store_, address_list_, port_list_, host_, dialogs, clock_, random_),
      socket_finder_(std::move(parts.socket_finder)),
      lookup_(program_folder_, store_, address_list_, cycle_, launcher_),
      lifeline_watch_(std::move(parts.lifelines)) {
    table_timer_.setObjectName(QStringLiteral("TimerGetTable"));
    table_timer_.setSingleShot(true);
    // The 1 ms interval only works with a precise timer; coarse timers round to 5% of it.
    table_timer_.setTimerType(Qt::PreciseTimer);
    connect(&table_timer_, &QTimer::timeout, this, &MonitorService::OnTableTimer);
    lookup_timer_.setObjectName(QStringLiteral("TimerGetWWW"));
    lookup_timer_.setInterval(engine::kLookupIntervalMs);
    connect(&lookup_timer_, &QTimer::timeout, this, &MonitorService::OnLookupTimer);
    list_poker_ = std::make_unique<ListPoker>(
        std::vector<const rules::ListModel*>{&address_list_, &port_list_, &rule_list_}, [this] {
            if (waker_) waker_->Poke();
        });
    for (rules::ListModel* list : {&address_list_, &port_list_, &rule_list_})
        list->AddObserver(list_poker_.get());
    cycle_.SetExemptions(&exemptions_);
    LoadTrustedList();
    if (lifeline_watch_) {
        if (lifeline_watch_->Fd() >= 0) {
            lifeline_notifier_ =
                std::make_unique<QSocketNotifier>(lifeline_watch_->Fd(), QSocketNotifier::Read);
            connect(lifeline_notifier_.get(), &QSocketNotifier::activated, this,
                    &MonitorService::RefreshLifelines);
        }
        RefreshLifelines();
    }
    if (parts.guard) {
        UseGuard(std::move(parts.guard));
        if (guard_->Link().Connected()) OpenGuardEvents();
    }
}

void MonitorService::OpenGuardEvents() {
    if (open_guard_events_) UseGuardEvents(open_guard_events_());
}

bool MonitorService::UseGuardEvents(std::unique_ptr<guard::GuardEventStream> stream) {
    SetTableEvents(nullptr);
    guard_events_.reset();
    if (!stream || (!stream->Live() && !stream->Subscribe())) return false;
    guard_events_ = std::make_unique<engine::GuardTableEvents>(std::move(stream));
    SetTableEvents(guard_events_.get());
    UpdateEventSafetyNet();
    return true;
}

MonitorService::~MonitorService() {
    // The cycle must not keep a pointer to the enforcement or the events that go first.
    cycle_.SetEnforcement(nullptr);
    cycle_.SetTableEvents(nullptr, nullptr);
    for (rules::ListModel* list : {&address_list_, &port_list_, &rule_list_})
        list->RemoveObserver(list_poker_.get());
}

void MonitorService::UseGuard(std::unique_ptr<guard::GuardLink> link) {
    cycle_.SetEnforcement(nullptr);
    guard_.reset();
    guard_link_ = std::move(link);
    if (!guard_link_) return;
    guard_ = std::make_unique<engine::GuardEnforcement>(*guard_link_, *table_, clock_);
    guard_->SetExemptions(&exemptions_);
    cycle_.SetEnforcement(guard_.get());
    guard_->EnsureConnected(true);
    seen_guard_generation_ = guard_->Generation();
}

void MonitorService::CreateFolders() {
    for (const char* folder : kFolders) {
        std::error_code error;
        std::filesystem::create_directories(program_folder_ / folder, error);
        if (error)
            platform::Diag("start",
                           "cannot create the folder " + std::string(folder) + ": " + error.message());
    }
}

void MonitorService::Start() {
    lookup_.RemoveStaleExchangeParts();
    table_timer_.start(static_cast<int>(cycle_.NextTickDelay().count()));
    lookup_timer_.start();
}

void MonitorService::Stop() {
    table_timer_.stop();
    lookup_timer_.stop();
}

void MonitorService::OnTableTimer() {
    const auto dumps = cycle_.GetStats().dumps;
    UpdateEventSafetyNet();
    cycle_.TimerGetTable_Timer();
    quiet_ticks_.TickRan();
    // The guard ended its event stream: the counter gate takes over again.
    if (guard_events_ && !guard_events_->Live()) UseGuardEvents(nullptr);
    // The timer is off while the tick runs and on again after it, with the pause while hidden.
    auto delay =
        waker_ ? waker_->AfterTick(cycle_.NextTickDelay(), cycle_.SafetyNet()) : cycle_.NextTickDelay();
    // The rest of a long pass runs as soon as the event loop has had its turn.
    if (cycle_.PassPending()) delay = std::chrono::milliseconds(0);
    table_timer_.start(static_cast<int>(delay.count()));
    if (cycle_.GetStats().dumps != dumps) Q_EMIT TableRead();
    if (guard_ && guard_->RefusedLifelinesGeneration() != seen_refused_generation_) {
        seen_refused_generation_ = guard_->RefusedLifelinesGeneration();
        Q_EMIT GuardChanged();
    }
    if (guard_ && guard_->Generation() != seen_guard_generation_) {
        seen_guard_generation_ = guard_->Generation();
        UpdateEventSafetyNet();
        // A guard that came (back) may offer its events.
        if (!guard_events_ && guard_->Link().Connected()) OpenGuardEvents();
        Q_EMIT GuardChanged();
    }
}

void MonitorService::UpdateEventSafetyNet() {
    // A guard whose events tell of SYNs too leaves nothing to the periodic read but what the events
    // may have missed without saying so, and the bytes of each connection, which only a read brings:
    // once a second while the lists are shown, every 10 s while hidden.
    const bool syns = guard_ && guard_->GuardState() && guard_->GuardState()->half_open_events;
    const bool quiet = syns && !host_.IsWindowVisible();
    cycle_.SetEventSafetyNet(quiet ? std::chrono::seconds(10) : std::chrono::seconds(1));
}

void MonitorService::SetTableEvents(engine::TableEvents* events) {
    cycle_.SetTableEvents(events, events != nullptr ? socket_finder_.get() : nullptr);
    waker_.reset();
    if (events == nullptr) return;
    waker_ = std::make_unique<TableWaker>(*events, clock_, [this](std::chrono::milliseconds delay) {
        // Stopped, or inside the tick (which starts the timer itself): nothing to bring forward.
        if (!table_timer_.isActive()) return;
        if (table_timer_.remainingTime() > delay.count()) table_timer_.start(static_cast<int>(delay.count()));
    });
}

bool MonitorService::OpenBait(BaitListener& bait, std::optional<quint16> own_port) {
    bool open = false;
    if (guard_ && guard_->EnsureConnected(true) && guard_->GuardState()->bait)
        open = bait.Adopt(guard_->Link().TakeBaitSocket());
    if (!open && own_port) open = bait.Open(*own_port);
    return open;
}

bool MonitorService::SetMode(int box, bool checked) {
    cycle_.SetChecked(box, checked);
    cycle_.CheckStopRun_Click(box);
    // A mode is applied by the next tick; with the table's events that tick would otherwise wait.
    if (waker_) waker_->Poke();
    return cycle_.IsChecked(box);
}

std::uint64_t MonitorService::ShowQuietLamps() {
    // Taken in any case, so the count never spans a time in which the ticks stepped the lamps.
    const std::uint64_t due = quiet_ticks_.TakeDue(cycle_.NextTickDelay());
    if (!waker_ || !Running()) return 0;
    cycle_.ShowQuietActivityLeds(due);
    return due;
}

void MonitorService::RefreshLifelines() {
    if (!lifeline_watch_ || !lifeline_watch_->Changed()) return;
    platform::Lifelines read = platform::ReadLifelines();
    if (!read.complete) {
        // A read that failed in part forgets none of the lifelines known so far.
        const platform::Lifelines& known = exemptions_.Lifelines();
        const auto keep = [](std::vector<std::string>& into, const std::vector<std::string>& from) {
            for (const std::string& address : from)
                if (std::find(into.begin(), into.end(), address) == into.end()) into.push_back(address);
        };
        keep(read.own, known.own);
        keep(read.gateways, known.gateways);
        keep(read.resolvers, known.resolvers);
    }
    exemptions_.SetLifelines(read);
}

std::filesystem::path MonitorService::TrustedListPath() {
    const auto folder = platform::UserConfigFolder();
    return folder ? *folder / "trusted.txt" : std::filesystem::path();
}

rules::TrustedList MonitorService::LoadTrustedList() {
    const std::filesystem::path path = TrustedListPath();
    trusted_text_ = path.empty() ? std::string() : ReadWholeFile(path).value_or(std::string());
    rules::TrustedList parsed = rules::ParseTrustedList(trusted_text_);
    if (!parsed.bad_lines.empty())
        platform::Diag("trusted", std::to_string(parsed.bad_lines.size()) + " lines of " + path.string() +
                                      " are no address or range");
    exemptions_.SetTrusted(parsed.ranges);
    return parsed;
}

bool MonitorService::SaveTrustedList(std::string_view text, rules::TrustedList& parsed) {
    parsed = rules::ParseTrustedList(text);
    // In force at once, even when the file cannot be written (then for this run only).
    trusted_text_ = text;
    exemptions_.SetTrusted(parsed.ranges);
    const std::filesystem::path path = TrustedListPath();
    return !path.empty() && WriteFileAtomically(path, text);
}

void MonitorService::OnLookupTimer() {
    // The kernel tells of address and route changes at once (the notifier); the resolver files are
    // looked at here, at most once a second.
    RefreshLifelines();
    lookup_.TimerGetWWW_Timer();
    // Helpers that ended since the last tick are reaped even when no new one was started.
    platform::ReapDetachedChildren();
}

}  // namespace velmor::shell
