#include "velmor/test/crowdsec_api.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velmor::test {
namespace {

std::filesystem::path ScriptPath() {
    // CTest gives every test the source tree's folder.
    const char* source = std::getenv("VELMOR_SOURCE_DIR");
    if (!source) ADD_FAILURE() << "VELMOR_SOURCE_DIR is not set: run the test through ctest";
    return std::filesystem::path(source ? source : ".") / "scripts" / "crowdsec-lapi.sh";
}

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A loopback port nobody listens on now.
int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(s);
    return port;
}

}  // namespace

CrowdsecApi::CrowdsecApi(std::filesystem::path folder, bool tls)
    : folder_(std::move(folder)), tls_(tls), port_(FreePort()) {
    const char* cache = std::getenv("VELMOR_CROWDSEC_CACHE");
    const std::filesystem::path binary =
        std::filesystem::path(cache ? cache : "/var/cache/velmor-crowdsec") / "root/usr/bin/crowdsec";
    if (!std::filesystem::exists(binary))
        ADD_FAILURE() << "no CrowdSec binaries at " << binary << ": run scripts/crowdsec-lapi.sh prepare";
}

CrowdsecApi::~CrowdsecApi() {
    Stop();
}

std::optional<std::string> CrowdsecApi::Script(const std::vector<std::string>& arguments) {
    std::string command = Quoted(ScriptPath().string());
    for (const std::string& argument : arguments) command += " " + Quoted(argument);
    command += " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string output;
    char buffer[4096];
    while (const std::size_t read = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, read);
    const int status = ::pclose(pipe);
    if (status != 0) {
        ADD_FAILURE() << "crowdsec-lapi.sh " << (arguments.empty() ? "" : arguments[0]) << " failed:\n"
                      << output;
        return std::nullopt;
    }
    return output;
}

bool CrowdsecApi::Start() {
    std::vector<std::string> arguments{"start", folder_.string(), "127.0.0.1:" + std::to_string(port_)};
    if (tls_) arguments.push_back("--tls");
    return Script(arguments).has_value();
}

void CrowdsecApi::Stop() {
    if (std::filesystem::exists(folder_ / "crowdsec.pid")) Script({"--dir", folder_.string(), "stop"});
}

std::string CrowdsecApi::url() const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

std::filesystem::path CrowdsecApi::ca_file() const {
    return tls_ ? folder_ / "tls" / "cert.pem" : std::filesystem::path();
}

std::filesystem::path CrowdsecApi::request_log() const {
    return folder_ / "log" / "crowdsec_api.log";
}

bool CrowdsecApi::AddMachine(const std::string& name, const std::string& password) {
    return Script({"--dir", folder_.string(), "machine", name, password}).has_value();
}

std::string CrowdsecApi::AddBouncer(const std::string& name) {
    auto key = Script({"--dir", folder_.string(), "bouncer", name});
    if (!key) return "";
    while (!key->empty() && (key->back() == '\n' || key->back() == ' ')) key->pop_back();
    return *key;
}

std::optional<std::string> CrowdsecApi::Cscli(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"--dir", folder_.string(), "cscli"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return Script(all);
}

int CrowdsecApi::CountRequests(const std::string& text) const {
    std::ifstream log(request_log());
    int count = 0;
    for (std::string line; std::getline(log, line);) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

}  // namespace velmor::test
