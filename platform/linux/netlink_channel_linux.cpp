#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "netlink_channel.h"
#include "velmor/platform/diag.h"

namespace velmor::platform::sockdiag {
namespace {

class KernelChannel final : public DatagramChannel {
public:
    KernelChannel(int protocol, ChannelOptions options) : protocol_(protocol), options_(options) {}
    ~KernelChannel() override { Close(); }
    KernelChannel(const KernelChannel&) = delete;
    KernelChannel& operator=(const KernelChannel&) = delete;

    bool Open() override {
        if (fd_ >= 0) return true;
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol_);
        if (fd_ < 0) return false;
        if (options_.receive_buffer != 0) {
            // A smaller buffer only means more reads of a big table.
            if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options_.receive_buffer,
                             sizeof options_.receive_buffer) != 0)
                DiagError("netlink", "SO_RCVBUF refused", errno);
        }
        // Error answers then carry only the header, not the whole request back.
        const int on = 1;
        if (::setsockopt(fd_, SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof on) != 0)
            DiagError("netlink", "NETLINK_CAP_ACK refused", errno);
        if (options_.receive_timeout_seconds != 0) {
            const timeval timeout{options_.receive_timeout_seconds, 0};
            if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
                DiagError("netlink", "SO_RCVTIMEO refused", errno);
        }
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            Close();
            return false;
        }
        return true;
    }

    void Close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    Transfer Send(std::span<const std::byte> datagram) override {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        Transfer result;
        result.length = ::sendto(fd_, datagram.data(), datagram.size(), 0,
                                 reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        if (result.length < 0) result.error = errno;
        return result;
    }

    Transfer Receive(std::span<std::byte> buffer, bool wait) override {
        sockaddr_nl sender{};
        iovec io{buffer.data(), buffer.size()};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        Transfer result;
        result.length = ::recvmsg(fd_, &header, wait ? 0 : MSG_DONTWAIT);
        if (result.length < 0) {
            result.error = errno;
            return result;
        }
        result.truncated = (header.msg_flags & MSG_TRUNC) != 0;
        result.sender = sender.nl_pid;
        return result;
    }

private:
    int protocol_;
    ChannelOptions options_;
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<DatagramChannel> MakeSockDiagChannel(ChannelOptions options) {
    return std::make_unique<KernelChannel>(NETLINK_SOCK_DIAG, options);
}

std::unique_ptr<DatagramChannel> MakeRouteChannel(ChannelOptions options) {
    return std::make_unique<KernelChannel>(NETLINK_ROUTE, options);
}

bool SendRequest(DatagramChannel& channel, std::span<const std::byte> request) {
    for (int retries = 0;; ++retries) {
        const Transfer sent = channel.Send(request);
        if (sent.length == static_cast<std::ptrdiff_t>(request.size())) return true;
        if (sent.length < 0 && (sent.error == EINTR || sent.error == EAGAIN) && retries < kIoRetries)
            continue;
        return false;
    }
}

Received ReceiveFromKernel(DatagramChannel& channel, std::span<std::byte> buffer, bool retry_would_block,
                           int& retries, std::size_t& length) {
    for (;;) {
        const Transfer received = channel.Receive(buffer, true);
        if (received.length < 0) {
            const bool again = received.error == EINTR || (retry_would_block && received.error == EAGAIN);
            if (again && ++retries < kIoRetries) continue;
            return received.error == ENOBUFS ? Received::kOverrun : Received::kFailed;
        }
        if (received.length == 0 || received.truncated) return Received::kFailed;
        if (received.sender != 0) continue;  // only the kernel answers
        length = static_cast<std::size_t>(received.length);
        return Received::kDatagram;
    }
}

}  // namespace velmor::platform::sockdiag
