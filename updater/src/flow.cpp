#include "velmor/updater/flow.h"

#include <limits>
#include <system_error>

#include "velmor/common/text_rules.h"
#include "velmor/platform/diag.h"
#include "velmor/updater/signature.h"

namespace velmor::updater {
namespace {

// Holds a flag up for the lifetime of a scope.
class FlagUp final {
public:
    explicit FlagUp(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagUp() { flag_ = false; }
    FlagUp(const FlagUp&) = delete;
    FlagUp& operator=(const FlagUp&) = delete;

private:
    bool& flag_;
};

}  // namespace

platform::WindowHandle ParseWindowHandle(std::string_view text) {
    const std::int64_t value = LeadingNumber(text);
    // The handle is a signed 32-bit number; anything outside names no window.
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        return 0;
    }
    return value;
}

UpdaterFlow::UpdaterFlow(HandOver hand_over, platform::WindowHandle own_handle, UpdaterView& view,
                         FlowServices services)
    : hand_over_(std::move(hand_over)), own_handle_(own_handle), view_(view), services_(services) {}

void UpdaterFlow::OnTick() {
    // Once the window has been asked to close, a tick that still arrives before it goes does nothing.
    if (in_tick_ || phase_ == Phase::Closed) return;
    const FlagUp guard(in_tick_);

    if (phase_ == Phase::Starting) {
        if (!CheckUpdateInformation() || !services_.dialogs.AskUpdate()) {
            phase_ = Phase::CloseRequested;
        } else if (!CanVerify()) {
            // Nothing unsigned is ever installed; the running product is left alone.
            services_.dialogs.ShowDownloadFailed();
            phase_ = Phase::CloseRequested;
        } else {
            // A close asked for while the question was open stands.
            if (phase_ == Phase::Starting) phase_ = Phase::WaitingForMainWindow;
            const auto main_window = ParseWindowHandle(hand_over_.main_window_handle);
            if (main_window != 0 && services_.poster.IsWindow(main_window)) {
                services_.poster.Post(main_window, {platform::kWmClose, 0, 0});
            }
        }
    }

    switch (phase_) {
        case Phase::CloseRequested:
            phase_ = Phase::Closed;
            view_.Close();
            return;
        case Phase::WaitingForMainWindow: {
            const auto main_window = ParseWindowHandle(hand_over_.main_window_handle);
            if (main_window == 0 || !services_.poster.IsWindow(main_window)) StartDownload();
            return;
        }
        case Phase::Downloading:
            // A started download that has sent nothing for a minute has stalled. The count runs from
            // the start of the download and from every notification.
            if (m_nIdleTicks >= kIdleTickLimit) {
                phase_ = Phase::Settled;
                services_.dialogs.ShowTimeout();
                phase_ = Phase::Closed;
                view_.Close();
                return;
            }
            ++m_nIdleTicks;
            return;
        case Phase::Starting:
        case Phase::Settled:
        case Phase::Closed:
            return;
    }
}

void UpdaterFlow::OnProgress(std::int32_t value) {
    // Counting goes on until the final notification settles the download; any notification after
    // that starts it again.
    m_nIdleTicks = 0;
    if (phase_ == Phase::Settled) phase_ = Phase::Downloading;
    if (value >= 0) {
        m_nPercent = value;
        view_.DrawBar(m_nPercent);
        return;
    }
    if (value != -1 && value != -2) return;
    if (phase_ == Phase::Downloading) phase_ = Phase::Settled;

    // -1 and -2 alike: the size of what arrived decides, then its signature.
    std::error_code error;
    const auto size = std::filesystem::file_size(hand_over_.package_path, error);
    const std::int64_t expected = LeadingNumber(page_.package_size);
    if (!error && expected >= 0 && size == static_cast<std::uintmax_t>(expected) &&
        services_.verifier.Verify(hand_over_.package_path, page_.signature)) {
        services_.installer.Install(hand_over_.package_path, hand_over_.target_folder);
        if (phase_ != Phase::Closed) phase_ = Phase::CloseRequested;
    } else {
        services_.dialogs.ShowDownloadFailed();
    }
}

bool UpdaterFlow::CheckUpdateInformation() {
    if (hand_over_.info_url.empty()) return false;
    const auto page = ParseUpdatePage(services_.fetcher.Fetch(hand_over_.info_url));
    if (!page) return false;
    page_ = *page;
    return !hand_over_.target_folder.empty() && !hand_over_.tool_folder.empty() &&
           !hand_over_.package_path.empty() && !hand_over_.current_version.empty() &&
           !hand_over_.main_window_handle.empty();
}

bool UpdaterFlow::CanVerify() {
    return DecodeSignature(page_.signature).has_value() && services_.verifier.HasKey();
}

void UpdaterFlow::StartDownload() {
    phase_ = Phase::Downloading;
    m_nIdleTicks = 0;
    view_.ShowCentered();
    const std::filesystem::path program = std::filesystem::path(hand_over_.tool_folder) / "fetchel";
    // A path the 1024-byte buffer cannot hold is not started; the window then waits like for a
    // Fetchel that failed to start, until the stall message ends it.
    if (program.native().size() > 1023) return;
    if (!services_.starter.Start(program, {page_.package_url, hand_over_.package_path,
                                           std::to_string(own_handle_), "0", page_.package_size}))
        platform::Diag("updater", "cannot start " + program.string());
}

}  // namespace velmor::updater
