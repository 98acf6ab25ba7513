// End-to-end: velmor-guard in the monitored namespace of the test's own, and the headless monitor as
// an unprivileged user that blocks through it. Nothing here touches the machine's own namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "velmor/common/text_file.h"
#include "velmor/guard/guard_events.h"
#include "velmor/guard/guard_link.h"
#include "velmor/platform/connection_table.h"
#include "velmor/test/child_process.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kLocal6 = "fd00:77::1";
constexpr const char* kRemote6 = "fd00:77::2";
// The group the tests' guards trust, and the user velmor runs as: nobody/nogroup.
constexpr const char* kTrustedId = "65534";

std::filesystem::path TestFolder() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
}
std::filesystem::path GuardProgram() {
    return BuiltProgramFolder().parent_path() / "libexec" / "velmor-guard";
}

int Status(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

enum class Attempt { Connected, Refused, TimedOut };

// One TCP connection attempt from `netns`, waiting at most `timeout` for the handshake.
Attempt TryConnect(const std::string& netns, const std::string& address, int port,
                   std::chrono::milliseconds timeout = 700ms) {
    Attempt result = Attempt::Refused;
    TestNetwork::RunIn(netns, [&] {
        const bool v6 = address.find(':') != std::string::npos;
        const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        sockaddr_storage where{};
        socklen_t size = 0;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&where);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(static_cast<std::uint16_t>(port));
            ::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
            size = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&where);
            a->sin_family = AF_INET;
            a->sin_port = htons(static_cast<std::uint16_t>(port));
            ::inet_pton(AF_INET, address.c_str(), &a->sin_addr);
            size = sizeof *a;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&where), size) == 0) {
            result = Attempt::Connected;
        } else if (errno == EINPROGRESS) {
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
                result = Attempt::TimedOut;
            } else {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                result = error == 0 ? Attempt::Connected : Attempt::Refused;
            }
        }
        ::close(fd);
    });
    return result;
}

// Whether a datagram from `from` reaches a UDP socket on `address`:`port` in `to`.
bool UdpArrives(const std::string& from, const std::string& to, const std::string& address, int port) {
    int receiver = -1;
    TestNetwork::RunIn(to, [&] {
        receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(receiver, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
            ::close(receiver);
            receiver = -1;
        }
    });
    if (receiver < 0) return false;
    TestNetwork::RunIn(from, [&] {
        const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
        const char byte = 'u';
        ::sendto(sender, &byte, 1, 0, reinterpret_cast<sockaddr*>(&where), sizeof where);
        ::close(sender);
    });
    pollfd entry{receiver, POLLIN, 0};
    const bool arrived = ::poll(&entry, 1, 700) == 1;
    ::close(receiver);
    return arrived;
}

// A python3 program of the test's, run in `netns`: with "connect ADDRESS PORT BYTES" it connects,
// sends that many bytes and says "ready"; with "accept ADDRESS PORT" it listens, says "listening",
// accepts one connection and says "ready"; with "udp ADDRESS PORT" it binds a UDP socket and says
// "ready". Each then waits until its standard input closes.
std::unique_ptr<ChildProcess> Program(const std::string& netns, const std::vector<std::string>& words) {
    static const std::string code =
        "import socket, sys\n"
        "family = socket.AF_INET6 if ':' in sys.argv[2] else socket.AF_INET\n"
        "if sys.argv[1] == 'connect':\n"
        "    s = socket.create_connection((sys.argv[2], int(sys.argv[3])))\n"
        "    s.sendall(b'x' * int(sys.argv[4]))\n"
        "elif sys.argv[1] == 'udp':\n"
        "    s = socket.socket(family, socket.SOCK_DGRAM)\n"
        "    s.bind((sys.argv[2], int(sys.argv[3])))\n"
        "else:\n"
        "    l = socket.socket(family)\n"
        "    l.bind((sys.argv[2], int(sys.argv[3])))\n"
        "    l.listen()\n"
        "    print('listening', flush=True)\n"
        "    s, _ = l.accept()\n"
        "print('ready', flush=True)\n"
        "sys.stdin.read()\n";
    std::vector<std::string> command{"ip", "netns", "exec", netns, "python3", "-c", code};
    command.insert(command.end(), words.begin(), words.end());
    return std::make_unique<ChildProcess>(command);
}

// What the connection table of `netns` says of the socket with these ports: its cookie and inode.
std::optional<guard::SocketRef> SocketOf(const std::string& netns, int local_port, int remote_port) {
    std::optional<guard::SocketRef> found;
    TestNetwork::RunIn(netns, [&] {
        const auto table = platform::MakeSystemConnectionTable();
        platform::TcpTable rows;
        if (!table->ReadTcp(rows)) return;
        for (std::size_t i = 0; i < rows.rows.size() && i < rows.details.size(); ++i) {
            const auto port = [](std::uint32_t field) {
                const auto* bytes = reinterpret_cast<const unsigned char*>(&field);
                return bytes[0] << 8 | bytes[1];
            };
            if ((local_port != 0 && port(rows.rows[i].dwLocalPort) != local_port) ||
                port(rows.rows[i].dwRemotePort) != remote_port)
                continue;
            const auto& id = rows.ids[i];
            found = guard::SocketRef{static_cast<std::uint64_t>(id.cookie[1]) << 32 | id.cookie[0],
                                     rows.details[i].inode};
        }
    });
    return found;
}

std::string ExecutableOf(int pid) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

class GuardEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        ASSERT_TRUE(std::filesystem::exists(GuardProgram())) << GuardProgram();
        // Users other than root must reach the socket's folder; the guard decides who is served.
        std::filesystem::permissions(run.path(), std::filesystem::perms(0755));
        socket_path = (run / "guard.sock").string();
    }

    // The guard with the rights and arguments of its systemd unit. `without_bpf`: less the rights to
    // load BPF programs (as on a system that withholds them).
    void StartGuard(bool without_bpf = false, const std::string& group = kTrustedId) {
        std::vector<std::string> command{"ip", "netns", "exec", net.local(), VELMOR_GUARD_AS_UNIT};
        if (without_bpf) {
            for (const char* word : {"--without", "CAP_BPF", "--without", "CAP_PERFMON"})
                command.emplace_back(word);
        }
        for (const std::string& word :
             {GuardProgram().string(), std::string("--socket"), socket_path, std::string("--group"), group}) {
            command.push_back(word);
        }
        guard = std::make_unique<ChildProcess>(command);
        ASSERT_TRUE(guard->started());
        ASSERT_TRUE(WaitUntil([&] { return Link() != nullptr; }, 10s)) << "the guard did not come up";
    }
    void StopGuard(int signal_number) {
        ::kill(guard->pid(), signal_number);
        EXPECT_TRUE(guard->Wait(10s).has_value());
        guard.reset();
    }
    // A link to the guard from the monitored namespace (the guard serves its own namespace only);
    // nullptr when it does not answer.
    std::unique_ptr<guard::GuardLink> Link() {
        auto link = guard::MakeGuardLink(socket_path);
        bool connected = false;
        TestNetwork::RunIn(net.local(), [&] { connected = link->Connect(); });
        return connected ? std::move(link) : nullptr;
    }
    // The guard's event stream, subscribed from the monitored namespace; nullptr when refused.
    std::unique_ptr<guard::GuardEventStream> Events() {
        auto stream = guard::MakeGuardEventStream(socket_path);
        bool subscribed = false;
        TestNetwork::RunIn(net.local(), [&] { subscribed = stream->Subscribe(); });
        return subscribed ? std::move(stream) : nullptr;
    }
    std::string Nft(const std::string& what) {
        return ShellOutput("ip netns exec " + net.local() + " nft " + what + " 2>&1");
    }
    int TableCount() {
        const std::string tables = Nft("list tables");
        int count = 0;
        for (std::size_t at = 0; (at = tables.find("table inet velmor", at)) != std::string::npos; ++at)
            ++count;
        return count;
    }
    std::string Probe(const std::string& user_and_groups, const std::string& commands) {
        return "ip netns exec " + net.local() + " setpriv " + user_and_groups + " " +
               (TestFolder() / "guard_probe").string() + " " + socket_path + " " + commands + " >/dev/null";
    }
    void AddIpv6() {
        // The test network gives both hosts their IPv6 addresses; check they are there.
        for (const auto& [ns, address] :
             {std::pair{net.local(), kLocal6}, std::pair{net.remote(), kRemote6}}) {
            ASSERT_EQ(
                TestNetwork::Exec(ns, std::string("ip -6 addr show | grep -q 'inet6 ") + address + "/'"), 0)
                << address;
        }
    }

    TestNetwork net;
    TempDir run;
    std::string socket_path;
    std::unique_ptr<ChildProcess> guard;
};

TEST_F(GuardEndToEnd, RefusesAClientOfAnotherUserAndServesRootAndTheGroup) {
    StartGuard();
    EXPECT_EQ(Status(Probe("--reuid 65533 --regid 65533 --clear-groups", "status")), 3)
        << "a stranger was served";
    EXPECT_EQ(Status(Probe("--reuid 65534 --regid 65534 --clear-groups", "status")), 0);
    // A supplementary group counts as well.
    EXPECT_EQ(Status(Probe("--reuid 65533 --regid 65533 --groups 65534", "status")), 0);
    // Root in another network namespace: the guard would act on the wrong connections and packets.
    EXPECT_EQ(Status("ip netns exec " + net.remote() + " " + (TestFolder() / "guard_probe").string() + " " +
                     socket_path + " status >/dev/null"),
              3)
        << "a client of another namespace was served";
    auto root = Link();
    ASSERT_NE(root, nullptr);
    const auto state = root->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->packet_filter);
    EXPECT_TRUE(state->teardown);
    EXPECT_TRUE(state->bait);
}

// The line "name:\tvalue" of a process's /proc status.
std::string ProcStatus(int pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(name + ":")) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    }
    return "(none)";
}

TEST_F(GuardEndToEnd, WithExactlyTheUnitsRightsTheGuardOffersEveryFeature) {
    StartGuard();
    // CAP_NET_BIND_SERVICE (10), CAP_NET_ADMIN (12), CAP_SYS_PTRACE (19, to read /proc/<pid>/fd and
    // exe), CAP_PERFMON (38) and CAP_BPF (39), nothing else, and no way to gain more.
    EXPECT_EQ(ProcStatus(guard->pid(), "CapEff"), "000000c000081400");
    EXPECT_EQ(ProcStatus(guard->pid(), "CapBnd"), "000000c000081400");
    EXPECT_EQ(ProcStatus(guard->pid(), "NoNewPrivs"), "1");
    auto link = Link();
    ASSERT_NE(link, nullptr);
    const auto state = link->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->packet_filter);
    EXPECT_TRUE(state->teardown);
    EXPECT_TRUE(state->bait);
    EXPECT_NE(Events(), nullptr) << "no kernel socket events with the unit's rights";
}

TEST_F(GuardEndToEnd, KillAndRestartLeaveOneTableAndAStopRemovesIt) {
    StartGuard();
    EXPECT_EQ(TableCount(), 1);
    StopGuard(SIGKILL);
    EXPECT_EQ(TableCount(), 1) << "a killed guard leaves its table behind";
    StartGuard();
    EXPECT_EQ(TableCount(), 1);
    StopGuard(SIGTERM);
    EXPECT_EQ(TableCount(), 0);
}

TEST_F(GuardEndToEnd, Ipv6AddressInTheSetGetsNoAnswerEitherWayUntilRemoved) {
    AddIpv6();
    StartGuard();
    const int local_listener = ListenIn(net.local(), "::", 8080);
    const int remote_listener = ListenIn(net.remote(), "::", 9090);
    ASSERT_GE(local_listener, 0);
    ASSERT_GE(remote_listener, 0);
    ASSERT_EQ(TryConnect(net.remote(), kLocal6, 8080, 3s), Attempt::Connected);

    auto link = Link();
    ASSERT_NE(link, nullptr);
    const std::vector<std::string> address = {kRemote6};
    ASSERT_TRUE(link->UpdateBlocked(false, address, {}));
    EXPECT_NE(Nft("list set inet velmor blocked6").find(kRemote6), std::string::npos);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(TryConnect(net.remote(), kLocal6, 8080), Attempt::TimedOut) << i;
    EXPECT_NE(TryConnect(net.local(), kRemote6, 9090), Attempt::Connected);
    EXPECT_LT(AcceptOne(remote_listener, 0ms), 0);

    ASSERT_TRUE(link->UpdateBlocked(false, {}, address));
    EXPECT_EQ(TryConnect(net.remote(), kLocal6, 8080, 3s), Attempt::Connected);
    EXPECT_EQ(TryConnect(net.local(), kRemote6, 9090, 3s), Attempt::Connected);
    CloseSocket(local_listener);
    CloseSocket(remote_listener);
}

TEST_F(GuardEndToEnd, TheBaitSocketIsDualStackOnPort80WithTheLongestAcceptQueue) {
    AddIpv6();
    // The namespace allows more than the C library's SOMAXCONN.
    ASSERT_EQ(TestNetwork::Exec(net.local(), "sysctl -qw net.core.somaxconn=16384"), 0);
    StartGuard();
    auto link = Link();
    ASSERT_NE(link, nullptr);
    const int bait = link->TakeBaitSocket();
    ASSERT_GE(bait, 0);
    EXPECT_EQ(LocalPort(bait), 80);
    // `ss` shows a listener's queue limit as Send-Q.
    EXPECT_NE(ShellOutput("ip netns exec " + net.local() + " ss -Hltn sport = :80").find(" 16384 "),
              std::string::npos)
        << ShellOutput("ip netns exec " + net.local() + " ss -Hltn sport = :80");
    EXPECT_EQ(TryConnect(net.remote(), TestNetwork::kLocalAddress, 80, 3s), Attempt::Connected);
    EXPECT_EQ(TryConnect(net.remote(), kLocal6, 80, 3s), Attempt::Connected);
    CloseSocket(bait);
}

bool Waits(guard::GuardEventStream& stream, std::chrono::milliseconds timeout) {
    pollfd entry{stream.Fd(), POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
}

std::array<std::uint8_t, 16> V4(const char* text) {
    std::array<std::uint8_t, 16> bytes{};
    ::inet_pton(AF_INET, text, bytes.data());
    return bytes;
}

TEST_F(GuardEndToEnd, SubscribersGetTheSocketEventsOfTheGuardsNamespaceOnly) {
    StartGuard();
    auto stream = Events();
    ASSERT_NE(stream, nullptr) << "a guard with the rights for BPF offers its events";
    auto link = Link();
    ASSERT_NE(link, nullptr);

    // A connection inside the other namespace is none of the guard's business.
    const int other = ListenIn(net.remote(), "127.0.0.1", 7070);
    ASSERT_GE(other, 0);
    const int other_client = ConnectFrom(net.remote(), "127.0.0.1", 7070);
    ASSERT_GE(other_client, 0);
    const int listener = ListenIn(net.local(), "0.0.0.0", 8080);
    ASSERT_GE(listener, 0);
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 8080);
    ASSERT_GE(client, 0);

    std::vector<guard::EventRecord> events;
    const auto connected = [&] {
        for (const auto& e : events) {
            if (e.family == 2 && e.local_port == 8080 && e.remote == V4(TestNetwork::kRemoteAddress) &&
                e.new_state == 1) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (Waits(*stream, 100ms)) {
                EXPECT_FALSE(stream->Take(&events).hung_up);
            }
            return connected();
        },
        5s))
        << events.size() << " events, none for the accepted connection";
    for (const auto& e : events) {
        EXPECT_NE(e.local_port, 7070) << "an event of another namespace";
        EXPECT_NE(e.remote_port, 7070) << "an event of another namespace";
    }
    // The listener going away is reported as leaving the table.
    CloseSocket(listener);
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (Waits(*stream, 100ms)) stream->Take(&events);
            return std::any_of(events.begin(), events.end(), [](const guard::EventRecord& e) {
                return e.local_port == 8080 && e.old_state == 10 && e.new_state == 7;
            });
        },
        5s));
    CloseSocket(client);
    CloseSocket(other_client);
    CloseSocket(other);

    // The stream is no part of the session: the request link ending lifts the sets all the same.
    ASSERT_TRUE(link->UpdateBlocked(false, std::vector<std::string>{"10.77.0.9"}, {}));
    ASSERT_NE(Nft("list set inet velmor blocked4").find("10.77.0.9"), std::string::npos);
    link.reset();
    EXPECT_TRUE(WaitUntil(
        [&] { return Nft("list set inet velmor blocked4").find("10.77.0.9") == std::string::npos; }, 3s));
    EXPECT_TRUE(stream->Live());

    // The guard going away ends the stream, and its descriptor goes quiet instead of staying readable.
    StopGuard(SIGTERM);
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (Waits(*stream, 100ms)) stream->Take(nullptr);
            return !stream->Live();
        },
        5s));
    EXPECT_FALSE(Waits(*stream, 50ms));
}

TEST_F(GuardEndToEnd, AGuardWithoutTheRightsForBpfRefusesSubscribersAndServesRequests) {
    StartGuard(true);
    EXPECT_EQ(Events(), nullptr);
    auto link = Link();
    ASSERT_NE(link, nullptr);
    const auto state = link->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->packet_filter);
    EXPECT_TRUE(state->teardown);
}

TEST_F(GuardEndToEnd, TheGuardRefusesLifelinesWhoeverAsksAndTrafficToTheGatewayFlows) {
    AddIpv6();
    // The remote host is the monitored one's default gateway.
    ASSERT_EQ(TestNetwork::Exec(net.local(), "ip route add default via 10.77.0.2"), 0);
    StartGuard();
    auto link = Link();
    ASSERT_NE(link, nullptr);
    const std::vector<std::string> asked = {"10.77.0.2", "10.77.0.1", "127.0.0.53", "::1",
                                            kLocal6,     "10.77.0.9", "fd00:77::9"};
    ASSERT_TRUE(link->UpdateBlocked(false, asked, {}));
    using guard::Refusal;
    EXPECT_EQ(link->TakeRefused(), (std::vector<guard::RefusedLifeline>{{"10.77.0.2", Refusal::Gateway},
                                                                        {"10.77.0.1", Refusal::OwnAddress},
                                                                        {"127.0.0.53", Refusal::Loopback},
                                                                        {"::1", Refusal::Loopback},
                                                                        {kLocal6, Refusal::OwnAddress}}));
    EXPECT_TRUE(link->TakeRefused().empty());
    const std::string set4 = Nft("list set inet velmor blocked4");
    const std::string set6 = Nft("list set inet velmor blocked6");
    EXPECT_NE(set4.find("10.77.0.9"), std::string::npos) << set4;
    EXPECT_NE(set6.find("fd00:77::9"), std::string::npos) << set6;
    for (const char* lifeline : {"10.77.0.2", "10.77.0.1", "127.0.0.53"})
        EXPECT_EQ(set4.find(lifeline), std::string::npos) << set4;
    const int listener = ListenIn(net.remote(), "0.0.0.0", 9090);
    ASSERT_GE(listener, 0);
    EXPECT_EQ(TryConnect(net.local(), "10.77.0.2", 9090, 3s), Attempt::Connected)
        << "the gateway was cut off";
    CloseSocket(listener);

    // A blocked address that becomes one of the namespace's own leaves the set at once, and the next
    // reply says so.
    ASSERT_EQ(TestNetwork::Exec(net.local(), "ip addr add 10.77.0.9/32 dev lo"), 0);
    EXPECT_TRUE(WaitUntil(
        [&] { return Nft("list set inet velmor blocked4").find("10.77.0.9") == std::string::npos; }, 3s));
    ASSERT_TRUE(link->UpdateBlocked(false, {}, {}));
    EXPECT_EQ(link->TakeRefused(), (std::vector<guard::RefusedLifeline>{{"10.77.0.9", Refusal::OwnAddress}}));
}

// A client of the first protocol version, as an older velmor speaks it, byte for byte.
TEST_F(GuardEndToEnd, AnOlderClientReadsARefusalAsSuccessAndStaysConnected) {
    ASSERT_EQ(TestNetwork::Exec(net.local(), "ip route add default via 10.77.0.2"), 0);
    StartGuard();
    int fd = -1;
    TestNetwork::RunIn(net.local(), [&] {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        std::memcpy(where.sun_path, socket_path.c_str(), socket_path.size() + 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
            ::close(fd);
            fd = -1;
        }
    });
    ASSERT_GE(fd, 0);
    const auto exchange = [&](const guard::Request& request, std::size_t reply_size) {
        const auto bytes = guard::EncodeRequest(request);
        EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        std::vector<std::uint8_t> reply(reply_size + 1);
        std::size_t got = 0;
        pollfd entry{fd, POLLIN, 0};
        while (got < reply_size && ::poll(&entry, 1, 3000) == 1) {
            const ssize_t n = ::recv(fd, reply.data() + got, reply.size() - got, 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        reply.resize(got);
        return reply;
    };
    guard::Address gateway, other;
    ASSERT_TRUE(guard::ParseAddress("10.77.0.2", gateway));
    ASSERT_TRUE(guard::ParseAddress("10.77.0.8", other));
    guard::Request update{guard::Op::UpdateBlocked, {}, false, {gateway, other}, {}, false, 1};
    EXPECT_EQ(exchange(update, 9), (std::vector<std::uint8_t>{'V', 'G', 1, 0x83, 1, 0, 0, 0, 0}));
    const auto status = exchange(guard::Request{guard::Op::Status, {}, false, {}, {}, false, 1}, 20);
    ASSERT_EQ(status.size(), 20u) << "the guard hung up on the older client";
    EXPECT_EQ(status[2], 1);
    EXPECT_EQ(status[12], 1) << "one address in blocked4";
    const std::string set4 = Nft("list set inet velmor blocked4");
    EXPECT_NE(set4.find("10.77.0.8"), std::string::npos) << set4;
    EXPECT_EQ(set4.find("10.77.0.2"), std::string::npos) << set4;
    ::close(fd);
}

TEST_F(GuardEndToEnd, AUserOutsideTheGuardsGroupIsToldTheCommandThatLetsItIn) {
    // The guard serves another group than nobody's; velmor runs installed-like, from a folder of its own.
    StartGuard(false, "65533");
    TempDir folder;
    std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
    ASSERT_EQ(Status("chown -R 65534:65534 " + folder.path().string()), 0);
    std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
    ChildProcess monitor({"ip", "netns", "exec", net.local(), "setpriv", "--reuid", kTrustedId, "--regid",
                          kTrustedId, "--clear-groups", "env",
                          std::string(guard::kGuardSocketVariable) + "=" + socket_path, "sh", "-c",
                          "exec \"$0\" --headless 2>&1", (folder / "velmor").string()});
    ASSERT_TRUE(monitor.started());
    std::string notice;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto line = monitor.ReadLine(100ms);
            if (line && line->starts_with("velmor: ⚠")) notice = *line;
            return !notice.empty();
        },
        10s));
    EXPECT_NE(notice.find("velmor-guard가 실행 중이지만 이 사용자의 요청을 거절했습니다"), std::string::npos)
        << notice;
    EXPECT_NE(notice.find("\"sudo adduser nobody velmor\""), std::string::npos) << notice;
    EXPECT_NE(notice.find("다시 로그인"), std::string::npos) << notice;
    EXPECT_EQ(notice.find("run.sh"), std::string::npos) << notice;
    const auto answer = monitor.Ask("guard", 10s).value_or(std::vector<std::string>{});
    EXPECT_NE(std::find(answer.begin(), answer.end(), "guard refused"), answer.end())
        << (answer.empty() ? std::string("(no answer)") : answer.front());
}

// Programs the test starts connect out (IPv4 and IPv6) and accept: the guard names each by pid, name
// and path, from its kernel program for those that came after it (their owner records come with the
// events) and from /proc for a socket older than the guard; a socket that closes tells its last
// counts, which match what the program sent.
TEST_F(GuardEndToEnd, OwnersNameEachProgramFromTheKernelAndASocketOlderThanTheGuardFromProc) {
    AddIpv6();
    const int remote = ListenIn(net.remote(), "::", 7600);
    ASSERT_GE(remote, 0);
    LineLog log;
    auto older = Program(net.local(), {"connect", TestNetwork::kRemoteAddress, "7600", "10"});
    ASSERT_TRUE(log.WaitFor(*older, "ready", 10s)) << log.Text();
    const int older_peer = AcceptOne(remote, 2s);
    StartGuard();
    auto events = Events();
    ASSERT_NE(events, nullptr);
    auto v4 = Program(net.local(), {"connect", TestNetwork::kRemoteAddress, "7600", "3000"});
    auto v6 = Program(net.local(), {"connect", kRemote6, "7600", "20"});
    auto server = Program(net.local(), {"accept", "0.0.0.0", "7601"});
    for (ChildProcess* program : {v4.get(), v6.get()})
        ASSERT_TRUE(log.WaitFor(*program, "ready", 10s)) << log.Text();
    ASSERT_TRUE(log.WaitFor(*server, "listening", 10s)) << log.Text();
    // The two come in either order: the IPv4 one shows its address mapped.
    int v4_peer = AcceptOne(remote, 2s);
    int v6_peer = AcceptOne(remote, 2s);
    sockaddr_in6 first{};
    socklen_t first_size = sizeof first;
    ASSERT_EQ(::getpeername(v4_peer, reinterpret_cast<sockaddr*>(&first), &first_size), 0);
    if (!IN6_IS_ADDR_V4MAPPED(&first.sin6_addr)) std::swap(v4_peer, v6_peer);
    const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 7601);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(log.WaitFor(*server, "ready", 10s)) << log.Text();

    // The programs of the sockets asked for below, in their order.
    const ChildProcess* programs[] = {older.get(), v4.get(), v6.get(), server.get()};
    auto link = Link();
    ASSERT_NE(link, nullptr);
    std::vector<guard::SocketRef> asked;
    // Three programs share the remote port: each is told apart by its local port, which only the
    // table knows, so each is asked for by every socket to that port.
    std::vector<guard::OwnerRecord> owners;
    for (const int peer : {older_peer, v4_peer, v6_peer}) {
        ASSERT_GE(peer, 0);
        sockaddr_storage where{};
        socklen_t size = sizeof where;
        ASSERT_EQ(::getpeername(peer, reinterpret_cast<sockaddr*>(&where), &size), 0);
        const int port =
            ntohs(where.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&where)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&where)->sin_port);
        const auto socket = SocketOf(net.local(), port, 7600);
        ASSERT_TRUE(socket.has_value()) << port;
        asked.push_back(*socket);
    }
    const auto accepted = SocketOf(net.local(), 7601, LocalPort(client));
    ASSERT_TRUE(accepted.has_value());
    asked.push_back(*accepted);
    ASSERT_TRUE(link->Owners(asked, owners));
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const auto owner = std::find_if(owners.begin(), owners.end(), [&](const guard::OwnerRecord& o) {
            return o.cookie == asked[i].cookie;
        });
        ASSERT_NE(owner, owners.end()) << "socket " << i << " has no owner";
        EXPECT_EQ(owner->pid, static_cast<std::uint32_t>(programs[i]->pid())) << i;
        EXPECT_EQ(owner->name, "python3") << i;
        EXPECT_EQ(owner->path, ExecutableOf(programs[i]->pid())) << i;
        EXPECT_EQ(owner->uid, 0u) << i;
    }

    // The kernel program told the owners of the three sockets made after the guard as they happened;
    // the first program's socket it never saw.
    std::vector<guard::OwnerRecord> told;
    const auto told_of = [&](std::uint64_t cookie, bool closed) {
        return std::find_if(told.begin(), told.end(), [&](const guard::OwnerRecord& o) {
                   return o.cookie == cookie && ((o.flags & guard::OwnerRecord::kClosed) != 0) == closed;
               }) != told.end();
    };
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::vector<guard::OwnerRecord> more;
            events->Take(nullptr);
            events->TakeOwners(more);
            told.insert(told.end(), more.begin(), more.end());
            return told_of(asked[1].cookie, false) && told_of(asked[2].cookie, false) &&
                   told_of(asked[3].cookie, false);
        },
        5s));
    EXPECT_FALSE(told_of(asked[0].cookie, false));

    // The IPv4 program ends: its socket's last counts come with the events, its 3,000 bytes in them.
    char sink[4096];
    std::size_t drained = 0;
    const timeval patience{5, 0};  // a wrong peer must fail the test, not hang it
    ::setsockopt(v4_peer, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    while (drained < 3000) {
        const ssize_t n = ::recv(v4_peer, sink, sizeof sink, 0);
        ASSERT_GT(n, 0);
        drained += static_cast<std::size_t>(n);
    }
    v4.reset();
    CloseSocket(v4_peer);
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::vector<guard::OwnerRecord> more;
            events->Take(nullptr);
            events->TakeOwners(more);
            told.insert(told.end(), more.begin(), more.end());
            return told_of(asked[1].cookie, true);
        },
        5s));
    const auto last = std::find_if(told.begin(), told.end(), [&](const guard::OwnerRecord& o) {
        return o.cookie == asked[1].cookie && (o.flags & guard::OwnerRecord::kClosed) != 0;
    });
    EXPECT_GE(last->bytes_sent, 3000u);
    EXPECT_LE(last->bytes_sent, 3002u);  // in sequence space: a SYN and a FIN may be in it
    EXPECT_EQ(last->name, "python3");
    for (const int fd : {older_peer, v6_peer, client, remote}) CloseSocket(fd);
}

// Without the rights to load BPF programs the guard still names every program, from /proc.
TEST_F(GuardEndToEnd, AGuardWithoutBpfRightsNamesProgramsFromProc) {
    const int remote = ListenIn(net.remote(), "0.0.0.0", 7610);
    ASSERT_GE(remote, 0);
    StartGuard(true);
    EXPECT_EQ(Events(), nullptr);
    LineLog log;
    auto program = Program(net.local(), {"connect", TestNetwork::kRemoteAddress, "7610", "1"});
    ASSERT_TRUE(log.WaitFor(*program, "ready", 10s)) << log.Text();
    const int peer = AcceptOne(remote, 2s);
    const auto socket = SocketOf(net.local(), 0, 7610);
    ASSERT_TRUE(socket.has_value());
    auto link = Link();
    ASSERT_NE(link, nullptr);
    std::vector<guard::OwnerRecord> owners;
    ASSERT_TRUE(link->Owners(std::vector<guard::SocketRef>{*socket}, owners));
    ASSERT_EQ(owners.size(), 1u);
    EXPECT_EQ(owners[0].pid, static_cast<std::uint32_t>(program->pid()));
    EXPECT_EQ(owners[0].path, ExecutableOf(program->pid()));
    // A client the guard does not trust learns nothing; a member of its group, who may cut any
    // connection already, learns every user's program.
    const std::string ask = "owners " + std::to_string(socket->cookie) + " " + std::to_string(socket->inode);
    EXPECT_EQ(Status(Probe("--reuid 65533 --regid 65533 --clear-groups", ask)), 3) << "a stranger was told";
    const std::string told = ShellOutput(
        "ip netns exec " + net.local() + " setpriv --reuid 65534 --regid 65534 " + "--clear-groups " +
        (TestFolder() / "guard_probe").string() + " " + socket_path + " " + ask);
    EXPECT_NE(told.find("owner " + std::to_string(program->pid()) + " python3"), std::string::npos) << told;
    CloseSocket(peer);
    CloseSocket(remote);
}

// The headless monitor as nobody, without any capability, blocking through the guard.
class VelmorThroughGuard : public GuardEndToEnd {
protected:
    virtual bool GuardWithoutBpf() const { return false; }
    void SetUp() override {
        GuardEndToEnd::SetUp();
        if (HasFatalFailure()) return;
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
        ASSERT_EQ(Status("chown -R 65534:65534 " + folder.path().string()), 0);
        std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
        StartGuard(GuardWithoutBpf());
        monitor = std::make_unique<ChildProcess>(std::vector<std::string>{
            "ip", "netns", "exec", net.local(), "setpriv", "--reuid", kTrustedId, "--regid", kTrustedId,
            "--clear-groups", "env", std::string(guard::kGuardSocketVariable) + "=" + socket_path,
            (folder / "velmor").string(), "--headless"});
        ASSERT_TRUE(monitor->started());
        ASSERT_TRUE(monitor->Ask("stats", 10s).has_value());
        EXPECT_EQ(CapEff(monitor->pid()), "0000000000000000");
        const auto answer = monitor->Ask("guard").value_or(std::vector<std::string>{});
        ASSERT_FALSE(answer.empty());
        ASSERT_EQ(answer[0], "guard connected");
        EXPECT_NE(std::find(answer.begin(), answer.end(), "bait 1"), answer.end());
    }

    static std::string CapEff(int pid) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("CapEff:")) return line.substr(line.find_first_not_of(" \t", 7));
        }
        return "(none)";
    }
    bool SetHolds(const std::string& address) {
        return Nft("list set inet velmor blocked4").find(address) != std::string::npos;
    }
    // Files the remote host as an intruder on the guard's bait and waits for the teardown.
    void FileIntruder() {
        const int client = ConnectFrom(net.remote(), TestNetwork::kLocalAddress, 80);
        ASSERT_GE(client, 0) << "the bait did not answer";
        ASSERT_TRUE(WaitUntil([&] { return IsRegularFile(folder / "invader" / "10.77.0.2.x"); }, 5s));
        EXPECT_TRUE(SeesReset(client, 3s)) << "the intruder's connection should be torn down";
        CloseSocket(client);
        ASSERT_TRUE(WaitUntil([&] { return SetHolds("10.77.0.2"); }, 3s));
    }

    // The value of one line "name value" of a monitor's answer; -1 when it is not there.
    long long Stat(const std::string& name) {
        const auto answer = monitor->Ask("stats").value_or(std::vector<std::string>{});
        for (const std::string& line : answer) {
            if (line.starts_with(name + " ")) return std::stoll(line.substr(name.size() + 1));
        }
        return -1;
    }
    bool Offers(const std::string& line) {
        const auto answer = monitor->Ask("guard").value_or(std::vector<std::string>{});
        return std::find(answer.begin(), answer.end(), line) != answer.end();
    }

    TempDir folder;
    std::unique_ptr<ChildProcess> monitor;
};

TEST_F(VelmorThroughGuard, TheTableTimerSleepsUntilTheGuardsEventsWakeItForAnIntruder) {
    ASSERT_TRUE(Offers("events 1"));
    const long long wakes = Stat("event_wakes");
    ASSERT_GE(wakes, 0);
    // Idle, the timer waits for the safety net (a quarter of a second) instead of the 1 ms interval.
    const long long ticks = Stat("ticks");
    std::this_thread::sleep_for(2s);
    EXPECT_LT(Stat("ticks") - ticks, 200) << "the table timer kept ticking without news";

    FileIntruder();
    EXPECT_GT(Stat("event_wakes"), wakes) << "the intruder's connection should have woken the tick";
    EXPECT_GE(Stat("teardowns"), 1);
}

TEST_F(VelmorThroughGuard, IntrudersOfEitherFamilyAreFiledAndTornDownFromTheirEvent) {
    AddIpv6();
    ASSERT_TRUE(Offers("events 1"));
    const long long dumps = Stat("dumps");
    FileIntruder();
    EXPECT_GE(Stat("targeted"), 1) << "filed from the event and a lookup of its socket";

    const int client = ConnectFrom(net.remote(), kLocal6, 80);
    ASSERT_GE(client, 0) << "the bait did not answer over IPv6";
    EXPECT_TRUE(
        WaitUntil([&] { return IsRegularFile(folder / "invader" / (std::string(kRemote6) + ".x")); }, 5s));
    EXPECT_TRUE(SeesReset(client, 3s)) << "the IPv6 intruder's connection should be torn down";
    CloseSocket(client);
    EXPECT_TRUE(WaitUntil([&] { return Stat("targeted") >= 2; }, 3s));
    EXPECT_EQ(Stat("targeted_fallbacks"), 0);
    const auto answer = monitor->Ask("list").value_or(std::vector<std::string>{});
    const auto listed = [&](const std::string& address) {
        return std::any_of(answer.begin(), answer.end(),
                           [&](const std::string& line) { return line.starts_with(address + "\t1\t차단"); });
    };
    EXPECT_TRUE(listed("10.77.0.2")) << testing::PrintToString(answer);
    EXPECT_TRUE(listed(kRemote6)) << testing::PrintToString(answer);
    // At most the reads the safety net and the rule files' own change bring, not one per event.
    EXPECT_LT(Stat("dumps") - dumps, 20);
}

// The same monitor beside a guard that cannot load BPF: the counter gate runs as it always has.
class VelmorThroughGuardWithoutBpf : public VelmorThroughGuard {
protected:
    bool GuardWithoutBpf() const override { return true; }
};

TEST_F(VelmorThroughGuardWithoutBpf, TheCounterGateFilesAndTearsDownAnIntruder) {
    ASSERT_TRUE(Offers("events 0"));
    EXPECT_EQ(Stat("event_wakes"), -1) << "no event source, no waker";
    const long long ticks = Stat("ticks");
    std::this_thread::sleep_for(1s);
    EXPECT_GT(Stat("ticks") - ticks, 20) << "the 1 ms table timer should be running";
    FileIntruder();
    EXPECT_GE(Stat("teardowns"), 1);
}

TEST_F(VelmorThroughGuard, AnIntruderIsFiledTornDownAndThenGetsNoAnswerUntilAllowed) {
    const int listener = ListenIn(net.local(), "0.0.0.0", 8080);
    const int remote_listener = ListenIn(net.remote(), "0.0.0.0", 9090);
    ASSERT_GE(listener, 0);
    ASSERT_GE(remote_listener, 0);
    FileIntruder();

    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(TryConnect(net.remote(), TestNetwork::kLocalAddress, 8080), Attempt::TimedOut) << i;
        EXPECT_EQ(TryConnect(net.remote(), TestNetwork::kLocalAddress, 80), Attempt::TimedOut) << i;
    }
    // Not one of them reached the listening service.
    EXPECT_LT(AcceptOne(listener, 0ms), 0);
    // Outgoing: the local stack refuses to send what its output chain drops; nothing arrives there.
    EXPECT_NE(TryConnect(net.local(), TestNetwork::kRemoteAddress, 9090), Attempt::Connected);
    EXPECT_LT(AcceptOne(remote_listener, 0ms), 0);
    EXPECT_FALSE(UdpArrives(net.remote(), net.local(), TestNetwork::kLocalAddress, 5300));

    // "허용" lets it through at once.
    ASSERT_TRUE(monitor->Ask("toggle 10.77.0.2").has_value());
    EXPECT_TRUE(WaitUntil([&] { return !SetHolds("10.77.0.2"); }, 3s));
    EXPECT_EQ(TryConnect(net.remote(), TestNetwork::kLocalAddress, 8080, 3s), Attempt::Connected);
    EXPECT_EQ(TryConnect(net.local(), TestNetwork::kRemoteAddress, 9090, 3s), Attempt::Connected);
    EXPECT_TRUE(UdpArrives(net.remote(), net.local(), TestNetwork::kLocalAddress, 5300));
    CloseSocket(listener);
    CloseSocket(remote_listener);
}

// velmor runs as nobody and learns through the guard which program of root's talks to an address and
// how much: `connections` names it with pid and path and its bytes, `list` adds the program and the
// bytes after its fields, and when the program is gone its bytes stay in the address's totals.
TEST_F(VelmorThroughGuard, ConnectionsAndTheListNameAnotherUsersProgramAndKeepItsBytes) {
    const int remote = ListenIn(net.remote(), "0.0.0.0", 7700);
    ASSERT_GE(remote, 0);
    LineLog log;
    auto program = Program(net.local(), {"connect", TestNetwork::kRemoteAddress, "7700", "3000"});
    ASSERT_TRUE(log.WaitFor(*program, "ready", 10s)) << log.Text();
    auto udp = Program(net.local(), {"udp", TestNetwork::kLocalAddress, "7701"});
    ASSERT_TRUE(log.WaitFor(*udp, "ready", 10s)) << log.Text();
    const int peer = AcceptOne(remote, 2s);
    ASSERT_GE(peer, 0);
    char sink[4096];
    for (std::size_t drained = 0; drained < 3000;) {
        const ssize_t n = ::recv(peer, sink, sizeof sink, 0);
        ASSERT_GT(n, 0);
        drained += static_cast<std::size_t>(n);
    }
    const std::string reply(500, 'r');
    ASSERT_EQ(::send(peer, reply.data(), reply.size(), 0), 500);

    const std::string pid = std::to_string(program->pid());
    // Bytes as the kernel counts them, in sequence space: the SYN of a connection opened here is one
    // of those it sent.
    const std::string wanted_tail =
        "\tESTABLISHED\t" + pid + "\tpython3\t" + ExecutableOf(program->pid()) + "\t500\t3001";
    std::vector<std::string> lines;
    EXPECT_TRUE(WaitUntil(
        [&] {
            lines = monitor->Ask("connections").value_or(std::vector<std::string>{});
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.starts_with("tcp\t10.77.0.1:") &&
                       line.find("\t10.77.0.2:7700") != std::string::npos && line.ends_with(wanted_tail);
            });
        },
        5s))
        << testing::PrintToString(lines);
    // A UDP socket has no kernel record: the guard finds it in /proc; it counts no bytes.
    const std::string udp_line = "udp\t10.77.0.1:7701\t0.0.0.0:0\tUNCONN\t" + std::to_string(udp->pid()) +
                                 "\tpython3\t" + ExecutableOf(udp->pid()) + "\t-\t-";
    EXPECT_NE(std::find(lines.begin(), lines.end(), udp_line), lines.end()) << testing::PrintToString(lines);
    const auto row = [&] {
        for (const std::string& line : monitor->Ask("list").value_or(std::vector<std::string>{}))
            if (line.starts_with("10.77.0.2\t")) return line;
        return std::string();
    };
    EXPECT_TRUE(WaitUntil([&] { return row().ends_with("\tpython3\t500\t3001"); }, 3s)) << row();

    program.reset();
    CloseSocket(peer);
    ASSERT_TRUE(WaitUntil(
        [&] {
            lines = monitor->Ask("connections").value_or(std::vector<std::string>{});
            return std::none_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find("\t10.77.0.2:7700\tESTABLISHED") != std::string::npos;
            });
        },
        5s));
    // Closed, its bytes stay with the address; its FIN may count one more, the other side's too.
    std::vector<std::string> kept(1);
    for (const char c : row()) {
        if (c == '\t') {
            kept.emplace_back();
        } else {
            kept.back().push_back(c);
        }
    }
    ASSERT_EQ(kept.size(), 7u) << row();
    EXPECT_EQ(kept[4], "python3");
    EXPECT_GE(std::stoull(kept[5]), 500u);
    EXPECT_LE(std::stoull(kept[5]), 501u);
    EXPECT_GE(std::stoull(kept[6]), 3001u);
    EXPECT_LE(std::stoull(kept[6]), 3002u);
    CloseSocket(remote);
}

TEST_F(VelmorThroughGuard, AutomaticBlockingOffEmptiesTheSetsAndBlockTheInternetDropsAllButLoopback) {
    const int listener = ListenIn(net.local(), "0.0.0.0", 8080);
    const int loop_listener = ListenIn(net.local(), "127.0.0.1", 9000);
    const int remote_listener = ListenIn(net.remote(), "0.0.0.0", 9090);
    ASSERT_GE(listener, 0);
    ASSERT_GE(remote_listener, 0);
    FileIntruder();
    ASSERT_TRUE(monitor->Ask("auto-block off").has_value());
    EXPECT_TRUE(WaitUntil(
        [&] { return Nft("list set inet velmor blocked4").find("elements") == std::string::npos; }, 3s))
        << Nft("list set inet velmor blocked4");
    EXPECT_EQ(TryConnect(net.remote(), TestNetwork::kLocalAddress, 8080, 3s), Attempt::Connected);

    ASSERT_TRUE(monitor->Ask("block-internet on").has_value());
    EXPECT_TRUE(WaitUntil(
        [&] { return Nft("list chain inet velmor internet_in").find("drop") != std::string::npos; }, 3s));
    EXPECT_EQ(TryConnect(net.remote(), TestNetwork::kLocalAddress, 8080), Attempt::TimedOut);
    EXPECT_NE(TryConnect(net.local(), TestNetwork::kRemoteAddress, 9090), Attempt::Connected);
    EXPECT_EQ(TryConnect(net.local(), "127.0.0.1", 9000, 3s), Attempt::Connected) << "loopback stays up";

    ASSERT_TRUE(monitor->Ask("block-internet off").has_value());
    EXPECT_TRUE(WaitUntil(
        [&] {
            return TryConnect(net.remote(), TestNetwork::kLocalAddress, 8080, 500ms) == Attempt::Connected;
        },
        3s));
    EXPECT_EQ(TryConnect(net.local(), TestNetwork::kRemoteAddress, 9090, 3s), Attempt::Connected);
    CloseSocket(listener);
    CloseSocket(loop_listener);
    CloseSocket(remote_listener);
}

}  // namespace
}  // namespace velmor::test
