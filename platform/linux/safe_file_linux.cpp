#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "velmor/platform/safe_file.h"

namespace velmor::platform {
namespace {

// O_NONBLOCK only keeps the open itself from waiting (a FIFO without a peer); a regular file is
// then used in blocking mode as usual.
std::FILE* AdoptRegular(int fd, const char* mode) {
    if (fd < 0) return nullptr;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, mode);
    if (file == nullptr) ::close(fd);
    return file;
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
    for (;;) {
        const int fd = ::open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

}  // namespace

std::FILE* OpenRegularForReading(const std::filesystem::path& path) {
    return AdoptRegular(OpenRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY),
                        "rb");
}

std::FILE* OpenRegularForWriting(const std::filesystem::path& path, bool exclusive) {
    // Truncation waits until the file is known to be a regular file: O_TRUNC on whatever sits at
    // the name could empty a device or block on a FIFO.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (exclusive) flags |= O_EXCL;
    const int fd = OpenRetrying(path.c_str(), flags, 0666);
    std::FILE* file = AdoptRegular(fd, "wb");
    if (file != nullptr && ::ftruncate(::fileno(file), 0) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool IsRegularEntry(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace velmor::platform
