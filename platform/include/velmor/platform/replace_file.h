#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "velmor/platform/native_handle.h"

namespace velmor::platform {

// A folder held open by descriptor. Folders below it are reached one name at a time and never
// through a symbolic link, so a link planted inside a tree cannot send a write outside it.
class FolderHandle final {
public:
    // Opens `path` itself; links in `path` are followed, as it is the folder the caller names.
    static std::optional<FolderHandle> Open(const std::filesystem::path& path);

    // Opens the folder `name` (one name, no separator) inside this one without following a link.
    // With `create`, a missing folder is made first (one level). nullopt when `name` is a link, not
    // a folder, or cannot be opened or made.
    std::optional<FolderHandle> Child(const std::string& name, bool create) const;

    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    ~FolderHandle();

    // The open folder: a descriptor on Linux, a directory handle on Windows (which also keeps the
    // folder from being renamed or removed while it is open).
    NativeHandle descriptor() const { return descriptor_; }

private:
    explicit FolderHandle(NativeHandle descriptor) : descriptor_(descriptor) {}
    NativeHandle descriptor_ = kNoNativeHandle;
};

// A new file written beside the file `name` of a folder and renamed over it by Commit, in the same
// folder. A running program or an open reader of the old file keeps the old inode, and until the
// rename the old file stays whole. Never written through a link: the new file is created
// exclusively, and the rename replaces a link at `name` instead of following it. A file that is not
// committed is removed again.
class ReplacementFile final {
public:
    // Creates the new file. It takes the permission bits of the old file when that is a regular
    // file, else the default mode (0666 less the umask); owner and set-id bits are not carried over.
    static std::optional<ReplacementFile> Create(const FolderHandle& folder, const std::string& name);

    [[nodiscard]] bool Write(const void* data, std::size_t size);
    // Drops everything written so far.
    [[nodiscard]] bool Truncate();
    // Adds the execute permission wherever the file can be read.
    void MarkExecutable();
    // Closes the file and renames it over `name`. False when a write, the close or the rename
    // failed; the new file is then removed and the old one is untouched.
    [[nodiscard]] bool Commit();

    ReplacementFile(ReplacementFile&& other) noexcept;
    ReplacementFile& operator=(ReplacementFile&&) = delete;
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile();

private:
    ReplacementFile(NativeHandle folder, NativeHandle descriptor, std::string name, std::string temporary)
        : folder_(folder),
          descriptor_(descriptor),
          name_(std::move(name)),
          temporary_(std::move(temporary)) {}
    void Discard();

    NativeHandle folder_ = kNoNativeHandle;  // borrowed from the FolderHandle, which must outlive this file
    NativeHandle descriptor_ = kNoNativeHandle;
    std::string name_;
    std::string temporary_;
    bool write_failed_ = false;
};

// Reads a small file whole: only a regular file (a link, FIFO or device is refused, and opening
// never blocks), and only when it holds at most `limit` bytes. nullopt otherwise.
std::optional<std::string> ReadSmallRegularFile(const std::filesystem::path& path, std::size_t limit);

}  // namespace velmor::platform
