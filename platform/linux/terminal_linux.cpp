#include <unistd.h>

#include <cstdlib>

#include "velmor/platform/terminal.h"

namespace velmor::platform {
namespace {

bool IsExecutableFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<std::filesystem::path> FindExecutable(std::string_view name) {
    if (name.empty()) return std::nullopt;
    if (name.find('/') != std::string_view::npos) {
        std::filesystem::path path(name);
        if (IsExecutableFile(path)) return path;
        return std::nullopt;
    }
    const char* search = std::getenv("PATH");
    // The same default search path the C library uses when PATH is unset.
    std::string_view folders = search != nullptr ? search : "/bin:/usr/bin";
    while (true) {
        const auto colon = folders.find(':');
        std::string_view folder = folders.substr(0, colon);
        // An empty element means the current folder, as in the shell.
        std::filesystem::path candidate =
            folder.empty() ? std::filesystem::path(".") : std::filesystem::path(folder);
        candidate /= name;
        if (IsExecutableFile(candidate)) return candidate;
        if (colon == std::string_view::npos) break;
        folders.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

std::optional<std::string> EnvironmentValue(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace velmor::platform
