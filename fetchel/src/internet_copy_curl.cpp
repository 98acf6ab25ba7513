// The internet reader through libcurl.
#include <curl/curl.h>

#include <cerrno>
#include <memory>
#include <string>

#include "transfer.h"
#include "velmor/platform/diag.h"

namespace velmor::fetchel {
namespace {

struct InternetCopy {
    std::FILE* output;
    ReadCounter counter;
    const Progress* progress;
    CURL* handle;
};

// Redirects are followed here, one hop at a time, so that every hop can be checked.
constexpr int kMaxRedirects = 20;

// The address a redirect answer of the current hop points to; nullptr when the answer is content.
const char* RedirectTarget(CURL* handle) {
    long status = 0;
    char* target = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status < 300 ||
        status > 399)
        return nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &target) != CURLE_OK) return nullptr;
    return target;
}

// libcurl hands over data in pieces of its own size; they go straight to the file and only their
// byte count feeds the 1024-byte read counting. The body of a redirect answer is not content.
std::size_t WriteReceived(char* data, std::size_t size, std::size_t count, void* user) {
    auto* copy = static_cast<InternetCopy*>(user);
    const std::size_t bytes = size * count;
    if (bytes == 0) return 0;
    if (RedirectTarget(copy->handle) != nullptr) return bytes;
    if (std::fwrite(data, 1, bytes, copy->output) != bytes) {
        platform::DiagError("transfer", "cannot write the output", errno);
        return 0;  // aborts the transfer
    }
    copy->counter.AddBytes(bytes, *copy->progress);
    return bytes;
}

struct CurlEasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

bool StartInternet() {
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

void EndInternet() {
    curl_global_cleanup();
}

bool CopyFromInternet(const Settings& settings, std::FILE* output, const Progress& progress) {
    std::unique_ptr<CURL, CurlEasyDeleter> curl(curl_easy_init());
    if (!curl) return false;
    std::unique_ptr<curl_slist, CurlListDeleter> headers;
    // Always from the server, never from a cache on the way.
    for (const char* header : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
        curl_slist* longer = curl_slist_append(headers.get(), header);
        if (longer == nullptr) return false;
        static_cast<void>(headers.release());
        headers.reset(longer);
    }
    CURL* handle = curl.get();
    InternetCopy copy{output, ReadCounter(kInternetBlock, settings.expected_size), &progress, handle};
    const bool configured =
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "Fetchel - download an internet file") == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        // libcurl's defaults, stated so that they are never lost: the certificate and the host name.
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
        // No status check: an error page is content like any other.
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 0L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        // A server that stops sending for two minutes counts as a lost connection rather than a
        // download that never ends.
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 120L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 120L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 64L * 1024) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &WriteReceived) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &copy) == CURLE_OK;
    if (!configured) return false;
    std::string address = settings.source;
    for (int hop = 0;; ++hop) {
        if (curl_easy_setopt(handle, CURLOPT_URL, address.c_str()) != CURLE_OK) return false;
        if (const CURLcode result = curl_easy_perform(handle); result != CURLE_OK) {
            platform::Diag("transfer", std::string("transfer failed: ") + curl_easy_strerror(result));
            return false;
        }
        const char* target = RedirectTarget(handle);
        if (target == nullptr) break;
        // A redirect may keep or raise the scheme, never lower it from https to http.
        if (hop == kMaxRedirects || !IsRedirectAllowed(address, target)) return false;
        address = target;
    }
    copy.counter.FinishInternet();
    return true;
}

}  // namespace velmor::fetchel
