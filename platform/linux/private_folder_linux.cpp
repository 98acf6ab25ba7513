#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "velmor/platform/private_folder.h"

namespace velmor::platform {
namespace {

// Creates `folder` if it is missing and checks it through a descriptor that did not follow a
// link, so the checks and the fix apply to the folder itself.
bool EnsurePrivate(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::getuid();
    if (ok && (status.st_mode & 077) != 0) ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::optional<std::filesystem::path> UserPrivateFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') {
        std::filesystem::path folder = std::filesystem::path(runtime) / "velmor";
        if (EnsurePrivate(folder)) return folder;
        return std::nullopt;
    }
    // /tmp is shared: another user may have taken the first name (the sticky bit keeps ours from
    // being removed once we have it). Every program of this user tries the same names in order.
    const std::string base = "/tmp/velmor-" + std::to_string(::getuid());
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::filesystem::path folder = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        if (EnsurePrivate(folder)) return folder;
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> UserConfigFolder() {
    std::filesystem::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        base = std::filesystem::path(home) / ".config";
    } else {
        return std::nullopt;
    }
    std::error_code error;
    std::filesystem::create_directories(base, error);
    std::filesystem::path folder = base / "velmor";
    if (EnsurePrivate(folder)) return folder;
    return std::nullopt;
}

}  // namespace velmor::platform
