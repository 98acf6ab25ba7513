#include "test_http_server.h"

#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace velmor::test {

char PatternByte(std::uint64_t offset) {
    return static_cast<char>((offset * 131 + (offset >> 10) * 7) & 0xff);
}

std::string PatternBytes(std::uint64_t length) {
    std::string bytes(length, '\0');
    for (std::uint64_t i = 0; i < length; ++i) bytes[i] = PatternByte(i);
    return bytes;
}

namespace {

constexpr std::size_t kPiece = 64 * 1024;

// Writes pattern bytes [offset, offset + length) in pieces.
bool WritePattern(std::size_t offset, std::size_t length, httplib::DataSink& sink) {
    char buffer[kPiece];
    const std::size_t size = std::min(length, kPiece);
    for (std::size_t i = 0; i < size; ++i) buffer[i] = PatternByte(offset + i);
    return sink.write(buffer, size);
}

std::size_t SizeOf(const httplib::Request& request) {
    return std::stoull(request.matches[1].str());
}

}  // namespace

struct TestHttpServer::State {
    State(std::unique_ptr<httplib::Server> owned, std::string scheme_name)
        : owned_server(std::move(owned)), server(*owned_server), scheme(std::move(scheme_name)) {}

    std::unique_ptr<httplib::Server> owned_server;
    httplib::Server& server;
    std::string scheme;
    std::thread thread;
    int port = 0;
    mutable std::mutex mutex;
    std::condition_variable gate_changed;
    bool gate_open = false;
    std::map<std::string, std::string> last_headers;
    int requests = 0;
};

TestHttpServer::TestHttpServer() {
    state_ = std::make_unique<State>(std::make_unique<httplib::Server>(), "http");
    Start();
}

TestHttpServer::TestHttpServer(const std::string& certificate_file, const std::string& key_file) {
    state_ = std::make_unique<State>(
        std::make_unique<httplib::SSLServer>(certificate_file.c_str(), key_file.c_str()), "https");
    Start();
}

void TestHttpServer::Start() {
    State& state = *state_;
    // Recorded before the answer goes out, so a finished client always sees its own request here.
    state.server.set_pre_routing_handler([&state](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(state.mutex);
        state.last_headers.clear();
        for (const auto& [name, value] : request.headers) state.last_headers[name] = value;
        ++state.requests;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    state.server.Get(R"(/bytes/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content_provider(SizeOf(request), "application/octet-stream",
                                      [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                          return WritePattern(offset, length, sink);
                                      });
    });
    state.server.Get(R"(/halfway/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        const std::size_t half = SizeOf(request) / 2;
        response.set_content_provider(
            SizeOf(request), "application/octet-stream",
            [half](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                // Returning false drops the connection mid-body.
                if (offset >= half) return false;
                return WritePattern(offset, std::min(length, half - offset), sink);
            });
    });
    state.server.Get(R"(/gate/(\d+))",
                     [&state](const httplib::Request& request, httplib::Response& response) {
                         const std::size_t half = SizeOf(request) / 2;
                         response.set_content_provider(
                             SizeOf(request), "application/octet-stream",
                             [&state, half](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 if (offset >= half) {
                                     std::unique_lock lock(state.mutex);
                                     if (!state.gate_changed.wait_for(lock, std::chrono::seconds(30),
                                                                      [&] { return state.gate_open; }))
                                         return false;
                                 } else {
                                     length = std::min(length, half - offset);
                                 }
                                 return WritePattern(offset, length, sink);
                             });
                     });
    state.server.Get(R"(/redirect/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        response.set_redirect("/bytes/" + request.matches[1].str());
    });
    state.server.Get("/away", [](const httplib::Request& request, httplib::Response& response) {
        response.set_redirect(request.get_param_value("to"));
    });
    state.server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        response.set_content(NotFoundPage(), "text/html");
    });
    state.port = state.server.bind_to_any_port("127.0.0.1");
    state.thread = std::thread([&state] { state.server.listen_after_bind(); });
    // The socket already listens, so clients may connect before the accept loop runs.
}

TestHttpServer::~TestHttpServer() {
    OpenGate();
    state_->server.stop();
    if (state_->thread.joinable()) state_->thread.join();
}

int TestHttpServer::port() const {
    return state_->port;
}

std::string TestHttpServer::Url(const std::string& path) const {
    return state_->scheme + "://127.0.0.1:" + std::to_string(state_->port) + path;
}

std::map<std::string, std::string> TestHttpServer::LastRequestHeaders() const {
    std::lock_guard lock(state_->mutex);
    return state_->last_headers;
}

int TestHttpServer::RequestCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

void TestHttpServer::OpenGate() {
    {
        std::lock_guard lock(state_->mutex);
        state_->gate_open = true;
    }
    state_->gate_changed.notify_all();
}

void TestHttpServer::Publish(const std::string& path, std::shared_ptr<const std::string> body) {
    state_->server.Get(path, [body](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(
            body->size(), "application/octet-stream",
            [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                return sink.write(body->data() + offset, std::min(length, kPiece * 4));
            });
    });
}

std::string TestHttpServer::NotFoundPage() {
    return "<html><body>404 no such file</body></html>\r\n";
}

}  // namespace velmor::test
