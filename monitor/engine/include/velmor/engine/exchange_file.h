#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmor::engine {

// The exchange file between the lookup helper (writer) and the lookup cycle (reader and deleter):
// "Hostlet.tmp" in the program folder, one line: address, " ==> ", result, CR LF.
inline constexpr std::string_view kExchangeFileName = "Hostlet.tmp";
inline constexpr std::string_view kExchangeArrow = "==>";
// The result for an address without a (usable) name.
inline constexpr std::string_view kNoName = "-";

struct ExchangeAnswer {
    std::string address;
    std::string info;
};

// Reads one exchange line: split at the first "==>", both sides trimmed of blanks. No answer when
// the line holds no "==>" or starts with it. The address may come out empty.
std::optional<ExchangeAnswer> ParseExchangeLine(std::string_view line);

// The line the helper writes for `argument` and `result`, without the line end.
std::string MakeExchangeLine(std::string_view argument, std::string_view result);

}  // namespace velmor::engine
