#include "velmor/test/test_network.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "velmor/test/sockets.h"

namespace velmor::test {
namespace {

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace

int RunShell(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TestNetwork::TestNetwork() {
    static std::atomic<int> counter{0};
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(counter++);
    local_ = "vl-l" + tag;
    remote_ = "vl-r" + tag;
    // Interface names are limited to 15 bytes, so they carry a shorter tag.
    const std::string short_tag = std::to_string(::getpid() % 100000) + std::to_string(counter.load() % 100);
    const std::string veth_local = "vla" + short_tag;
    const std::string veth_remote = "vlb" + short_tag;
    veth_remote_ = veth_remote;
    const std::string script =
        "set -e; ip netns add " + local_ + "; ip netns add " + remote_ + "; ip link add " + veth_local +
        " type veth peer name " + veth_remote + "; ip link set " + veth_local + " netns " + local_ +
        "; ip link set " + veth_remote + " netns " + remote_ + "; ip -n " + local_ + " addr add " +
        kLocalAddress + "/24 dev " + veth_local + "; ip -n " + remote_ + " addr add " + kRemoteAddress +
        "/24 dev " + veth_remote + "; ip -n " + local_ + " addr add " + kLocalAddress6 + "/64 dev " +
        veth_local + " nodad" + "; ip -n " + remote_ + " addr add " + kRemoteAddress6 + "/64 dev " +
        veth_remote + " nodad" + "; ip -n " + local_ + " link set lo up; ip -n " + remote_ +
        " link set lo up" + "; ip -n " + local_ + " link set " + veth_local + " up; ip -n " + remote_ +
        " link set " + veth_remote + " up";
    const int status = RunShell("sh -c " + Quote(script) + " 2>&1");
    ok_ = status == 0;
    if (!ok_) {
        ADD_FAILURE() << "CANNOT CREATE TEST NETWORK NAMESPACES (status " << status
                      << "): these tests need root and `ip netns`; they fail rather than skip.";
    }
}

TestNetwork::~TestNetwork() {
    RunShell("ip netns del " + local_ + " 2>/dev/null");
    RunShell("ip netns del " + remote_ + " 2>/dev/null");
}

bool TestNetwork::AddRemoteAddresses(const std::vector<std::string>& addresses) {
    std::string script = "set -e";
    for (const std::string& address : addresses) {
        const bool v6 = address.find(':') != std::string::npos;
        script += "; ip -n " + remote_ + " addr add " + address + (v6 ? "/64" : "/24") + " dev " +
                  veth_remote_ + (v6 ? " nodad" : "");
    }
    return RunShell("sh -c " + Quote(script) + " 2>&1") == 0;
}

bool TestNetwork::EnterNamespace(const std::string& name) {
    return EnterNetworkNamespace(name);
}

void TestNetwork::RunIn(const std::string& name, const std::function<void()>& work) {
    std::thread worker([&] {
        if (!EnterNamespace(name)) {
            ADD_FAILURE() << "cannot enter network namespace " << name;
            return;
        }
        work();
    });
    worker.join();
}

int TestNetwork::Exec(const std::string& name, const std::string& command) {
    return RunShell("ip netns exec " + name + " sh -c " + Quote(command));
}

}  // namespace velmor::test
