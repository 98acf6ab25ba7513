// The texts the kernel writes about processes and their descriptors, read the same on every system
// (only Linux has them to read).
#include <algorithm>
#include <charconv>

#include "velmor/platform/socket_owners.h"

namespace velmor::platform {
namespace {

constexpr std::string_view kSocketPrefix = "socket:[";

}  // namespace

std::optional<std::uint64_t> SocketInodeOfLink(std::string_view link) {
    if (!link.starts_with(kSocketPrefix) || !link.ends_with(']')) return std::nullopt;
    const std::string_view digits = link.substr(kSocketPrefix.size(), link.size() - kSocketPrefix.size() - 1);
    std::uint64_t inode = 0;
    const auto [at, error] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
    if (error != std::errc() || at != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    return inode;
}

std::optional<std::uint64_t> StartTicksOfStat(std::string_view stat) {
    // The name (field 2) is in parentheses and may hold anything, so fields are counted from the
    // last ')': field 3 follows it, field 22 is the 20th after it.
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    for (int field = 3; field <= 22; ++field) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) return std::nullopt;
        rest = rest.substr(start);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        if (field == 22) {
            std::uint64_t ticks = 0;
            const std::string_view digits = rest.substr(0, end);
            const auto trimmed = digits.substr(0, std::min(digits.find('\n'), digits.size()));
            const auto [at, error] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), ticks);
            if (error != std::errc() || at != trimmed.data() + trimmed.size()) return std::nullopt;
            return ticks;
        }
        rest = rest.substr(end);
    }
    return std::nullopt;
}

}  // namespace velmor::platform
