#include <linux/capability.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velmor/platform/connection_table.h"
#include "velmor/platform/sock_diag_parse.h"

namespace velmor::platform {
namespace {

using sockdiag::DumpStatus;
using sockdiag::DumpTarget;

// The kernel fills a dump datagram up to the largest buffer recvmsg has offered, capped near 32 KiB;
// twice that leaves room for any datagram it may send.
constexpr std::size_t kReceiveBufferSize = 64 * 1024;
// Each refused SOCK_DESTROY queues an error message; 64 per send() keeps them well inside the
// receive buffer, and they are drained after every send.
constexpr std::size_t kDestroyBatch = 64;
// A dump the kernel marks as interrupted is taken again, a few times at most; the last one is kept.
constexpr int kDumpAttempts = 4;
// EINTR/EAGAIN are retried, but never forever.
constexpr int kIoRetries = 100;

struct DumpRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

struct LegacyDumpRequest {
    nlmsghdr header;
    inet_diag_req request;
};

enum class Outcome {
    kComplete,     // the whole dump arrived
    kInterrupted,  // arrived, but inconsistent: worth taking again
    kRefused,      // the kernel answered with an error
    kFailed,       // socket trouble or malformed data
};

// One NETLINK_SOCK_DIAG socket. It belongs to the network namespace of the thread that opened it.
class SockDiagSocket final {
public:
    SockDiagSocket() { buffer_.resize(kReceiveBufferSize); }
    ~SockDiagSocket() { Close(); }
    SockDiagSocket(const SockDiagSocket&) = delete;
    SockDiagSocket& operator=(const SockDiagSocket&) = delete;

    bool Open() {
        if (fd_ >= 0) return true;
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (fd_ < 0) return false;
        const int size = static_cast<int>(kReceiveBufferSize) * 4;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        // Error answers to SOCK_DESTROY then carry only the header, not our whole request back.
        const int on = 1;
        ::setsockopt(fd_, SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof on);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            Close();
            return false;
        }
        return true;
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Takes one dump of `protocol` sockets of `family`. When `record` is set, every datagram of the
    // reply is appended to it as received.
    Outcome Dump(std::uint8_t family, std::uint8_t protocol, DumpTarget& target,
                 std::vector<std::byte>* record) {
        if (!Open()) return Outcome::kFailed;
        DumpRequest message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++sequence_;
        message.request.sdiag_family = family;
        message.request.sdiag_protocol = protocol;
        message.request.idiag_states = sockdiag::kAllStates;
        return Exchange(&message, sizeof message, message.header.nlmsg_seq, target, record);
    }

    // Takes the TCP sockets of both families in one walk of the kernel's connection hash, through
    // the older TCPDIAG_GETSOCK request (answered for IPv4 and IPv6 alike).
    Outcome DumpTcpSingleWalk(DumpTarget& target, std::vector<std::byte>* record) {
        if (!Open()) return Outcome::kFailed;
        LegacyDumpRequest message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = TCPDIAG_GETSOCK;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++sequence_;
        message.request.idiag_family = AF_INET;
        message.request.idiag_states = sockdiag::kAllStates;
        return Exchange(&message, sizeof message, message.header.nlmsg_seq, target, record);
    }

private:
    // Sends a dump request and receives the reply to its end.
    Outcome Exchange(const void* request, std::size_t length, std::uint32_t sequence, DumpTarget& target,
                     std::vector<std::byte>* record) {
        if (!Send(request, length)) {
            Close();
            return Outcome::kFailed;
        }

        for (int retries = 0;;) {
            sockaddr_nl sender{};
            iovec io{buffer_.data(), buffer_.size()};
            msghdr header{};
            header.msg_name = &sender;
            header.msg_namelen = sizeof sender;
            header.msg_iov = &io;
            header.msg_iovlen = 1;
            const ssize_t received = ::recvmsg(fd_, &header, 0);
            if (received < 0) {
                if ((errno == EINTR || errno == EAGAIN) && ++retries < kIoRetries) continue;
                // ENOBUFS: the kernel dropped part of the reply; the dump is lost, take it again.
                const bool overrun = errno == ENOBUFS;
                Close();
                return overrun ? Outcome::kInterrupted : Outcome::kFailed;
            }
            if (received == 0 || (header.msg_flags & MSG_TRUNC) != 0) {
                Close();
                return Outcome::kFailed;
            }
            if (sender.nl_pid != 0) continue;  // only the kernel may answer a dump
            const std::span<const std::byte> datagram(buffer_.data(), static_cast<std::size_t>(received));
            if (record != nullptr) record->insert(record->end(), datagram.begin(), datagram.end());
            switch (sockdiag::ParseDump(datagram, sequence, target)) {
                case DumpStatus::kMore:
                    continue;
                case DumpStatus::kDone:
                    return Outcome::kComplete;
                case DumpStatus::kInterrupted:
                    return Outcome::kInterrupted;
                case DumpStatus::kError:
                    return Outcome::kRefused;
                case DumpStatus::kMalformed:
                    // The rest of the reply may still be queued; a fresh socket starts clean.
                    Close();
                    return Outcome::kFailed;
            }
        }
    }

public:
    void Destroy(std::span<const SocketId> ids) {
        if (ids.empty() || !Open()) return;
        batch_.clear();
        std::size_t in_batch = 0;
        for (const SocketId& id : ids) {
            // A listening socket is not a connection: the kernel would close it, so it is never asked.
            if (id.destination_port_be == 0 && id.destination[0] == 0 && id.destination[1] == 0 &&
                id.destination[2] == 0 && id.destination[3] == 0) {
                continue;
            }
            DumpRequest message{};
            message.header.nlmsg_len = sizeof message;
            message.header.nlmsg_type = SOCK_DESTROY;
            message.header.nlmsg_flags = NLM_F_REQUEST;
            message.header.nlmsg_seq = ++sequence_;
            message.request.sdiag_family = id.family;
            message.request.sdiag_protocol = IPPROTO_TCP;
            message.request.idiag_states = sockdiag::kAllStates;
            message.request.id.idiag_sport = id.source_port_be;
            message.request.id.idiag_dport = id.destination_port_be;
            std::memcpy(message.request.id.idiag_src, id.source, sizeof id.source);
            std::memcpy(message.request.id.idiag_dst, id.destination, sizeof id.destination);
            message.request.id.idiag_if = id.interface_index;
            std::memcpy(message.request.id.idiag_cookie, id.cookie, sizeof id.cookie);
            const auto* bytes = reinterpret_cast<const std::byte*>(&message);
            batch_.insert(batch_.end(), bytes, bytes + sizeof message);
            if (++in_batch == kDestroyBatch) {
                SendBatch();
                in_batch = 0;
            }
        }
        if (in_batch > 0) SendBatch();
    }

private:
    bool Send(const void* data, std::size_t length) {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        for (int retries = 0;; ++retries) {
            const ssize_t sent =
                ::sendto(fd_, data, length, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
            if (sent == static_cast<ssize_t>(length)) return true;
            if (sent < 0 && (errno == EINTR || errno == EAGAIN) && retries < kIoRetries) continue;
            return false;
        }
    }

    // The kernel handles the whole batch inside send(), so every answer is queued when it returns.
    // Refusals (EPERM without CAP_NET_ADMIN, ENOENT for a socket already gone) are read and dropped,
    // so they never sit in front of the next dump.
    void SendBatch() {
        if (!Send(batch_.data(), batch_.size())) {
            Close();
        } else {
            Drain();
        }
        batch_.clear();
    }

    void Drain() {
        for (int retries = 0; retries < kIoRetries;) {
            const ssize_t received = ::recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            if (received > 0) continue;
            if (received < 0 && (errno == EINTR || errno == ENOBUFS)) {
                ++retries;
                continue;
            }
            return;
        }
    }

    int fd_ = -1;
    std::uint32_t sequence_ = 0;
    std::vector<std::byte> buffer_;
    std::vector<std::byte> batch_;
};

class LinuxConnectionTable final : public ConnectionTable {
public:
    explicit LinuxConnectionTable(sockdiag::TcpRequest request) : request_(request) { socket_.Open(); }

    bool ReadTcp(TcpTable& table) override {
        table.Clear();
        bool ok = false;
        if (request_ == sockdiag::TcpRequest::kSingleWalk) {
            const Outcome outcome = SingleWalkInto(table);
            ok = outcome == Outcome::kComplete;
            // A kernel without the older request answers with an error: ask per family from now on.
            if (outcome == Outcome::kRefused) request_ = sockdiag::TcpRequest::kPerFamily;
        }
        if (request_ == sockdiag::TcpRequest::kPerFamily) {
            ok = DumpInto(AF_INET, IPPROTO_TCP, &table, nullptr) &&
                 DumpInto(AF_INET6, IPPROTO_TCP, &table, nullptr);
        }
        if (!ok) {
            table.Clear();
            return false;
        }
        sorter_.Sort(table);
        return true;
    }

    bool ReadUdp(UdpTable& table) override {
        std::uint32_t count = 0;
        const bool ok = DumpInto(AF_INET, IPPROTO_UDP, nullptr, &count) &&
                        DumpInto(AF_INET6, IPPROTO_UDP, nullptr, &count);
        table.dwNumEntries = ok ? count : 0;
        return ok;
    }

    void Destroy(std::span<const SocketId> ids) override { socket_.Destroy(ids); }

private:
    // One family's dump, taken again while the kernel reports it interrupted. A refusal of the IPv6
    // dump (a kernel without IPv6) leaves the IPv4 rows standing.
    bool DumpInto(std::uint8_t family, std::uint8_t protocol, TcpTable* table, std::uint32_t* count) {
        const std::size_t start = table != nullptr ? table->rows.size() : 0;
        for (int attempt = 1;; ++attempt) {
            DumpTarget target;
            target.table = table;
            const Outcome outcome = socket_.Dump(family, protocol, target, nullptr);
            const bool keep = outcome == Outcome::kComplete ||
                              (outcome == Outcome::kInterrupted && attempt == kDumpAttempts);
            if (keep) {
                if (count != nullptr) *count += target.rows;
                return true;
            }
            if (table != nullptr) {
                table->rows.resize(start);
                table->ids.resize(start);
                table->dwNumEntries = static_cast<std::uint32_t>(start);
            }
            if (outcome == Outcome::kInterrupted) continue;
            return outcome == Outcome::kRefused && family == AF_INET6;
        }
    }

    Outcome SingleWalkInto(TcpTable& table) {
        for (int attempt = 1;; ++attempt) {
            DumpTarget target;
            target.table = &table;
            const Outcome outcome = socket_.DumpTcpSingleWalk(target, nullptr);
            if (outcome == Outcome::kInterrupted && attempt < kDumpAttempts) {
                table.Clear();
                continue;
            }
            return outcome == Outcome::kInterrupted ? Outcome::kComplete : outcome;
        }
    }

    sockdiag::TcpRequest request_;
    SockDiagSocket socket_;
    sockdiag::TcpRowSorter sorter_;
};

}  // namespace

std::unique_ptr<ConnectionTable> MakeSystemConnectionTable() {
    return std::make_unique<LinuxConnectionTable>(sockdiag::TcpRequest::kSingleWalk);
}

bool CanTearDownConnections() {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
}

namespace sockdiag {

std::unique_ptr<ConnectionTable> MakeConnectionTable(TcpRequest request) {
    return std::make_unique<LinuxConnectionTable>(request);
}

bool RecordDump(int family, int protocol, std::vector<std::byte>& reply) {
    SockDiagSocket socket;
    DumpTarget target;
    reply.clear();
    if (family == AF_UNSPEC && protocol == IPPROTO_TCP) {
        return socket.DumpTcpSingleWalk(target, &reply) == Outcome::kComplete;
    }
    return socket.Dump(static_cast<std::uint8_t>(family), static_cast<std::uint8_t>(protocol), target,
                       &reply) == Outcome::kComplete;
}

}  // namespace sockdiag
}  // namespace velmor::platform
