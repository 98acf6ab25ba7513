#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "velmor/guard/socket_event_source.h"

namespace velmor::guard {

// The process behind a socket, as the kernel program took it when the process connected, listened
// or accepted.
struct KernelOwner {
    std::uint32_t tgid = 0;
    std::uint32_t uid = 0;
    std::uint64_t start_ns = 0;  // when the process started, nanoseconds of CLOCK_BOOTTIME
    std::string name;            // the thread group's name
    bool operator==(const KernelOwner&) const = default;
};

// One record of the owner program: a socket's owner, or the last counts of a socket that closed.
struct SocketOwnerEvent {
    enum class Kind : std::uint8_t { kConnect = 1, kListen = 2, kAccept = 3, kClose = 4 };
    std::uint64_t cookie = 0;
    Kind kind = Kind::kConnect;
    std::optional<KernelOwner> owner;  // none for a closing socket nobody was seen to own
    std::uint64_t bytes_received = 0;  // kClose only
    std::uint64_t bytes_acked = 0;
    int family = 0;  // AF_INET or AF_INET6; addresses and ports as an EventRecord has them
    std::array<std::uint8_t, 16> local{};
    std::array<std::uint8_t, 16> remote{};
    std::uint16_t local_port = 0;
    std::uint16_t remote_port = 0;
};

inline constexpr std::size_t kSocketOwnerRecordSize = 104;

// Decodes one ring-buffer record of the owner program; nothing for anything but exactly one record
// of the current layout (size, version, kind, family, reserved bytes, an IPv4 address with bytes past
// the fourth, an owner flag other than 0 or 1, or a kClose record without it that names a process).
std::optional<SocketOwnerEvent> DecodeSocketOwner(std::span<const std::byte> record);

// Who owns the TCP sockets of one network namespace: a read-only BPF program on the tracepoint
// sock/inet_sock_set_state (connect and listen run it in the calling process; an accepted connection
// is given its listener's owner when it is established) and, where the kernel allows it, at the return
// of inet_csk_accept (the process that accepted it). It keeps each live socket's owner in a map and
// reports owners and the last counts of closing sockets through a ring buffer. Needs what
// SocketEventSource needs (CAP_BPF and CAP_PERFMON, a kernel with BTF); the accept side needs BPF
// trampolines and bpf_get_func_ret (Linux 5.17), and is left out without them.
// Not thread-safe; one thread owns it.
class SocketOwnerSource final {
public:
    using Failure = SocketEventSource::Failure;

    struct Options {
        std::uint64_t netns_inode = 0;  // 0 takes the calling thread's namespace
        std::size_t ring_bytes = 1024 * 1024;
    };

    struct DrainResult {
        std::size_t delivered = 0;
        std::size_t malformed = 0;
        std::uint64_t lost = 0;  // records the kernel dropped since the last Drain
        bool ok = true;
    };

    SocketOwnerSource();
    ~SocketOwnerSource();
    SocketOwnerSource(const SocketOwnerSource&) = delete;
    SocketOwnerSource& operator=(const SocketOwnerSource&) = delete;

    bool Open() { return Open(Options{}); }
    bool Open(const Options& options);
    void Close();
    bool is_open() const;
    Failure failure() const { return failure_; }
    const std::string& failure_reason() const { return failure_reason_; }
    // Whether the program at the return of the accept call is loaded (else accepted connections
    // carry their listener's owner).
    bool accept_return() const { return accept_return_; }
    // Readable (POLLIN) while records are pending; -1 while closed.
    int fd() const;

    // Hands every pending record to `callback`, without waiting for more.
    DrainResult Drain(const std::function<void(const SocketOwnerEvent&)>& callback);
    // The owner the map keeps for a live socket; nothing for one it never saw (or that closed).
    std::optional<KernelOwner> Lookup(std::uint64_t cookie) const;

private:
    struct State;
    std::unique_ptr<State> state_;
    Failure failure_ = Failure::kNone;
    std::string failure_reason_;
    bool accept_return_ = false;
};

}  // namespace velmor::guard
