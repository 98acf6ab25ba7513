#include "velmor/test/full_tmpfs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace velmor::test {
namespace {

// Once per process: a private copy of the mount table whose new mounts never reach the machine's.
// A process with threads cannot unshare it; the mount then lives in the shared table until the
// destructor takes it away.
void PrivateMountTableOnce() {
    static const bool done = [] {
        if (::unshare(CLONE_NEWNS) != 0) return false;
        return ::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == 0;
    }();
    static_cast<void>(done);
}

}  // namespace

FullTmpfs::FullTmpfs(std::filesystem::path folder) : folder_(std::move(folder)) {
    if (::geteuid() != 0) {
        error_ = "CANNOT RUN: mounting a tmpfs needs root";
        return;
    }
    std::error_code created;
    std::filesystem::create_directories(folder_, created);
    PrivateMountTableOnce();
    if (::mount("velmor-full", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k,mode=0755") != 0) {
        error_ = std::string("cannot mount a tmpfs on ") + folder_.string() + ": " + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

FullTmpfs::~FullTmpfs() {
    if (mounted_ && ::umount2(folder_.c_str(), MNT_DETACH) != 0)
        ADD_FAILURE() << "cannot unmount " << folder_ << ": " << std::strerror(errno);
}

bool FullTmpfs::Fill() {
    if (!mounted_) return false;
    const std::filesystem::path filler = folder_ / ".filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::vector<char> block(4096, 'f');
    bool full = false;
    // Whole pages first, then single bytes for whatever is left of the last one.
    for (const std::size_t size : {block.size(), std::size_t{1}}) {
        for (;;) {
            const ssize_t n = ::write(fd, block.data(), size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                full = errno == ENOSPC;
                break;
            }
        }
    }
    ::close(fd);
    return full;
}

}  // namespace velmor::test
