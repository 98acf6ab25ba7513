#include "velmor/fleet/alert_journal.h"

#include <charconv>

#include "velmor/platform/address_text.h"
#include "velmor/platform/diag.h"
#include "velmor/platform/replace_file.h"

namespace velmor::fleet {
namespace {

constexpr std::size_t kMaxJournalBytes = 64 * 1024 * 1024;

template <typename Number>
std::optional<Number> NumberOf(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string AddLine(const Intruder& intruder) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(intruder.when.time_since_epoch()).count();
    return "A " + intruder.address + " " + std::to_string(seconds) + "\n";
}

}  // namespace

std::deque<Intruder> AlertJournal::Replay(std::string_view text, std::size_t capacity) {
    std::deque<Intruder> pending;
    while (!text.empty()) {
        const auto end = text.find('\n');
        // A last line without its newline was cut short by a crash: it never counted.
        if (end == std::string_view::npos) break;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.starts_with("A ")) {
            const std::string_view rest = line.substr(2);
            const auto space = rest.find(' ');
            if (space == std::string_view::npos) continue;
            const auto address = platform::CanonicalAddressText(rest.substr(0, space));
            const auto seconds = NumberOf<std::int64_t>(rest.substr(space + 1));
            if (!address || !seconds) continue;
            pending.push_back(
                {*address, std::chrono::system_clock::time_point(std::chrono::seconds(*seconds))});
            if (pending.size() > capacity) pending.pop_front();
        } else if (line.starts_with("X ")) {
            const auto count = NumberOf<std::size_t>(line.substr(2));
            if (!count) continue;
            pending.erase(pending.begin(),
                          pending.begin() + static_cast<std::ptrdiff_t>(std::min(*count, pending.size())));
        }
    }
    return pending;
}

AlertJournal::AlertJournal(std::filesystem::path path, std::size_t capacity)
    : path_(std::move(path)), capacity_(capacity) {
    std::error_code ignored;
    if (path_.has_parent_path()) std::filesystem::create_directories(path_.parent_path(), ignored);
    if (const auto text = platform::ReadSmallRegularFile(path_, kMaxJournalBytes))
        pending_ = Replay(*text, capacity_);
    // Start from a file that holds exactly what is pending.
    Compact();
}

void AlertJournal::Record(std::string_view lines, bool sync) {
    if (!file_) file_ = platform::PrivateAppendFile::Open(path_);
    if (!file_ || !file_->Append(lines) || (sync && !file_->Sync())) {
        platform::Diag("fleet", "the alert journal " + path_.string() + " could not be written");
        file_.reset();
    }
}

void AlertJournal::Add(std::span<const Intruder> intruders) {
    if (intruders.empty()) return;
    std::string lines;
    std::size_t over = 0;
    for (const Intruder& intruder : intruders) {
        lines += AddLine(intruder);
        pending_.push_back(intruder);
        if (pending_.size() > capacity_) {
            pending_.pop_front();
            ++over;
        }
    }
    // Replaying drops the same oldest ones by the same capacity, so the drop needs no line.
    dropped_ += over;
    lines_ += intruders.size();
    Record(lines, true);
}

void AlertJournal::Remove(std::size_t count) {
    count = std::min(count, pending_.size());
    if (count == 0) return;
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    ++lines_;
    // Not flushed: lost, it only means these alerts are sent once more after a crash.
    Record("X " + std::to_string(count) + "\n", false);
    if (lines_ > 2 * pending_.size() + 1000) Compact();
}

void AlertJournal::Compact() {
    std::string text;
    for (const Intruder& intruder : pending_) text += AddLine(intruder);
    file_.reset();
    if (!platform::WritePrivateFile(path_, text)) {
        platform::Diag("fleet", "the alert journal " + path_.string() + " could not be rewritten");
        return;
    }
    lines_ = pending_.size();
}

}  // namespace velmor::fleet
