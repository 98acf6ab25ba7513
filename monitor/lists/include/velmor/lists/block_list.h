#pragma once

#include <string_view>
#include <vector>

#include "velmor/platform/address_text.h"

namespace velmor::lists {

// One line of a list file.
struct ListEntry {
    platform::AddressRange range;
};

struct ParsedList {
    std::vector<platform::AddressRange> ranges;  // in the order of the lines
    std::vector<int> bad_lines;                  // numbers (from 1) of the lines skipped as malformed
};

// A block list as published lists and `cscli decisions import` write them:
// - plain lines: one address or CIDR range per line; blank lines; "#" comments, a whole line or
//   the rest of one; a "; note" after the range (as the DROP lists write it); CR LF; a UTF-8 BOM;
// - CSV: when the first line that is neither blank nor a comment is a header with a "value"
//   column (any letter case, maybe quoted), every later line is a record and the columns are found
//   by name; a "scope" column, when there is one, must say Ip or Range (other scopes name no
//   address). Quoted fields with "" inside are read; a field never spans lines.
// A line that holds no address or range is reported by its number and skipped.
ParsedList ParseBlockList(std::string_view text);

// The lines of `text` as the parser numbers them (LF, CR LF or the last line without an ending),
// for callers that need the same numbering: calls `line(number, text)` for each.
template <typename Fn>
void ForEachLine(std::string_view text, Fn&& line) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    for (int number = 1; !text.empty(); ++number) {
        const auto end = text.find('\n');
        std::string_view one = text.substr(0, end);
        if (one.ends_with('\r')) one.remove_suffix(1);
        line(number, one);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

}  // namespace velmor::lists
