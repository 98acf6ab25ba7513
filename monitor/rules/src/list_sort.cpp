#include "velmor/rules/list_sort.h"

#include <limits>

namespace velmor::rules {

std::int32_t RowValueOfText(std::string_view text) {
    text = text.substr(0, kRowValueMaxChars);
    std::size_t i = 0;
    const auto blank = [&text](std::size_t at) { return text[at] == ' ' || text[at] == '\t'; };
    while (i < text.size() && blank(i)) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digits_start = i;
    std::int64_t value = 0;
    constexpr std::int64_t kMagnitudeLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMagnitudeLimit) return 0;
    }
    if (i == digits_start) return 0;
    while (i < text.size() && blank(i)) ++i;
    if (i != text.size()) return 0;
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) return 0;
    return static_cast<std::int32_t>(value);
}

std::int32_t GetRowValue(const std::vector<std::string>& cells) {
    return cells.size() > 1 ? RowValueOfText(cells[1]) : 0;
}

std::int32_t GetRowValue(const ListModel& list, int row) {
    return RowValueOfText(list.Cell(row, 1));
}

std::int32_t CompareRowValues(const std::vector<std::string>& a, const std::vector<std::string>& b,
                              bool ascending) {
    const std::int32_t first = GetRowValue(a);
    const std::int32_t second = GetRowValue(b);
    if (first == second) return 0;
    const bool first_smaller = first < second;
    return (first_smaller == ascending) ? -1 : 1;
}

void SortByRowValue(ListModel& list, bool ascending) {
    // Each row's value is read once; ordering by those values is ordering by CompareRowValues.
    list.SortOnceByValue([](const std::vector<std::string>& cells) { return GetRowValue(cells); }, ascending);
}

std::int64_t CountValueOfText(std::string_view text) {
    if (text.empty() || text.size() > 20) return -1;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return -1;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return -1;
        value = value * 10 + digit;
    }
    // Counts beyond 2^63 bytes do not happen; they sort as the largest.
    return value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
               ? std::numeric_limits<std::int64_t>::max()
               : static_cast<std::int64_t>(value);
}

void SortByCount(ListModel& list, int column, bool ascending) {
    const auto at = static_cast<std::size_t>(column);
    list.SortOnceByValue(
        [at](const std::vector<std::string>& cells) {
            return at < cells.size() ? CountValueOfText(cells[at]) : -1;
        },
        ascending);
}

}  // namespace velmor::rules
