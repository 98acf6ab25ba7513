#pragma once

#include <filesystem>
#include <memory>

namespace velmor::platform {

// Tells whether anything in one folder (files created, written, renamed, deleted) changed.
class DirectoryWatch {
public:
    virtual ~DirectoryWatch() = default;
    // True when a change happened since the last call, or when the watch can no longer tell (the
    // folder went away, events were lost). Never blocks.
    virtual bool TakeChanges() = 0;
    // False once the folder itself is gone; the owner then makes a new watch.
    virtual bool Alive() const = 0;
};

// nullptr when the folder cannot be watched (for example because it does not exist yet).
std::unique_ptr<DirectoryWatch> WatchDirectory(const std::filesystem::path& folder);

}  // namespace velmor::platform
