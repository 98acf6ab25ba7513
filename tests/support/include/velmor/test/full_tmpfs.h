#pragma once

#include <filesystem>
#include <string>

namespace velmor::test {

// A small tmpfs mounted on a folder of the test's own, for tests of what a full disk does to the
// programs' writes. Needs root. The test process first moves into a mount namespace of its own when
// it can (so a crashed test leaves no mount behind); the folder is unmounted at the end in any case.
class FullTmpfs final {
public:
    // Creates `folder` when it is missing and mounts a tmpfs of 64 KiB on it.
    explicit FullTmpfs(std::filesystem::path folder);
    ~FullTmpfs();
    FullTmpfs(const FullTmpfs&) = delete;
    FullTmpfs& operator=(const FullTmpfs&) = delete;

    // Empty when the tmpfs is mounted, else why not.
    const std::string& error() const { return error_; }
    const std::filesystem::path& path() const { return folder_; }

    // Fills the file system to its last byte with a hidden filler file: from then on every write
    // of data fails with ENOSPC (new empty files can still be made). False when it could not.
    bool Fill();

private:
    std::filesystem::path folder_;
    std::string error_;
    bool mounted_ = false;
};

}  // namespace velmor::test
