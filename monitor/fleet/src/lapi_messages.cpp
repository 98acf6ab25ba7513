#include "velmor/fleet/lapi_messages.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "velmor/platform/address_text.h"

namespace velmor::fleet {
namespace {

using nlohmann::json;

std::optional<json> ParseJson(std::string_view body) {
    json value = json::parse(body.begin(), body.end(), nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

// The API's own texts only: a field of another type is as good as missing.
const std::string* StringField(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return nullptr;
    return found->get_ptr<const std::string*>();
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

std::optional<Decision> DecisionOf(const json& entry) {
    if (!entry.is_object()) return std::nullopt;
    const std::string* value = StringField(entry, "value");
    const std::string* scope = StringField(entry, "scope");
    const std::string* type = StringField(entry, "type");
    const std::string* duration = StringField(entry, "duration");
    if (!value || !scope || !type || !duration) return std::nullopt;
    Decision decision;
    const auto id = entry.find("id");
    if (id != entry.end() && id->is_number_integer()) decision.id = id->get<std::int64_t>();
    decision.value = *value;
    decision.scope = *scope;
    decision.type = *type;
    if (const std::string* origin = StringField(entry, "origin")) decision.origin = *origin;
    if (const std::string* scenario = StringField(entry, "scenario")) decision.scenario = *scenario;
    const auto left = ParseGoDuration(*duration);
    if (!left) return std::nullopt;
    decision.duration = *left;
    return decision;
}

// A decision's value must be what its scope says: one address, or a range.
bool ValueFitsScope(const Decision& decision) {
    if (EqualsIgnoringCase(decision.scope, "ip")) return platform::ParseIpAddress(decision.value).has_value();
    return platform::ParseAddressRange(decision.value).has_value();
}

bool ReadDecisions(const json& reply, const char* key, const DecisionFilter& filter,
                   std::vector<Decision>& out) {
    const auto found = reply.find(key);
    if (found == reply.end() || found->is_null()) return true;
    if (!found->is_array()) return false;
    for (const json& entry : *found) {
        auto decision = DecisionOf(entry);
        if (decision && filter.Accepts(*decision) && ValueFitsScope(*decision))
            out.push_back(std::move(*decision));
    }
    return true;
}

// RFC 3339 in UTC, whole seconds: "2026-12-09T17:52:05Z".
std::string TimeText(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto seconds_since = floor<seconds>(when);
    const auto day = floor<days>(seconds_since);
    const year_month_day date{day};
    const hh_mm_ss clock{seconds_since - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long long>(clock.hours().count()),
                  static_cast<long long>(clock.minutes().count()),
                  static_cast<long long>(clock.seconds().count()));
    return text;
}

}  // namespace

std::optional<std::chrono::seconds> ParseGoDuration(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text == "0") return std::chrono::seconds(0);
    if (text.empty()) return std::nullopt;
    double total = 0;  // seconds
    while (!text.empty()) {
        std::size_t digits = 0;
        double number = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
            number = number * 10 + (text[digits++] - '0');
        std::size_t fraction_digits = 0;
        if (digits < text.size() && text[digits] == '.') {
            double scale = 0.1;
            for (++digits; digits < text.size() && text[digits] >= '0' && text[digits] <= '9';
                 ++digits, ++fraction_digits) {
                number += (text[digits] - '0') * scale;
                scale /= 10;
            }
            if (digits == 1 && fraction_digits == 0) return std::nullopt;
        }
        if (digits == 0) return std::nullopt;
        text.remove_prefix(digits);
        double unit = 0;
        std::size_t unit_size = 0;
        for (const auto& [name, seconds] : {std::pair<std::string_view, double>{"ns", 1e-9},
                                            {"us", 1e-6},
                                            {"\xC2\xB5s", 1e-6},
                                            {"\xCE\xBCs", 1e-6},
                                            {"ms", 1e-3},
                                            {"s", 1},
                                            {"m", 60},
                                            {"h", 3600}}) {
            if (text.starts_with(name)) {
                unit = seconds;
                unit_size = name.size();
                break;
            }
        }
        if (unit_size == 0) return std::nullopt;
        text.remove_prefix(unit_size);
        total += number * unit;
        // Go's own limit is about 292 years; beyond it the text is none of the API's.
        if (!std::isfinite(total) || total > 9.3e9) return std::nullopt;
    }
    const auto whole = static_cast<std::int64_t>(total);
    return std::chrono::seconds(negative ? -whole : whole);
}

bool DecisionFilter::Accepts(const Decision& decision) const {
    if (!EqualsIgnoringCase(decision.type, "ban")) return false;
    if (!EqualsIgnoringCase(decision.scope, "ip") && !EqualsIgnoringCase(decision.scope, "range"))
        return false;
    if (!origins.empty() && std::find(origins.begin(), origins.end(), decision.origin) == origins.end())
        return false;
    if (!scenarios.empty() &&
        std::none_of(scenarios.begin(), scenarios.end(),
                     [&](const std::string& prefix) { return decision.scenario.starts_with(prefix); }))
        return false;
    return true;
}

std::optional<DecisionBatch> ParseDecisionStream(std::string_view body, bool startup,
                                                 const DecisionFilter& filter) {
    const auto reply = ParseJson(body);
    if (!reply || !reply->is_object()) return std::nullopt;
    DecisionBatch batch;
    batch.startup = startup;
    if (!ReadDecisions(*reply, "new", filter, batch.added) ||
        !ReadDecisions(*reply, "deleted", filter, batch.deleted))
        return std::nullopt;
    return batch;
}

std::optional<std::string> ParseLoginToken(std::string_view body) {
    const auto reply = ParseJson(body);
    if (!reply || !reply->is_object()) return std::nullopt;
    const std::string* token = StringField(*reply, "token");
    // The token goes into a header line: nothing that could end or split it.
    if (!token || token->empty() || std::any_of(token->begin(), token->end(), [](char c) {
            return static_cast<unsigned char>(c) <= ' ';
        }))
        return std::nullopt;
    return *token;
}

std::string ParseErrorMessage(std::string_view body) {
    const auto reply = ParseJson(body);
    if (!reply || !reply->is_object()) return "";
    const std::string* message = StringField(*reply, "message");
    if (!message) return "";
    std::string text = message->substr(0, 200);
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

std::string AlertsRequestBody(std::span<const Intruder> intruders) {
    json alerts = json::array();
    for (const Intruder& intruder : intruders) {
        const std::string when = TimeText(intruder.when);
        json meta = json::array(
            {{{"key", "source_ip"}, {"value", intruder.address}}, {{"key", "service"}, {"value", "velmor"}}});
        alerts.push_back({
            {"scenario", kAlertScenario},
            {"scenario_hash", ""},
            {"scenario_version", "1"},
            {"message", "Ip " + intruder.address + " connected to Velmor's bait port 80"},
            {"events_count", 1},
            {"start_at", when},
            {"stop_at", when},
            {"capacity", 0},
            {"leakspeed", "0"},
            {"simulated", false},
            {"remediation", true},
            {"events", json::array({{{"timestamp", when}, {"meta", meta}}})},
            {"source", {{"scope", "Ip"}, {"value", intruder.address}, {"ip", intruder.address}}},
            {"decisions", json::array({{{"origin", kAlertOrigin},
                                        {"type", "ban"},
                                        {"scope", "Ip"},
                                        {"value", intruder.address},
                                        {"duration", kAlertDuration},
                                        {"scenario", kAlertScenario}}})},
        });
    }
    return alerts.dump();
}

std::optional<std::size_t> ParseAlertsReply(std::string_view body) {
    const auto reply = ParseJson(body);
    if (!reply || !reply->is_array()) return std::nullopt;
    return reply->size();
}

}  // namespace velmor::fleet
