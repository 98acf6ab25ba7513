#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmor::test {

// A CrowdSec Local API of Debian's crowdsec binaries (scripts/crowdsec-lapi.sh), run for one test:
// its config and sqlite database in `folder`, on a free loopback port, without agent or online API.
// Stopped by the pid its start wrote. Missing binaries fail the test that made it, loudly.
class CrowdsecApi final {
public:
    explicit CrowdsecApi(std::filesystem::path folder, bool tls = false);
    ~CrowdsecApi();
    CrowdsecApi(const CrowdsecApi&) = delete;
    CrowdsecApi& operator=(const CrowdsecApi&) = delete;

    // Starts it (again, on the same port and database after a Stop); false when it did not answer.
    bool Start();
    void Stop();

    std::string url() const;                // "http://127.0.0.1:PORT" or https
    std::filesystem::path ca_file() const;  // the self-signed certificate with tls, else empty
    std::filesystem::path request_log() const;

    bool AddMachine(const std::string& name, const std::string& password);
    std::string AddBouncer(const std::string& name);  // its API key; "" on failure
    // Runs cscli against this API; its output, nullopt when it failed.
    std::optional<std::string> Cscli(const std::vector<std::string>& arguments);

    // How many requests the API logged whose line holds `text` (e.g. "POST /v1/watchers/login").
    int CountRequests(const std::string& text) const;

private:
    std::optional<std::string> Script(const std::vector<std::string>& arguments);

    std::filesystem::path folder_;
    bool tls_;
    int port_ = 0;
};

}  // namespace velmor::test
