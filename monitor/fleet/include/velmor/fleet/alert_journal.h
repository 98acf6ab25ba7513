#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <optional>

#include "velmor/fleet/lapi_messages.h"
#include "velmor/platform/private_file.h"

namespace velmor::fleet {

// The alerts not yet sent, in memory and in a journal file, oldest first, so they survive a
// restart. The file is appended to ("A ADDRESS UNIXTIME" for an alert, "X COUNT" when the oldest
// COUNT were sent; beyond the capacity the oldest are dropped, on replay too) and rewritten whole
// now and then.
class AlertJournal final {
public:
    AlertJournal(std::filesystem::path path, std::size_t capacity);

    // Adds alerts (the oldest dropped beyond the capacity) and flushes them to the disk.
    void Add(std::span<const Intruder> intruders);
    // Forgets the oldest `count` (they were sent).
    void Remove(std::size_t count);

    const std::deque<Intruder>& pending() const { return pending_; }
    std::size_t dropped() const { return dropped_; }

    // The pending alerts a journal's text holds, the oldest dropped beyond `capacity`.
    static std::deque<Intruder> Replay(std::string_view text, std::size_t capacity);

private:
    void Record(std::string_view line, bool sync);
    void Compact();

    std::filesystem::path path_;
    std::size_t capacity_;
    std::deque<Intruder> pending_;
    std::size_t dropped_ = 0;
    std::size_t lines_ = 0;  // in the file now
    std::optional<platform::PrivateAppendFile> file_;
};

}  // namespace velmor::fleet
