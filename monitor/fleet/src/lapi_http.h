#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmor::fleet {

// One request's outcome: the HTTP status and body, or status 0 and why there was no reply.
struct HttpReply {
    long status = 0;
    std::string body;
    std::string error;
};

// Requests to one Local API through libcurl, on the calling thread, with time-outs; a request in
// flight ends early once `stopping` says so.
class LapiHttp final {
public:
    LapiHttp(std::string base_url, std::string ca_file, std::function<bool()> stopping);
    ~LapiHttp();
    LapiHttp(const LapiHttp&) = delete;
    LapiHttp& operator=(const LapiHttp&) = delete;

    HttpReply Get(const std::string& path, const std::vector<std::string>& headers);
    HttpReply Post(const std::string& path, const std::vector<std::string>& headers, const std::string& body);

private:
    HttpReply Perform(const std::string& path, const std::vector<std::string>& headers,
                      const std::string* body);

    std::string base_url_;
    std::string ca_file_;
    std::function<bool()> stopping_;
    void* curl_ = nullptr;
};

}  // namespace velmor::fleet
