#pragma once

// The machine's lifelines: the addresses whose loss would cut it off (its own, its default gateways,
// its DNS servers). Nothing automatic may ever block them.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace velmor::platform {

// Address texts in the form the connection table shows (dotted IPv4, RFC 5952 IPv6), each once.
struct Lifelines {
    std::vector<std::string> own;        // every address of this namespace's interfaces, both families
    std::vector<std::string> gateways;   // the next hops of the default routes, both families
    std::vector<std::string> resolvers;  // the DNS servers of the resolver files
    // False when a dump failed and `own` or `gateways` may lack addresses: a caller then keeps
    // what it knew before as well.
    bool complete = true;
    bool operator==(const Lifelines&) const = default;
};

// Where the DNS servers are written: the C library's file, and systemd-resolved's list of its
// upstream servers where that service runs.
struct ResolverFiles {
    std::vector<std::string> paths = {"/etc/resolv.conf", "/run/systemd/resolve/resolv.conf"};
};

// Reads the addresses and routes of the calling thread's network namespace through rtnetlink and the
// nameservers of `files` (a file that is missing adds none). A failed dump leaves its list empty.
Lifelines ReadLifelines(const ResolverFiles& files = {});

// Tells cheaply whether the lifelines may have changed since the last call: the kernel's address,
// route and link notices arrive on a netlink socket subscribed to them, and the resolver files are
// looked at (stat) at most once per `file_interval`. A quiet call costs one non-blocking receive.
class LifelineWatch {
public:
    explicit LifelineWatch(ResolverFiles files = {},
                           std::chrono::milliseconds file_interval = std::chrono::seconds(1));
    ~LifelineWatch();
    LifelineWatch(const LifelineWatch&) = delete;
    LifelineWatch& operator=(const LifelineWatch&) = delete;

    // True on the first call, and whenever something may have changed since the last. Without its
    // socket (none could be made) it answers true at most once per `file_interval`.
    bool Changed();
    // Readable when the kernel has told of a change; -1 without the socket. For callers that wait
    // in poll().
    int Fd() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velmor::platform
