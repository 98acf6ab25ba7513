#pragma once

// The benchmarks' own pair of network namespaces: "local" (10.78.0.1 and fd00:78::1, where
// everything is measured) and "remote" (10.78.0.2 and fd00:78::2 plus any extra client
// addresses of both families), joined by a veth pair. Needs root.

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "velmor/test/sockets.h"

namespace velmor::bench {

inline bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

class BenchNetwork final {
public:
    static constexpr const char* kLocalAddress = "10.78.0.1";
    static constexpr const char* kLocalAddress6 = "fd00:78::1";

    BenchNetwork() : local_("vlbench-l" + Tag()), remote_("vlbench-r" + Tag()) {}
    ~BenchNetwork() { Remove(); }
    BenchNetwork(const BenchNetwork&) = delete;
    BenchNetwork& operator=(const BenchNetwork&) = delete;

    const std::string& local() const { return local_; }
    const std::string& remote() const { return remote_; }

    // Makes both namespaces; `extra_clients` more client addresses 10.78.(1+i/250).(1+i%250) go on
    // the remote end, and as many IPv6 ones fd00:78::1:i. The local end gets a /16 and a /64, so it
    // reaches all of them. IPv6 addresses skip duplicate address detection.
    bool Make(int extra_clients = 0) {
        const std::string veth = "vlbn" + std::to_string(::getpid() % 100000);
        std::string script =
            "set -e; ip netns add " + local_ + "; ip netns add " + remote_ + "; ip link add " + veth +
            "a type veth peer name " + veth + "b; ip link set " + veth + "a netns " + local_ +
            "; ip link set " + veth + "b netns " + remote_ + "; ip -n " + local_ +
            " addr add 10.78.0.1/16 dev " + veth + "a; ip -n " + remote_ + " addr add 10.78.0.2/16 dev " +
            veth + "b; ip -n " + local_ + " addr add fd00:78::1/64 dev " + veth + "a nodad; ip -n " +
            remote_ + " addr add fd00:78::2/64 dev " + veth + "b nodad; ip -n " + local_ +
            " link set lo up; ip -n " + remote_ + " link set lo up; ip -n " + local_ + " link set " + veth +
            "a up; ip -n " + remote_ + " link set " + veth + "b up; ip netns exec " + local_ +
            " sysctl -qw net.core.somaxconn=65535; ip netns exec " + remote_ +
            " sysctl -qw net.ipv4.ip_local_port_range='10000 65000'";
        if (!Shell(script)) return false;
        if (extra_clients > 0) {
            const std::string batch = "/tmp/" + remote_ + ".batch";
            FILE* file = std::fopen(batch.c_str(), "w");
            if (file == nullptr) return false;
            for (int i = 0; i < extra_clients; ++i) {
                std::fprintf(file, "addr add %s/16 dev %sb\n", ClientAddress(i).c_str(), veth.c_str());
                std::fprintf(file, "addr add %s/64 dev %sb nodad\n", ClientAddress6(i).c_str(), veth.c_str());
            }
            std::fclose(file);
            const bool ok = Shell("ip -n " + remote_ + " -batch " + batch);
            std::remove(batch.c_str());
            if (!ok) return false;
        }
        return true;
    }

    void Remove() {
        Shell("ip netns del " + local_ + " 2>/dev/null");
        Shell("ip netns del " + remote_ + " 2>/dev/null");
    }

    static std::string ClientAddress(int i) {
        return "10.78." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250);
    }

    static std::string ClientAddress6(int i) {
        char text[32];
        std::snprintf(text, sizeof text, "fd00:78::1:%x", i + 1);
        return text;
    }

    static bool Enter(const std::string& name) { return test::EnterNetworkNamespace(name); }

    // Opens connections from the remote namespace to local `port` until `clients` holds `count`;
    // with `distinct` every connection comes from its own client address. With `ipv6` they go to
    // fd00:78::1 (from fd00:78::1:i when distinct), else to 10.78.0.1.
    bool Connect(std::uint16_t port, std::size_t count, bool distinct, std::vector<int>& clients,
                 bool ipv6 = false) const {
        bool ok = true;
        std::thread worker([&] {
            if (!Enter(remote_)) {
                ok = false;
                return;
            }
            const char* server = ipv6 ? kLocalAddress6 : kLocalAddress;
            std::size_t made = 0;
            while (clients.size() < count) {
                const int index = static_cast<int>(made);
                const std::string source = !distinct ? ""
                                           : ipv6    ? ClientAddress6(index)
                                                     : ClientAddress(index);
                const int fd = test::OpenConnection(server, port, source);
                if (fd < 0) {
                    std::perror("connect");
                    ok = false;
                    return;
                }
                clients.push_back(fd);
                ++made;
            }
        });
        worker.join();
        return ok;
    }

private:
    static std::string Tag() { return std::to_string(::getpid()); }

    std::string local_;
    std::string remote_;
};

// A listener on the local address, made in the calling thread's namespace: dual-stack on every
// address with `dual_stack`, else on 10.78.0.1 only.
inline int ListenOn(std::uint16_t port, bool dual_stack = false) {
    const int fd = test::OpenListener(dual_stack ? "::" : BenchNetwork::kLocalAddress, port, false, 65535);
    if (fd < 0) std::perror("listen");
    return fd;
}

// The scene of the table benchmarks: both namespaces, a listener in "local" (the calling thread is
// moved there) and the connections to it from "remote". What it opened is closed when it goes.
class BenchScene final {
public:
    BenchScene() = default;
    ~BenchScene() {
        for (const int fd : clients) ::close(fd);
        for (const int fd : clients6) ::close(fd);
        if (listener >= 0) ::close(listener);
    }
    BenchScene(const BenchScene&) = delete;
    BenchScene& operator=(const BenchScene&) = delete;

    // Room for many sockets, the namespaces with `extra_clients` more client addresses, and the
    // listener on `port` (dual-stack with `dual_stack`). On failure the reason is on standard error.
    bool Make(std::uint16_t port, bool dual_stack, int extra_clients = 0) {
        rlimit files{70000, 70000};
        ::setrlimit(RLIMIT_NOFILE, &files);
        port_ = port;
        if (!network.Make(extra_clients)) {
            std::fprintf(stderr,
                         "cannot make the benchmark's network namespaces (needs root and `ip netns`)\n");
            return false;
        }
        if (!BenchNetwork::Enter(network.local()) || (listener = ListenOn(port, dual_stack)) < 0) {
            std::fprintf(stderr, "cannot listen in %s\n", network.local().c_str());
            return false;
        }
        return true;
    }

    // Connections to the listener until there are `count`: IPv4 ones in `clients` with `ipv6` false,
    // else IPv6 ones in `clients6`; with `distinct` each from its own client address.
    bool Connect(std::size_t count, bool distinct = false, bool ipv6 = false) {
        return network.Connect(port_, count, distinct, ipv6 ? clients6 : clients, ipv6);
    }

    // As many connections of both families: half of `count` IPv4, the rest IPv6.
    bool ConnectBothFamilies(std::size_t count, bool distinct = false) {
        return Connect(count / 2, distinct) && Connect(count - count / 2, distinct, true);
    }

    BenchNetwork network;
    int listener = -1;
    std::vector<int> clients;
    std::vector<int> clients6;

private:
    std::uint16_t port_ = 0;
};

// The baseline of every table benchmark: the dump the table reader asks for, each reply merely
// walked to its end. kSingleWalk: one TCPDIAG_GETSOCK dump, which the kernel answers for both
// families from one walk of its connection hash (what the reader sends); kPerFamily: one
// SOCK_DIAG_BY_FAMILY dump for AF_INET and one for AF_INET6, two walks.
class BareDump final {
public:
    enum class Kind { kSingleWalk, kPerFamily };

    explicit BareDump(Kind kind = Kind::kSingleWalk) : kind_(kind) {
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        buffer_.resize(64 * 1024);
    }
    ~BareDump() { ::close(fd_); }
    BareDump(const BareDump&) = delete;
    BareDump& operator=(const BareDump&) = delete;

    std::size_t Messages() {
        if (kind_ == Kind::kSingleWalk) {
            struct {
                nlmsghdr header;
                inet_diag_req request;
            } message{};
            message.header.nlmsg_len = sizeof message;
            message.header.nlmsg_type = TCPDIAG_GETSOCK;
            message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
            message.header.nlmsg_seq = ++sequence_;
            message.request.idiag_family = AF_INET;
            message.request.idiag_states = 0xFFF;
            return Exchange(&message, sizeof message);
        }
        return Dump(AF_INET) + Dump(AF_INET6);
    }

private:
    std::size_t Dump(std::uint8_t family) {
        struct {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++sequence_;
        message.request.sdiag_family = family;
        message.request.sdiag_protocol = IPPROTO_TCP;
        message.request.idiag_states = 0xFFF;
        return Exchange(&message, sizeof message);
    }

    std::size_t Exchange(const void* message, std::size_t size) {
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ::sendto(fd_, message, size, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        std::size_t count = 0;
        while (true) {
            const ssize_t received = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
            if (received <= 0) return count;
            int length = static_cast<int>(received);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer_.data()); NLMSG_OK(header, length);
                 header = NLMSG_NEXT(header, length)) {
                if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) return count;
                ++count;
            }
        }
    }

    Kind kind_;
    int fd_ = -1;
    std::uint32_t sequence_ = 0;
    std::vector<char> buffer_;
};

}  // namespace velmor::bench
