#include "velmor/test/syn_test_bed.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "velmor/test/child_process.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

bool IsV6(const std::string& address) {
    return address.find(':') != std::string::npos;
}

// A socket address of `address` (IPv4 or IPv6 text) and `port`; false when the text is no address.
bool SocketAddress(const std::string& address, int port, sockaddr_storage& out, socklen_t& size) {
    out = {};
    if (IsV6(address)) {
        auto& where = reinterpret_cast<sockaddr_in6&>(out);
        where.sin6_family = AF_INET6;
        where.sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof where;
        return ::inet_pton(AF_INET6, address.c_str(), &where.sin6_addr) == 1;
    }
    auto& where = reinterpret_cast<sockaddr_in&>(out);
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    size = sizeof where;
    return ::inet_pton(AF_INET, address.c_str(), &where.sin_addr) == 1;
}

// A TCP socket of the calling thread's namespace bound to `source` and a port the kernel picks;
// -1 on failure. `port` receives that port.
int BoundSocket(const std::string& source, int& port) {
    sockaddr_storage local{};
    socklen_t size = 0;
    if (!SocketAddress(source, 0, local, size)) return -1;
    const int fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(local).sin_port);
    return fd;
}

// The nft table of a namespace that forges: answers to a forged socket (its address and port) are
// dropped before TCP sees them, so its handshakes never complete and it never resets them.
constexpr const char* kForgeTable =
    "table inet synbed {\n"
    "  set forged4 { type ipv4_addr . inet_service; }\n"
    "  set forged6 { type ipv6_addr . inet_service; }\n"
    "  chain input {\n"
    "    type filter hook input priority filter; policy accept;\n"
    "    ip daddr . tcp dport @forged4 drop\n"
    "    ip6 daddr . tcp dport @forged6 drop\n"
    "  }\n"
    "}\n";

}  // namespace

SynTestBed::SynTestBed() {
    static std::atomic<int> counter{0};
    const int number = counter++;
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(number);
    monitored_ = "vs-m" + tag;
    gateway_ = "vs-g" + tag;
    client_ = "vs-c" + tag;
    // Interface names are limited to 15 bytes.
    const std::string short_tag = std::to_string(::getpid() % 100000) + std::to_string(number % 100);
    const std::string m = "vsa" + short_tag, gm = "vsb" + short_tag, gc = "vsc" + short_tag,
                      c = "vsd" + short_tag;
    // Duplicate address detection is off in all three before any interface exists, so every IPv6
    // address (the automatic link-local ones too) is usable at once.
    std::string script = "set -e";
    for (const std::string* ns : {&monitored_, &gateway_, &client_}) {
        script += "; ip netns add " + *ns + "; ip netns exec " + *ns +
                  " sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0; ip -n " +
                  *ns + " link set lo up";
    }
    const auto in = [&](const std::string& ns, const std::string& command) {
        script += "; ip -n " + ns + " " + command;
    };
    // The links, made inside the namespaces so they take their settings.
    in(monitored_, "link add " + m + " type veth peer name " + gm + " netns " + gateway_);
    in(gateway_, "link add " + gc + " type veth peer name " + c + " netns " + client_);
    for (const auto& [ns, link] : {std::pair{monitored_, m}, {gateway_, gm}, {gateway_, gc}, {client_, c}})
        in(ns, "link set " + link + " up");
    // The monitored host: one link, its way out through the gateway in both families.
    in(monitored_, "addr add " + std::string(kMonitoredAddress) + "/24 dev " + m);
    in(monitored_, "addr add " + std::string(kMonitoredAddress6) + "/64 dev " + m + " nodad");
    in(monitored_, "route add default via " + std::string(kGatewayAddress));
    in(monitored_, "-6 route add default via " + std::string(kGatewayLinkLocal6) + " dev " + m);
    // The gateway: its addresses and the resolver's on the monitored host's link, a router between.
    in(gateway_, "addr add " + std::string(kGatewayAddress) + "/24 dev " + gm);
    in(gateway_, "addr add " + std::string(kResolverAddress) + "/24 dev " + gm);
    in(gateway_, "addr add " + std::string(kGatewayLinkLocal6) + "/64 dev " + gm + " nodad");
    in(gateway_, "addr add " + std::string(kGatewayAddress6) + "/64 dev " + gm + " nodad");
    in(gateway_, "addr add 10.78.1.1/30 dev " + gc);
    in(gateway_, "addr add fd00:78:1::1/64 dev " + gc + " nodad");
    in(gateway_, "route add 10.79.0.0/16 via 10.78.1.2");
    in(gateway_, "-6 route add fd00:79::/64 via fd00:78:1::2");
    script +=
        "; ip netns exec " + gateway_ + " sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1";
    // The client: every address of its ranges is its own (AnyIP); IPv6 binds to them need
    // ip_nonlocal_bind, IPv4 ones take the local route as it is.
    in(client_, "addr add 10.78.1.2/30 dev " + c);
    in(client_, "addr add fd00:78:1::2/64 dev " + c + " nodad");
    in(client_, "route add default via 10.78.1.1");
    in(client_, "-6 route add default via fd00:78:1::1");
    in(client_, "route add local 10.79.0.0/16 dev lo");
    in(client_, "-6 route add local fd00:79::/64 dev lo");
    script += "; ip netns exec " + client_ + " sysctl -qw net.ipv6.ip_nonlocal_bind=1";
    const int status = RunShell("sh -c '" + script + "' 2>&1");
    bool tables = status == 0;
    for (const std::string* ns : {&gateway_, &client_}) {
        if (!tables) break;
        tables = RunShell("printf '%s' '" + std::string(kForgeTable) + "' | ip netns exec " + *ns +
                          " nft -f - 2>&1") == 0;
    }
    if (status != 0 || !tables) {
        ADD_FAILURE() << "CANNOT CREATE THE SYN TEST BED'S NAMESPACES (status " << status
                      << "): it needs root, `ip netns` and nft; its tests fail rather than skip.";
        return;
    }
    etc_ = std::make_unique<NamespaceEtcFiles>(
        monitored_, std::map<std::string, std::string>{
                        {"resolv.conf", "nameserver " + std::string(kResolverAddress) + "\n"}});
    ok_ = etc_->ok();
}

SynTestBed::~SynTestBed() {
    for (int fd : forged_) ::close(fd);
    etc_.reset();
    for (const std::string* ns : {&monitored_, &gateway_, &client_})
        RunShell("ip netns del " + *ns + " 2>/dev/null");
}

std::string SynTestBed::ResolverFile() const {
    return "/etc/netns/" + monitored_ + "/resolv.conf";
}

std::string SynTestBed::ClientAddress(int index) {
    return "10.79." + std::to_string(index / 254) + "." + std::to_string(index % 254 + 1);
}

std::string SynTestBed::ClientAddress6(int index) {
    std::ostringstream text;
    text << "fd00:79::" << std::hex << (index + 1);
    return text.str();
}

bool SynTestBed::ForgeSyns(const std::vector<std::string>& sources, int port) {
    // Each source's namespace: the gateway holds its own addresses, the client everything else.
    const auto holder = [&](const std::string& source) {
        return source == kGatewayAddress || source == kResolverAddress || source == kGatewayAddress6
                   ? gateway_
                   : client_;
    };
    std::map<std::string, std::string> elements4, elements6;  // namespace: nft elements
    std::vector<std::pair<int, std::string>> sockets;         // fd, source
    for (const std::string& source : sources) {
        int fd = -1, local_port = 0;
        TestNetwork::RunIn(holder(source), [&] { fd = BoundSocket(source, local_port); });
        if (fd < 0) {
            ADD_FAILURE() << "cannot bind a socket to " << source << ": " << std::strerror(errno);
            return false;
        }
        forged_.push_back(fd);
        sockets.emplace_back(fd, source);
        std::string& list = IsV6(source) ? elements6[holder(source)] : elements4[holder(source)];
        list += (list.empty() ? "" : ", ") + source + " . " + std::to_string(local_port);
    }
    // The answers are dropped before the first SYN leaves.
    for (const auto* family : {&elements4, &elements6}) {
        for (const auto& [ns, list] : *family) {
            const std::string set = family == &elements4 ? "forged4" : "forged6";
            if (TestNetwork::Exec(ns, "nft add element inet synbed " + set + " '{ " + list + " }'") != 0) {
                ADD_FAILURE() << "nft refused the forged sources " << list;
                return false;
            }
        }
    }
    for (const auto& [fd, source] : sockets) {
        sockaddr_storage to{};
        socklen_t size = 0;
        SocketAddress(IsV6(source) ? kMonitoredAddress6 : kMonitoredAddress, port, to, size);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), size) != 0 && errno != EINPROGRESS) {
            ADD_FAILURE() << "no SYN from " << source << ": " << std::strerror(errno);
            return false;
        }
    }
    return true;
}

int SynTestBed::Handshake(const std::string& source, int port) {
    const std::string ns =
        source == kGatewayAddress || source == kResolverAddress || source == kGatewayAddress6 ? gateway_
                                                                                              : client_;
    int fd = -1;
    TestNetwork::RunIn(ns, [&] {
        int local_port = 0;
        fd = BoundSocket(source, local_port);
        if (fd < 0) return;
        sockaddr_storage to{};
        socklen_t size = 0;
        SocketAddress(IsV6(source) ? kMonitoredAddress6 : kMonitoredAddress, port, to, size);
        const timeval timeout{3, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), size) != 0) {
            ::close(fd);
            fd = -1;
        }
    });
    return fd;
}

bool SynTestBed::Ping(const std::string& address) const {
    return TestNetwork::Exec(monitored_, "ping -c 1 -W 1 -q " + address + " >/dev/null 2>&1") == 0;
}

int SynTestBed::CountOnPort(const std::string& state, int port) const {
    const std::string lines = ShellOutput("ip netns exec " + monitored_ + " ss -Htn state " + state +
                                          " sport = :" + std::to_string(port));
    int count = 0;
    for (char ch : lines) count += ch == '\n' ? 1 : 0;
    return count;
}

}  // namespace velmor::test
