#include "velmor/shell/monitor_service.h"

#include <algorithm>
#include <functional>

#include "velmor/common/text_file.h"
#include "velmor/platform/diag.h"
#include "velmor/platform/private_folder.h"
#include "velmor/platform/process.h"

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

MonitorService::MonitorService(std::filesystem::path program_folder, engine::MonitorHost& host,
                               Dialogs& dialogs, std::unique_ptr<platform::ConnectionTable> table,
                               std::unique_ptr<platform::SocketCounterSource> counters, QObject* parent)
    : QObject(parent),
      program_folder_(std::move(program_folder)),
      system_tables_(table == nullptr),
      table_(table ? std::move(table) : platform::MakeSystemConnectionTable()),
      counters_(counters ? std::move(counters) : platform::MakeSystemSocketCounters()),
      store_(program_folder_),
      cycle_(*table_, counters_.get(), store_, address_list_, port_list_, host, dialogs, clock_, random_),
      lookup_(program_folder_, store_, address_list_, cycle_, launcher_) {
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
    if (system_tables_) {
        lifeline_watch_ = std::make_unique<platform::LifelineWatch>();
        if (lifeline_watch_->Fd() >= 0) {
            lifeline_notifier_ =
                std::make_unique<QSocketNotifier>(lifeline_watch_->Fd(), QSocketNotifier::Read);
            connect(lifeline_notifier_.get(), &QSocketNotifier::activated, this,
                    &MonitorService::RefreshLifelines);
        }
        RefreshLifelines();
        UseGuard(guard::MakeGuardLink(guard::GuardSocketPath()));
        if (guard_->Link().Connected()) UseGuardEvents(guard::MakeGuardEventStream(guard::GuardSocketPath()));
    }
}

bool MonitorService::UseGuardEvents(std::unique_ptr<guard::GuardEventStream> stream) {
    cycle_.SetTableNews(nullptr, nullptr);
    SetTableEvents(nullptr);
    guard_events_.reset();
    if (!stream || (!stream->Live() && !stream->Subscribe())) return false;
    guard_events_ = std::make_unique<engine::GuardTableEvents>(std::move(stream));
    guard_events_->SetExpected(
        [this](const guard::EventRecord& event) { return cycle_.ExpectsEvent(event); });
    SetTableEvents(guard_events_.get());
    // Single sockets are looked up in the namespace whose table the cycle reads: only the system's.
    if (system_tables_ && !socket_finder_) socket_finder_ = std::make_unique<engine::SystemSocketFinder>();
    cycle_.SetTableNews(guard_events_.get(), socket_finder_.get());
    return true;
}

MonitorService::~MonitorService() {
    // The cycle must not keep a pointer to the enforcement or the events that go first.
    cycle_.SetEnforcement(nullptr);
    cycle_.SetTableNews(nullptr, nullptr);
    for (rules::ListModel* list : {&address_list_, &port_list_, &rule_list_})
        list->RemoveObserver(list_poker_.get());
}

void MonitorService::UseGuard(std::unique_ptr<guard::GuardLink> link) {
    cycle_.SetEnforcement(nullptr);
    guard_.reset();
    guard_link_ = std::move(link);
    if (!guard_link_) return;
    guard_ = std::make_unique<engine::GuardEnforcement>(*guard_link_, *table_, clock_);
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
        // A guard that came (back) may offer its events.
        if (system_tables_ && !guard_events_ && guard_->Link().Connected()) {
            UseGuardEvents(guard::MakeGuardEventStream(guard::GuardSocketPath()));
        }
        Q_EMIT GuardChanged();
    }
}

void MonitorService::SetTableEvents(engine::TableEventSource* source) {
    waker_.reset();
    if (source == nullptr) return;
    waker_ = std::make_unique<TableWaker>(*source, clock_, [this](std::chrono::milliseconds delay) {
        // Stopped, or inside the tick (which starts the timer itself): nothing to bring forward.
        if (!table_timer_.isActive()) return;
        if (table_timer_.remainingTime() > delay.count()) table_timer_.start(static_cast<int>(delay.count()));
    });
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
