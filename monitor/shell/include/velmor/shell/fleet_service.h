#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmor/engine/shared_verdicts.h"
#include "velmor/fleet/fleet_client.h"
#include "velmor/fleet/fleet_settings.h"
#include "velmor/lists/list_store.h"
#include "velmor/lists/shared_decisions.h"

namespace velmor::shell {

class MonitorService;

// The decisions that come from outside this machine's own rules: the CrowdSec Local API (Velmor
// reports its bait's intruders there and takes the fleet's decisions back) and imported block
// lists. They are merged, without the addresses Velmor must never block, into the set that the
// block policy asks and the guard's shared sets hold. Runs on the event loop; the API client works
// on a thread of its own.
class FleetService final : public QObject, public engine::SharedVerdicts, public engine::SharedSetSource {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FleetService)
public:
    // The source name of the fleet's decisions in the merged set.
    static constexpr std::string_view kFleetSource = "crowdsec";

    // `folder` holds fleet.conf, the alert journal and the lists folder (the user's settings
    // folder for the real program, a test's own folder in tests). Hooks itself into `service`.
    FleetService(MonitorService& service, std::filesystem::path folder);
    ~FleetService() override;

    static std::optional<std::filesystem::path> DefaultFolder();
    std::filesystem::path SettingsPath() const { return folder_ / "fleet.conf"; }

    // The settings in force; a problem reading them or what they lack (Korean, "" when none).
    const fleet::FleetSettings& Settings() const { return settings_; }
    const std::string& SettingsProblem() const { return settings_problem_; }
    // Writes the settings (readable by the user only) and restarts the client with them. False, with
    // the reason in `problem`, when they are unusable (then nothing changes) or cannot be written.
    bool SaveSettings(const fleet::FleetSettings& settings, std::string& problem);
    // The client's state; nullopt while neither direction is on.
    std::optional<fleet::FleetStatus> Status() const;

    // An intruder filed from the bait: reported to the fleet when pushing is on.
    void ReportIntruder(std::string_view address);

    // The imported lists.
    lists::ListStore& Lists() { return lists_; }
    lists::ListStore::Imported ImportList(std::string_view name, std::string_view text);
    bool RemoveList(std::string_view name);

    // One line per source of shared decisions: the fleet (when pulling) and each list.
    struct SourceLine {
        std::string source;  // "crowdsec" or "list:NAME"
        std::size_t entries = 0;
        std::size_t refused = 0;
        std::optional<std::chrono::system_clock::time_point> updated;
    };
    std::vector<SourceLine> Sources() const;
    // "목록 NAME" or "CrowdSec"; the text the lists and notes show for a source.
    static std::string SourceText(std::string_view source);
    const lists::SharedDecisions& Decisions() const { return *decisions_; }

    // engine::SharedVerdicts
    bool Blocks(std::string_view address) const override;
    std::optional<std::string> BlockingNote(std::string_view address) const override;
    std::uint64_t Generation() const override { return generation_; }
    // engine::SharedSetSource
    engine::SharedSetChange TakeSetChange() override;
    void ForgetSets() override;

Q_SIGNALS:
    // The sources, their counts or the client's state changed.
    void Changed();

private:
    void LoadSettings();
    void StartClient();
    void OnTimer();
    void ApplyBatch(const fleet::DecisionBatch& batch);
    // The fleet's decisions held: entries and refusals.
    std::pair<std::size_t, std::size_t> FleetHeld() const;
    void Touched();

    MonitorService& service_;
    std::filesystem::path folder_;
    fleet::FleetSettings settings_;
    std::string settings_problem_;
    std::unique_ptr<fleet::FleetClient> client_;
    lists::ListStore lists_;
    std::unique_ptr<lists::SharedDecisions> decisions_;
    std::optional<std::chrono::system_clock::time_point> fleet_updated_;
    std::uint64_t generation_ = 1;
    std::uint64_t seen_exemptions_ = 0;
    std::uint64_t seen_allowed_ = 0;
    std::chrono::steady_clock::time_point last_allowed_check_{};
    QTimer timer_;
};

}  // namespace velmor::shell
