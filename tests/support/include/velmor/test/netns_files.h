#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace velmor::test {

// Files that `ip netns exec NAME` lays over /etc for the programs it runs: every file in
// /etc/netns/NAME is bind-mounted over the file of the same name in /etc. A test gives its own
// namespace a hosts file this way, so names resolve without any network. The folder is removed
// again in the destructor, also when the test failed.
class NamespaceEtcFiles final {
public:
    // `files` maps a file name in /etc ("hosts", "resolv.conf") to its content.
    NamespaceEtcFiles(const std::string& netns, const std::map<std::string, std::string>& files);
    ~NamespaceEtcFiles();
    NamespaceEtcFiles(const NamespaceEtcFiles&) = delete;
    NamespaceEtcFiles& operator=(const NamespaceEtcFiles&) = delete;

    bool ok() const { return ok_; }

    // A resolver configuration that keeps every DNS query on the namespace's own loopback, where
    // nothing answers, so a name missing from the hosts file fails at once.
    static std::string LoopbackResolvConf();

private:
    std::filesystem::path folder_;
    bool ok_ = false;
};

}  // namespace velmor::test
