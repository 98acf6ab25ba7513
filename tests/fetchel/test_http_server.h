#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace velmor::test {

// The byte at `offset` of every body the server sends: not periodic on 1024 or 4096, so a block
// lost, doubled or shifted shows in a comparison.
char PatternByte(std::uint64_t offset);
std::string PatternBytes(std::uint64_t length);

// An HTTP server on a loopback port, running in the test's own process:
//   /bytes/N      N pattern bytes with a Content-Length
//   /halfway/N    announces N bytes, sends the first half, then drops the connection
//   /gate/N       sends the first half, waits for OpenGate(), then the rest
//   /redirect/N   302 to /bytes/N
//   /away?to=URL  302 to URL
//   anything else 404 with a small HTML page (NotFoundPage())
class TestHttpServer final {
public:
    TestHttpServer();
    // An https server with this certificate and key (PEM files).
    TestHttpServer(const std::string& certificate_file, const std::string& key_file);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int port() const;
    std::string Url(const std::string& path) const;
    // Headers of the most recent request (names as sent).
    std::map<std::string, std::string> LastRequestHeaders() const;
    int RequestCount() const;
    void OpenGate();
    // Serves `body` at `path` straight from memory (for throughput measurements). Call it before
    // any request is made, as routes are not guarded against a request in flight.
    void Publish(const std::string& path, std::shared_ptr<const std::string> body);

    static std::string NotFoundPage();

private:
    struct State;
    void Start();
    std::unique_ptr<State> state_;
};

}  // namespace velmor::test
