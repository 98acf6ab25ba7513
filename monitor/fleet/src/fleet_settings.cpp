#include "velmor/fleet/fleet_settings.h"

#include <charconv>
#include <system_error>

#include "velmor/platform/address_text.h"
#include "velmor/platform/private_file.h"
#include "velmor/platform/replace_file.h"

namespace velmor::fleet {
namespace {

constexpr std::size_t kMaxSettingsBytes = 64 * 1024;

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> ListOf(std::string_view text) {
    std::vector<std::string> items;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = Trimmed(text.substr(0, comma));
        if (!item.empty()) items.emplace_back(item);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return items;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::optional<bool> BoolOf(std::string_view text) {
    if (text == "yes" || text == "true" || text == "on" || text == "1") return true;
    if (text == "no" || text == "false" || text == "off" || text == "0") return false;
    return std::nullopt;
}

// The host of "scheme://host[:port][/]": the text between the scheme and the port, brackets of an
// IPv6 address taken off; nullopt when the rest is no port or holds a path, a user or a query.
std::optional<std::string> HostOf(std::string_view url, std::string_view scheme) {
    std::string_view rest = url.substr(scheme.size() + 3);
    if (rest.ends_with('/')) rest.remove_suffix(1);
    if (rest.empty() || rest.find_first_of("/?#@ ") != std::string_view::npos) return std::nullopt;
    std::string_view host = rest;
    std::string_view port;
    if (rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 1);
        if (!port.empty() && port.front() != ':') return std::nullopt;
    } else if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon);
    }
    if (!port.empty()) {
        port.remove_prefix(1);
        unsigned number = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (error != std::errc() || end != port.data() + port.size() || number == 0 || number > 65535)
            return std::nullopt;
    }
    if (host.empty()) return std::nullopt;
    return std::string(host);
}

bool IsLoopbackHost(const std::string& host) {
    const auto address = platform::ParseIpAddress(host);
    if (!address) return false;
    const platform::IpAddress plain = address->Unmapped();
    if (!plain.v6) return plain.bytes[0] == 127;
    static const platform::IpAddress kLoopback6 = *platform::ParseIpAddress("::1");
    return plain == kLoopback6;
}

}  // namespace

std::optional<FleetSettings> ParseFleetSettings(std::string_view text, std::string& error) {
    FleetSettings settings;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const auto end = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            error = std::to_string(number) + "번째 줄에 '='이 없습니다.";
            return std::nullopt;
        }
        const std::string_view key = Trimmed(line.substr(0, equals));
        const std::string_view value = Trimmed(line.substr(equals + 1));
        if (key == "api_url") {
            settings.api_url = value;
        } else if (key == "ca_file") {
            settings.ca_file = value;
        } else if (key == "machine_id") {
            settings.machine_id = value;
        } else if (key == "machine_password") {
            settings.machine_password = value;
        } else if (key == "bouncer_key") {
            settings.bouncer_key = value;
        } else if (key == "push" || key == "pull") {
            const auto on = BoolOf(value);
            if (!on) {
                error =
                    std::to_string(number) + "번째 줄: " + std::string(key) + " 값은 yes 또는 no여야 합니다.";
                return std::nullopt;
            }
            (key == "push" ? settings.push : settings.pull) = *on;
        } else if (key == "origins") {
            settings.origins = ListOf(value);
        } else if (key == "scenarios") {
            settings.scenarios = ListOf(value);
        } else if (key == "poll_interval") {
            long long seconds = 0;
            const auto [end_of_number, failure] =
                std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (failure != std::errc() || end_of_number != value.data() + value.size()) {
                error = std::to_string(number) + "번째 줄: poll_interval은 초 단위의 정수여야 합니다.";
                return std::nullopt;
            }
            settings.poll_interval = std::chrono::seconds(seconds);
        }
    }
    return settings;
}

std::optional<FleetSettings> LoadFleetSettings(const std::filesystem::path& path, std::string& error) {
    const auto text = platform::ReadSmallRegularFile(path, kMaxSettingsBytes);
    if (!text) {
        error = "설정 파일 " + path.string() + "을 읽을 수 없습니다.";
        return std::nullopt;
    }
    return ParseFleetSettings(*text, error);
}

std::string FleetSettingsText(const FleetSettings& settings) {
    std::string text = "# Velmor와 CrowdSec Local API (이 파일은 사용자만 읽을 수 있습니다)\n";
    const auto line = [&](std::string_view key, const std::string& value) {
        text.append(key).append(" = ").append(value).append("\n");
    };
    line("api_url", settings.api_url);
    line("ca_file", settings.ca_file);
    line("machine_id", settings.machine_id);
    line("machine_password", settings.machine_password);
    line("bouncer_key", settings.bouncer_key);
    line("push", settings.push ? "yes" : "no");
    line("pull", settings.pull ? "yes" : "no");
    line("origins", Joined(settings.origins));
    line("scenarios", Joined(settings.scenarios));
    line("poll_interval", std::to_string(settings.poll_interval.count()));
    return text;
}

bool SaveFleetSettings(const std::filesystem::path& path, const FleetSettings& settings) {
    return platform::WritePrivateFile(path, FleetSettingsText(settings));
}

std::string SettingsProblem(const FleetSettings& settings) {
    if (!settings.push && !settings.pull) return "";
    // A value becomes part of a file line or a request header: no line breaks inside.
    for (const std::string* value : {&settings.api_url, &settings.ca_file, &settings.machine_id,
                                     &settings.machine_password, &settings.bouncer_key}) {
        if (value->find_first_of("\r\n") != std::string::npos) return "설정 값에 줄바꿈이 들어 있습니다.";
    }
    const std::string& url = settings.api_url;
    if (url.empty()) return "Local API 주소가 없습니다.";
    const bool https = url.starts_with("https://");
    if (!https && !url.starts_with("http://"))
        return "Local API 주소는 http:// 또는 https://로 시작해야 합니다.";
    const auto host = HostOf(url, https ? "https" : "http");
    if (!host) return "Local API 주소 " + url + "를 읽을 수 없습니다 (예: https://192.0.2.10:8080).";
    if (!https && !IsLoopbackHost(*host))
        return "http는 이 컴퓨터의 루프백 주소(127.0.0.1, ::1)에만 쓸 수 있습니다. 다른 컴퓨터의 Local API는 "
               "https로 연결하세요.";
    if (!settings.ca_file.empty()) {
        if (!https) return "CA 파일은 https 주소에만 쓰입니다.";
        std::error_code failure;
        if (!std::filesystem::is_regular_file(settings.ca_file, failure))
            return "CA 파일 " + settings.ca_file + "이 없습니다.";
    }
    if (settings.push && (settings.machine_id.empty() || settings.machine_password.empty()))
        return "침입자를 보내려면 기계 이름과 비밀번호가 필요합니다.";
    if (settings.pull && settings.bouncer_key.empty()) return "결정을 받으려면 바운서 API 키가 필요합니다.";
    if (settings.poll_interval < std::chrono::seconds(1) || settings.poll_interval > std::chrono::hours(1))
        return "결정을 받는 간격은 1초에서 3600초 사이여야 합니다.";
    return "";
}

}  // namespace velmor::fleet
