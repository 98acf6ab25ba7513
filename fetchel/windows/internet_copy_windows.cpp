// The internet reader through WinINet, with the system's proxy settings and root certificates.
#include <windows.h>
// Separate block: wininet.h needs windows.h first.
#include <wininet.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../src/transfer.h"
#include "velmor/platform/diag.h"
#include "velmor/platform/system_text.h"

namespace velmor::fetchel {
namespace {

// Always from the server, never from the cache (and nothing stored in it). Redirects are followed
// here, one hop at a time, so that every hop can be checked.
constexpr DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_ASCII |
                             INTERNET_FLAG_NO_AUTO_REDIRECT;
constexpr int kMaxRedirects = 20;
constexpr char kHeaders[] = "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
// WinINet hands over what it has; the pieces only set how many calls the copy takes, the counting
// is on 1024-byte reads whatever their size.
constexpr DWORD kPiece = 64 * 1024;
// A server that stops sending for two minutes counts as a lost connection.
constexpr DWORD kTimeoutMilliseconds = 120 * 1000;

class InternetHandle final {
public:
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() {
        if (handle_ != nullptr) ::InternetCloseHandle(handle_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return handle_; }

private:
    HINTERNET handle_;
};

void NoteFailure(const std::string& what) {
    platform::Diag("transfer", what + ": WinINet error " + std::to_string(::GetLastError()));
}

// The address a redirect answer points to, made absolute against `from`; nullopt when the answer
// is content.
std::optional<std::string> RedirectTarget(HINTERNET source, const std::string& from) {
    DWORD status = 0;
    DWORD size = sizeof status;
    DWORD index = 0;
    if (!::HttpQueryInfoA(source, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index) ||
        status < 300 || status > 399) {
        return std::nullopt;
    }
    std::string location(2048, '\0');
    size = static_cast<DWORD>(location.size());
    index = 0;
    if (!::HttpQueryInfoA(source, HTTP_QUERY_LOCATION, location.data(), &size, &index)) return std::nullopt;
    location.resize(size);
    std::string target(4096, '\0');
    DWORD length = static_cast<DWORD>(target.size());
    if (!::InternetCombineUrlA(from.c_str(), location.c_str(), target.data(), &length, ICU_NO_ENCODE))
        return std::nullopt;
    target.resize(length);
    return target;
}

// The length the server announced for the body; nullopt when it announced none.
std::optional<std::uint64_t> AnnouncedLength(HINTERNET source) {
    char text[32] = {};
    DWORD size = sizeof text;
    DWORD index = 0;
    if (!::HttpQueryInfoA(source, HTTP_QUERY_CONTENT_LENGTH, text, &size, &index) || size == 0)
        return std::nullopt;
    std::uint64_t length = 0;
    for (DWORD i = 0; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        length = length * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return length;
}

}  // namespace

// WinINet needs no set-up for the whole program.
bool StartInternet() {
    return true;
}

void EndInternet() {}

bool CopyFromInternet(const Settings& settings, std::FILE* output, const Progress& progress) {
    const InternetHandle internet(::InternetOpenA("Fetchel - download an internet file",
                                                  INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (internet.get() == nullptr) {
        NoteFailure("cannot open WinINet");
        return false;
    }
    DWORD timeout = kTimeoutMilliseconds;
    for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        ::InternetSetOptionA(internet.get(), option, &timeout, sizeof timeout);
    }
    std::string address = platform::ToSystemText(settings.source);
    std::unique_ptr<InternetHandle> opened;
    for (int hop = 0;; ++hop) {
        opened = std::make_unique<InternetHandle>(
            ::InternetOpenUrlA(internet.get(), address.c_str(), kHeaders,
                               static_cast<DWORD>(sizeof kHeaders - 1), kOpenFlags, 0));
        if (opened->get() == nullptr) {
            NoteFailure("cannot open " + address);
            return false;
        }
        const auto target = RedirectTarget(opened->get(), address);
        if (!target) break;
        // A redirect may keep or raise the scheme, never lower it from https to http.
        if (hop == kMaxRedirects || !IsRedirectAllowed(address, *target)) {
            platform::Diag("transfer", "redirect refused: " + *target);
            return false;
        }
        address = *target;
    }
    const InternetHandle& source = *opened;
    // No status check: an error page is content like any other.
    ReadCounter counter(kInternetBlock, settings.expected_size);
    std::vector<char> piece(kPiece);
    for (;;) {
        DWORD got = 0;
        if (!::InternetReadFile(source.get(), piece.data(), kPiece, &got)) {
            NoteFailure("transfer failed");
            return false;
        }
        if (got == 0) break;
        if (std::fwrite(piece.data(), 1, got, output) != got) {
            platform::DiagError("transfer", "cannot write the output", errno);
            return false;
        }
        counter.AddBytes(got, progress);
    }
    // WinINet ends a body that the server cut short like a whole one: one shorter than announced
    // is a lost connection.
    if (const auto announced = AnnouncedLength(source.get()); announced && counter.bytes() < *announced) {
        platform::Diag("transfer", "connection lost after " + std::to_string(counter.bytes()) + " of " +
                                       std::to_string(*announced) + " bytes");
        return false;
    }
    counter.FinishInternet();
    return true;
}

}  // namespace velmor::fetchel
