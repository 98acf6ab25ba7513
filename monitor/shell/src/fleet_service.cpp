#include "velmor/shell/fleet_service.h"

#include <ctime>

#include "velmor/platform/address_text.h"
#include "velmor/platform/private_folder.h"
#include "velmor/shell/monitor_service.h"
#include "velmor/shell/table_waker.h"

namespace velmor::shell {
namespace {

using SystemTime = std::chrono::system_clock::time_point;

// Allowed rules come and go with every new peer: the cut-outs follow them at most this often.
constexpr auto kAllowedRecheckInterval = std::chrono::seconds(5);

std::string LocalTimeText(SystemTime when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

bool Accepted(const fleet::Decision& decision) {
    return decision.type == "ban" && (decision.scope == "Ip" || decision.scope == "Range");
}

std::optional<platform::AddressRange> RangeOf(const fleet::Decision& decision) {
    return platform::ParseAddressRange(decision.value);
}

}  // namespace

FleetService::FleetService(MonitorService& service, std::filesystem::path folder)
    : service_(service), folder_(std::move(folder)), lists_(folder_ / "lists") {
    const rules::RuleStore& store = service_.Store();
    decisions_ = std::make_unique<lists::SharedDecisions>(
        service_.Exemptions(), [&store](const platform::IpAddress& address) {
            return store.IsIndexedAllowed(platform::FormatIpAddress(address));
        });
    decisions_->SetAllowedAddresses({});
    lists_.Load();
    for (const std::string& name : lists_.Names())
        decisions_->ReplaceSource(lists::ListSource(name), lists_.Decisions(name));
    LoadSettings();
    StartClient();
    service_.Cycle().SetShared(this);
    if (engine::GuardEnforcement* guard = service_.Guard()) guard->SetSharedSets(this);
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, &FleetService::OnTimer);
    timer_.start();
    OnTimer();
}

FleetService::~FleetService() {
    service_.Cycle().SetShared(nullptr);
    if (engine::GuardEnforcement* guard = service_.Guard()) guard->SetSharedSets(nullptr);
}

std::optional<std::filesystem::path> FleetService::DefaultFolder() {
    return platform::UserConfigFolder();
}

void FleetService::LoadSettings() {
    settings_ = {};
    settings_problem_.clear();
    std::error_code error;
    if (!std::filesystem::exists(SettingsPath(), error)) return;
    std::string problem;
    if (std::optional<fleet::FleetSettings> loaded = fleet::LoadFleetSettings(SettingsPath(), problem)) {
        settings_ = std::move(*loaded);
        if (settings_.push || settings_.pull) settings_problem_ = fleet::SettingsProblem(settings_);
    } else {
        settings_problem_ = problem;
    }
}

void FleetService::StartClient() {
    client_.reset();
    if (!settings_problem_.empty() || !(settings_.push || settings_.pull)) return;
    client_ = std::make_unique<fleet::FleetClient>(settings_, folder_ / "fleet-alerts.journal");
    // The worker's wake comes on its own thread: the batch is taken on the event loop.
    client_->SetWake(
        [this] { QMetaObject::invokeMethod(this, &FleetService::OnTimer, Qt::QueuedConnection); });
}

bool FleetService::SaveSettings(const fleet::FleetSettings& settings, std::string& problem) {
    problem = (settings.push || settings.pull) ? fleet::SettingsProblem(settings) : std::string();
    if (!problem.empty()) return false;
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (!fleet::SaveFleetSettings(SettingsPath(), settings)) {
        problem = "설정 파일을 저장하지 못했습니다: " + SettingsPath().string();
        return false;
    }
    const bool was_pulling = client_ != nullptr && settings_.pull;
    settings_ = settings;
    settings_problem_.clear();
    StartClient();
    // Decisions of a fleet no longer pulled are no longer in force.
    if (was_pulling && !settings_.pull) {
        decisions_->RemoveSource(kFleetSource);
        fleet_updated_.reset();
        Touched();
    }
    Q_EMIT Changed();
    return true;
}

std::optional<fleet::FleetStatus> FleetService::Status() const {
    if (client_ == nullptr) return std::nullopt;
    return client_->Status();
}

void FleetService::ReportIntruder(std::string_view address) {
    if (client_ != nullptr && settings_.push)
        client_->ReportIntruder(std::string(address), std::chrono::system_clock::now());
}

lists::ListStore::Imported FleetService::ImportList(std::string_view name, std::string_view text) {
    lists::ListStore::Imported imported = lists_.Import(name, text);
    if (imported.saved) {
        decisions_->ReplaceSource(lists::ListSource(name), lists_.Decisions(name));
        Touched();
    }
    return imported;
}

bool FleetService::RemoveList(std::string_view name) {
    if (!lists_.Remove(name)) return false;
    decisions_->RemoveSource(lists::ListSource(name));
    Touched();
    return true;
}

std::vector<FleetService::SourceLine> FleetService::Sources() const {
    std::vector<SourceLine> lines;
    if (settings_.pull) lines.push_back({std::string(kFleetSource), 0, 0, fleet_updated_});
    for (const std::string& name : lists_.Names())
        lines.push_back({lists::ListSource(name), 0, 0, lists_.InfoOf(name).updated});
    for (const lists::SharedDecisions::SourceCount& count : decisions_->Sources()) {
        for (SourceLine& line : lines) {
            if (line.source != count.source) continue;
            line.entries = count.entries;
            line.refused = count.refused;
        }
    }
    return lines;
}

std::string FleetService::SourceText(std::string_view source) {
    if (source == kFleetSource) return "CrowdSec";
    if (source.starts_with("list:")) return "목록 " + std::string(source.substr(5));
    return std::string(source);
}

bool FleetService::Blocks(std::string_view address) const {
    const std::optional<platform::IpAddress> parsed = platform::ParseIpAddress(address);
    return parsed && decisions_->Blocking(parsed->Unmapped()) != nullptr;
}

std::optional<std::string> FleetService::BlockingNote(std::string_view address) const {
    const std::optional<platform::IpAddress> parsed = platform::ParseIpAddress(address);
    const lists::SharedDecision* decision = parsed ? decisions_->Blocking(parsed->Unmapped()) : nullptr;
    if (decision == nullptr) return std::nullopt;
    std::string note(engine::kSharedNotePrefix);
    note += ": " + SourceText(decision->source);
    if (decision->source == kFleetSource && !decision->origin.empty()) note += " (" + decision->origin + ")";
    note += ", " + platform::FormatAddressRange(decision->range);
    note += decision->expires ? ", 만료 " + LocalTimeText(*decision->expires) : ", 만료 없음";
    return note;
}

engine::SharedSetChange FleetService::TakeSetChange() {
    lists::SharedDecisions::GuardChange change =
        decisions_->TakeGuardChange(std::chrono::system_clock::now());
    return {change.clear, std::move(change.add), std::move(change.remove)};
}

void FleetService::ForgetSets() {
    decisions_->ForgetGuard();
}

void FleetService::Touched() {
    ++generation_;
    if (TableWaker* waker = service_.Waker()) waker->Poke();
    Q_EMIT Changed();
}

void FleetService::ApplyBatch(const fleet::DecisionBatch& batch) {
    const SystemTime now = std::chrono::system_clock::now();
    std::vector<lists::SharedDecision> added;
    added.reserve(batch.added.size());
    for (const fleet::Decision& decision : batch.added) {
        const std::optional<platform::AddressRange> range = RangeOf(decision);
        if (!Accepted(decision) || !range) continue;
        std::optional<SystemTime> expires;
        if (decision.duration.count() > 0) expires = now + decision.duration;
        added.push_back({*range, std::string(kFleetSource), decision.origin, decision.scenario, expires});
    }
    if (batch.startup) {
        decisions_->ReplaceSource(kFleetSource, std::move(added));
    } else {
        std::vector<platform::AddressRange> deleted;
        for (const fleet::Decision& decision : batch.deleted)
            if (const std::optional<platform::AddressRange> range = RangeOf(decision))
                deleted.push_back(*range);
        if (!deleted.empty()) decisions_->Remove(kFleetSource, deleted);
        if (!added.empty()) decisions_->Add(std::move(added));
    }
    fleet_updated_ = now;
}

void FleetService::OnTimer() {
    bool changed = false;
    if (client_ != nullptr) {
        for (const fleet::DecisionBatch& batch : client_->TakeDecisions()) {
            // The API names deletions again on later polls: only a batch that changes what is held
            // is news for the cycle (each news costs it a pass over the table).
            const auto before = FleetHeld();
            ApplyBatch(batch);
            changed = changed || batch.startup || FleetHeld() != before || !batch.added.empty();
        }
    }
    // The lifelines and trusted list the ranges must spare, and the allowed rules cut out of them;
    // news only while something is held.
    const bool holds = !decisions_->Sources().empty();
    if (service_.Exemptions().Generation() != seen_exemptions_) {
        seen_exemptions_ = service_.Exemptions().Generation();
        decisions_->Recheck();
        changed = changed || holds;
    }
    const auto steady = std::chrono::steady_clock::now();
    if (service_.Store().AllowedGeneration() != seen_allowed_ &&
        steady - last_allowed_check_ >= kAllowedRecheckInterval) {
        seen_allowed_ = service_.Store().AllowedGeneration();
        last_allowed_check_ = steady;
        std::vector<platform::IpAddress> allowed;
        for (const std::string& address : service_.Store().AllowedAddresses())
            if (const std::optional<platform::IpAddress> parsed = platform::ParseIpAddress(address))
                allowed.push_back(parsed->Unmapped());
        decisions_->SetAllowedAddresses(std::move(allowed));
        changed = changed || holds;
    }
    // Expired decisions leave the set (the kernel drops their spans by itself); the rows they
    // blocked are filed anew.
    if (decisions_->DropExpired(std::chrono::system_clock::now())) changed = true;
    if (changed) Touched();
}

std::pair<std::size_t, std::size_t> FleetService::FleetHeld() const {
    for (const lists::SharedDecisions::SourceCount& count : decisions_->Sources())
        if (count.source == kFleetSource) return {count.entries, count.refused};
    return {0, 0};
}

}  // namespace velmor::shell
