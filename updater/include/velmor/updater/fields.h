#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::updater {

// Fields live in 1024-byte buffers: a value of 1024 bytes or more is refused and reads as empty.
inline constexpr std::size_t kMaxFieldBytes = 1023;

// The bracket rule of the hand-over file and the update page: field N is the text between the Nth
// '[' of `text` and the first ']' after it. A missing '[' or ']' gives an empty field, and a '['
// inside a field still counts towards the numbering of the later fields. Returns `count` fields.
std::vector<std::string> ExtractBracketFields(std::string_view text, std::size_t count);

// The hand-over file is one line of seven fields of at most 1023 bytes each; a file larger than
// this is not a hand-over and is not read at all.
inline constexpr std::size_t kMaxHandOverBytes = 8 * 1024;

// The six values the updater takes from the hand-over file (fields 2 to 7; field 1, the product id,
// is not read).
struct HandOver {
    std::string target_folder;       // TargetFolder
    std::string tool_folder;         // ToolFolder
    std::string package_path;        // PackagePath
    std::string current_version;     // CurrentVersion
    std::string info_url;            // InfoUrl
    std::string main_window_handle;  // MainWindowHandle, decimal text
};

// nullopt when any of the six values is empty (the updater then ends without a window).
[[nodiscard]] std::optional<HandOver> ParseHandOver(std::string_view file_bytes);

// Reads the hand-over file at `path`: a regular file of at most kMaxHandOverBytes (a link, a FIFO
// or an endless device is no hand-over), its text in the system's code page. nullopt when it cannot
// be read or holds no hand-over.
[[nodiscard]] std::optional<HandOver> ReadHandOver(const std::filesystem::path& path);

// The values of the update-information page.
struct UpdatePage {
    std::string label;         // a version or build label; must not be empty
    std::string package_url;   // PackageUrl
    std::string package_size;  // PackageSize, decimal text
    // The fourth value: base64 of the Ed25519 signature of the package file. It may be empty here;
    // the updater then refuses the update once the user has agreed.
    std::string signature;
};

// The page as the server sent it. CR and LF are dropped first; the text must then be non-empty and
// hold "<!--" somewhere. Brackets are counted from the start of the text, not from the marker.
// nullopt when the page does not describe an update (one of the first three values is empty).
[[nodiscard]] std::optional<UpdatePage> ParseUpdatePage(std::string_view page);

}  // namespace velmor::updater
