#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "velmor/guard/socket_event.h"

struct bpf_object;

namespace velmor::guard {

// Kernel events for the TCP sockets of one network namespace: a BPF program on the tracepoint
// sock/inet_sock_set_state, filtered in the kernel by namespace, read through a ring buffer. It
// changes nothing but the first strike's map (kernel_strike.h), and that only while armed. Loading it
// needs CAP_BPF and CAP_PERFMON (or root); where that or the kernel's support is missing, Open()
// fails with a reason and the caller keeps polling.
//
// Use: Open() once, wait for fd() to become readable (poll, epoll, a QSocketNotifier), then Drain().
// Not thread-safe; one thread owns the source.
class SocketEventSource final {
public:
    enum class Failure {
        kNone,
        kNoRights,         // the kernel refused for lack of privileges (EPERM, EACCES)
        kNotSupported,     // no BTF, no such tracepoint, no ring buffer: a kernel too old
        kLoadFailed,       // the program or its maps were refused otherwise
        kAttachFailed,     // loaded, but the tracepoint could not be attached
        kNamespaceUnknown  // the namespace's inode number could not be read
    };

    struct Options {
        // Inode number of the network namespace to watch; 0 takes the calling thread's namespace.
        std::uint64_t netns_inode = 0;
        // Ring buffer size in bytes (libbpf rounds it up to a power of two of pages). 256 KiB holds
        // about 4,000 events.
        std::size_t ring_bytes = 256 * 1024;
        // The tracepoint to attach to. Only tests name another one (that the kernel lacks) to see
        // how a kernel without it is handled.
        std::string tracepoint = "inet_sock_set_state";
        // Load the first strike's packet-path programs too (they need CAP_NET_ADMIN as well). A kernel
        // that refuses them gets the socket events without them.
        bool first_strike = true;
    };

    struct DrainResult {
        std::size_t delivered = 0;  // events handed to the callback
        std::size_t malformed = 0;  // records the decoder refused (none from a sound kernel program)
        std::uint64_t lost = 0;     // events the kernel dropped since the last Drain (ring buffer full)
        // False when the ring buffer could not be read; the caller should treat the table as changed.
        bool ok = true;
    };

    SocketEventSource();
    ~SocketEventSource();
    SocketEventSource(const SocketEventSource&) = delete;
    SocketEventSource& operator=(const SocketEventSource&) = delete;

    bool Open() { return Open(Options{}); }
    bool Open(const Options& options);
    void Close();

    bool is_open() const;
    Failure failure() const { return failure_; }
    // Why Open() failed, in a sentence for a log; empty while open.
    const std::string& failure_reason() const { return failure_reason_; }
    // Readable (POLLIN) while events are pending; -1 while closed.
    int fd() const;
    // The namespace being watched; 0 while closed.
    std::uint64_t netns_inode() const { return netns_inode_; }
    // The loaded object, whose maps and packet-path programs the first strike (KernelStrike) takes;
    // nullptr while closed.
    bpf_object* Object() const;
    // Whether the first strike's programs loaded with it; when not, why (empty while they did).
    bool FirstStrikeLoaded() const;
    const std::string& first_strike_failure() const { return strike_failure_; }

    // Hands every pending event to `callback` in the kernel's order, without waiting for more.
    DrainResult Drain(const std::function<void(const EventRecord&)>& callback);

    // The inode number of the calling thread's network namespace, 0 when it cannot be read.
    static std::uint64_t CurrentNetnsInode();

private:
    struct State;
    static bool LoadObject(State& state, const Options& options, std::uint32_t netns, bool first_strike,
                           int& error);

    std::unique_ptr<State> state_;
    Failure failure_ = Failure::kNone;
    std::string failure_reason_;
    std::string strike_failure_;
    std::uint64_t netns_inode_ = 0;
};

const char* FailureName(SocketEventSource::Failure failure);

}  // namespace velmor::guard
