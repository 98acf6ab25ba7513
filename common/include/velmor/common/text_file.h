#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmor {

// The line ending of every text file the programs write, on every system.
inline constexpr std::string_view kCrLf = "\r\n";

// Every function here refuses a link at the file name itself and uses only regular files: a link
// is never followed (nothing is read or written through it), and a FIFO or device is never opened
// in a way that could wait.
//
// Texts are UTF-8 in the programs and in the system's 8-bit code page in the files
// (platform/system_text.h): on Linux both are UTF-8 and bytes pass as they are; on Windows the
// files are in the ANSI code page (949 on Korean Windows).

// Creates or truncates `path` and writes `line` in the system's code page followed by CR LF.
// Returns false when the file cannot be created or written; the file is closed in any case. Every
// failure of the functions that write leaves a line in the diagnostic trail (platform/diag.h).
[[nodiscard]] bool WriteLineFile(const std::filesystem::path& path, std::string_view line);

// Writes the text `content` in the system's code page to a temporary file beside `path` and renames
// it over `path`, so that a reader never sees a half-written file. Returns false (and leaves no temporary
// behind) on failure.
[[nodiscard]] bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content);

// Reads the first line of a text file in the system's code page: everything up to the first LF,
// without the LF and without one CR before it. An empty file gives an empty line; a missing or unreadable
// file gives nullopt.
[[nodiscard]] std::optional<std::string> ReadFirstLine(const std::filesystem::path& path);

// Reads a whole file as bytes; nullopt when it cannot be opened or read.
[[nodiscard]] std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

// True when `path` itself is a regular file (not a folder, FIFO or device, and not a link even to
// a regular file).
bool IsRegularFile(const std::filesystem::path& path);

}  // namespace velmor
