#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

namespace velmor {

struct LocalDate {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
};

// The clock the core reads, behind an interface so tests can set the date and the time.
class Clock {
public:
    virtual ~Clock() = default;
    // Today's date in local time.
    virtual LocalDate Today() const = 0;
    // A monotonic reading for intervals (never goes back, unaffected by midnight or clock changes).
    virtual std::chrono::steady_clock::time_point Now() const = 0;
};

class SystemClock final : public Clock {
public:
    LocalDate Today() const override;
    std::chrono::steady_clock::time_point Now() const override { return std::chrono::steady_clock::now(); }
};

// The local date of a moment.
LocalDate LocalDateOf(std::chrono::system_clock::time_point moment);
// The local date of a file's last write; nullopt when the file cannot be read.
std::optional<LocalDate> FileLastWriteDate(const std::filesystem::path& path);

}  // namespace velmor
