#include <curl/curl.h>

#include "velmor/platform/program_folder.h"
#include "velmor/updater/flow.h"
#include "velmor/updater/package.h"
#include "velmor/updater/signature.h"

namespace velmor::updater {
namespace {

class MailboxPoster final : public WindowPoster {
public:
    bool Post(platform::WindowHandle handle, const platform::WindowMessage& message) override {
        return platform::PostWindowMessage(handle, message);
    }
    bool IsWindow(platform::WindowHandle handle) override { return platform::IsWindow(handle); }
};

// An update page is a few hundred bytes; anything past this is not one and is not kept.
constexpr std::size_t kMaxPageBytes = 1 << 20;

struct PageBuffer {
    std::string text;
    bool too_long = false;
};

std::size_t AppendPage(char* data, std::size_t size, std::size_t count, void* user) {
    auto* page = static_cast<PageBuffer*>(user);
    const std::size_t bytes = size * count;
    if (page->text.size() + bytes > kMaxPageBytes) {
        page->too_long = true;
        return 0;  // ends the transfer with an error
    }
    page->text.append(data, bytes);
    return bytes;
}

bool IsHttps(std::string_view url) {
    constexpr std::string_view kScheme = "https://";
    if (url.size() < kScheme.size()) return false;
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        const char c = url[i] >= 'A' && url[i] <= 'Z' ? static_cast<char>(url[i] - 'A' + 'a') : url[i];
        if (c != kScheme[i]) return false;
    }
    return true;
}

class CurlFetcher final : public PageFetcher {
public:
    std::string Fetch(const std::string& url) override {
        static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        if (!initialised) return {};
        CURL* curl = curl_easy_init();
        if (curl == nullptr) return {};
        PageBuffer page;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "Updater");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        // A page asked for over https is never taken from a plain-http redirect.
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, IsHttps(url) ? "https" : "http,https");
        // libcurl's defaults, stated so that they are never lost: the certificate and the host name.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        // The check runs in the window's first tick: a dead server must not hold it for ever.
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendPage);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &page);
        const CURLcode result = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(curl);
        // A read error counts like an open error, and so does a server's error page: it is not an
        // update page even when it happens to hold a comment and brackets.
        if (result != CURLE_OK || page.too_long || status >= 400) return {};
        return std::move(page.text);
    }
};

class UnpackInstaller final : public Installer {
public:
    void Install(const std::filesystem::path& package, const std::filesystem::path& target) override {
        Unpack(package, target);
    }
};

class KeyFileVerifier final : public PackageVerifier {
public:
    explicit KeyFileVerifier(std::filesystem::path key_file) : key_file_(std::move(key_file)) {}

    bool HasKey() override { return IsEd25519PublicKeyFile(key_file_); }

    bool Verify(const std::filesystem::path& package, std::string_view signature) override {
        return VerifyPackageFile(package, signature, key_file_);
    }

private:
    std::filesystem::path key_file_;
};

}  // namespace

std::unique_ptr<PackageVerifier> MakeKeyFileVerifier(std::filesystem::path key_file) {
    return std::make_unique<KeyFileVerifier>(std::move(key_file));
}

PackageVerifier& ReleaseKeyVerifier() {
    // Beside the running updater itself, not in a folder the hand-over file names.
    static const auto verifier = MakeKeyFileVerifier(platform::ProgramFolder() / kUpdateKeyFileName);
    return *verifier;
}

WindowPoster& SystemWindowPoster() {
    static MailboxPoster poster;
    return poster;
}

PageFetcher& CurlPageFetcher() {
    static CurlFetcher fetcher;
    return fetcher;
}

Installer& PackageInstaller() {
    static UnpackInstaller installer;
    return installer;
}

}  // namespace velmor::updater
