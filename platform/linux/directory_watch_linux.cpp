#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "velmor/platform/directory_watch.h"

namespace velmor::platform {
namespace {

class InotifyWatch final : public DirectoryWatch {
public:
    explicit InotifyWatch(int fd) : fd_(fd) {}
    ~InotifyWatch() override { ::close(fd_); }
    InotifyWatch(const InotifyWatch&) = delete;
    InotifyWatch& operator=(const InotifyWatch&) = delete;

    DirectoryChanges TakeChangedNames() override {
        DirectoryChanges changes;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN) break;
                alive_ = false;
                break;
            }
            if (n == 0) break;
            for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) alive_ = false;
                // The queue was full: events are lost, and nothing says which.
                if (event->mask & IN_Q_OVERFLOW) changes.everything = true;
                if (event->len > 0) changes.names.emplace_back(event->name);  // NUL-padded by the kernel
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        if (!alive_) changes.everything = true;
        return changes;
    }

    bool Alive() const override { return alive_; }

private:
    int fd_;
    bool alive_ = true;
};

}  // namespace

std::unique_ptr<DirectoryWatch> WatchDirectory(const std::filesystem::path& folder) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return nullptr;
    const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                          IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (::inotify_add_watch(fd, folder.c_str(), mask) < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<InotifyWatch>(fd);
}

}  // namespace velmor::platform
