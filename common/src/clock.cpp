#include "velmor/common/clock.h"

#include <ctime>

namespace velmor {

LocalDate LocalDateOf(std::chrono::system_clock::time_point moment) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
    std::tm parts{};
    // The core runs on one thread; localtime_r is not portable C++, so take the copy at once.
    if (const std::tm* shared = std::localtime(&seconds)) parts = *shared;
    return LocalDate{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday};
}

LocalDate SystemClock::Today() const {
    return LocalDateOf(std::chrono::system_clock::now());
}

std::optional<LocalDate> FileLastWriteDate(const std::filesystem::path& path) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(path, error);
    if (error) return std::nullopt;
    return LocalDateOf(std::chrono::file_clock::to_sys(written));
}

}  // namespace velmor
