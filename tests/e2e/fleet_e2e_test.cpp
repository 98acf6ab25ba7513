// End-to-end: two machines with Velmor share one CrowdSec Local API. Machine A is the monitored
// namespace of TestNetwork, machine B a namespace of this test's own joined to the remote one by a
// second veth pair; the API (Debian's crowdsec binaries, https with a certificate of its own) and the
// intruders live in the remote namespace. Each machine runs velmor-guard with its unit's rights and
// the headless monitor as nobody. Nothing here touches the machine's own namespace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "velmor/guard/guard_link.h"
#include "velmor/test/child_process.h"
#include "velmor/test/netns_files.h"
#include "velmor/test/sockets.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kLocalA = TestNetwork::kLocalAddress;  // machine A
constexpr const char* kLocalB = "10.78.0.1";                 // machine B
constexpr const char* kRemoteB = "10.78.0.2";                // the remote namespace's side towards B
constexpr const char* kApiAddress = TestNetwork::kRemoteAddress;
constexpr int kApiPort = 8081;
constexpr const char* kTrustedId = "65534";
// The intruders: each an address of the remote namespace.
constexpr const char* kIntruder = "10.77.0.50";
constexpr const char* kRangeMember = "10.77.0.100";  // inside 10.77.0.96/28
constexpr const char* kShortLived = "10.77.0.120";

std::filesystem::path GuardProgram() {
    return BuiltProgramFolder().parent_path() / "libexec" / "velmor-guard";
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// One Velmor machine: its namespace, guard, program folder and settings folder.
struct Machine {
    std::string netns;
    std::string address;
    TempDir run;
    TempDir folder;
    TempDir config;
    std::unique_ptr<ChildProcess> guard;
    std::unique_ptr<ChildProcess> monitor;

    std::string SocketPath() const { return (run / "guard.sock").string(); }
    // The number after `name` in the monitor's answer to `command`; -1 when it is not there.
    long long Answer(const std::string& command, const std::string& name) {
        const auto lines = monitor->Ask(command).value_or(std::vector<std::string>{});
        for (const std::string& line : lines)
            if (line.starts_with(name)) return std::stoll(line.substr(name.size()));
        return -1;
    }
    std::vector<std::string> Lines(const std::string& command) {
        return monitor->Ask(command).value_or(std::vector<std::string>{});
    }
    std::string SharedSets() {
        return ShellOutput("ip netns exec " + netns + " nft list table inet velmor 2>&1");
    }
};

class FleetEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        ASSERT_TRUE(std::filesystem::exists(GuardProgram())) << GuardProgram();
        ASSERT_TRUE(std::filesystem::exists(kLapiScript)) << kLapiScript;
        a.netns = net.local();
        a.address = kLocalA;
        b.netns = net.local() + "-b";
        b.address = kLocalB;
        // Machine B: its own namespace, a veth pair to the remote one, and a route to A's subnet
        // through it (the API and the intruders are addresses of the remote namespace).
        const std::string remote = net.remote();
        ASSERT_EQ(RunShell("ip netns add " + b.netns), 0);
        made_b = true;
        ASSERT_EQ(RunShell("ip -n " + b.netns + " link add vb0 type veth peer name vb1 netns " + remote), 0);
        ASSERT_EQ(TestNetwork::Exec(b.netns, "ip link set lo up && ip addr add " + std::string(kLocalB) +
                                                 "/24 dev vb0 && ip link set vb0 up && ip route add "
                                                 "10.77.0.0/24 via " +
                                                 kRemoteB),
                  0);
        ASSERT_EQ(TestNetwork::Exec(
                      remote, "ip addr add " + std::string(kRemoteB) + "/24 dev vb1 && ip link set vb1 up"),
                  0);
        ASSERT_TRUE(net.AddRemoteAddresses({kIntruder, kRangeMember, kShortLived}));
        // Both machines are reached from every test address before anything blocks it.
        for (Machine* machine : {&a, &b})
            for (const char* from : {kIntruder, kRangeMember, kShortLived})
                ASSERT_TRUE(Reaches(*machine, from)) << from << " does not reach " << machine->address;
        StartApi();
    }
    void TearDown() override {
        for (Machine* machine : {&a, &b}) {
            machine->monitor.reset();
            machine->guard.reset();
        }
        if (api_started) TestNetwork::Exec(net.remote(), Lapi("stop"));
        if (made_b) RunShell("ip netns del " + b.netns);
    }

    // The script on this test's API (start takes its folder as its own argument).
    std::string Lapi(const std::string& arguments) const {
        return std::string(kLapiScript) + " --dir " + api.path().string() + " " + arguments;
    }
    void StartApi() {
        const std::string listen = std::string(kApiAddress) + ":" + std::to_string(kApiPort);
        ASSERT_EQ(TestNetwork::Exec(net.remote(), (std::string(kLapiScript) + " start " +
                                                   api.path().string() + " " + listen + " --tls") +
                                                      " >/dev/null"),
                  0)
            << "the Local API did not start";
        api_started = true;
        for (const char* name : {"velmor-a", "velmor-b"})
            ASSERT_EQ(TestNetwork::Exec(net.remote(), Lapi("machine " + std::string(name) + " " + kPassword)),
                      0);
    }
    std::string BouncerKey(const std::string& name) {
        std::string key = ShellOutput("ip netns exec " + net.remote() + " " + Lapi("bouncer " + name));
        while (!key.empty() && (key.back() == '\n' || key.back() == ' ')) key.pop_back();
        return key;
    }
    // cscli against the API, as its own machine in the remote namespace.
    bool Cscli(const std::string& arguments) {
        return TestNetwork::Exec(net.remote(), Lapi("cscli " + arguments) + " >/dev/null") == 0;
    }

    void Start(Machine& machine, const std::string& name, const std::string& password) {
        std::filesystem::permissions(machine.run.path(), std::filesystem::perms(0755));
        std::vector<std::string> guard_command{"ip",
                                               "netns",
                                               "exec",
                                               machine.netns,
                                               VELMOR_GUARD_AS_UNIT,
                                               GuardProgram().string(),
                                               "--socket",
                                               machine.SocketPath(),
                                               "--group",
                                               kTrustedId};
        machine.guard = std::make_unique<ChildProcess>(guard_command);
        ASSERT_TRUE(machine.guard->started());
        ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(machine.SocketPath()); }, 10s));

        const std::filesystem::path settings = machine.config / "velmor";
        std::filesystem::create_directories(settings);
        std::ofstream(settings / "fleet.conf")
            << "api_url = https://" << kApiAddress << ":" << kApiPort
            << "\nca_file = " << (api / "tls" / "cert.pem").string() << "\nmachine_id = " << name
            << "\nmachine_password = " << password << "\nbouncer_key = " << BouncerKey(name)
            << "\npush = yes\npull = yes\npoll_interval = 1\n";
        std::filesystem::copy_file(BuiltProgramFolder() / "velmor", machine.folder / "velmor");
        for (const TempDir* dir : {&machine.folder, &machine.config}) {
            ASSERT_EQ(std::system(("chown -R 65534:65534 " + dir->path().string()).c_str()), 0);
            std::filesystem::permissions(dir->path(), std::filesystem::perms(0755));
        }
        std::filesystem::permissions(settings / "fleet.conf", std::filesystem::perms(0600));
        std::filesystem::permissions(settings, std::filesystem::perms(0700));
        std::filesystem::permissions(api.path(), std::filesystem::perms(0755));
        std::filesystem::permissions(api / "tls", std::filesystem::perms(0755));
        std::vector<std::string> command{
            "ip",
            "netns",
            "exec",
            machine.netns,
            "setpriv",
            "--reuid",
            kTrustedId,
            "--regid",
            kTrustedId,
            "--clear-groups",
            "env",
            std::string(guard::kGuardSocketVariable) + "=" + machine.SocketPath(),
            "XDG_CONFIG_HOME=" + machine.config.path().string(),
            (machine.folder / "velmor").string(),
            "--headless"};
        machine.monitor = std::make_unique<ChildProcess>(command);
        ASSERT_TRUE(machine.monitor->started());
        ASSERT_TRUE(WaitUntil([&] { return machine.Answer("guard", "packet_filter ") == 1; }, 10s))
            << "velmor did not reach its guard";
    }
    // Whether packets from `from` (an address of the remote namespace) reach a machine and back: an
    // echo request, which leaves no connection that Velmor would file (an address it filed as
    // allowed would be one the shared decisions spare).
    bool Reaches(const Machine& machine, const std::string& from) {
        return TestNetwork::Exec(net.remote(), "ping -n -q -c 1 -W 1 -I " + from + " " + machine.address +
                                                   " >/dev/null 2>&1") == 0;
    }

    static constexpr const char* kLapiScript = VELMOR_CROWDSEC_LAPI;
    static constexpr const char* kPassword = "velmor-test-password-1";
    TestNetwork net;
    TempDir api;
    bool api_started = false;
    bool made_b = false;
    Machine a;
    Machine b;
};

TEST_F(FleetEndToEnd, AnIntruderOnAsBaitIsDroppedByBAndRangesComeAndGoOnBoth) {
    Start(a, "velmor-a", kPassword);
    Start(b, "velmor-b", kPassword);

    // The intruder completes a handshake with A's bait: A files it, and B drops its packets soon
    // after, without ever having met it.
    const int intruder = ConnectFrom(net.remote(), kLocalA, 80, kIntruder);
    ASSERT_GE(intruder, 0) << "A's bait did not answer";
    EXPECT_TRUE(WaitUntil(
        [&] { return std::filesystem::exists(a.folder / "invader" / (std::string(kIntruder) + ".x")); }, 5s));
    CloseSocket(intruder);
    const auto reported = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitUntil([&] { return !Reaches(b, kIntruder); }, 15s)) << "B still lets the intruder in";
    std::cout << "[ measured ] B dropped A's intruder after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                       reported)
                     .count()
              << " ms\n";
    EXPECT_FALSE(std::filesystem::exists(b.folder / "invader" / (std::string(kIntruder) + ".x")))
        << "a shared decision must not become a rule file of B's";
    EXPECT_GE(a.Answer("fleet", "sent "), 1);

    // A range added by hand blocks every address in it on both machines; deleted, it lets go.
    ASSERT_TRUE(Cscli("decisions add --range 10.77.0.96/28 --duration 1h --reason velmor-e2e"));
    EXPECT_TRUE(WaitUntil([&] { return !Reaches(a, kRangeMember) && !Reaches(b, kRangeMember); }, 15s));
    ASSERT_TRUE(Cscli("decisions delete --range 10.77.0.96/28"));
    EXPECT_TRUE(WaitUntil([&] { return Reaches(a, kRangeMember) && Reaches(b, kRangeMember); }, 15s))
        << "the deleted range still blocks\n"
        << a.SharedSets() << Joined(a.Lines("fleet")) << b.SharedSets() << Joined(b.Lines("list"));

    // A decision of a few seconds lifts itself.
    ASSERT_TRUE(Cscli(std::string("decisions add --ip ") + kShortLived + " --duration 6s"));
    EXPECT_TRUE(WaitUntil([&] { return !Reaches(b, kShortLived); }, 15s));
    EXPECT_TRUE(WaitUntil([&] { return Reaches(b, kShortLived); }, 20s))
        << "the expired decision still blocks";
}

TEST_F(FleetEndToEnd, DecisionsAgainstLifelinesOrTooWideAreRefusedAndCounted) {
    // A's default gateway is the remote end of its veth, its DNS server an address there too.
    ASSERT_EQ(TestNetwork::Exec(a.netns, std::string("ip route add default via ") + kApiAddress), 0);
    constexpr const char* kResolver = "10.77.0.53";
    NamespaceEtcFiles etc(a.netns, {{"resolv.conf", std::string("nameserver ") + kResolver + "\n"}});
    ASSERT_TRUE(etc.ok());
    ASSERT_TRUE(net.AddRemoteAddresses({kResolver}));
    Start(a, "velmor-a", kPassword);
    // Anyone with credentials can send these: A's own address, its gateway, its DNS server, a /8.
    for (const std::string& address :
         {std::string(kLocalA), std::string(kApiAddress), std::string(kResolver)})
        ASSERT_TRUE(Cscli("decisions add --ip " + address + " --duration 1h"));
    ASSERT_TRUE(Cscli("decisions add --range 10.0.0.0/8 --duration 1h"));
    ASSERT_TRUE(Cscli(std::string("decisions add --ip ") + kRangeMember + " --duration 1h"));
    // The acceptable one arrives; the other four are refused, and the lifelines still reach A.
    EXPECT_TRUE(WaitUntil([&] { return !Reaches(a, kRangeMember); }, 15s));
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (const std::string& line : a.Lines("fleet"))
                if (line.starts_with("source\tcrowdsec\t")) return line.find("\t1\t4\t") != std::string::npos;
            return false;
        },
        5s))
        << "the refusals are not counted";
    EXPECT_TRUE(Reaches(a, kApiAddress));
    EXPECT_TRUE(Reaches(a, kResolver));
    EXPECT_TRUE(Reaches(a, kIntruder));
}

TEST_F(FleetEndToEnd, AWrongPasswordIsReportedAndNotRetriedInATightLoop) {
    Start(a, "velmor-a", "not-the-password");
    // The first intruder makes it log in; the refusal is told, and the alert waits.
    const int intruder = ConnectFrom(net.remote(), kLocalA, 80, kIntruder);
    ASSERT_GE(intruder, 0) << "A's bait did not answer";
    CloseSocket(intruder);
    EXPECT_TRUE(WaitUntil([&] { return a.Answer("fleet", "push_auth_failed ") == 1; }, 10s));
    bool error_told = false;
    for (const std::string& line : a.Lines("fleet")) error_told = error_told || line.starts_with("error ");
    EXPECT_TRUE(error_told);
    EXPECT_EQ(a.Answer("fleet", "queued "), 1);
    // Pulling (its key is right) still works.
    ASSERT_TRUE(Cscli(std::string("decisions add --ip ") + kRangeMember + " --duration 1h"));
    EXPECT_TRUE(WaitUntil([&] { return !Reaches(a, kRangeMember); }, 15s));
    std::this_thread::sleep_for(5s);
    std::ifstream log(api / "log" / "crowdsec_api.log");
    int logins = 0;
    for (std::string line; std::getline(log, line);)
        logins += line.find("/v1/watchers/login") != std::string::npos;
    EXPECT_GE(logins, 1);
    EXPECT_LE(logins, 6) << "the login was retried too often";
}

}  // namespace
}  // namespace velmor::test
