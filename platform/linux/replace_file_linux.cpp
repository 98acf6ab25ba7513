#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <random>

#include "velmor/platform/replace_file.h"

namespace velmor::platform {
namespace {

void CloseQuietly(int descriptor) {
    if (descriptor >= 0) ::close(descriptor);
}

std::string TemporaryName(const std::string& name) {
    static thread_local std::mt19937_64 random_source{std::random_device{}()};
    return "." + name + ".new-" + std::to_string(random_source());
}

}  // namespace

std::optional<FolderHandle> FolderHandle::Open(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    return FolderHandle(descriptor);
}

std::optional<FolderHandle> FolderHandle::Child(const std::string& name, bool create) const {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return std::nullopt;
    if (create && ::mkdirat(descriptor_, name.c_str(), 0777) != 0 && errno != EEXIST) return std::nullopt;
    // O_NOFOLLOW with O_DIRECTORY refuses a link to a folder as well as anything that is no folder.
    const int descriptor =
        ::openat(descriptor_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    return FolderHandle(descriptor);
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept : descriptor_(other.descriptor_) {
    other.descriptor_ = -1;
}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        CloseQuietly(descriptor_);
        descriptor_ = other.descriptor_;
        other.descriptor_ = -1;
    }
    return *this;
}

FolderHandle::~FolderHandle() {
    CloseQuietly(descriptor_);
}

std::optional<ReplacementFile> ReplacementFile::Create(const FolderHandle& folder, const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return std::nullopt;
    const int at = folder.descriptor();
    struct stat old {};
    const bool old_regular =
        ::fstatat(at, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
    // A few tries against a name that happens to exist already (a left-over of a crash).
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temporary = TemporaryName(name);
        const int descriptor =
            ::openat(at, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (descriptor < 0) {
            if (errno == EEXIST) continue;
            return std::nullopt;
        }
        if (old_regular) ::fchmod(descriptor, old.st_mode & 0777);
        return ReplacementFile(at, descriptor, name, std::move(temporary));
    }
    return std::nullopt;
}

bool ReplacementFile::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0 && !write_failed_) {
        const ssize_t written = ::write(descriptor_, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            write_failed_ = true;
            break;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return !write_failed_;
}

bool ReplacementFile::Truncate() {
    if (::ftruncate(descriptor_, 0) != 0 || ::lseek(descriptor_, 0, SEEK_SET) != 0) {
        write_failed_ = true;
        return false;
    }
    write_failed_ = false;
    return true;
}

void ReplacementFile::MarkExecutable() {
    struct stat now {};
    if (::fstat(descriptor_, &now) != 0) return;
    mode_t mode = now.st_mode & 0777;
    if (mode & S_IRUSR) mode |= S_IXUSR;
    if (mode & S_IRGRP) mode |= S_IXGRP;
    if (mode & S_IROTH) mode |= S_IXOTH;
    ::fchmod(descriptor_, mode);
}

bool ReplacementFile::Commit() {
    if (descriptor_ < 0) return false;
    // No fsync per file: it made an update of a thousand files take many seconds, and the rename
    // alone already keeps running programs and open readers on the whole old file.
    bool ok = !write_failed_;
    ok = ::close(descriptor_) == 0 && ok;
    descriptor_ = -1;
    // rename() replaces the directory entry: a link at `name` is replaced, never followed.
    if (ok && ::renameat(folder_, temporary_.c_str(), folder_, name_.c_str()) == 0) {
        temporary_.clear();
        return true;
    }
    Discard();
    return false;
}

void ReplacementFile::Discard() {
    CloseQuietly(descriptor_);
    descriptor_ = -1;
    if (!temporary_.empty()) ::unlinkat(folder_, temporary_.c_str(), 0);
    temporary_.clear();
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : folder_(other.folder_),
      descriptor_(other.descriptor_),
      name_(std::move(other.name_)),
      temporary_(std::move(other.temporary_)),
      write_failed_(other.write_failed_) {
    other.descriptor_ = -1;
    other.temporary_.clear();
}

ReplacementFile::~ReplacementFile() {
    Discard();
}

std::optional<std::string> ReadSmallRegularFile(const std::filesystem::path& path, std::size_t limit) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below anyway.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    struct stat info {};
    std::optional<std::string> content;
    if (::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::uint64_t>(info.st_size) <= limit) {
        std::string bytes(limit + 1, '\0');
        std::size_t got = 0;
        bool failed = false;
        // One byte more than the limit is asked for, so a file that grew since fstat is caught.
        while (got < bytes.size()) {
            const ssize_t n = ::read(descriptor, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failed = true;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (!failed && got <= limit) {
            bytes.resize(got);
            content = std::move(bytes);
        }
    }
    ::close(descriptor);
    return content;
}

}  // namespace velmor::platform
