#include "velmor/fetchel/fetchel_core.h"

#include <algorithm>
#include <limits>

#include "velmor/common/text_rules.h"

namespace velmor::fetchel {

std::int32_t ParseNumber(std::string_view text) {
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::clamp(LeadingNumber(text), kMin, kMax));
}

std::optional<Settings> ParseArguments(std::span<const std::string_view> arguments) {
    if (arguments.size() < 2 || arguments.size() > 6) return std::nullopt;
    Settings settings;
    settings.source = arguments[0];
    settings.output = arguments[1];
    if (arguments.size() > 2) settings.window = ParseNumber(arguments[2]);
    if (arguments.size() > 3) settings.message_offset = ParseNumber(arguments[3]);
    if (arguments.size() > 4) settings.expected_size = ParseNumber(arguments[4]);
    if (arguments.size() > 5) settings.wparam = ParseNumber(arguments[5]);
    return settings;
}

bool IsInternetSource(std::string_view source) {
    return source.size() >= 4 && LowerAscii(source.substr(0, 4)) == "http";
}

namespace {

// The scheme of an address in lower case, without "://"; empty when it names none.
std::string SchemeOf(std::string_view address) {
    const auto end = address.find("://");
    if (end == std::string_view::npos) return {};
    return LowerAscii(address.substr(0, end));
}

}  // namespace

bool IsRedirectAllowed(std::string_view from, std::string_view to) {
    const std::string target = SchemeOf(to);
    if (target == "https") return true;
    return target == "http" && SchemeOf(from) != "https";
}

std::int32_t ProgressPercent(std::int64_t reads, std::int64_t block, std::int32_t expected_size) {
    if (expected_size <= 0 || reads <= 0 || block <= 0) return 1;
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    // reads * block * 100 / expected, without letting the product itself overflow 64 bits.
    const std::int64_t per_read = block * 100;
    if (reads > std::numeric_limits<std::int64_t>::max() / per_read) return static_cast<std::int32_t>(kMax);
    const std::int64_t percent = reads * per_read / expected_size;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(percent, 1, kMax));
}

ReadCounter::ReadCounter(std::int64_t block, std::int32_t expected_size)
    : block_(static_cast<std::uint64_t>(std::max<std::int64_t>(block, 1))), expected_size_(expected_size) {}

}  // namespace velmor::fetchel
