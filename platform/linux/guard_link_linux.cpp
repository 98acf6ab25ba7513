#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "velmor/platform/address_text.h"
#include "velmor/platform/guard_link.h"

namespace velmor::platform {
namespace {

// The guard answers at once; a guard that hangs must not hang the monitor's tick for long.
constexpr int kReplyTimeoutMs = 2000;

guard::ConnectionId ToWire(const SocketId& id) {
    guard::ConnectionId wire;
    wire.family = id.family;
    wire.source_port_be = id.source_port_be;
    wire.destination_port_be = id.destination_port_be;
    std::memcpy(wire.source.data(), id.source, sizeof id.source);
    std::memcpy(wire.destination.data(), id.destination, sizeof id.destination);
    wire.interface_index = id.interface_index;
    std::memcpy(wire.cookie.data(), id.cookie, sizeof id.cookie);
    return wire;
}

void ToAddresses(std::span<const std::string> texts, std::vector<guard::Address>& out) {
    for (const std::string& text : texts) {
        guard::Address address;
        if (guard::ParseAddress(text, address)) out.push_back(address);
    }
}

class UnixGuardLink final : public GuardLink {
public:
    explicit UnixGuardLink(std::string path) : path_(std::move(path)) {}
    ~UnixGuardLink() override { Disconnect(); }
    UnixGuardLink(const UnixGuardLink&) = delete;
    UnixGuardLink& operator=(const UnixGuardLink&) = delete;

    bool Connect() override {
        hung_up_on_us_ = false;
        // The newest version first; a guard that knows it not says so and hangs up, and the one
        // before is tried on a new connection.
        for (int version = guard::kProtocolVersion; version >= guard::kOldestProtocolVersion; --version) {
            if (!Open()) return false;
            version_ = static_cast<std::uint8_t>(version);
            guard::Request request;
            request.op = guard::Op::Status;
            guard::Reply reply;
            // A guard that refuses us closes the connection unread: the status request then fails.
            if (!RoundTrip(request, reply, nullptr)) {
                hung_up_on_us_ = true;
                return false;
            }
            if (reply.result == guard::Result::Ok) return true;
            Disconnect();
            if (reply.result != guard::Result::UnsupportedVersion) return false;
        }
        return false;
    }

    bool Refused() const override { return hung_up_on_us_; }

    bool Connected() const override { return fd_ >= 0; }

    bool HungUp() override {
        if (fd_ < 0) return true;
        pollfd p{fd_, POLLIN, 0};
        // Nothing is due from the guard between requests: readable means it closed (or misbehaves).
        if (::poll(&p, 1, 0) > 0 && p.revents != 0) {
            Disconnect();
            return true;
        }
        return false;
    }

    std::optional<guard::GuardState> Status() override {
        guard::Request request;
        request.op = guard::Op::Status;
        guard::Reply reply;
        if (!RoundTrip(request, reply, nullptr) || reply.result != guard::Result::Ok) return std::nullopt;
        return reply.state;
    }

    bool TearDown(std::span<const SocketId> ids) override {
        guard::Request request;
        request.op = guard::Op::TearDown;
        for (std::size_t at = 0; at < ids.size(); at += guard::kMaxConnections) {
            request.connections.clear();
            const std::size_t end = std::min(ids.size(), at + guard::kMaxConnections);
            for (std::size_t i = at; i < end; ++i) request.connections.push_back(ToWire(ids[i]));
            guard::Reply reply;
            if (!RoundTrip(request, reply, nullptr) || reply.result != guard::Result::Ok) return false;
        }
        return true;
    }

    bool UpdateBlocked(bool clear, std::span<const std::string> add,
                       std::span<const std::string> remove) override {
        guard::Request request;
        request.op = guard::Op::UpdateBlocked;
        request.clear = clear;
        ToAddresses(add, request.add);
        ToAddresses(remove, request.remove);
        // Large changes go in pieces; only the first may empty the sets.
        std::vector<guard::Address> adds = std::move(request.add), removes = std::move(request.remove);
        std::size_t a = 0, r = 0;
        do {
            request.remove.assign(removes.begin() + static_cast<std::ptrdiff_t>(r),
                                  removes.begin() + static_cast<std::ptrdiff_t>(
                                                        std::min(removes.size(), r + guard::kMaxAddresses)));
            r += request.remove.size();
            const std::size_t room = guard::kMaxAddresses - request.remove.size();
            request.add.assign(adds.begin() + static_cast<std::ptrdiff_t>(a),
                               adds.begin() + static_cast<std::ptrdiff_t>(std::min(adds.size(), a + room)));
            a += request.add.size();
            guard::Reply reply;
            if (!RoundTrip(request, reply, nullptr) || reply.result != guard::Result::Ok) return false;
            for (const guard::RefusedAddress& refused : reply.refused) {
                IpAddress address;
                address.v6 = refused.address.family == guard::Address::Family::V6;
                address.bytes = refused.address.bytes;
                refused_.push_back({FormatIpAddress(address), refused.reason});
            }
            request.clear = false;
        } while (a < adds.size() || r < removes.size());
        return true;
    }

    std::vector<RefusedAddress> TakeRefused() override { return std::exchange(refused_, {}); }

    bool SetBlockInternet(bool on) override {
        guard::Request request;
        request.op = guard::Op::SetBlockInternet;
        request.on = on;
        guard::Reply reply;
        return RoundTrip(request, reply, nullptr) && reply.result == guard::Result::Ok;
    }

    int TakeBaitSocket() override {
        guard::Request request;
        request.op = guard::Op::BaitSocket;
        guard::Reply reply;
        int descriptor = -1;
        if (!RoundTrip(request, reply, &descriptor) || reply.result != guard::Result::Ok) {
            if (descriptor >= 0) ::close(descriptor);
            return -1;
        }
        return descriptor;
    }

private:
    bool Open() {
        Disconnect();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.empty() || path_.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            Disconnect();
            return false;
        }
        return true;
    }

    void Disconnect() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
    }

    bool SendAll(const std::vector<std::uint8_t>& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads until one whole reply frame is in; a passed descriptor is kept in `descriptor`.
    bool Receive(guard::Reply& reply, int* descriptor) {
        while (true) {
            std::size_t consumed = 0;
            const guard::ParseStatus status = guard::ParseReply(buffer_, reply, consumed);
            if (status == guard::ParseStatus::Complete) {
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
                return true;
            }
            if (status != guard::ParseStatus::Incomplete) return false;
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, kReplyTimeoutMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            std::uint8_t chunk[256];
            iovec part{chunk, sizeof chunk};
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

    bool RoundTrip(guard::Request request, guard::Reply& reply, int* descriptor) {
        if (fd_ < 0) return false;
        request.version = version_;
        if (!SendAll(guard::EncodeRequest(request)) || !Receive(reply, descriptor) ||
            reply.op != request.op) {
            Disconnect();
            return false;
        }
        return true;
    }

    std::string path_;
    int fd_ = -1;
    bool hung_up_on_us_ = false;
    std::vector<std::uint8_t> buffer_;
    // The version the guard of this connection speaks.
    std::uint8_t version_ = guard::kProtocolVersion;
    std::vector<RefusedAddress> refused_;
};

}  // namespace

std::string GuardSocketPath() {
    const char* value = std::getenv(kGuardSocketVariable);
    return value != nullptr && *value != '\0' ? std::string(value) : std::string(kDefaultGuardSocket);
}

std::unique_ptr<GuardLink> MakeGuardLink(std::string socket_path) {
    return std::make_unique<UnixGuardLink>(std::move(socket_path));
}

void CloseDescriptor(int descriptor) {
    if (descriptor >= 0) ::close(descriptor);
}

}  // namespace velmor::platform
