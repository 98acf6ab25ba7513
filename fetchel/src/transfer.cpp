#include "transfer.h"

#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "velmor/platform/diag.h"
#include "velmor/platform/file_copy.h"
#include "velmor/platform/mailbox.h"

namespace velmor::fetchel {
namespace {

using platform::IsWindow;
using platform::PostWindowMessage;
using platform::WindowMessage;

constexpr std::int32_t kSucceeded = -1;
constexpr std::int32_t kFailed = -2;
constexpr std::int32_t kComplete = 100;

// Local files are copied in large pieces and re-blocked into the 4096-byte reads the counting is
// defined on; the piece size only sets how many system calls the copy takes.
constexpr std::size_t kLocalPiece = 1024 * 1024;
constexpr std::size_t kOutputBuffer = 256 * 1024;

// How long the last notifications, together, wait for room in a full queue of a window that still
// exists.
constexpr auto kFinalPostPatience = std::chrono::seconds(10);

class Notifier final {
public:
    explicit Notifier(const Settings& settings)
        : window_(settings.window),
          message_(platform::kWmUser + settings.message_offset),
          wparam_(settings.wparam) {}

    // Percentages are posted once: a full queue gets the mailbox's short wait for room, and a
    // window that still falls behind loses the percentage, never the download.
    void Progress(std::int32_t percent) const {
        if (window_ != 0) PostWindowMessage(window_, Message(percent));
    }

    // The final 100 and the outcome must arrive, or the window waits for ever: they try again for
    // room in a full queue as long as the window exists, the two together for a bounded time.
    void Final(std::int32_t value) {
        if (window_ == 0) return;
        if (!final_deadline_) final_deadline_ = std::chrono::steady_clock::now() + kFinalPostPatience;
        while (!PostWindowMessage(window_, Message(value))) {
            if (!IsWindow(window_) || std::chrono::steady_clock::now() > *final_deadline_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

private:
    WindowMessage Message(std::int32_t value) const { return {message_, wparam_, value}; }

    std::optional<std::chrono::steady_clock::time_point> final_deadline_;
    std::int64_t window_;
    std::int32_t message_;
    std::int32_t wparam_;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct InternetCopy {
    std::FILE* output;
    ReadCounter counter;
    const Notifier* notifier;
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
    copy->counter.AddBytes(bytes, [&](std::int32_t percent) { copy->notifier->Progress(percent); });
    return bytes;
}

struct CurlEasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// True when the copy loop ended normally; the data written before an error stays in the file.
bool CopyFromInternet(const Settings& settings, std::FILE* output, Notifier& notifier) {
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
    InternetCopy copy{output, ReadCounter(kInternetBlock, settings.expected_size), &notifier, handle};
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
    if (settings.expected_size != 0) notifier.Final(kComplete);
    return true;
}

// True when the whole file was read; a source that cannot be opened or read fails the transfer.
bool CopyFromLocalFile(const Settings& settings, std::FILE* output, Notifier& notifier) {
    File source(std::fopen(settings.source.c_str(), "rb"));
    if (!source) {
        platform::DiagError("transfer", "cannot open " + settings.source, errno);
        return false;
    }
    std::setvbuf(source.get(), nullptr, _IONBF, 0);  // the piece buffer below is the only buffer
    ReadCounter counter(kLocalBlock, settings.expected_size);
    const auto post = [&](std::int32_t percent) { notifier.Progress(percent); };

    // The kernel copies between the files where it can, as cp does; the data then never passes
    // through this process. An empty first answer is checked by an ordinary read, since some
    // special files report nothing to an in-kernel copy.
    bool in_kernel = true;
    bool copied_any = false;
    std::vector<char> piece;
    for (;;) {
        if (in_kernel) {
            std::int64_t copied = 0;
            const auto result = platform::CopyFileChunk(source.get(), output, kLocalPiece, copied);
            if (result == platform::ChunkCopy::Failed) {
                platform::DiagError("transfer", "copy failed", errno);
                return false;
            }
            if (result == platform::ChunkCopy::Unsupported || (copied == 0 && !copied_any)) {
                in_kernel = false;
                continue;
            }
            if (copied == 0) break;
            copied_any = true;
            counter.AddBytes(static_cast<std::uint64_t>(copied), post);
            continue;
        }
        if (piece.empty()) piece.resize(kLocalPiece);
        const std::size_t got = std::fread(piece.data(), 1, piece.size(), source.get());
        if (got > 0) {
            if (std::fwrite(piece.data(), 1, got, output) != got) {
                platform::DiagError("transfer", "cannot write the output", errno);
                return false;
            }
            counter.AddBytes(got, post);
        }
        if (got < piece.size()) {
            if (std::ferror(source.get())) {
                platform::Diag("transfer", "cannot read " + settings.source);
                return false;
            }
            break;
        }
    }
    counter.FinishLocal(post);
    if (settings.expected_size != 0) notifier.Final(kComplete);
    return true;
}

}  // namespace

int RunTransfer(const Settings& settings) {
    Notifier notifier(settings);
    // The output file exists before the source is even opened, so it is there after any failure.
    std::FILE* output = std::fopen(settings.output.c_str(), "wb");
    if (output == nullptr) {
        platform::DiagError("transfer", "cannot create " + settings.output, errno);
        notifier.Final(kFailed);
        return 1;
    }
    std::vector<char> output_buffer(kOutputBuffer);
    std::setvbuf(output, output_buffer.data(), _IOFBF, output_buffer.size());

    bool succeeded = IsInternetSource(settings.source) ? CopyFromInternet(settings, output, notifier)
                                                       : CopyFromLocalFile(settings, output, notifier);
    // Data that never reached the disk is a failed transfer, not a finished one.
    if (std::fclose(output) != 0) {
        platform::DiagError("transfer", "cannot write the output", errno);
        succeeded = false;
    }
    notifier.Final(succeeded ? kSucceeded : kFailed);
    return 0;
}

}  // namespace velmor::fetchel
