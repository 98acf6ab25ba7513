#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "netlink_channel.h"
#include "sock_diag_parse.h"
#include "velmor/platform/capabilities.h"
#include "velmor/platform/connection_table.h"

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
// A dump the kernel marks as interrupted, or one it dropped part of, is taken again, a few times at
// most. The last interrupted one is kept: it arrived whole, if perhaps inconsistent. The last lost
// one is not: rows are missing from it, and a table short of them would pass for one in which those
// connections had ended.
constexpr int kDumpAttempts = 4;
using sockdiag::kIoRetries;

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
    kLost,         // the socket overran and the kernel dropped part of it: worth taking again
    kRefused,      // the kernel answered with an error
    kFailed,       // socket trouble or malformed data
};

// The dump and teardown requests over one NETLINK_SOCK_DIAG channel, which belongs to the network
// namespace of the thread that opened it.
class SockDiagSocket final {
public:
    explicit SockDiagSocket(std::unique_ptr<sockdiag::DatagramChannel> channel)
        : channel_(std::move(channel)) {
        buffer_.resize(kReceiveBufferSize);
    }

    bool Open() { return channel_->Open(); }
    void Close() { channel_->Close(); }

    // Takes one dump of `protocol` sockets of `family`. When `record` is set, every datagram of the
    // reply is appended to it as received.
    Outcome Dump(std::uint8_t family, std::uint8_t protocol, DumpTarget& target,
                 std::vector<std::byte>* record, std::uint8_t extensions = 0) {
        if (!Open()) return Outcome::kFailed;
        DumpRequest message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++sequence_;
        message.request.sdiag_family = family;
        message.request.sdiag_protocol = protocol;
        message.request.idiag_states = sockdiag::kAllStates;
        message.request.idiag_ext = extensions;
        return Exchange(&message, sizeof message, message.header.nlmsg_seq, target, record);
    }

    // Takes the TCP sockets of both families in one walk of the kernel's connection hash, through
    // the older TCPDIAG_GETSOCK request (answered for IPv4 and IPv6 alike).
    Outcome DumpTcpSingleWalk(DumpTarget& target, std::vector<std::byte>* record,
                              std::uint8_t extensions = 0) {
        if (!Open()) return Outcome::kFailed;
        LegacyDumpRequest message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = TCPDIAG_GETSOCK;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++sequence_;
        message.request.idiag_family = AF_INET;
        message.request.idiag_states = sockdiag::kAllStates;
        message.request.idiag_ext = extensions;
        return Exchange(&message, sizeof message, message.header.nlmsg_seq, target, record);
    }

private:
    // Sends a dump request and receives the reply to its end.
    Outcome Exchange(const void* request, std::size_t length, std::uint32_t sequence, DumpTarget& target,
                     std::vector<std::byte>* record) {
        if (!sockdiag::SendRequest(*channel_, std::span(static_cast<const std::byte*>(request), length))) {
            Close();
            return Outcome::kFailed;
        }

        for (int retries = 0;;) {
            std::size_t received = 0;
            switch (sockdiag::ReceiveFromKernel(*channel_, buffer_, true, retries, received)) {
                case sockdiag::Received::kDatagram:
                    break;
                case sockdiag::Received::kOverrun:
                    // The kernel dropped part of the reply; the dump is lost, take it again.
                    Close();
                    return Outcome::kLost;
                case sockdiag::Received::kFailed:
                    Close();
                    return Outcome::kFailed;
            }
            const std::span<const std::byte> datagram(buffer_.data(), received);
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
            const auto message = sockdiag::RequestFor(id, SOCK_DESTROY, ++sequence_);
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
    // The kernel handles the whole batch inside send(), so every answer is queued when it returns.
    // Refusals (EPERM without CAP_NET_ADMIN, ENOENT for a socket already gone) are read and dropped,
    // so they never sit in front of the next dump.
    void SendBatch() {
        if (!sockdiag::SendRequest(*channel_, batch_)) {
            Close();
        } else {
            Drain();
        }
        batch_.clear();
    }

    void Drain() {
        for (int retries = 0; retries < kIoRetries;) {
            const sockdiag::Transfer received = channel_->Receive(buffer_, false);
            if (received.length > 0) continue;
            if (received.length < 0 && (received.error == EINTR || received.error == ENOBUFS)) {
                ++retries;
                continue;
            }
            return;
        }
    }

    std::unique_ptr<sockdiag::DatagramChannel> channel_;
    std::uint32_t sequence_ = 0;
    std::vector<std::byte> buffer_;
    std::vector<std::byte> batch_;
};

bool Retake(Outcome outcome) {
    return outcome == Outcome::kInterrupted || outcome == Outcome::kLost;
}

class LinuxConnectionTable final : public ConnectionTable {
public:
    LinuxConnectionTable(sockdiag::TcpRequest request, std::unique_ptr<sockdiag::DatagramChannel> channel)
        : request_(request), socket_(std::move(channel)) {
        socket_.Open();
    }

    bool ReadTcp(TcpTable& table) override {
        table.Clear();
        bool ok = false;
        if (request_ == sockdiag::TcpRequest::kSingleWalk) {
            const Outcome outcome = SingleWalkInto(table);
            ok = outcome == Outcome::kComplete;
            // A kernel without the older request answers with an error: ask per family from now on.
            // Rows the walk sent before its refusal are dropped, or the per-family dumps would
            // add to them.
            if (outcome == Outcome::kRefused) {
                request_ = sockdiag::TcpRequest::kPerFamily;
                table.Clear();
            }
        }
        if (request_ == sockdiag::TcpRequest::kPerFamily) {
            ok = DumpInto(AF_INET, IPPROTO_TCP, &table, nullptr, Extensions()) &&
                 DumpInto(AF_INET6, IPPROTO_TCP, &table, nullptr, Extensions());
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

    bool ReadUdpRows(TcpTable& rows) override {
        rows.Clear();
        if (!DumpInto(AF_INET, IPPROTO_UDP, &rows, nullptr) ||
            !DumpInto(AF_INET6, IPPROTO_UDP, &rows, nullptr)) {
            rows.Clear();
            return false;
        }
        sorter_.Sort(rows);
        return true;
    }

    void SetByteCounts(bool on) override { byte_counts_ = on; }

    void Destroy(std::span<const SocketId> ids) override { socket_.Destroy(ids); }

private:
    // The TCP info of every socket comes with the dump while byte counts are asked for.
    std::uint8_t Extensions() const { return byte_counts_ ? sockdiag::kInfoExtension : 0; }

    // One family's dump, taken again while the kernel reports it interrupted or lost. A refusal of the IPv6
    // dump (a kernel without IPv6) leaves the IPv4 rows standing.
    bool DumpInto(std::uint8_t family, std::uint8_t protocol, TcpTable* table, std::uint32_t* count,
                  std::uint8_t extensions = 0) {
        const std::size_t start = table != nullptr ? table->rows.size() : 0;
        for (int attempt = 1;; ++attempt) {
            DumpTarget target;
            target.table = table;
            const Outcome outcome = socket_.Dump(family, protocol, target, nullptr, extensions);
            const bool keep = outcome == Outcome::kComplete ||
                              (outcome == Outcome::kInterrupted && attempt == kDumpAttempts);
            if (keep) {
                if (count != nullptr) *count += target.rows;
                return true;
            }
            if (table != nullptr) {
                table->rows.resize(start);
                table->ids.resize(start);
                table->details.resize(std::min(start, table->details.size()));
                table->dwNumEntries = static_cast<std::uint32_t>(start);
            }
            if (Retake(outcome) && attempt < kDumpAttempts) continue;
            return outcome == Outcome::kRefused && family == AF_INET6;
        }
    }

    Outcome SingleWalkInto(TcpTable& table) {
        for (int attempt = 1;; ++attempt) {
            DumpTarget target;
            target.table = &table;
            const Outcome outcome = socket_.DumpTcpSingleWalk(target, nullptr, Extensions());
            if (Retake(outcome) && attempt < kDumpAttempts) {
                table.Clear();
                continue;
            }
            return outcome == Outcome::kInterrupted ? Outcome::kComplete : outcome;
        }
    }

    sockdiag::TcpRequest request_;
    SockDiagSocket socket_;
    sockdiag::TcpRowSorter sorter_;
    bool byte_counts_ = true;
};

}  // namespace

std::unique_ptr<ConnectionTable> MakeSystemConnectionTable() {
    return sockdiag::MakeConnectionTable(sockdiag::TcpRequest::kSingleWalk);
}

bool CanTearDownConnections() {
    return HasCapability(Capability::NetAdmin);
}

namespace sockdiag {

namespace {

std::unique_ptr<DatagramChannel> MakeTableChannel() {
    ChannelOptions options;
    options.receive_buffer = static_cast<int>(kReceiveBufferSize) * 4;
    return MakeSockDiagChannel(options);
}

}  // namespace

std::unique_ptr<ConnectionTable> MakeConnectionTable(TcpRequest request) {
    return MakeConnectionTable(request, MakeTableChannel());
}

std::unique_ptr<ConnectionTable> MakeConnectionTable(TcpRequest request,
                                                     std::unique_ptr<DatagramChannel> channel) {
    return std::make_unique<LinuxConnectionTable>(request, std::move(channel));
}

bool RecordDump(int family, int protocol, std::vector<std::byte>& reply) {
    SockDiagSocket socket(MakeTableChannel());
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
