#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmor/fleet/fleet_settings.h"

namespace velmor::fleet {

struct Decision {
    std::int64_t id = 0;
    std::string value;   // an address or a range
    std::string scope;   // "Ip" or "Range"
    std::string type;    // "ban"
    std::string origin;  // "velmor", "cscli", "CAPI", ...
    std::string scenario;
    std::chrono::seconds duration{0};  // what is left of it
};
struct DecisionBatch {
    // The whole set of decisions in force, to replace what came before; its `deleted` may name
    // decisions that ended earlier (the API repeats them), which leaves nothing to undo.
    bool startup = false;
    std::vector<Decision> added, deleted;
};
struct FleetStatus {
    bool push_on = false, pull_on = false;
    bool push_auth_failed = false, pull_auth_failed = false;
    std::string last_error;  // Korean; "" when the last exchange went well
    std::size_t queued_alerts = 0, sent_alerts = 0;
    std::optional<std::chrono::system_clock::time_point> last_push, last_pull;
    std::size_t dropped_alerts = 0;  // the oldest unsent, dropped beyond the queue's 10,000
};

// Velmor as a CrowdSec watcher (intruders pushed as alerts) and bouncer (the fleet's decisions
// pulled). Runs on a thread of its own; never blocks the caller.
class FleetClient final {
public:
    FleetClient(FleetSettings settings, std::filesystem::path journal_path);
    ~FleetClient();  // stops the thread, unsent alerts stay in the journal
    FleetClient(const FleetClient&) = delete;
    FleetClient& operator=(const FleetClient&) = delete;

    void ReportIntruder(std::string address, std::chrono::system_clock::time_point when);  // queued
    std::vector<DecisionBatch> TakeDecisions();  // what arrived since the last call (main thread)
    FleetStatus Status() const;
    void SetWake(std::function<void()> wake);  // called from the worker when decisions arrive

    struct Worker;

private:
    std::unique_ptr<Worker> worker_;
};

}  // namespace velmor::fleet
