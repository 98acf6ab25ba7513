#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "velmor/platform/native_handle.h"

namespace velmor::platform {

// Files that only their owner may read or write (mode 0600): settings holding secrets, journals.
// Neither follows a symbolic link at the file itself.

// Writes `contents` to a new file beside `path`, flushes it to disk and renames it over `path`, so a
// reader sees the old file or the new one, never a piece. False when any step failed (the old file
// is then untouched).
[[nodiscard]] bool WritePrivateFile(const std::filesystem::path& path, std::string_view contents);

// A file that is only appended to, created with mode 0600 (an existing file is set to 0600).
class PrivateAppendFile final {
public:
    static std::optional<PrivateAppendFile> Open(const std::filesystem::path& path);

    [[nodiscard]] bool Append(std::string_view bytes);
    // Flushes what was appended to the disk.
    [[nodiscard]] bool Sync();

    PrivateAppendFile(PrivateAppendFile&& other) noexcept;
    PrivateAppendFile& operator=(PrivateAppendFile&& other) noexcept;
    PrivateAppendFile(const PrivateAppendFile&) = delete;
    PrivateAppendFile& operator=(const PrivateAppendFile&) = delete;
    ~PrivateAppendFile();

private:
    explicit PrivateAppendFile(NativeHandle descriptor) : descriptor_(descriptor) {}
    NativeHandle descriptor_ = kNoNativeHandle;
};

}  // namespace velmor::platform
