#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "velmor/engine/monitoring_cycle.h"
#include "velmor/platform/program_launcher.h"
#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_store.h"

namespace velmor::engine {

// The lookup helper's program file in the program folder.
inline constexpr std::string_view kLookupProgramFile = "hostlet";
inline constexpr int kLookupIntervalMs = 1000;

// The host-name lookup cycle, one tick a second on the lookup timer TimerGetWWW: it collects the
// answer the helper left in the exchange file, writes it into the info cell of the waiting address
// rows and onto rule lines that still wait for it, and starts the helper for the first row, in list
// order, whose info is still empty. Name resolution never runs in this process, so a tick never
// waits for the name service. The cycle keeps no state between ticks beyond its counters.
class LookupCycle final {
public:
    struct Stats {
        std::uint64_t ticks = 0;
        std::uint64_t answers = 0;  // exchange lines that held an answer
        std::uint64_t starts = 0;   // helper starts requested
    };

    LookupCycle(std::filesystem::path program_folder, rules::RuleStore& store, rules::ListModel& address_list,
                MonitoringCycle& monitor, platform::ProgramLauncher& launcher);

    // One tick of the lookup timer.
    void TimerGetWWW_Timer();

    std::filesystem::path ExchangeFile() const;
    // Deletes the helper's temporaries ("Hostlet.tmp.part-N") older than `older_than`: a helper
    // killed while writing leaves one behind, and nothing else ever removes it. Run at start.
    void RemoveStaleExchangeParts(std::chrono::seconds older_than = std::chrono::seconds(60)) const;
    std::filesystem::path LookupProgram() const;
    const Stats& GetStats() const { return stats_; }

private:
    void CollectAnswer();
    void StartNextLookup();

    std::filesystem::path program_folder_;
    rules::RuleStore& store_;
    rules::ListModel& address_list_;
    MonitoringCycle& monitor_;
    platform::ProgramLauncher& launcher_;
    Stats stats_;
};

}  // namespace velmor::engine
