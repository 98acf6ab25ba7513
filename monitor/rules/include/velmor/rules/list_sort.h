#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/rules/list_model.h"

// The numeric sort of the live lists (ModuleListViewSort): rows ordered by the whole number in
// their second column, in the direction of the shared SortAscending flag.
namespace velmor::rules {

// How much of a cell the comparison reads, as through a 32-byte text buffer.
inline constexpr std::size_t kRowValueMaxChars = 31;

// The value of a count or port text: the first 31 bytes taken as a decimal whole number (blanks
// around it and one sign allowed). Anything else, an empty text, or a number outside 32 bits is 0;
// so "10000 - OVER" is 0, not 10000.
std::int32_t RowValueOfText(std::string_view text);

// The value of a row: RowValueOfText of its column 2 (the cell at index 1).
std::int32_t GetRowValue(const ListModel& list, int row);
std::int32_t GetRowValue(const std::vector<std::string>& cells);

// Negative when row `a` goes before row `b`, zero when their values are equal, positive when it
// goes after: ascending by value when `ascending`, else descending.
std::int32_t CompareRowValues(const std::vector<std::string>& a, const std::vector<std::string>& b,
                              bool ascending);

// Sorts all rows of `list` once by value; the list's own sort state is left as it is.
void SortByRowValue(ListModel& list, bool ascending);

// The value of a byte-count cell (a whole number of up to 20 digits, or "-" where nothing was
// counted): the number, -1 for anything else, so an uncounted row sorts below a count of 0.
std::int64_t CountValueOfText(std::string_view text);
// Sorts all rows of `list` once by the byte count in `column`.
void SortByCount(ListModel& list, int column, bool ascending);

}  // namespace velmor::rules
