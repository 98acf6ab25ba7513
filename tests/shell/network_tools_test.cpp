#include "velmor/shell/network_tools.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

#include "velmor/platform/process.h"
#include "velmor/platform/program_folder.h"
#include "velmor/shell/address_converter.h"
#include "velmor/test/child_process.h"
#include "velmor/test/event_loop.h"
#include "velmor/test/recording_launcher.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::shell {
namespace {

using namespace std::chrono_literals;

using test::ProcessEventsUntil;

// A finder over a fixed set of installed program names.
ProgramFinder Installed(std::map<std::string, std::string> programs) {
    return [programs = std::move(programs)](std::string_view name) -> std::optional<std::filesystem::path> {
        const auto found = programs.find(std::string(name));
        if (found == programs.end()) return std::nullopt;
        return std::filesystem::path(found->second);
    };
}

std::string Shell(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "(popen failed)";
    char buffer[512];
    while (std::size_t read = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, read);
    ::pclose(pipe);
    return output;
}

// ------------------------------------------------------------------------------------------------
// Converter rules

TEST(ConverterPlan, EmptyOrBlankBoxAsksForAnAddressAndLosesItsBlanks) {
    for (int box : {0, 1}) {
        for (const char* text : {"", " ", "     "}) {
            const auto plan = PlanConversion(box, text);
            EXPECT_EQ(plan.conversion, Conversion::None) << box << " '" << text << "'";
            EXPECT_EQ(plan.message, kMessageEnterAddress);
            EXPECT_EQ(plan.trimmed, "");
        }
    }
    EXPECT_EQ(PlanConversion(0, "").message, "정확한 주소를 입력하세요.");
}

TEST(ConverterPlan, HostNameBoxResolvesIntoTheAddressBox) {
    const auto plan = PlanConversion(0, "  pc-01.example  ");
    EXPECT_EQ(plan.conversion, Conversion::HostNameToIp);
    EXPECT_EQ(plan.trimmed, "pc-01.example");
    EXPECT_EQ(plan.target_box, 1);
    EXPECT_TRUE(plan.message.empty());
    // The name box takes any text; the resolver decides (a dotted address resolves to itself).
    EXPECT_EQ(PlanConversion(0, "10.0.0.1").conversion, Conversion::HostNameToIp);
}

TEST(ConverterPlan, AddressBoxNeedsDigitsAndDots) {
    const auto dotted = PlanConversion(1, " 192.168.0.1 ");
    EXPECT_EQ(dotted.conversion, Conversion::IpToHostName);
    EXPECT_EQ(dotted.trimmed, "192.168.0.1");
    EXPECT_EQ(dotted.target_box, 0);
    // The broadcast address passes the test; the resolver answers "ERROR" for it.
    EXPECT_EQ(PlanConversion(1, "255.255.255.255").conversion, Conversion::IpToHostName);
    for (const char* text :
         {"abc.def", "pc-01", "ERROR", "10.0.0.x", "1 2", "-1", "1e5", "10,0,0,1", "fd00::g", "[::1]"}) {
        const auto plan = PlanConversion(1, text);
        EXPECT_EQ(plan.conversion, Conversion::None) << text;
        EXPECT_EQ(plan.message, "숫자 주소가 아닙니다.") << text;
        EXPECT_EQ(plan.trimmed, text);
    }
    // IPv6 text in any spelling, a dotted tail included, goes to the reverse lookup.
    for (const char* text : {"::1", "fd00:77::2", "FD00:0077::0002", "::ffff:10.1.2.3"}) {
        EXPECT_EQ(PlanConversion(1, text).conversion, Conversion::IpToHostName) << text;
    }
    EXPECT_TRUE(IsNumericAddressText("..."));  // dots read as zeros: the resolver says "ERROR"
    EXPECT_TRUE(IsNumericAddressText("3232235521"));
    EXPECT_FALSE(IsNumericAddressText(""));
}

// ------------------------------------------------------------------------------------------------
// Resolution off the window's thread

// A resolver that answers only when the test lets it.
struct GatedResolver {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    std::atomic<int> calls{0};
    std::string answer = "10.77.0.2";

    AddressConverter::Resolver Function() {
        return [this](std::string_view) {
            ++calls;
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return open; });
            return answer;
        };
    }
    void Open() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
};

TEST(AddressConverter, ResolvesOnAnotherThreadWhileTheEventLoopRuns) {
    GatedResolver gate;
    AddressConverter converter(gate.Function(), [](std::string_view) { return std::string("unused"); });
    QSignalSpy finished(&converter, &AddressConverter::Finished);

    ASSERT_TRUE(converter.Start(PlanConversion(0, "pc-01")));
    EXPECT_TRUE(converter.IsBusy());
    // A second request while the first is still being resolved is refused, not queued.
    EXPECT_FALSE(converter.Start(PlanConversion(1, "10.77.0.2")));

    // The loop goes on: a timer fires while the resolver is stuck.
    bool ticked = false;
    QTimer::singleShot(30, [&] { ticked = true; });
    EXPECT_TRUE(ProcessEventsUntil([&] { return ticked; }, 2s));
    EXPECT_EQ(finished.count(), 0);

    gate.Open();
    ASSERT_TRUE(ProcessEventsUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(finished[0][0].toInt(), 1);
    EXPECT_EQ(finished[0][1].toString(), QStringLiteral("10.77.0.2"));
    EXPECT_FALSE(converter.IsBusy());
    EXPECT_EQ(gate.calls.load(), 1);

    // Free again: the reverse direction answers into box 0.
    ASSERT_TRUE(converter.Start(PlanConversion(1, "10.77.0.2")));
    ASSERT_TRUE(ProcessEventsUntil([&] { return finished.count() == 2; }));
    EXPECT_EQ(finished[1][0].toInt(), 0);
    EXPECT_EQ(finished[1][1].toString(), QStringLiteral("unused"));
}

TEST(AddressConverter, AnAnswerAfterTheConverterIsGoneIsDropped) {
    auto gate = std::make_shared<GatedResolver>();
    {
        auto resolver = [gate](std::string_view text) { return gate->Function()(text); };
        AddressConverter converter(resolver, resolver);
        ASSERT_TRUE(converter.Start(PlanConversion(0, "pc-01")));
    }
    gate->Open();
    // The worker ends on its own; nothing may touch the deleted converter.
    ASSERT_TRUE(test::WaitUntil([&] { return gate.use_count() == 1; }, 5s));
    QCoreApplication::processEvents();
    EXPECT_EQ(gate->calls.load(), 1);
}

TEST(AddressConverter, PlansWithoutResolutionStartNothing) {
    AddressConverter converter([](std::string_view) { return std::string("x"); },
                               [](std::string_view) { return std::string("y"); });
    EXPECT_FALSE(converter.Start(PlanConversion(1, "abc.def")));
    EXPECT_FALSE(converter.Start(PlanConversion(0, "  ")));
    EXPECT_FALSE(converter.IsBusy());
}

// The real name routines, run by the test program itself inside a namespace whose hosts file the
// test wrote (`ip netns exec` mounts /etc/netns/NAME/hosts over /etc/hosts). Only the parent test
// below runs it.
TEST(AddressConverterInNamespace, DISABLED_ResolvesThroughTheHostsFile) {
    AddressConverter converter;
    QSignalSpy finished(&converter, &AddressConverter::Finished);
    const auto convert = [&](int box, const char* text) {
        const int before = static_cast<int>(finished.count());
        if (!converter.Start(PlanConversion(box, text))) return QStringLiteral("(not started)");
        if (!ProcessEventsUntil([&] { return finished.count() > before; }, 10s))
            return QStringLiteral("(no answer)");
        return finished.last()[1].toString();
    };
    EXPECT_EQ(convert(0, " pc-01 "), QStringLiteral("10.77.0.2"));
    EXPECT_EQ(convert(1, "10.77.0.2"), QStringLiteral("pc-01"));
    EXPECT_EQ(convert(0, "no-such-host.invalid"), QStringLiteral("ERROR"));
    EXPECT_EQ(convert(1, "255.255.255.255"), QStringLiteral("ERROR"));
    EXPECT_EQ(convert(1, "10.77.0.9"), QStringLiteral("ERROR"));
}

TEST(AddressConverterInNamespace, RealLookupsUseTheNamespaceHostsFile) {
    test::TestNetwork network;
    ASSERT_TRUE(network.ok());
    const std::filesystem::path config = "/etc/netns/" + network.local();
    struct RemoveConfig {
        std::filesystem::path path;
        ~RemoveConfig() {
            std::error_code error;
            std::filesystem::remove_all(path, error);
        }
    } remove_config{config};
    test::WriteBytes(config / "hosts", "127.0.0.1 localhost\n10.77.0.2 pc-01\n");
    // No name server is reachable in there: a name missing from the hosts file fails at once,
    // and no query leaves the machine.
    test::WriteBytes(config / "resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");

    const std::string self = platform::ProgramFile().string();
    ASSERT_FALSE(self.empty());
    const std::string command =
        "ip netns exec " + network.local() + " " + self +
        " --gtest_also_run_disabled_tests"
        " --gtest_filter=AddressConverterInNamespace.DISABLED_ResolvesThroughTheHostsFile"
        " >" +
        (std::filesystem::temp_directory_path() / "velmor-converter-child.log").string() + " 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the lookups in the namespace failed:\n"
                                      << Shell("cat /tmp/velmor-converter-child.log");
}

// ------------------------------------------------------------------------------------------------
// Command runner

TEST(CommandButtons, CaptionsAndTheirLinuxCommands) {
    EXPECT_EQ(ShellButtonCaption(0), "IPCONFIG");
    EXPECT_EQ(ShellButtonCaption(1), "PING    ");
    EXPECT_EQ(ShellButtonCaption(2), "NETSTAT ");
    EXPECT_EQ(ShellButtonCaption(3), "TRACERT ");
    EXPECT_EQ(ShellButtonCaption(10), "< RUN >");
    EXPECT_EQ(ShellButtonCaption(4), "");

    const auto both = Installed({{"netstat", "/usr/bin/netstat"}, {"traceroute", "/usr/bin/traceroute"}});
    const auto neither = Installed({});
    EXPECT_EQ(ShellButtonCommand(0, neither), "ip address show");
    EXPECT_EQ(ShellButtonCommand(1, neither), "ping -c 4 ");
    EXPECT_EQ(ShellButtonCommand(2, both), "netstat -a");
    EXPECT_EQ(ShellButtonCommand(2, neither), "ss -a");
    EXPECT_EQ(ShellButtonCommand(3, both), "traceroute ");
    EXPECT_EQ(ShellButtonCommand(3, neither), "tracepath ");
    EXPECT_EQ(ShellButtonCommand(10, both), "");
}

TEST(BatchFile, SixLinesForANormalAndAnEmptyCommand) {
    EXPECT_EQ(BatchFileContent("ping -c 4 10.77.0.2"),
              "#!/bin/sh\n"
              "printf '%s\\n' '[명령] ping -c 4 10.77.0.2'\n"
              "echo '[결과]'\n"
              "ping -c 4 10.77.0.2\n"
              "echo '[종료]'\n"
              "printf '%s' '계속하려면 Enter 키를 누르십시오 . . . '; read -r _\n");
    EXPECT_EQ(BatchFileContent(""),
              "#!/bin/sh\n"
              "printf '%s\\n' '[명령] '\n"
              "echo '[결과]'\n"
              "\n"
              "echo '[종료]'\n"
              "printf '%s' '계속하려면 Enter 키를 누르십시오 . . . '; read -r _\n");
    EXPECT_EQ(BatchFilePath("/opt/Velmor"), std::filesystem::path("/opt/Velmor/temp/temp.sh"));
}

TEST(BatchFile, RunsTheCommandOnceAndShowsItAsTyped) {
    test::TempDir dir;
    const auto script = dir / "temp.sh";
    const auto counter = dir / "counter";
    // Quotes, a pattern and a command separator in the command line: shown as typed, run once.
    const std::string command = "echo 'it''s' [a] $((1+1)); echo run >> '" + counter.string() + "'";
    test::WriteBytes(script, BatchFileContent(command));
    const std::string output = Shell("cd '" + dir.path().string() + "' && sh temp.sh </dev/null 2>&1");
    EXPECT_EQ(output,
              "[명령] " + command + "\n[결과]\nits [a] 2\n[종료]\n계속하려면 Enter 키를 누르십시오 . . . ");
    EXPECT_EQ(test::ReadBytes(counter), "run\n");

    // A line break inside the command stays inside one line of the file.
    const std::string two_lines = BatchFileContent("echo a\r\necho b");
    EXPECT_EQ(std::count(two_lines.begin(), two_lines.end(), '\n'), 6);
    EXPECT_NE(two_lines.find("\necho a  echo b\n"), std::string::npos);
}

TEST(Terminal, FirstInstalledInTheDesktopOrder) {
    const std::filesystem::path script = "/p/temp/temp.sh";
    const auto all = Installed({{"x-terminal-emulator", "/usr/bin/x-terminal-emulator"},
                                {"gnome-terminal", "/usr/bin/gnome-terminal"},
                                {"konsole", "/usr/bin/konsole"},
                                {"xfce4-terminal", "/usr/bin/xfce4-terminal"},
                                {"xterm", "/usr/bin/xterm"},
                                {"alacritty", "/opt/alacritty"}});
    auto launch = ChooseTerminal(script, std::string("alacritty"), all);
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->program, "/usr/bin/x-terminal-emulator");
    EXPECT_EQ(launch->arguments, (std::vector<std::string>{"-e", "sh", "/p/temp/temp.sh"}));

    launch = ChooseTerminal(script, std::string("alacritty"),
                            Installed({{"alacritty", "/opt/alacritty"}, {"xterm", "/usr/bin/xterm"}}));
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->program, "/opt/alacritty");

    // $TERMINAL names a program that is not there: the next candidate.
    launch = ChooseTerminal(
        script, std::string("missing-term"),
        Installed({{"gnome-terminal", "/usr/bin/gnome-terminal"}, {"xterm", "/usr/bin/xterm"}}));
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->program, "/usr/bin/gnome-terminal");
    EXPECT_EQ(launch->arguments, (std::vector<std::string>{"--", "sh", "/p/temp/temp.sh"}));

    launch = ChooseTerminal(script, std::nullopt, Installed({{"xfce4-terminal", "/usr/bin/xfce4-terminal"}}));
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->arguments.front(), "-x");
    launch = ChooseTerminal(script, std::string(""), Installed({{"konsole", "/k"}, {"xterm", "/x"}}));
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->program, "/k");

    EXPECT_FALSE(ChooseTerminal(script, std::string("alacritty"), Installed({{"netstat", "/n"}})));
}

TEST(CommandRunner, WritesTheFileAndStartsTheTerminalWithIt) {
    test::TempDir dir;
    test::RecordingLauncher launcher;
    CommandRunner::Services services;
    services.find = Installed({{"xterm", "/usr/bin/xterm"}});
    services.terminal_variable = [] { return std::nullopt; };
    services.launcher = &launcher;
    CommandRunner runner(dir.path(), services);  // temp/ does not exist yet
    EXPECT_EQ(runner.Run("ping -c 4 10.77.0.2"), RunOutcome::Started);
    ASSERT_EQ(launcher.launches.size(), 1u);
    EXPECT_EQ(launcher.launches[0].program, "/usr/bin/xterm");
    EXPECT_EQ(launcher.launches[0].arguments,
              (std::vector<std::string>{"-e", "sh", (dir / "temp/temp.sh").string()}));
    EXPECT_EQ(test::ReadBytes(dir / "temp/temp.sh"), BatchFileContent("ping -c 4 10.77.0.2"));

    // The next run replaces the file; it is never deleted.
    EXPECT_EQ(runner.Run(""), RunOutcome::Started);
    EXPECT_EQ(test::ReadBytes(dir / "temp/temp.sh"), BatchFileContent(""));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "temp"), {}), 1);

    test::RecordingLauncher failing;
    failing.succeed = false;
    services.launcher = &failing;
    EXPECT_EQ(CommandRunner(dir.path(), services).Run("x"), RunOutcome::TerminalFailed);
}

TEST(CommandRunner, NoTerminalAndAnUnwritableFileAreReported) {
    test::TempDir dir;
    test::RecordingLauncher launcher;
    CommandRunner::Services services;
    services.find = Installed({});
    services.terminal_variable = [] { return std::optional<std::string>("not-installed"); };
    services.launcher = &launcher;
    EXPECT_EQ(CommandRunner(dir.path(), services).Run("ip address show"), RunOutcome::NoTerminal);
    EXPECT_EQ(launcher.Count(), 0);

    // "temp" is a file: the batch file cannot be written, and an old one must not run instead.
    test::WriteBytes(dir / "blocked/temp", "not a folder");
    services.find = Installed({{"xterm", "/usr/bin/xterm"}});
    EXPECT_EQ(CommandRunner(dir / "blocked", services).Run("ip address show"), RunOutcome::NotWritten);
    EXPECT_EQ(launcher.Count(), 0);
}

TEST(CommandRunner, DoesNotWaitForTheTerminal) {
    test::TempDir dir;
    // A stand-in terminal: records its arguments, runs the script, then stays until released.
    const auto terminal = dir / "bin/x-terminal-emulator";
    test::WriteBytes(
        terminal,
        "#!/bin/sh\n"
        "dir=$(dirname \"$0\")/..\n"
        "printf '%s\\n' \"$@\" > \"$dir/arguments\"\n"
        "shift; \"$@\" </dev/null > \"$dir/output\" 2>&1\n"
        "i=0; while [ ! -e \"$dir/release\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
        "echo done > \"$dir/finished\"\n");
    std::filesystem::permissions(terminal, std::filesystem::perms::owner_all);
    auto services = CommandRunner::SystemServices();
    services.find = [&](std::string_view name) -> std::optional<std::filesystem::path> {
        if (name == "x-terminal-emulator") return terminal;
        return std::nullopt;
    };
    CommandRunner runner(dir / "P", services);

    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(runner.Run("echo hello from the batch file"), RunOutcome::Started);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);

    ASSERT_TRUE(test::WaitUntil(
        [&] {
            return std::filesystem::exists(dir / "output") &&
                   test::ReadBytes(dir / "output").find("[종료]") != std::string::npos;
        },
        5s));
    EXPECT_FALSE(std::filesystem::exists(dir / "finished"));  // still open while we went on
    EXPECT_EQ(test::ReadBytes(dir / "arguments"), "-e\nsh\n" + (dir / "P/temp/temp.sh").string() + "\n");
    EXPECT_NE(test::ReadBytes(dir / "output").find("[결과]\nhello from the batch file\n[종료]"),
              std::string::npos);

    test::WriteBytes(dir / "release", "");
    EXPECT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(dir / "finished"); }, 5s));
    EXPECT_TRUE(test::WaitUntil([] { return platform::ReapDetachedChildren() == 0; }, 5s));
}

}  // namespace
}  // namespace velmor::shell
