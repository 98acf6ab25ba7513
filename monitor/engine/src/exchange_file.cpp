#include "velmor/engine/exchange_file.h"

#include <algorithm>

#include "velmor/common/text_rules.h"

namespace velmor::engine {

bool IsPlausibleHostName(std::string_view name) {
    if (name.empty() || name.size() > kMaxHostNameBytes) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.' || c == '_';
    });
}

std::optional<ExchangeAnswer> ParseExchangeLine(std::string_view line) {
    const auto arrow = line.find(kExchangeArrow);
    if (arrow == std::string_view::npos || arrow == 0) return std::nullopt;
    return ExchangeAnswer{std::string(TrimSpaces(line.substr(0, arrow))),
                          std::string(TrimSpaces(line.substr(arrow + kExchangeArrow.size())))};
}

std::string MakeExchangeLine(std::string_view argument, std::string_view result) {
    std::string line;
    line.reserve(argument.size() + result.size() + 5);
    line.append(argument).append(" ").append(kExchangeArrow).append(" ").append(result);
    return line;
}

}  // namespace velmor::engine
