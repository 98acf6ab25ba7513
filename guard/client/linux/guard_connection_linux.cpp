#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "guard_connection.h"
#include "velmor/guard/guard_link.h"

namespace velmor::guard {
namespace {

// The guard answers at once; a guard that hangs must not hang the monitor's tick for long.
constexpr int kReplyTimeoutMs = 2000;
// A change of the guard's nftables sets: nft reads every interval set of the namespace before each,
// which takes seconds on a loaded machine once the shared sets hold tens of thousands of ranges.
// Giving up would hang up, and a guard whose last client hangs up lets go of every block.
constexpr int kSetChangeReplyTimeoutMs = 20000;

bool ChangesSets(Op op) {
    return op == Op::UpdateShared || op == Op::UpdateBlocked || op == Op::SetBlockInternet;
}
constexpr std::size_t kReadChunk = 64 * 1024;

}  // namespace

bool GuardConnection::Open() {
    Close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    connected_ = true;
    return true;
}

void GuardConnection::TakeOver(GuardConnection& other) {
    if (fd_ >= 0 && other.fd_ >= 0) {
        ::dup3(other.fd_, fd_, O_CLOEXEC);
        ::close(other.fd_);
    } else {
        Close();
        fd_ = other.fd_;
    }
    connected_ = other.connected_;
    buffer_ = std::move(other.buffer_);
    other.fd_ = -1;
    other.connected_ = false;
    other.buffer_.clear();
}

void GuardConnection::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_ = false;
    buffer_.clear();
}

void GuardConnection::Quiet() {
    connected_ = false;
    buffer_.clear();
    if (fd_ < 0) return;
    const int quiet = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (quiet >= 0) {
        ::dup3(quiet, fd_, O_CLOEXEC);
        ::close(quiet);
    }
}

bool GuardConnection::RoundTrip(const Request& request, Reply& reply, int* descriptor, bool frames_follow) {
    if (!connected_) return false;
    // A guard that knows not the request's version answers that in a reply of its own making.
    const int timeout_ms = ChangesSets(request.op) ? kSetChangeReplyTimeoutMs : kReplyTimeoutMs;
    if (!SendAll(EncodeRequest(request)) || !ReceiveReply(reply, descriptor, frames_follow, timeout_ms) ||
        (reply.op != request.op && reply.result != Result::UnsupportedVersion)) {
        Close();
        return false;
    }
    return true;
}

bool GuardConnection::Readable() const {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && p.revents != 0;
}

GuardConnection::Read GuardConnection::ReadSome() {
    std::uint8_t chunk[kReadChunk];
    while (true) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::kNothing;
        if (n <= 0) return Read::kEnded;
        buffer_.insert(buffer_.end(), chunk, chunk + n);
        return Read::kSome;
    }
}

bool GuardConnection::SendAll(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool GuardConnection::ReceiveReply(Reply& reply, int* descriptor, bool frames_follow, int timeout_ms) {
    while (true) {
        std::size_t consumed = 0;
        const ParseStatus status = ParseReply(buffer_, reply, consumed);
        if (status == ParseStatus::Complete) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
            return true;
        }
        if (status != ParseStatus::Incomplete) return false;
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        std::uint8_t chunk[512];
        std::size_t want = sizeof chunk;
        if (frames_follow) {
            // The header first, then exactly the rest of its frame.
            want = kHeaderSize - std::min(buffer_.size(), kHeaderSize);
            if (want == 0) {
                const std::size_t length = FrameLength(buffer_);
                if (length <= buffer_.size()) return false;
                want = length - buffer_.size();
            }
        }
        iovec part{chunk, std::min(want, sizeof chunk)};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        for (cmsghdr* h = CMSG_FIRSTHDR(&message); h != nullptr; h = CMSG_NXTHDR(&message, h)) {
            if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS) continue;
            int passed = -1;
            std::memcpy(&passed, CMSG_DATA(h), sizeof passed);
            // Only the bait request expects one; any other is closed at once.
            if (descriptor != nullptr && *descriptor < 0) {
                *descriptor = passed;
            } else {
                ::close(passed);
            }
        }
        buffer_.insert(buffer_.end(), chunk, chunk + n);
    }
}

void CloseDescriptor(int descriptor) {
    if (descriptor >= 0) ::close(descriptor);
}

}  // namespace velmor::guard
