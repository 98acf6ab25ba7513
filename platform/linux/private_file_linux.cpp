#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>

#include "velmor/platform/private_file.h"

namespace velmor::platform {
namespace {

bool WriteAll(int descriptor, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

bool WritePrivateFile(const std::filesystem::path& path, std::string_view contents) {
    static thread_local std::mt19937_64 random_source{std::random_device{}()};
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    const std::filesystem::path temporary =
        folder / ("." + path.filename().string() + ".new-" + std::to_string(random_source()));
    const int descriptor =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) return false;
    // The umask may only take bits away; set the mode outright so the file is never wider than 0600.
    bool ok = ::fchmod(descriptor, 0600) == 0 && WriteAll(descriptor, contents) && ::fsync(descriptor) == 0;
    ok = ::close(descriptor) == 0 && ok;
    if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int folder_descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_descriptor >= 0) {
        ::fsync(folder_descriptor);
        ::close(folder_descriptor);
    }
    return true;
}

std::optional<PrivateAppendFile> PrivateAppendFile::Open(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || ::fchmod(descriptor, 0600) != 0) {
        ::close(descriptor);
        return std::nullopt;
    }
    return PrivateAppendFile(descriptor);
}

bool PrivateAppendFile::Append(std::string_view bytes) {
    return descriptor_ >= 0 && WriteAll(descriptor_, bytes);
}

bool PrivateAppendFile::Sync() {
    return descriptor_ >= 0 && ::fdatasync(descriptor_) == 0;
}

PrivateAppendFile::PrivateAppendFile(PrivateAppendFile&& other) noexcept : descriptor_(other.descriptor_) {
    other.descriptor_ = -1;
}

PrivateAppendFile& PrivateAppendFile::operator=(PrivateAppendFile&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) ::close(descriptor_);
        descriptor_ = other.descriptor_;
        other.descriptor_ = -1;
    }
    return *this;
}

PrivateAppendFile::~PrivateAppendFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

}  // namespace velmor::platform
