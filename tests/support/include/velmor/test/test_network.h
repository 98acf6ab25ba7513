#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmor::test {

// Two network namespaces made by the test and joined by a veth pair: the monitored host
// ("local", 10.77.0.1 and fd00:77::1) and a remote host ("remote", 10.77.0.2 and fd00:77::2), each
// with loopback up (127.0.0.1 and ::1). The IPv6 addresses skip duplicate address detection, so
// they are usable as soon as the constructor returns.
// Everything that can tear connections down runs inside these, never in the machine's own
// namespace. The destructor removes both namespaces and so every socket left in them.
class TestNetwork final {
public:
    static constexpr const char* kLocalAddress = "10.77.0.1";
    static constexpr const char* kRemoteAddress = "10.77.0.2";
    static constexpr const char* kLocalAddress6 = "fd00:77::1";
    static constexpr const char* kRemoteAddress6 = "fd00:77::2";

    TestNetwork();
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // False when the namespaces could not be made; the constructor has then already failed the
    // test with the reason (a test that cannot run must never pass silently).
    bool ok() const { return ok_; }
    const std::string& local() const { return local_; }
    const std::string& remote() const { return remote_; }

    // Runs `work` on a new thread that has entered namespace `name`, and waits for it.
    static void RunIn(const std::string& name, const std::function<void()>& work);
    // Moves the calling thread into namespace `name`; false on failure.
    static bool EnterNamespace(const std::string& name);
    // Adds more addresses to the remote host's end of the veth pair (IPv4 inside 10.77.0.0/24, IPv6
    // inside fd00:77::/64), each usable at once; false when one cannot be added.
    bool AddRemoteAddresses(const std::vector<std::string>& addresses);

    // Runs a shell command with `ip netns exec name sh -c`; returns its exit status.
    static int Exec(const std::string& name, const std::string& command);

private:
    bool ok_ = false;
    std::string local_;
    std::string remote_;
    std::string veth_remote_;
};

// Runs a shell command in the machine's namespace (only for `ip netns` set-up); returns exit status.
int RunShell(const std::string& command);

}  // namespace velmor::test
