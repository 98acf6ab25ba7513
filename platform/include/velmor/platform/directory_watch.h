#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace velmor::platform {

// What changed in a watched folder since the last take.
struct DirectoryChanges {
    // The names of the folder's entries that were created, written, renamed (either way) or deleted,
    // in the order the system told them; a name may come more than once.
    std::vector<std::string> names;
    // The names cannot tell everything (events were lost, the folder went away): whoever keeps a
    // picture of the folder reads it whole again.
    bool everything = false;
    bool Any() const { return everything || !names.empty(); }
};

// Tells what in one folder (files created, written, renamed, deleted) changed.
class DirectoryWatch {
public:
    virtual ~DirectoryWatch() = default;
    // The changes since the last call. Never blocks.
    virtual DirectoryChanges TakeChangedNames() = 0;
    // True when a change happened since the last call, or when the watch can no longer tell (the
    // folder went away, events were lost). Never blocks.
    bool TakeChanges() { return TakeChangedNames().Any(); }
    // False once the folder itself is gone; the owner then makes a new watch.
    virtual bool Alive() const = 0;
};

// nullptr when the folder cannot be watched (for example because it does not exist yet).
std::unique_ptr<DirectoryWatch> WatchDirectory(const std::filesystem::path& folder);

}  // namespace velmor::platform
