#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/fleet/fleet_client.h"

namespace velmor::fleet {

// The JSON the Local API exchanges with a watcher and a bouncer: pure functions of the bytes.

// A Go duration as the API writes it ("719h59m58.991s", "-1.5s", "4h", "300ms"), whole seconds
// toward zero; nullopt for anything else.
std::optional<std::chrono::seconds> ParseGoDuration(std::string_view text);

// Which decisions this machine enforces: bans on an address or a range, from the accepted origins
// (all when empty) and scenarios (by prefix; all when empty).
struct DecisionFilter {
    std::vector<std::string> origins;
    std::vector<std::string> scenarios;
    bool Accepts(const Decision& decision) const;
};

// The reply of GET /v1/decisions/stream; nullopt when it is no such reply. Entries the filter turns
// down or that lack a field are left out ("new": null and "deleted": null are empty lists).
std::optional<DecisionBatch> ParseDecisionStream(std::string_view body, bool startup,
                                                 const DecisionFilter& filter);

// The token in the reply of POST /v1/watchers/login; nullopt without one.
std::optional<std::string> ParseLoginToken(std::string_view body);

// The "message" of an error reply, cut to a sensible length; "" without one.
std::string ParseErrorMessage(std::string_view body);

struct Intruder {
    std::string address;
    std::chrono::system_clock::time_point when;
};
// The body of POST /v1/alerts: one alert per intruder, each with one ban of its address.
std::string AlertsRequestBody(std::span<const Intruder> intruders);
// How many alert ids the reply of POST /v1/alerts holds; nullopt when it is no such reply.
std::optional<std::size_t> ParseAlertsReply(std::string_view body);

inline constexpr std::string_view kAlertOrigin = "velmor";
inline constexpr std::string_view kAlertScenario = "velmor/bait-port-80";
inline constexpr std::string_view kAlertDuration = "720h";

}  // namespace velmor::fleet
