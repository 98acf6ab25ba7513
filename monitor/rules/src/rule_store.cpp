#include "velmor/rules/rule_store.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

#include "velmor/common/text_file.h"
#include "velmor/common/text_rules.h"
#include "velmor/platform/address_text.h"
#include "velmor/platform/diag.h"
#include "velmor/platform/directory_watch.h"

namespace velmor::rules {

struct RuleStore::Watch {
    std::unique_ptr<platform::DirectoryWatch> watch;
};

std::string_view VerdictText(Verdict verdict) {
    return verdict == Verdict::Blocked ? kBlockedText : kAllowedText;
}

Verdict VerdictOf(std::string_view text) {
    return text == kBlockedText ? Verdict::Blocked : Verdict::Allowed;
}

std::string_view ExtensionOf(Verdict verdict) {
    return verdict == Verdict::Blocked ? kBlockedExtension : kAllowedExtension;
}

int DayNumber(const LocalDate& date) {
    // The constant is the decimal 30.416666 on purpose: it fixes which dates share a number.
    const double value = date.year * 365.0 + date.month * 30.416666 + date.day;
    return static_cast<int>(std::nearbyint(value));
}

std::string InfoOfRuleLine(std::string_view line) {
    const std::string_view trimmed = TrimSpaces(line);
    const auto bar = trimmed.rfind('|');
    return std::string(bar == std::string_view::npos ? trimmed : trimmed.substr(bar + 1));
}

std::string MakeRuleLine(std::string_view origin, std::string_view address, std::string_view info) {
    std::string line;
    line.reserve(origin.size() + address.size() + info.size() + 2);
    line.append(origin).append("|").append(address).append("|").append(info);
    return line;
}

std::string CanonicalAddress(std::string_view typed) {
    if (auto canonical = platform::CanonicalIpv6Text(typed)) return std::move(*canonical);
    return std::string(typed);
}

RuleStore::RuleStore(std::filesystem::path program_folder)
    : directory_(program_folder / "invader"), watch_(std::make_unique<Watch>()) {}

RuleStore::~RuleStore() = default;

std::string RuleStore::FileNameOf(std::string_view address, Verdict verdict) {
    std::string name(address);
    name.append(ExtensionOf(verdict));
    return name;
}

std::optional<std::string> RuleStore::AddressOfFileName(std::string_view name, std::string_view extension) {
    if (name.size() <= extension.size() || !name.ends_with(extension)) return std::nullopt;
    return std::string(name.substr(0, name.size() - extension.size()));
}

std::filesystem::path RuleStore::FileOf(std::string_view address, Verdict verdict) const {
    return directory_ / FileNameOf(address, verdict);
}

bool RuleStore::Exists(std::string_view address, Verdict verdict) const {
    return Locate(address, verdict).has_value();
}

std::optional<std::string> RuleStore::ReadLine(std::string_view address, Verdict verdict) const {
    const auto path = Locate(address, verdict);
    if (!path) return std::nullopt;
    return ReadFirstLine(*path);
}

bool RuleStore::Write(std::string_view address, Verdict verdict, std::string_view line) {
    // The file the readers find is the one rewritten, whatever the letter case of its name. It is
    // written beside and renamed over, so a program killed mid-write leaves the old line or the
    // new one, never an empty rule.
    const std::filesystem::path path = Locate(address, verdict).value_or(FileOf(address, verdict));
    std::string content(line);
    content.append(kCrLf);
    const bool written = WriteFileAtomically(path, content);
    if (written) IndexName(path.filename().string(), true);
    return written;
}

RuleStore::AddResult RuleStore::AddBlocked(std::string_view address, std::string_view info) {
    if (!IsPlainFileName(address)) return AddResult::Refused;
    if (Locate(address, Verdict::Blocked)) return AddResult::AlreadyExists;
    return Write(address, Verdict::Blocked, MakeRuleLine("-", address, info)) ? AddResult::Added
                                                                              : AddResult::Failed;
}

bool RuleStore::Toggle(std::string_view address, Verdict from) {
    if (!IsPlainFileName(address)) return false;
    const auto source = Locate(address, from);
    if (!source) return false;
    const Verdict to = from == Verdict::Blocked ? Verdict::Allowed : Verdict::Blocked;
    // A rename on this system would silently replace an existing file of the other verdict and
    // lose its line; refuse instead, as a rename onto an existing name fails elsewhere.
    if (Locate(address, to)) return false;
    std::error_code error;
    std::filesystem::rename(*source, FileOf(address, to), error);
    if (error) {
        NoteChanged();
        return false;
    }
    IndexName(source->filename().string(), false);
    IndexName(FileNameOf(address, to), true);
    return true;
}

bool RuleStore::Delete(std::string_view address, Verdict verdict) {
    if (!IsPlainFileName(address)) return false;
    const auto path = Locate(address, verdict);
    if (!path) return false;
    std::error_code error;
    const bool removed = std::filesystem::remove(*path, error);
    if (removed)
        IndexName(path->filename().string(), false);
    else
        NoteChanged();
    return removed;
}

std::optional<std::filesystem::path> RuleStore::Locate(std::string_view address, Verdict verdict) const {
    if (address.empty() || !IsPlainFileName(address)) return std::nullopt;
    std::filesystem::path exact = FileOf(address, verdict);
    if (IsRegularFile(exact)) return exact;
    if (names_live_) {
        // The name index knows every rule file's name; a candidate is checked once more, so a file
        // gone since the last refresh is not reported.
        const auto found = names_.find(LowerAscii(FileNameOf(address, verdict)));
        if (found == names_.end()) return std::nullopt;
        for (const std::string& name : found->second) {
            std::filesystem::path path = directory_ / name;
            if (path != exact && IsRegularFile(path)) return path;
        }
        return std::nullopt;
    }
    const bool has_letters = std::any_of(address.begin(), address.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
    if (!has_letters) {
        // Only the extension can differ in case: one more name to try instead of a listing, which
        // matters when every new address of a monitoring pass asks.
        std::string name = FileNameOf(address, verdict);
        for (std::size_t i = name.size() - ExtensionOf(verdict).size(); i < name.size(); ++i) {
            if (name[i] >= 'a' && name[i] <= 'z') name[i] = static_cast<char>(name[i] - 'a' + 'A');
        }
        std::filesystem::path upper = directory_ / name;
        if (IsRegularFile(upper)) return upper;
        return std::nullopt;
    }
    const std::string wanted = LowerAscii(FileNameOf(address, verdict));
    for (const std::string& name : List(ExtensionOf(verdict))) {
        if (name.size() == wanted.size() && LowerAscii(name) == wanted) return directory_ / name;
    }
    return std::nullopt;
}

std::vector<std::string> RuleStore::List(std::string_view extension) const {
    // Patterns like "*.x" match regardless of letter case, as directory searches do on the
    // desktop systems the rule files come from; the real name is kept for opening the file.
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator it(directory_, error);
    if (error) return names;
    const std::string wanted = LowerAscii(extension);
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) break;
        // Links are not rules, even to a regular file: their target may lie anywhere.
        std::error_code type_error;
        if (!std::filesystem::is_regular_file(it->symlink_status(type_error))) continue;
        std::string name = it->path().filename().string();
        if (name.size() > wanted.size() && LowerAscii(name.substr(name.size() - wanted.size())) == wanted) {
            names.push_back(std::move(name));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

void RuleStore::ExpireInvaderFiles(const Clock& clock) {
    const int today = DayNumber(clock.Today());
    for (const std::string_view extension : {kAllowedExtension, kBlockedExtension}) {
        for (const std::string& name : List(extension)) {
            const std::filesystem::path path = directory_ / name;
            const auto written = FileLastWriteDate(path);
            if (!written) continue;
            if (std::abs(today - DayNumber(*written)) >= 30) {
                std::error_code error;
                const bool deleted = std::filesystem::remove(path, error);
                if (error)
                    platform::Diag("rules",
                                   "cannot delete expired " + path.string() + ": " + error.message());
                if (deleted) IndexName(name, false);
            }
        }
    }
}

void RuleStore::NoteChanged() {
    index_stale_ = true;
}

void RuleStore::RefreshBlockedIndex(bool may_retry_watch) {
    if (watch_->watch && !watch_->watch->Alive()) {
        watch_->watch.reset();
        names_live_ = false;
    }
    if (watch_->watch) {
        // Each changed name is looked at once; the directory is read whole only when the watch
        // cannot tell what changed (events lost, the folder gone).
        platform::DirectoryChanges changes = watch_->watch->TakeChangedNames();
        if (changes.everything || !watch_->watch->Alive()) {
            index_stale_ = true;
        } else if (!index_stale_) {
            std::sort(changes.names.begin(), changes.names.end());
            changes.names.erase(std::unique(changes.names.begin(), changes.names.end()), changes.names.end());
            for (const std::string& name : changes.names) RecheckName(name);
        }
    } else if (may_retry_watch) {
        // Without a watch nothing tells us of outside changes, so every retry also rescans.
        watch_->watch = platform::WatchDirectory(directory_);
        index_stale_ = true;
    }
    if (index_stale_) RescanBlocked();
}

void RuleStore::RescanBlocked() {
    index_stale_ = false;
    // The watch exists before the listing starts, so a change during it is told afterwards.
    names_live_ = watch_->watch != nullptr && watch_->watch->Alive();
    names_.clear();
    for (const std::string_view extension : {kBlockedExtension, kAllowedExtension})
        for (std::string& name : List(extension)) names_[LowerAscii(name)].insert(std::move(name));
    std::set<std::string, std::less<>> blocked, allowed;
    for (const auto& [lower, real] : names_) {
        if (auto address = AddressOfFileName(lower, kBlockedExtension)) blocked.insert(std::move(*address));
        if (auto address = AddressOfFileName(lower, kAllowedExtension)) allowed.insert(std::move(*address));
    }
    blocked_.Become(blocked);
    allowed_.Become(allowed);
}

void RuleStore::JournaledSet::Change(std::string address, bool in) {
    if (in) {
        addresses.insert(address);
    } else {
        addresses.erase(address);
    }
    journal.push_back({std::move(address), in});
    ++generation;
    // Enough for the followers of a busy tick; one that falls further behind reads the index whole.
    constexpr std::size_t kJournalLength = 16384;
    if (journal.size() > kJournalLength) {
        journal.pop_front();
        ++journal_start;
    }
}

bool RuleStore::JournaledSet::ChangesSince(std::uint64_t since, std::vector<BlockedChange>& changes) const {
    changes.clear();
    if (since < journal_start || since > generation) return false;
    changes.assign(journal.begin() + static_cast<std::ptrdiff_t>(since - journal_start), journal.end());
    return true;
}

void RuleStore::JournaledSet::Become(const std::set<std::string, std::less<>>& now) {
    // The differences go through the journal, so followers see them one by one.
    std::vector<std::string> left, entered;
    std::set_difference(addresses.begin(), addresses.end(), now.begin(), now.end(), std::back_inserter(left));
    std::set_difference(now.begin(), now.end(), addresses.begin(), addresses.end(),
                        std::back_inserter(entered));
    for (std::string& address : left) Change(std::move(address), false);
    for (std::string& address : entered) Change(std::move(address), true);
}

bool RuleStore::IsIndexedAllowed(std::string_view address) const {
    return allowed_.addresses.find(LowerAscii(address)) != allowed_.addresses.end();
}

bool RuleStore::BlockedChangesSince(std::uint64_t since, std::vector<BlockedChange>& changes) const {
    return blocked_.ChangesSince(since, changes);
}

void RuleStore::RecheckName(const std::string& name) {
    // Links are not rules, even to a regular file: the entry itself is asked, never its target.
    IndexName(name, IsRegularFile(directory_ / name));
}

void RuleStore::IndexName(const std::string& name, bool present) {
    std::string lower = LowerAscii(name);
    std::optional<std::string> blocked_address = AddressOfFileName(lower, kBlockedExtension);
    std::optional<std::string> allowed_address = AddressOfFileName(lower, kAllowedExtension);
    if (!blocked_address && !allowed_address) return;
    auto found = names_.find(lower);
    if (present) {
        if (found == names_.end()) found = names_.emplace(std::move(lower), std::set<std::string>{}).first;
        found->second.insert(name);
    } else if (found != names_.end()) {
        found->second.erase(name);
        // Where file names ignore letter case (Windows) the name that went may be spelled otherwise
        // than the index holds it: a spelling whose file is no longer there goes as well.
        std::erase_if(found->second,
                      [&](const std::string& other) { return !IsRegularFile(directory_ / other); });
        if (found->second.empty()) names_.erase(found);
    }
    if (allowed_address) {
        const bool allowed = names_.contains(LowerAscii(FileNameOf(*allowed_address, Verdict::Allowed)));
        if (allowed != allowed_.addresses.contains(*allowed_address))
            allowed_.Change(std::move(*allowed_address), allowed);
    }
    if (!blocked_address) return;
    // Another file of the same address in another letter case keeps it blocked.
    const bool blocked = names_.contains(LowerAscii(FileNameOf(*blocked_address, Verdict::Blocked)));
    if (blocked != blocked_.addresses.contains(*blocked_address))
        blocked_.Change(std::move(*blocked_address), blocked);
}

bool RuleStore::IsIndexedBlocked(std::string_view address) const {
    // Names and addresses compare regardless of ASCII letter case, as every lookup of a rule does.
    return blocked_.addresses.find(LowerAscii(address)) != blocked_.addresses.end();
}

}  // namespace velmor::rules
