// The real Hostlet and the real name routines, inside a network namespace of the test's own whose
// hosts file the test wrote. No query leaves the namespace: its resolver points at its own
// loopback, where nothing answers.
#include <gtest/gtest.h>

#include <filesystem>

#include "velmor/common/text_file.h"
#include "velmor/test/child_process.h"
#include "velmor/test/netns_files.h"
#include "velmor/test/temp_dir.h"
#include "velmor/test/test_network.h"

namespace velmor::test {
namespace {

using namespace std::chrono_literals;

// "broadcasthost" and "pipe|name" are there to prove what the programs do with them: the
// broadcast address is never asked for, and a name that would break a one-line file is not used.
constexpr const char* kHosts =
    "127.0.0.1 localhost\n"
    "10.77.0.2 pc-01 pc-01-alias\n"
    "10.77.0.5 pipe|name\n"
    "255.255.255.255 broadcasthost\n"
    "fd00::7 v6only\n"
    "fd00:77::2 pc-06\n";

class HostletInNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(net.ok());
        ASSERT_TRUE(etc.ok());
        std::filesystem::copy_file(BuiltProgramFolder() / "hostlet", folder / "hostlet");
    }

    // Runs a program in the local namespace and returns its standard output, or nullopt when it
    // did not end in time with status 0.
    std::optional<std::vector<std::string>> RunInNamespace(const std::vector<std::string>& command) {
        std::vector<std::string> argv{"ip", "netns", "exec", net.local()};
        argv.insert(argv.end(), command.begin(), command.end());
        ChildProcess child(argv);
        if (!child.started()) return std::nullopt;
        std::vector<std::string> lines;
        while (auto line = child.ReadLine(10s)) lines.push_back(*line);
        const auto status = child.Wait(10s);
        if (!status || *status != 0) return std::nullopt;
        return lines;
    }
    bool RunHostlet(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{(folder / "hostlet").string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunInNamespace(argv).has_value();
    }
    std::string Exchange() {
        return IsRegularFile(folder / "Hostlet.tmp") ? ReadBytes(folder / "Hostlet.tmp") : "(none)";
    }

    TestNetwork net;
    NamespaceEtcFiles etc{net.local(),
                          {{"hosts", kHosts}, {"resolv.conf", NamespaceEtcFiles::LoopbackResolvConf()}}};
    TempDir folder;
};

TEST_F(HostletInNamespace, ReverseEntryIsWrittenWithAndWithoutQuotes) {
    ASSERT_TRUE(RunHostlet({"10.77.0.2"}));
    EXPECT_EQ(Exchange(), "10.77.0.2 ==> pc-01\r\n");
    std::filesystem::remove(folder / "Hostlet.tmp");
    ASSERT_TRUE(RunHostlet({"\"10.77.0.2\""}));
    EXPECT_EQ(Exchange(), "10.77.0.2 ==> pc-01\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              2)
        << "only the program and the exchange file";
}

TEST_F(HostletInNamespace, EverythingWithoutAUsableNameGivesDash) {
    const struct {
        std::vector<std::string> arguments;
        std::string line;
    } cases[] = {
        {{"10.77.0.9"}, "10.77.0.9 ==> -\r\n"},                 // no reverse entry
        {{"pc-01"}, "pc-01 ==> -\r\n"},                         // a name, not an address
        {{"255.255.255.255"}, "255.255.255.255 ==> -\r\n"},     // never asked, though listed
        {{"10.77.0.5"}, "10.77.0.5 ==> -\r\n"},                 // a name with "|"
        {{"10.77.0.2", "extra"}, "10.77.0.2 extra ==> -\r\n"},  // the joined text is no address
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(RunHostlet(c.arguments));
        EXPECT_EQ(Exchange(), c.line);
    }
}

TEST_F(HostletInNamespace, EmptyArgumentWritesNothingAndEarlierFilesAreReplaced) {
    ASSERT_TRUE(RunHostlet({}));
    ASSERT_TRUE(RunHostlet({"\"\""}));
    EXPECT_EQ(Exchange(), "(none)");

    WriteBytes(folder / "Hostlet.tmp", "10.200.200.200 ==> a-much-longer-earlier-answer.example.org\r\n");
    ASSERT_TRUE(RunHostlet({"10.77.0.2"}));
    EXPECT_EQ(Exchange(), "10.77.0.2 ==> pc-01\r\n");
}

TEST_F(HostletInNamespace, Ipv6AddressIsNamedThroughTheHostsFile) {
    ASSERT_TRUE(RunHostlet({"fd00:77::2"}));
    EXPECT_EQ(Exchange(), "fd00:77::2 ==> pc-06\r\n");
    std::filesystem::remove(folder / "Hostlet.tmp");
    ASSERT_TRUE(RunHostlet({"fd00:77::9"}));
    EXPECT_EQ(Exchange(), "fd00:77::9 ==> -\r\n");
}

TEST_F(HostletInNamespace, NameRoutinesResolveThroughTheHostsFile) {
    const auto answers =
        RunInNamespace({(BuiltProgramFolder().parent_path() / "tests" / "host_names_probe").string(),
                        "forward",
                        "pc-01",
                        "forward",
                        "pc-01-alias",
                        "forward",
                        "v6only",
                        "forward",
                        "no-such-host",
                        "reverse",
                        "10.77.0.2",
                        "reverse",
                        "10.77.0.9",
                        "reverse",
                        "255.255.255.255",
                        "reverse",
                        "127.0.0.1",
                        "reverse",
                        "10.77.0.5",
                        "reverse",
                        "fd00::7",
                        "reverse",
                        "FD00:0077:0::2",
                        "reverse",
                        "fd00:77::9",
                        "reverse",
                        "fd00::77::2"});
    ASSERT_TRUE(answers.has_value());
    // IPv6 addresses are looked up under ip6.arpa, in any spelling; no address, no query.
    EXPECT_EQ(*answers,
              (std::vector<std::string>{"10.77.0.2", "10.77.0.2", "ERROR", "ERROR", "pc-01", "ERROR", "ERROR",
                                        "localhost", "pipe|name", "v6only", "pc-06", "ERROR", "ERROR"}));
}

}  // namespace
}  // namespace velmor::test
