#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "velmor/platform/mailbox.h"
#include "velmor/platform/private_folder.h"

namespace velmor::platform {
namespace {

constexpr WindowHandle kHandleLimit = WindowHandle{1} << 31;
constexpr int kWindowsPerProcess = 63;

// Rotates through the process's 63 window numbers, so a handle that was just closed is not handed
// out again at once (a late poster would otherwise reach the wrong window).
std::atomic<unsigned> next_window_number{0};

using Clock = std::chrono::steady_clock;
using Nanoseconds = std::chrono::nanoseconds;

// A post to a full queue waits this long for the receiver to make room (a window reads its queue
// many times a millisecond; a datagram queue holds only net.unix.max_dgram_qlen messages, 10 by
// default, against the thousands of a Windows queue).
constexpr Nanoseconds kPostPatience = std::chrono::milliseconds(10);
// All the waits of this process that ended without room together take at most this long, so a
// receiver that stops reading costs a poster one second in all, not ten milliseconds per post.
std::atomic<Nanoseconds::rep> post_patience_left{Nanoseconds(std::chrono::seconds(1)).count()};

bool ValidHandle(WindowHandle handle) {
    return handle > 0 && handle < kHandleLimit;
}

// The socket file "hwnd-H" in the user's private folder. Only the user can enter that folder, so
// no other user can connect or send to a mailbox at all (abstract names are open to everyone).
bool MailboxAddress(WindowHandle handle, sockaddr_un& address, socklen_t& length) {
    const std::filesystem::path file = MailboxSocketFile(handle);
    if (file.empty() || file.native().size() >= sizeof address.sun_path) return false;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, file.c_str(), file.native().size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + file.native().size() + 1);
    return true;
}

class FileDescriptor final {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

int NewDatagramSocket() {
    return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void Encode(const WindowMessage& message, unsigned char (&bytes)[kWindowMessageSize]) {
    const std::int32_t zero = 0;
    std::memcpy(bytes, &message.message, 4);
    std::memcpy(bytes + 4, &zero, 4);
    std::memcpy(bytes + 8, &message.wParam, 8);
    std::memcpy(bytes + 16, &message.lParam, 8);
}

WindowMessage Decode(const unsigned char* bytes) {
    WindowMessage message;
    std::memcpy(&message.message, bytes, 4);
    std::memcpy(&message.wParam, bytes + 8, 8);
    std::memcpy(&message.lParam, bytes + 16, 8);
    return message;
}

class LinuxMailbox final : public Mailbox {
public:
    LinuxMailbox(int fd, WindowHandle handle, std::string file)
        : fd_(fd), handle_(handle), file_(std::move(file)) {
        struct stat status {};
        if (::lstat(file_.c_str(), &status) == 0) {
            device_ = status.st_dev;
            inode_ = status.st_ino;
        }
    }
    ~LinuxMailbox() override {
        // Only our own socket file goes: a later mailbox of the same handle may have replaced it.
        struct stat status {};
        if (::lstat(file_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_) {
            ::unlink(file_.c_str());
        }
    }
    LinuxMailbox(const LinuxMailbox&) = delete;
    LinuxMailbox& operator=(const LinuxMailbox&) = delete;

    WindowHandle Handle() const override { return handle_; }
    int NativeDescriptor() const override { return fd_.get(); }

    std::optional<WindowMessage> Receive() override {
        for (;;) {
            // One byte more than a message, so a longer datagram shows as truncated.
            unsigned char bytes[kWindowMessageSize + 1];
            alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(ucred))];
            iovec vector{bytes, sizeof bytes};
            msghdr header{};
            header.msg_iov = &vector;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            const ssize_t length = ::recvmsg(fd_.get(), &header, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
            if (length < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;  // EAGAIN: the queue is empty
            }
            if (length == static_cast<ssize_t>(kWindowMessageSize) && (header.msg_flags & MSG_CTRUNC) == 0 &&
                FromSameUser(header)) {
                return Decode(bytes);
            }
            // Anything else is dropped; look at the next datagram.
        }
    }

private:
    // The kernel attaches the sender's credentials to every datagram because SO_PASSCRED is on.
    static bool FromSameUser(msghdr& header) {
        for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr; item = CMSG_NXTHDR(&header, item)) {
            if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_CREDENTIALS &&
                item->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
                ucred credentials;
                std::memcpy(&credentials, CMSG_DATA(item), sizeof credentials);
                return credentials.uid == ::getuid();
            }
        }
        return false;
    }

    FileDescriptor fd_;
    WindowHandle handle_;
    std::string file_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// True when a socket file is left by a mailbox that no longer runs: nothing accepts on it.
bool IsStaleSocketFile(const sockaddr_un& address, socklen_t length) {
    struct stat status {};
    if (::lstat(address.sun_path, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
    FileDescriptor probe(NewDatagramSocket());
    if (probe.get() < 0) return false;
    int result = 0;
    do {
        result = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), length);
    } while (result != 0 && errno == EINTR);
    return result != 0 && errno == ECONNREFUSED;
}

}  // namespace

std::filesystem::path MailboxSocketFile(WindowHandle handle) {
    if (!ValidHandle(handle)) return {};
    const auto folder = UserPrivateFolder();
    if (!folder) return {};
    return *folder / ("hwnd-" + std::to_string(handle));
}

bool PostWindowMessage(WindowHandle handle, const WindowMessage& message) {
    if (!ValidHandle(handle)) return false;
    // A blocking socket: only a blocking send waits for room in the receiver's queue.
    FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return false;
    sockaddr_un address;
    socklen_t address_length = 0;
    if (!MailboxAddress(handle, address, address_length)) return false;
    unsigned char bytes[kWindowMessageSize];
    Encode(message, bytes);
    const auto start = Clock::now();
    const auto deadline = start + std::min(kPostPatience, Nanoseconds(post_patience_left.load()));
    for (;;) {
        const auto now = Clock::now();
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        // A zero SO_SNDTIMEO would mean no limit at all, so no patience left is a send that never waits.
        int flags = MSG_NOSIGNAL;
        if (wait.count() <= 0) {
            flags |= MSG_DONTWAIT;
        } else {
            const timeval limit{static_cast<time_t>(wait.count() / 1'000'000),
                                static_cast<suseconds_t>(wait.count() % 1'000'000)};
            if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) return false;
        }
        const ssize_t sent = ::sendto(fd.get(), bytes, sizeof bytes, flags,
                                      reinterpret_cast<const sockaddr*>(&address), address_length);
        if (sent == static_cast<ssize_t>(sizeof bytes)) return true;
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The receiver made no room in time: that wait comes off the process's patience.
            post_patience_left.fetch_sub(Nanoseconds(Clock::now() - start).count());
        }
        return false;  // ECONNREFUSED: no such mailbox; EAGAIN: its queue stayed full
    }
}

bool IsWindow(WindowHandle handle) {
    if (!ValidHandle(handle)) return false;
    FileDescriptor fd(NewDatagramSocket());
    if (fd.get() < 0) return false;
    sockaddr_un address;
    socklen_t address_length = 0;
    if (!MailboxAddress(handle, address, address_length)) return false;
    // Connecting a datagram socket only looks the name up; nothing is sent and nothing waits.
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), address_length) == 0)
            return true;
        if (errno != EINTR) return false;
    }
}

std::unique_ptr<Mailbox> OpenMailbox() {
    const WindowHandle base = static_cast<WindowHandle>(::getpid()) * 64;
    for (int attempt = 0; attempt < kWindowsPerProcess; ++attempt) {
        const WindowHandle handle = base + 1 + next_window_number.fetch_add(1) % kWindowsPerProcess;
        if (!ValidHandle(handle)) return nullptr;
        FileDescriptor fd(NewDatagramSocket());
        if (fd.get() < 0) return nullptr;
        // Credentials must be on before the name exists, or an early datagram would arrive without them.
        const int on = 1;
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return nullptr;
        sockaddr_un address;
        socklen_t address_length = 0;
        if (!MailboxAddress(handle, address, address_length)) return nullptr;
        const auto bind_here = [&] {
            return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), address_length) == 0;
        };
        if (bind_here()) return std::make_unique<LinuxMailbox>(fd.release(), handle, address.sun_path);
        if (errno != EADDRINUSE) return nullptr;
        // The file of a mailbox whose process ended (killed, so it could not remove it) is gone
        // for every purpose; an earlier process of the same id may have left it.
        if (IsStaleSocketFile(address, address_length) && ::unlink(address.sun_path) == 0 && bind_here()) {
            return std::make_unique<LinuxMailbox>(fd.release(), handle, address.sun_path);
        }
    }
    return nullptr;
}

}  // namespace velmor::platform
