#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "velmor/platform/mailbox.h"
#include "velmor/platform/program_launcher.h"
#include "velmor/updater/fields.h"
#include "velmor/updater/services.h"

namespace velmor::updater {

inline constexpr std::string_view kQuestionText =
    "업데이트를 하시겠습니까?\n 프로그램이 실행되고 있다면, 프로그램은 자동으로 종료된 후 업데이트가 "
    "진행됩니다.";
inline constexpr std::string_view kQuestionCaption = "프로그램 업데이트";
inline constexpr std::string_view kDownloadFailedText =
    "다운로드할 수 없습니다.\n웹사이트에서 직접 다운로드 하세요.";
inline constexpr std::string_view kDownloadFailedCaption = "다운로드 실패";
inline constexpr std::string_view kTimeoutText =
    "시간초과로 업데이트 실패했습니다.\n웹사이트에서 직접 다운로드 하세요.";
inline constexpr std::string_view kTimeoutCaption = "다운로드";

// Ticks without a progress notification before a started download counts as stalled.
inline constexpr std::int32_t kIdleTickLimit = 60;

// The message boxes of the updater. Each call returns when the user has answered.
class UpdaterDialogs {
public:
    virtual ~UpdaterDialogs() = default;
    // kQuestionText with OK and Cancel; true for OK.
    virtual bool AskUpdate() = 0;
    virtual void ShowDownloadFailed() = 0;
    virtual void ShowTimeout() = 0;
};

// Posted messages to other windows (the mailboxes on Linux).
class WindowPoster {
public:
    virtual ~WindowPoster() = default;
    virtual bool Post(platform::WindowHandle handle, const platform::WindowMessage& message) = 0;
    virtual bool IsWindow(platform::WindowHandle handle) = 0;
};

// Reads the update-information page; an empty text when it cannot be opened or read.
class PageFetcher {
public:
    virtual ~PageFetcher() = default;
    virtual std::string Fetch(const std::string& url) = 0;
};

// What the flow asks of its window.
class UpdaterView {
public:
    virtual ~UpdaterView() = default;
    // Shows the hidden window at 296 x 150, centred on the screen.
    virtual void ShowCentered() = 0;
    // Draws the bar for `percent` at once (without the caption).
    virtual void DrawBar(std::int32_t percent) = 0;
    // Closes the window soon (as a posted close), which ends the program.
    virtual void Close() = 0;
};

// Unpacks the downloaded package into the product folder and starts the product.
class Installer {
public:
    virtual ~Installer() = default;
    virtual void Install(const std::filesystem::path& package, const std::filesystem::path& target) = 0;
};

// Checks a downloaded package against the signature of the update page and the release key.
class PackageVerifier {
public:
    virtual ~PackageVerifier() = default;
    // True when a usable release public key is there (checked before the main program is closed).
    virtual bool HasKey() = 0;
    // True only when `signature` (the page's base64 text) signs every byte of `package`.
    virtual bool Verify(const std::filesystem::path& package, std::string_view signature) = 0;
};

// A verifier with the Ed25519 public key PEM file `key_file`, read at every check.
std::unique_ptr<PackageVerifier> MakeKeyFileVerifier(std::filesystem::path key_file);

// The real services: mailbox posts, libcurl with the user agent "Updater", Unpack, and the release
// key shipped beside the updater program (P/support/update-key.pem).
WindowPoster& SystemWindowPoster();
PageFetcher& CurlPageFetcher();
Installer& PackageInstaller();
PackageVerifier& ReleaseKeyVerifier();

struct FlowServices {
    UpdaterDialogs& dialogs;
    WindowPoster& poster;
    PageFetcher& fetcher;
    platform::ProgramLauncher& starter;
    Installer& installer;
    PackageVerifier& verifier;
};

// The updater's whole life after start-up, driven by a 1000 ms timer and by progress notifications:
// check the update page, ask, close the main program, wait for it to go, start Fetchel, watch the
// download, check its size and its signature, unpack and close. An update that cannot be verified
// (no or a malformed signature on the page, no release key) is refused as soon as the user agreed,
// before the main program is closed; one whose signature does not match after the download is
// refused before anything is unpacked. Both show the download-failure message.
class UpdaterFlow final {
public:
    UpdaterFlow(HandOver hand_over, platform::WindowHandle own_handle, UpdaterView& view,
                FlowServices services);

    void OnTick();
    // A WM_USER notification from Fetchel; `value` is its lParam.
    void OnProgress(std::int32_t value);

    // Where the flow stands. Starting until the first tick; from there either straight to
    // CloseRequested or on through WaitingForMainWindow, Downloading and Settled.
    enum class Phase {
        Starting,              // the first tick reads the page and asks
        WaitingForMainWindow,  // the main program was asked to close; Fetchel starts once it is gone
        Downloading,           // Fetchel runs; silent ticks count towards the stall limit
        Settled,               // Fetchel's final notification came; nothing more is counted
        CloseRequested,        // the next tick closes the window
        Closed,                // the window was asked to close; ticks do nothing more
    };

    Phase phase() const { return phase_; }
    std::int32_t percent() const { return m_nPercent; }
    bool download_started() const { return phase_ == Phase::Downloading || phase_ == Phase::Settled; }
    const UpdatePage& page() const { return page_; }

private:
    bool CheckUpdateInformation();
    bool CanVerify();
    void StartDownload();

    HandOver hand_over_;
    platform::WindowHandle own_handle_;
    UpdaterView& view_;
    FlowServices services_;
    UpdatePage page_;

    Phase phase_ = Phase::Starting;
    std::int32_t m_nPercent = 0;
    // Ticks since the download started or since its last notification (while Downloading).
    std::int32_t m_nIdleTicks = 0;
    // Set while a tick runs: a tick that arrives from a message box's nested loop is dropped.
    bool in_tick_ = false;
};

// The decimal handle text of the hand-over file as a number (0 when it is not a number).
platform::WindowHandle ParseWindowHandle(std::string_view text);

}  // namespace velmor::updater
