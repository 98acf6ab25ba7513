#include <curl/curl.h>

#include <mutex>

#include "lapi_http.h"

namespace velmor::fleet {
namespace {

// A decision stream of a few hundred thousand entries fits; anything beyond is no API's reply.
constexpr std::size_t kMaxReplyBytes = 256 * 1024 * 1024;

struct Received {
    std::string body;
    bool too_large = false;
};

std::size_t Receive(char* data, std::size_t size, std::size_t count, void* user) {
    auto* received = static_cast<Received*>(user);
    const std::size_t bytes = size * count;
    if (received->body.size() + bytes > kMaxReplyBytes) {
        received->too_large = true;
        return 0;
    }
    received->body.append(data, bytes);
    return bytes;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* stopping = static_cast<const std::function<bool()>*>(user);
    return (*stopping)() ? 1 : 0;
}

}  // namespace

LapiHttp::LapiHttp(std::string base_url, std::string ca_file, std::function<bool()> stopping)
    : base_url_(std::move(base_url)), ca_file_(std::move(ca_file)), stopping_(std::move(stopping)) {
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    while (base_url_.ends_with('/')) base_url_.pop_back();
    curl_ = curl_easy_init();
}

LapiHttp::~LapiHttp() {
    if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

HttpReply LapiHttp::Get(const std::string& path, const std::vector<std::string>& headers) {
    return Perform(path, headers, nullptr);
}

HttpReply LapiHttp::Post(const std::string& path, const std::vector<std::string>& headers,
                         const std::string& body) {
    return Perform(path, headers, &body);
}

HttpReply LapiHttp::Perform(const std::string& path, const std::vector<std::string>& headers,
                            const std::string* body) {
    HttpReply reply;
    auto* curl = static_cast<CURL*>(curl_);
    if (!curl) {
        reply.error = "libcurl could not start";
        return reply;
    }
    // One handle for every request keeps the connection alive between polls; each request sets
    // everything it needs afresh.
    curl_easy_reset(curl);
    const std::string url = base_url_ + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 60000L);
    // The API reads "name/version" from the agent and refuses a login whose agent has no slash.
    curl_easy_setopt(curl, CURLOPT_USERAGENT, VELMOR_FLEET_USER_AGENT);
    if (!ca_file_.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file_.c_str());
    curl_slist* list = curl_slist_append(nullptr, "Accept: application/json");
    for (const std::string& header : headers) list = curl_slist_append(list, header.c_str());
    if (body) {
        list = curl_slist_append(list, "Content-Type: application/json");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    Received received;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &stopping_);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    if (result != CURLE_OK) {
        reply.error = received.too_large ? "the reply is too large" : curl_easy_strerror(result);
        return reply;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.body = std::move(received.body);
    return reply;
}

}  // namespace velmor::fleet
