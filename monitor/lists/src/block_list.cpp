#include "velmor/lists/block_list.h"

#include <cstddef>
#include <optional>
#include <string>

namespace velmor::lists {
namespace {

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The fields of one CSV record on one line; nullopt when a quote is left open or text follows a
// closing quote.
std::optional<std::vector<std::string>> SplitCsv(std::string_view line) {
    std::vector<std::string> fields;
    std::string field;
    std::size_t i = 0;
    for (;;) {
        field.clear();
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i < line.size() && line[i] == '"') {
            ++i;
            for (;;) {
                if (i >= line.size()) return std::nullopt;
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i++];
            }
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            if (i < line.size() && line[i] != ',') return std::nullopt;
        } else {
            const auto comma = line.find(',', i);
            field = TrimBlanks(
                line.substr(i, comma == std::string_view::npos ? std::string_view::npos : comma - i));
            i = comma == std::string_view::npos ? line.size() : comma;
        }
        fields.push_back(field);
        if (i >= line.size()) return fields;
        ++i;  // the comma
    }
}

struct CsvColumns {
    std::size_t value = 0;
    std::optional<std::size_t> scope;
};

std::optional<CsvColumns> CsvHeader(std::string_view line) {
    if (line.find(',') == std::string_view::npos && !EqualsIgnoringCase(TrimBlanks(line), "value"))
        return std::nullopt;
    const auto fields = SplitCsv(line);
    if (!fields) return std::nullopt;
    std::optional<std::size_t> value, scope;
    for (std::size_t i = 0; i < fields->size(); ++i) {
        if (EqualsIgnoringCase((*fields)[i], "value")) value = i;
        if (EqualsIgnoringCase((*fields)[i], "scope")) scope = i;
    }
    if (!value) return std::nullopt;
    return CsvColumns{*value, scope};
}

std::optional<platform::AddressRange> CsvRecord(std::string_view line, const CsvColumns& columns) {
    const auto fields = SplitCsv(line);
    if (!fields || columns.value >= fields->size()) return std::nullopt;
    if (columns.scope && *columns.scope < fields->size()) {
        const std::string& scope = (*fields)[*columns.scope];
        if (!scope.empty() && !EqualsIgnoringCase(scope, "ip") && !EqualsIgnoringCase(scope, "range"))
            return std::nullopt;
    }
    return platform::ParseAddressRange((*fields)[columns.value]);
}

std::optional<platform::AddressRange> PlainLine(std::string_view line) {
    // "1.2.3.0/24 ; SBL123": a note after a semicolon, as the DROP lists write it.
    const auto blank = line.find_first_of(" \t");
    if (blank != std::string_view::npos) {
        const std::string_view rest = TrimBlanks(line.substr(blank));
        if (!rest.starts_with(';')) return std::nullopt;
        line = line.substr(0, blank);
    }
    return platform::ParseAddressRange(line);
}

}  // namespace

ParsedList ParseBlockList(std::string_view text) {
    ParsedList list;
    std::optional<CsvColumns> csv;
    bool first_record = true;
    ForEachLine(text, [&](int number, std::string_view line) {
        if (!csv) {
            if (const auto comment = line.find('#'); comment != std::string_view::npos)
                line = line.substr(0, comment);
        }
        line = TrimBlanks(line);
        if (line.empty() || (csv && line.starts_with('#'))) return;
        if (first_record) {
            first_record = false;
            if ((csv = CsvHeader(line))) return;
        }
        const auto range = csv ? CsvRecord(line, *csv) : PlainLine(line);
        if (range)
            list.ranges.push_back(*range);
        else
            list.bad_lines.push_back(number);
    });
    return list;
}

}  // namespace velmor::lists
