#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/common/clock.h"

namespace velmor::rules {

enum class Verdict { Blocked, Allowed };

inline constexpr std::string_view kBlockedText = "차단";
inline constexpr std::string_view kAllowedText = "허용";
inline constexpr std::string_view kBlockedExtension = ".x";
inline constexpr std::string_view kAllowedExtension = ".o";

std::string_view VerdictText(Verdict verdict);
// The verdict a list cell shows: Blocked for kBlockedText, Allowed for any other text.
Verdict VerdictOf(std::string_view text);
std::string_view ExtensionOf(Verdict verdict);

// The date measure of rule expiry: year * 365 + month * 30.416666 + day, rounded to nearest.
int DayNumber(const LocalDate& date);

// The info of a rule line: the line trimmed of blanks, then everything after its last "|" (the
// whole trimmed line when it holds none).
std::string InfoOfRuleLine(std::string_view line);

// The rule line of a new rule: origin "|" address "|" info.
std::string MakeRuleLine(std::string_view origin, std::string_view address, std::string_view info);

// The address text under which a typed address is filed: IPv6 text in the RFC 5952 form that the
// monitor writes for the connections it sees ("FD00:0077::0002" becomes "fd00:77::2"), so a rule
// typed by hand meets them; any other text as it is.
std::string CanonicalAddress(std::string_view typed);

// The rule directory "invader" of the program folder: one file per address and verdict, named the
// address plus ".x" (blocked) or ".o" (allowed), holding one line origin|address|info and CR LF.
// The files are the store; nothing else is persistent.
class RuleStore final {
public:
    explicit RuleStore(std::filesystem::path program_folder);
    ~RuleStore();
    RuleStore(const RuleStore&) = delete;
    RuleStore& operator=(const RuleStore&) = delete;

    const std::filesystem::path& Directory() const { return directory_; }
    // The one mapping between an address text and its rule file's name: the text plus ".x" or
    // ".o". IPv4 and IPv6 texts are both plain names here (a colon is an ordinary file-name
    // character on Linux); a system where it is not escapes it here and only here.
    static std::string FileNameOf(std::string_view address, Verdict verdict);
    // The address whose rule file of `extension` is named `name`; nullopt when the name does not
    // end in the extension.
    static std::optional<std::string> AddressOfFileName(std::string_view name, std::string_view extension);
    std::filesystem::path FileOf(std::string_view address, Verdict verdict) const;

    // Every reader and writer finds a rule file through Locate: one lookup rule for all of them.
    bool Exists(std::string_view address, Verdict verdict) const;
    // The first line of the rule file; nullopt when it is missing or unreadable.
    std::optional<std::string> ReadLine(std::string_view address, Verdict verdict) const;
    // Replaces the rule file's content with `line` and CR LF (a new file when there is none),
    // written beside it and renamed over it. A written blocked file is in the blocked index at once.
    [[nodiscard]] bool Write(std::string_view address, Verdict verdict, std::string_view line);

    // --- Edits by the user's commands. Each keeps the blocked index right. An address is used as a
    // file name only when it is one plain file-name component (IsPlainFileName); any other text is
    // refused without touching the disk.
    enum class AddResult { Added, AlreadyExists, Refused, Failed };
    // A blocked rule made by hand: the line "-|address|info". Refused when the address's blocked
    // file exists already; an allowed file of the same address does not stop it.
    [[nodiscard]] AddResult AddBlocked(std::string_view address, std::string_view info);
    // Renames the rule file of verdict `from` to the other verdict's name. Fails, and keeps both
    // files, when the other verdict's file exists already: a rename never replaces a rule.
    bool Toggle(std::string_view address, Verdict from);
    // Deletes the rule file of `verdict`.
    bool Delete(std::string_view address, Verdict verdict);

    // The rule file as it is on disk: the exact name when that exists, else a name that differs
    // only in ASCII letter case (the rule list shows names lower-cased, and the files may come from
    // a file system that ignores case). Only regular files count, never links, FIFOs or folders.
    // nullopt when there is none.
    std::optional<std::filesystem::path> Locate(std::string_view address, Verdict verdict) const;

    // The file names in the rule directory that end in `extension`, in ascending order of name.
    std::vector<std::string> List(std::string_view extension) const;

    // Deletes every rule file whose last-write date lies 30 or more day numbers from today (either
    // way). The ".o" files are taken first, then the ".x" files, each from one listing.
    void ExpireInvaderFiles(const Clock& clock);

    // --- In-memory index of the blocked files, so a monitoring tick makes no file-system call per
    // row. It follows the directory through a change watch and the store's own writes.
    // Brings the index up to date if the directory changed since; cheap when it did not. When the
    // directory cannot be watched (it does not exist yet), a new watch is tried only if
    // `may_retry_watch`, so that a missing folder does not cost system calls on every tick.
    void RefreshBlockedIndex(bool may_retry_watch = true);
    bool IsIndexedBlocked(std::string_view address) const;
    // The addresses of the index (file names without ".x").
    const std::set<std::string, std::less<>>& BlockedAddresses() const { return blocked_.addresses; }
    // Grows whenever the set of blocked addresses changed: by one for each address that entered or
    // left it.
    std::uint64_t BlockedGeneration() const { return blocked_.generation; }
    // One change of the blocked index: `address` entered it (blocked) or left it.
    struct BlockedChange {
        std::string address;
        bool blocked = false;
    };
    // The changes from generation `since` to now, oldest first, into `changes` (cleared first), so
    // that a follower need not copy the index to see what changed. False when they are no longer
    // all kept (the follower then reads BlockedAddresses() whole) or `since` lies ahead.
    bool BlockedChangesSince(std::uint64_t since, std::vector<BlockedChange>& changes) const;
    // Tells the index that the directory may have changed in ways it was not told of: the next
    // refresh reads the whole directory again.
    void NoteChanged();

    // The same index for the allowed files (".o"), which the kernel's first strike must spare: its
    // addresses, a generation that grows by one for each address that entered or left it, and its
    // journal of changes (`blocked` there says the address entered). Kept by the same refresh.
    bool IsIndexedAllowed(std::string_view address) const;
    const std::set<std::string, std::less<>>& AllowedAddresses() const { return allowed_.addresses; }
    std::uint64_t AllowedGeneration() const { return allowed_.generation; }
    bool AllowedChangesSince(std::uint64_t since, std::vector<BlockedChange>& changes) const {
        return allowed_.ChangesSince(since, changes);
    }

private:
    // Reads the whole directory into the name index and the blocked index.
    void RescanBlocked();
    // Brings the name index up to date for one entry name of the directory: one lstat.
    void RecheckName(const std::string& name);
    // The name index learns that the regular file `name` exists (or is gone), and the blocked
    // index follows.
    void IndexName(const std::string& name, bool present);

    std::filesystem::path directory_;
    // The rule files of the directory (regular files ending in either extension in any letter
    // case): the lower-cased name -> the real names. Complete only while `names_live_`, that is
    // while a directory watch tells every change; otherwise Locate lists the directory.
    std::map<std::string, std::set<std::string>, std::less<>> names_;
    bool names_live_ = false;

    // The addresses of one verdict's files and the latest changes of that set: journal[i] moved the
    // generation from journal_start + i on. An address enters or leaves it, and the journal, only
    // through Change.
    struct JournaledSet {
        std::set<std::string, std::less<>> addresses;
        std::uint64_t generation = 0;
        std::deque<BlockedChange> journal;
        std::uint64_t journal_start = 0;
        void Change(std::string address, bool in);
        bool ChangesSince(std::uint64_t since, std::vector<BlockedChange>& changes) const;
        // Changes the set into `now`, one address at a time through the journal.
        void Become(const std::set<std::string, std::less<>>& now);
    };
    JournaledSet blocked_;
    JournaledSet allowed_;
    bool index_stale_ = true;
    struct Watch;
    std::unique_ptr<Watch> watch_;
};

}  // namespace velmor::rules
