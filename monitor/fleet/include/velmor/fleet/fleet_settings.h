#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmor::fleet {

// How this machine takes part in a CrowdSec fleet: $XDG_CONFIG_HOME/velmor/fleet.conf, "key = value"
// lines and '#' comments, readable by its user only. The password and the bouncer key are secrets:
// nothing here prints or logs them.
struct FleetSettings {
    std::string api_url;  // "http://127.0.0.1:8080" (http only on loopback) or https://...
    std::string ca_file;  // optional CA for https
    std::string machine_id, machine_password;  // push (watcher)
    std::string bouncer_key;                   // pull (bouncer)
    bool push = false, pull = false;
    std::vector<std::string> origins;    // accepted decision origins; empty = all
    std::vector<std::string> scenarios;  // accepted scenario prefixes; empty = all
    std::chrono::seconds poll_interval{5};
};

// The settings of a fleet.conf; nullopt with a Korean `error` (naming the line) when the file cannot
// be read or a line is wrong. Keys it does not know are passed over.
std::optional<FleetSettings> LoadFleetSettings(const std::filesystem::path& path, std::string& error);
std::optional<FleetSettings> ParseFleetSettings(std::string_view text, std::string& error);
// Writes the file with mode 0600, atomically (the old one stays whole until the new one is complete).
bool SaveFleetSettings(const std::filesystem::path& path, const FleetSettings& settings);
std::string FleetSettingsText(const FleetSettings& settings);

// "" when the settings can be used as they are; otherwise what is missing or wrong, in Korean.
std::string SettingsProblem(const FleetSettings& settings);

}  // namespace velmor::fleet
