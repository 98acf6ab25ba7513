#pragma once

#include <cstddef>
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

// The longest host name passed on (the DNS limit for a name in text form).
inline constexpr std::size_t kMaxHostNameBytes = 253;

// The name rule of the exchange file: 1 to 253 bytes of ASCII letters, digits, '-', '.' and '_'.
// Anything else (a blank, "|", a control character, a line end) could break the one-line files
// and lists the name ends up in. The helper writes only such names; the reader checks again,
// because anyone who can write the program folder can write the exchange file.
bool IsPlausibleHostName(std::string_view name);

struct ExchangeAnswer {
    std::string address;
    std::string info;
};

// Reads one exchange line: split at the first "==>", both sides trimmed of blanks. No answer when
// the line holds no "==>" or starts with it. The address may come out empty.
[[nodiscard]] std::optional<ExchangeAnswer> ParseExchangeLine(std::string_view line);

// The line the helper writes for `argument` and `result`, without the line end.
std::string MakeExchangeLine(std::string_view argument, std::string_view result);

}  // namespace velmor::engine
