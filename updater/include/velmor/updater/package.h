#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/platform/program_launcher.h"
#include "velmor/updater/services.h"

namespace velmor::updater {

// The update package: a 260-byte header (directory offset, launch name), the zlib streams of the
// files, and a directory of 268-byte entries that runs to the end of the file. All integers are
// unsigned 32-bit little-endian; names are NUL-terminated bytes padded to their field width.
inline constexpr std::size_t kHeaderSize = 260;
inline constexpr std::size_t kLaunchNameWidth = 256;
inline constexpr std::size_t kEntrySize = 268;
inline constexpr std::size_t kNameWidth = 128;
inline constexpr std::size_t kMaxEntries = 1024;
// Built paths and commands live in 1024-byte buffers: at most 1023 bytes.
inline constexpr std::size_t kMaxPathBytes = 1023;

struct PackageHeader {
    std::uint32_t directory_offset = 0;
    // nullopt when the field holds no NUL: such a name has no end and is refused.
    std::optional<std::string> launch_name;
};

struct PackageEntry {
    std::uint32_t data_offset = 0;
    std::uint32_t unpacked_size = 0;
    std::uint32_t compressed_size = 0;
    std::optional<std::string> folder_name;
    std::optional<std::string> file_name;
};

// Decodes the header from the first bytes of a package; bytes past the end of `bytes` read as zero.
[[nodiscard]] PackageHeader ParseHeader(std::string_view bytes);

// Decodes the directory: `directory` is everything from DirectoryOffset to the end of the file.
// Only whole entries count, at most 1024; a partial entry and anything past the 1024th are ignored.
[[nodiscard]] std::vector<PackageEntry> ParseDirectory(std::string_view directory);

// The output buffer size of an entry: UnpackedSize + (UnpackedSize + 12) / 100 + 32, computed in
// unsigned 32-bit arithmetic (it wraps for sizes near 4 GiB, as the format defines it).
std::uint32_t OutputBufferSize(std::uint32_t unpacked_size);

// The parts of a stored name, split at '\' and '/' (both separate folders). nullopt when the name is
// refused: absolute, with a drive letter, climbing out with "..", or naming nothing.
std::optional<std::vector<std::string>> SplitStoredName(std::string_view name);

// target/folder/file (or target/file for an empty folder); nullopt when a name is refused or the
// path as the format builds it ("target\folder\file") would take 1024 bytes or more.
std::optional<std::filesystem::path> BuildOutputPath(const std::filesystem::path& target,
                                                     std::string_view folder, std::string_view file);

struct LaunchCommand {
    std::filesystem::path program;
    std::vector<std::string> arguments;
};

// The command to start after unpacking: the launch name split at blanks, its first word a program
// relative to `target`. nullopt when the name is empty, refused or the command too long.
std::optional<LaunchCommand> BuildLaunchCommand(const std::filesystem::path& target,
                                                std::string_view launch_name);

// Unpacks `package` into `target` and starts its launch command there, as the updater does after a
// download: wait 1000 ms, write every entry (create or truncate, an empty file when its stream
// fails), make `target` the current folder, start the command without waiting. Reports nothing.
void Unpack(const std::filesystem::path& package, const std::filesystem::path& target,
            Sleeper& sleeper = SystemSleeper(),
            platform::ProgramLauncher& starter = platform::SystemLauncher());

// What Unpack did, for tests and tools that want to know.
struct UnpackReport {
    int written = 0;  // entries inflated and written whole
    int emptied = 0;  // entries whose file was created but left empty
    int skipped = 0;  // entries refused or whose file could not be created
    bool started = false;
};
UnpackReport UnpackWithReport(const std::filesystem::path& package, const std::filesystem::path& target,
                              Sleeper& sleeper, platform::ProgramLauncher& starter);

}  // namespace velmor::updater
