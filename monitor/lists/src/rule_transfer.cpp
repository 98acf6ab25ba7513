#include "velmor/lists/rule_transfer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "velmor/common/text_file.h"
#include "velmor/common/text_rules.h"
#include "velmor/lists/block_list.h"
#include "velmor/platform/address_text.h"

namespace velmor::lists {
namespace {

using rules::Verdict;

constexpr std::string_view kRuleMark = "#@ ";

std::string Encode(std::string_view text, bool blanks) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '%' || (blanks && c == ' ')) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> Decode(std::string_view text) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hex(text[i + 1]), low = hex(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::optional<std::int64_t> LastWriteSeconds(const std::filesystem::path& path) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(path, error);
    if (error) return std::nullopt;
    const auto system = std::chrono::file_clock::to_sys(written);
    return std::chrono::floor<std::chrono::seconds>(system).time_since_epoch().count();
}

void SetLastWrite(const std::filesystem::path& path, std::int64_t seconds) {
    const std::chrono::sys_seconds moment{std::chrono::seconds(seconds)};
    std::error_code ignored;
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(moment), ignored);
}

// Seconds since 1970 up to the year 2100: a file time any file system keeps.
std::optional<std::int64_t> ParseSeconds(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 4'102'444'800) return std::nullopt;
    return value;
}

// The address text a plain list line names, when it names one address.
std::optional<std::string> SingleAddress(std::string_view text) {
    const auto range = platform::ParseAddressRange(text);
    if (!range || range->prefix != (range->address.v6 ? 128 : 32)) return std::nullopt;
    return platform::FormatIpAddress(range->address);
}

struct RuleOfFile {
    std::string line;
    std::optional<std::int64_t> written;
};

}  // namespace

std::string ExportRules(const rules::RuleStore& store) {
    std::string body;
    std::size_t counts[2] = {0, 0};
    for (const Verdict verdict : {Verdict::Blocked, Verdict::Allowed}) {
        const std::string_view extension = rules::ExtensionOf(verdict);
        for (const std::string& name : store.List(extension)) {
            const std::string address = name.substr(0, name.size() - extension.size());
            const std::filesystem::path path = store.Directory() / name;
            const auto line = ReadFirstLine(path);
            const auto written = LastWriteSeconds(path);
            if (!line || !written) continue;
            body.append(kRuleMark)
                .append(verdict == Verdict::Blocked ? "x " : "o ")
                .append(Encode(address, true))
                .append(" ")
                .append(std::to_string(*written))
                .append(" ")
                .append(Encode(*line, false))
                .append(kCrLf);
            if (verdict == Verdict::Blocked) {
                if (const auto ip = platform::ParseIpAddress(address))
                    body.append(platform::FormatIpAddress(*ip)).append(kCrLf);
            }
            ++counts[verdict == Verdict::Blocked ? 0 : 1];
        }
    }
    std::string text = "# Velmor rules: " + std::to_string(counts[0]) + " blocked, " +
                       std::to_string(counts[1]) + " allowed.\r\n";
    text +=
        "# Read as a block list, this file blocks the addresses of the blocked rules (the lines that\r\n"
        "# hold an address alone); every other line is a comment.\r\n"
        "# Each rule is a line \"#@ V ADDRESS SECONDS LINE\": V is x (차단) or o (허용), ADDRESS the "
        "address\r\n"
        "# its rule file is named after, SECONDS the file's last write (seconds since 1970), LINE the\r\n"
        "# rule file's line; '%', control bytes and the blanks of ADDRESS are written as %XX.\r\n";
    return text + body;
}

ImportResult ImportRules(std::string_view text, rules::RuleStore& store) {
    ImportResult result;
    std::map<std::pair<std::string, Verdict>, RuleOfFile> rules_of_file;
    std::set<std::string> described;  // canonical addresses of blocked "#@" lines
    std::vector<std::pair<int, std::string>> plain;
    ForEachLine(text, [&](int number, std::string_view line) {
        if (line.starts_with(kRuleMark)) {
            std::string_view rest = line.substr(kRuleMark.size());
            const auto take = [&rest]() {
                const auto blank = rest.find(' ');
                const std::string_view field = rest.substr(0, blank);
                rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
                return field;
            };
            const std::string_view mark = take();
            const std::string_view address_field = take();
            const std::string_view seconds_field = take();
            auto address = Decode(address_field);
            auto rule_line = Decode(rest);
            const auto seconds = ParseSeconds(seconds_field);
            // A rule file's line ends at its line feed, so none can hold one.
            if ((mark != "x" && mark != "o") || !address || !IsPlainFileName(*address) || !rule_line ||
                rule_line->find('\n') != std::string::npos || !seconds) {
                result.bad_lines.push_back(number);
                return;
            }
            const Verdict verdict = mark == "x" ? Verdict::Blocked : Verdict::Allowed;
            if (verdict == Verdict::Blocked) {
                if (const auto ip = platform::ParseIpAddress(*address))
                    described.insert(platform::FormatIpAddress(*ip));
            }
            rules_of_file[{std::move(*address), verdict}] = {std::move(*rule_line), seconds};
            return;
        }
        std::string_view content = line.substr(0, line.find('#'));
        const auto first = content.find_first_not_of(" \t");
        if (first == std::string_view::npos) return;
        content = content.substr(first, content.find_last_not_of(" \t") - first + 1);
        if (auto address = SingleAddress(content))
            plain.emplace_back(number, std::move(*address));
        else
            result.bad_lines.push_back(number);
    });
    for (auto& [number, address] : plain) {
        if (described.contains(address) || rules_of_file.contains({address, Verdict::Blocked})) continue;
        rules_of_file[{address, Verdict::Blocked}] = {rules::MakeRuleLine("-", address, ""), std::nullopt};
    }
    for (const auto& [key, rule] : rules_of_file) {
        const auto& [address, verdict] = key;
        const Verdict other = verdict == Verdict::Blocked ? Verdict::Allowed : Verdict::Blocked;
        if (!rules_of_file.contains({address, other}) && store.Exists(address, other))
            store.Delete(address, other);
        if (!store.Write(address, verdict, rule.line)) continue;
        if (rule.written) {
            if (const auto path = store.Locate(address, verdict)) SetLastWrite(*path, *rule.written);
        }
        ++result.imported;
    }
    std::sort(result.bad_lines.begin(), result.bad_lines.end());
    return result;
}

}  // namespace velmor::lists
