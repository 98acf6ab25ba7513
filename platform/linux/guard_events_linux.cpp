#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "velmor/platform/guard_events.h"

namespace velmor::platform {
namespace {

constexpr int kReplyTimeoutMs = 2000;
constexpr std::size_t kReadChunk = 64 * 1024;

class UnixGuardEventStream final : public GuardEventStream {
public:
    explicit UnixGuardEventStream(std::string path) : path_(std::move(path)) {}
    ~UnixGuardEventStream() override {
        if (fd_ >= 0) ::close(fd_);
    }
    UnixGuardEventStream(const UnixGuardEventStream&) = delete;
    UnixGuardEventStream& operator=(const UnixGuardEventStream&) = delete;

    bool Subscribe() override {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        bool ok = !path_.empty() && path_.size() < sizeof address.sun_path;
        if (ok) {
            std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
            ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        }
        std::vector<std::uint8_t> buffer;
        if (ok) ok = SendRequest(fd) && ReadReply(fd, buffer);
        if (!ok || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
            ::close(fd);
            return false;
        }
        // The descriptor number stays the same across subscriptions, so whoever watches it keeps
        // watching the right thing.
        if (fd_ >= 0) {
            ::dup3(fd, fd_, O_CLOEXEC);
            ::close(fd);
        } else {
            fd_ = fd;
        }
        buffer_ = std::move(buffer);
        live_ = true;
        return true;
    }

    bool Live() const override { return live_; }
    int Fd() const override { return fd_; }

    Taken Take(std::vector<guard::EventRecord>* events) override {
        Taken taken;
        if (!live_) {
            taken.hung_up = true;
            return taken;
        }
        while (true) {
            if (!ParseBuffered(taken, events)) return HangUp(taken);
            std::uint8_t chunk[kReadChunk];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return taken;
            if (n <= 0) return HangUp(taken);
            buffer_.insert(buffer_.end(), chunk, chunk + n);
        }
    }

private:
    bool SendRequest(int fd) {
        guard::Request request;
        request.op = guard::Op::Subscribe;
        // Event frames are the same in every version: the oldest reaches every guard.
        request.version = guard::kOldestProtocolVersion;
        const std::vector<std::uint8_t> bytes = guard::EncodeRequest(request);
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Waits for the reply to Subscribe.
    static bool ReadReply(int fd, std::vector<std::uint8_t>& buffer) {
        while (true) {
            guard::Reply reply;
            std::size_t consumed = 0;
            const guard::ParseStatus status = guard::ParseReply(buffer, reply, consumed);
            if (status == guard::ParseStatus::Complete) {
                buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
                return reply.op == guard::Op::Subscribe && reply.result == guard::Result::Ok;
            }
            if (status != guard::ParseStatus::Incomplete) return false;
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, kReplyTimeoutMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            // Exactly the reply's bytes: events behind it stay in the socket, so that its descriptor
            // is readable for them.
            std::size_t want = guard::kHeaderSize - std::min(buffer.size(), guard::kHeaderSize);
            if (want == 0) {
                const std::size_t length = guard::FrameLength(buffer);
                if (length == 0) return false;
                want = length - buffer.size();
            }
            std::uint8_t chunk[512];
            const ssize_t n = ::recv(fd, chunk, std::min(want, sizeof chunk), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer.insert(buffer.end(), chunk, chunk + n);
        }
    }

    // Takes every whole frame in the buffer; false on one that is not an event frame.
    bool ParseBuffered(Taken& taken, std::vector<guard::EventRecord>* events) {
        std::size_t at = 0;
        bool ok = true;
        while (at < buffer_.size()) {
            guard::EventBatch batch;
            std::size_t consumed = 0;
            const auto status =
                guard::ParseEvents(std::span<const std::uint8_t>(buffer_).subspan(at), batch, consumed);
            if (status == guard::ParseStatus::Incomplete) break;
            if (status != guard::ParseStatus::Complete) {
                ok = false;
                break;
            }
            at += consumed;
            taken.events += batch.events.size();
            taken.lost += batch.lost;
            if (events != nullptr) events->insert(events->end(), batch.events.begin(), batch.events.end());
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
        return ok;
    }

    Taken& HangUp(Taken& taken) {
        taken.hung_up = true;
        live_ = false;
        buffer_.clear();
        // An eventfd nobody writes to takes the number: never readable, so a level-triggered
        // watcher does not spin on the end of the stream, and the number is not reused meanwhile.
        const int quiet = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (quiet >= 0) {
            ::dup3(quiet, fd_, O_CLOEXEC);
            ::close(quiet);
        }
        return taken;
    }

    std::string path_;
    int fd_ = -1;
    bool live_ = false;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<GuardEventStream> MakeGuardEventStream(std::string socket_path) {
    return std::make_unique<UnixGuardEventStream>(std::move(socket_path));
}

}  // namespace velmor::platform
