// End-to-end: the kernel's first strike. velmor-guard (with its unit's rights) in the monitored
// namespace of the test's own, its packet-path programs on that namespace's interfaces only; an
// intruder in the remote namespace reaches the bait and then, at once, a service of the monitored
// host. Nothing here touches the machine's own namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "velmor/common/text_file.h"
#include "velmor/guard/guard_events.h"
#include "velmor/guard/guard_link.h"
#include "velmor/test/child_process.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kLocal = TestNetwork::kLocalAddress;
constexpr const char* kRemote = TestNetwork::kRemoteAddress;
constexpr const char* kLocal6 = TestNetwork::kLocalAddress6;
constexpr const char* kRemote6 = TestNetwork::kRemoteAddress6;
// The service the intruder tries next, and the user velmor runs as (nobody, whom the guard trusts).
constexpr int kService = 8080;
constexpr const char* kTrustedId = "65534";

std::filesystem::path GuardProgram() {
    return BuiltProgramFolder().parent_path() / "libexec" / "velmor-guard";
}

bool Connects(const std::string& netns, const std::string& address, int port,
              std::chrono::milliseconds timeout = 700ms, const std::string& source = "") {
    return ConnectsWithin(netns, address, port, timeout, source);
}

class FirstStrikeEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        ASSERT_TRUE(std::filesystem::exists(GuardProgram())) << GuardProgram();
        std::filesystem::permissions(run.path(), std::filesystem::perms(0755));
        socket_path = (run / "guard.sock").string();
        service = ListenIn(net.local(), "::", kService);
        ASSERT_GE(service, 0);
    }
    void TearDown() override { CloseSocket(service); }

    void StartGuard(bool without_bpf = false) {
        std::vector<std::string> command{"ip", "netns", "exec", net.local(), VELMOR_GUARD_AS_UNIT};
        if (without_bpf) {
            for (const char* word : {"--without", "CAP_BPF", "--without", "CAP_PERFMON"})
                command.emplace_back(word);
        }
        for (const std::string& word : {GuardProgram().string(), std::string("--socket"), socket_path,
                                        std::string("--group"), std::string(kTrustedId)}) {
            command.push_back(word);
        }
        guard = std::make_unique<ChildProcess>(command);
        ASSERT_TRUE(guard->started());
        ASSERT_TRUE(WaitUntil([&] { return Link() != nullptr; }, 10s)) << "the guard did not come up";
    }
    std::unique_ptr<guard::GuardLink> Link() {
        auto link = guard::MakeGuardLink(socket_path);
        bool connected = false;
        TestNetwork::RunIn(net.local(), [&] { connected = link->Connect(); });
        return connected ? std::move(link) : nullptr;
    }
    std::string Local(const std::string& command) {
        return ShellOutput("ip netns exec " + net.local() + " " + command + " 2>&1");
    }
    bool SetHolds(const std::string& address) {
        return (Local("nft list set inet velmor blocked4") + Local("nft list set inet velmor blocked6"))
                   .find(address) != std::string::npos;
    }
    // The guard's filters on the hooks of the monitored namespace's interfaces, in and out.
    int CoveredHooks() {
        const std::string filters = Local(
            "sh -c 'for d in $(ls /sys/class/net); do tc filter show dev $d ingress; "
            "tc filter show dev $d egress; done'");
        // One line per filter names it (its program's name, cut to 15 bytes, comes twice on it).
        int count = 0;
        std::istringstream lines(filters);
        for (std::string line; std::getline(lines, line);)
            if (line.find("velmor_strike") != std::string::npos) ++count;
        return count;
    }
    // Reaches the bait from `from` (a handshake that completes) and then, at once, the service.
    bool SecondConnectionAfterBait(const std::string& bait_address, const std::string& from = "") {
        const int intruder = ConnectFrom(net.remote(), bait_address, 80, from);
        EXPECT_GE(intruder, 0) << "the bait did not answer";
        const bool second = Connects(net.remote(), bait_address, kService, 700ms, from);
        CloseSocket(intruder);
        return second;
    }

    TestNetwork net;
    TempDir run;
    std::string socket_path;
    std::unique_ptr<ChildProcess> guard;
    int service = -1;
};

// A client that asks for the first strike the way velmor does: what to spare first, then on.
TEST_F(FirstStrikeEndToEnd, TheGuardStrikesOnTheBaitsHandshakeInEitherFamilySparingWhatItIsTold) {
    StartGuard();
    auto link = Link();
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(link->Status()->first_strike);
    const int bait = link->TakeBaitSocket();
    ASSERT_GE(bait, 0);
    // Not armed: the bait's handshake changes nothing.
    EXPECT_TRUE(SecondConnectionAfterBait(kLocal));
    ASSERT_TRUE(net.AddRemoteAddresses({"10.77.0.3", "10.77.0.4", "fd00:77::3"}));
    ASSERT_TRUE(link->UpdateExempt(true, std::vector<std::string>{"10.77.0.4"}, {}));
    ASSERT_TRUE(link->SetFirstStrike(true));

    // Armed: the kernel cuts 10.77.0.3 off before its next packet, and the sets take it over.
    EXPECT_FALSE(SecondConnectionAfterBait(kLocal, "10.77.0.3")) << "the second connection completed";
    EXPECT_TRUE(WaitUntil([&] { return SetHolds("10.77.0.3"); }, 3s));
    EXPECT_FALSE(SecondConnectionAfterBait(kLocal6, "fd00:77::3"));
    EXPECT_TRUE(WaitUntil([&] { return SetHolds("fd00:77::3"); }, 3s));
    // An exempt address is not struck.
    EXPECT_TRUE(SecondConnectionAfterBait(kLocal, "10.77.0.4"));
    const auto state = link->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->first_strike_armed);
    EXPECT_EQ(state->struck, 2u);

    // Released by the client: through at once, and not struck again while it is spared.
    const std::vector<std::string> released = {"10.77.0.3"};
    ASSERT_TRUE(link->UpdateExempt(false, released, {}));
    ASSERT_TRUE(link->UpdateBlocked(false, {}, released));
    EXPECT_TRUE(Connects(net.remote(), kLocal, kService, 3s)) << "still dropped after its release";
    EXPECT_TRUE(SecondConnectionAfterBait(kLocal, "10.77.0.3"));

    // The session ends: nothing is held, nothing struck.
    link.reset();
    EXPECT_TRUE(WaitUntil([&] { return !SetHolds("fd00:77::3"); }, 3s));
    EXPECT_TRUE(Connects(net.remote(), kLocal6, kService, 3s));
    CloseSocket(bait);
}

TEST_F(FirstStrikeEndToEnd, LifelinesAreNeverStruckWhateverTheClientSpares) {
    // The remote host is the monitored one's default gateway.
    ASSERT_EQ(TestNetwork::Exec(net.local(), "ip route add default via 10.77.0.2"), 0);
    StartGuard();
    auto link = Link();
    ASSERT_NE(link, nullptr);
    const int bait = link->TakeBaitSocket();
    ASSERT_GE(bait, 0);
    ASSERT_TRUE(link->UpdateExempt(true, {}, {}));
    ASSERT_TRUE(link->SetFirstStrike(true));
    EXPECT_TRUE(SecondConnectionAfterBait(kLocal)) << "the gateway was struck";
    EXPECT_EQ(link->Status()->struck, 0u);
    CloseSocket(bait);
}

TEST_F(FirstStrikeEndToEnd, InterfacesThatComeLaterAreCoveredAndSigtermDetachesEverything) {
    StartGuard();
    // Loopback and the veth end, in and out.
    EXPECT_EQ(CoveredHooks(), 4);
    // A second link to the remote host, made after the guard started.
    ASSERT_EQ(TestNetwork::Exec(net.local(),
                                "ip link add strike-l type veth peer name strike-r netns " + net.remote()),
              0);
    ASSERT_EQ(
        TestNetwork::Exec(net.local(), "ip addr add 10.78.0.1/24 dev strike-l && ip link set strike-l up"),
        0);
    ASSERT_EQ(
        TestNetwork::Exec(net.remote(), "ip addr add 10.78.0.2/24 dev strike-r && ip link set strike-r up"),
        0);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Local("tc filter show dev strike-l ingress").find("velmor_strike") != std::string::npos;
        },
        5s))
        << "the new interface was not covered";
    auto link = Link();
    ASSERT_NE(link, nullptr);
    const int bait = link->TakeBaitSocket();
    ASSERT_GE(bait, 0);
    ASSERT_TRUE(link->UpdateExempt(true, {}, {}));
    ASSERT_TRUE(link->SetFirstStrike(true));
    EXPECT_FALSE(SecondConnectionAfterBait("10.78.0.1")) << "not dropped on the new interface";

    // A killed guard leaves its filters; the next one takes them over, one filter each, and SIGTERM
    // takes them and the hooks it made away.
    CloseSocket(bait);
    link.reset();
    ::kill(guard->pid(), SIGKILL);
    ASSERT_TRUE(guard->Wait(10s).has_value());
    EXPECT_EQ(CoveredHooks(), 6);
    StartGuard();
    EXPECT_EQ(CoveredHooks(), 6) << "a filter was added beside the killed guard's";
    ::kill(guard->pid(), SIGTERM);
    ASSERT_TRUE(guard->Wait(10s).has_value());
    EXPECT_EQ(CoveredHooks(), 0);
    EXPECT_EQ(Local("tc qdisc show").find("clsact"), std::string::npos) << Local("tc qdisc show");
}

// A SYN coming in leaves a half-open row that no socket event names: the packet path tells of it,
// at most once every 100 ms however many come.
TEST_F(FirstStrikeEndToEnd, SynsComingInAreToldAtMostTenTimesASecond) {
    StartGuard();
    auto link = Link();
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(link->Status()->half_open_events);
    auto stream = guard::MakeGuardEventStream(socket_path);
    bool subscribed = false;
    TestNetwork::RunIn(net.local(), [&] { subscribed = stream->Subscribe(); });
    ASSERT_TRUE(subscribed);
    const auto told = [&] {
        std::vector<guard::EventRecord> events;
        stream->Take(&events);
        return std::count_if(events.begin(), events.end(),
                             [](const guard::EventRecord& event) { return event.new_state == 12; });
    };
    std::this_thread::sleep_for(150ms);
    told();
    // Thirty connections within about a tenth of a second: one or two reports.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) EXPECT_TRUE(Connects(net.remote(), kLocal, kService));
    const auto took = std::chrono::steady_clock::now() - start;
    std::this_thread::sleep_for(50ms);
    const auto first = told();
    EXPECT_GE(first, 1);
    EXPECT_LE(first, 1 + took / 100ms + 1) << "not held to one every 100 ms";
    // One SYN after a quiet spell is told, with its addresses.
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(Connects(net.remote(), kLocal, kService));
    std::vector<guard::EventRecord> events;
    ASSERT_TRUE(WaitUntil(
        [&] {
            stream->Take(&events);
            return std::any_of(events.begin(), events.end(),
                               [](const guard::EventRecord& event) { return event.new_state == 12; });
        },
        2s));
    const auto syn = std::find_if(events.begin(), events.end(),
                                  [](const guard::EventRecord& event) { return event.new_state == 12; });
    EXPECT_EQ(syn->family, 2);
    EXPECT_EQ(syn->local_port, kService);
    EXPECT_EQ(syn->remote[0], 10);
    EXPECT_EQ(syn->remote[3], 2);
}

// A subscriber of version 2 (an older velmor) never hears of SYNs: it would take each for a change of
// the table and read it. It still hears of the connections.
TEST_F(FirstStrikeEndToEnd, AnOlderSubscriberHearsNothingOfSyns) {
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
    guard::Request subscribe;
    subscribe.op = guard::Op::Subscribe;
    subscribe.version = 2;
    const auto request = guard::EncodeRequest(subscribe);
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(Connects(net.remote(), kLocal, kService));
    // Everything that came within a second: the Subscribe reply, then event frames.
    std::vector<std::uint8_t> bytes(1 << 20);
    std::size_t got = 0;
    const auto until = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < until) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) != 1) continue;
        const ssize_t n = ::recv(fd, bytes.data() + got, bytes.size() - got, 0);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    std::size_t at = guard::FrameLength(std::span(bytes.data(), got));
    ASSERT_GT(at, 0u) << "no reply to Subscribe";
    int connection_events = 0;
    while (at < got) {
        guard::EventBatch batch;
        std::size_t consumed = 0;
        ASSERT_EQ(guard::ParseEvents(std::span(bytes.data() + at, got - at), batch, consumed),
                  guard::ParseStatus::Complete);
        for (const guard::EventRecord& event : batch.events) {
            EXPECT_NE(event.new_state, 12) << "a SYN told to a subscriber of version 2";
            if (event.local_port == kService) ++connection_events;
        }
        at += consumed;
    }
    EXPECT_GT(connection_events, 0) << "the connection itself was not told";
}

TEST_F(FirstStrikeEndToEnd, AGuardWithoutTheRightsForBpfOffersNoStrikeAndStillBlocks) {
    StartGuard(true);
    auto link = Link();
    ASSERT_NE(link, nullptr);
    const auto state = link->Status();
    ASSERT_TRUE(state.has_value());
    EXPECT_FALSE(state->first_strike);
    EXPECT_FALSE(link->SetFirstStrike(true));
    EXPECT_EQ(CoveredHooks(), 0);
    ASSERT_TRUE(link->UpdateBlocked(false, std::vector<std::string>{kRemote}, {}));
    EXPECT_FALSE(Connects(net.remote(), kLocal, kService));
}

// The headless monitor as nobody, without any capability, through the guard: the strike is armed
// with automatic blocking and Velmor still files, tears down and counts.
class FirstStrikeThroughVelmor : public FirstStrikeEndToEnd {
protected:
    void StartVelmor(bool hidden) {
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", folder / "velmor");
        ASSERT_EQ(std::system(("chown -R 65534:65534 " + folder.path().string()).c_str()), 0);
        std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
        StartGuard();
        std::vector<std::string> command{"ip",
                                         "netns",
                                         "exec",
                                         net.local(),
                                         "setpriv",
                                         "--reuid",
                                         kTrustedId,
                                         "--regid",
                                         kTrustedId,
                                         "--clear-groups",
                                         "env",
                                         std::string(guard::kGuardSocketVariable) + "=" + socket_path,
                                         (folder / "velmor").string(),
                                         "--headless"};
        if (hidden) command.emplace_back("--hidden");
        monitor = std::make_unique<ChildProcess>(command);
        ASSERT_TRUE(monitor->started());
        ASSERT_TRUE(WaitUntil([&] { return Answer("guard", "first_strike_armed ") == 1; }, 10s))
            << "the first strike was not armed";
    }
    // The number after `name` in the monitor's answer to `command`; -1 when it is not there.
    long long Answer(const std::string& command, const std::string& name) {
        const auto lines = monitor->Ask(command).value_or(std::vector<std::string>{});
        for (const std::string& line : lines)
            if (line.starts_with(name)) return std::stoll(line.substr(name.size()));
        return -1;
    }
    // The intruder reaches the bait, is cut off before its second connection, and is filed and torn
    // down as before.
    void StruckAndFiled(const std::string& bait_address, const std::string& intruder) {
        const long long struck = Answer("stats", "struck ");
        const int client = ConnectFrom(net.remote(), bait_address, 80);
        ASSERT_GE(client, 0) << "the bait did not answer";
        EXPECT_FALSE(Connects(net.remote(), bait_address, kService)) << "the second connection completed";
        EXPECT_TRUE(WaitUntil([&] { return IsRegularFile(folder / "invader" / (intruder + ".x")); }, 5s));
        EXPECT_TRUE(SeesReset(client, 3s)) << "the bait connection should be torn down";
        CloseSocket(client);
        EXPECT_TRUE(WaitUntil([&] { return Answer("stats", "struck ") == struck + 1; }, 3s));
        EXPECT_TRUE(SetHolds(intruder));
    }

    TempDir folder;
    std::unique_ptr<ChildProcess> monitor;
};

TEST_F(FirstStrikeThroughVelmor, ShownBothFamiliesAreStruckAndTheUsersAllowReleasesAtOnce) {
    StartVelmor(false);
    StruckAndFiled(kLocal, kRemote);
    StruckAndFiled(kLocal6, kRemote6);
    ASSERT_TRUE(monitor->Ask("toggle " + std::string(kRemote)).has_value());
    EXPECT_TRUE(WaitUntil([&] { return Connects(net.remote(), kLocal, kService, 300ms); }, 3s));
    // Allowed now: reaching the bait again strikes nothing.
    EXPECT_TRUE(SecondConnectionAfterBait(kLocal));
}

TEST_F(FirstStrikeThroughVelmor, HiddenTheStrikeDoesNotWaitForThePauseAndAutomaticBlockingOffDisarmsIt) {
    StartVelmor(true);
    StruckAndFiled(kLocal, kRemote);
    ASSERT_TRUE(monitor->Ask("auto-block off").has_value());
    EXPECT_TRUE(WaitUntil([&] { return Answer("guard", "first_strike_armed ") == 0; }, 3s));
    ASSERT_TRUE(net.AddRemoteAddresses({"10.77.0.3"}));
    EXPECT_TRUE(SecondConnectionAfterBait(kLocal, "10.77.0.3")) << "struck with automatic blocking off";
}

TEST_F(FirstStrikeThroughVelmor, AnAddressWithAnAllowedRuleIsNotStruck) {
    std::filesystem::create_directories(folder / "invader");
    ASSERT_TRUE(WriteLineFile(folder / "invader" / (std::string(kRemote) + ".o"), "-|10.77.0.2|friend"));
    StartVelmor(false);
    EXPECT_TRUE(SecondConnectionAfterBait(kLocal)) << "an allowed address was struck";
    EXPECT_EQ(Answer("stats", "struck "), 0);
}

}  // namespace
}  // namespace velmor::test
