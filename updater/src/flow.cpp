#include "velmor/updater/flow.h"

#include <limits>
#include <system_error>

#include "velmor/common/text_rules.h"
#include "velmor/platform/diag.h"
#include "velmor/updater/signature.h"

namespace velmor::updater {
namespace {

// Set while a timer tick runs: a tick that arrives from a message box's nested loop is dropped.
bool g_bInTick = false;

class TickGuard final {
public:
    TickGuard() { g_bInTick = true; }
    ~TickGuard() { g_bInTick = false; }
    TickGuard(const TickGuard&) = delete;
    TickGuard& operator=(const TickGuard&) = delete;
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
    if (g_bInTick || closing_) return;
    TickGuard guard;

    if (m_bFirstTick) {
        m_bFirstTick = false;
        if (CheckUpdateInformation() && services_.dialogs.AskUpdate()) {
            if (!CanVerify()) {
                // Nothing unsigned is ever installed; the running product is left alone.
                services_.dialogs.ShowDownloadFailed();
                m_bCloseRequested = true;
            } else {
                const auto main_window = ParseWindowHandle(hand_over_.main_window_handle);
                if (main_window != 0 && services_.poster.IsWindow(main_window)) {
                    services_.poster.Post(main_window, {platform::kWmClose, 0, 0});
                }
            }
        } else {
            m_bCloseRequested = true;
        }
    }

    if (m_bCloseRequested) {
        closing_ = true;
        view_.Close();
        m_bCloseRequested = false;
        return;
    }

    if (!m_bDownloadStarted) {
        const auto main_window = ParseWindowHandle(hand_over_.main_window_handle);
        if (main_window == 0 || !services_.poster.IsWindow(main_window)) StartDownload();
        return;
    }

    // A started download that has sent nothing for a minute has stalled. The count runs from the
    // start of the download and from every notification; -1 means it has stopped for good.
    if (m_nIdleTicks >= 0) {
        if (m_nIdleTicks >= kIdleTickLimit) {
            m_nIdleTicks = -1;
            services_.dialogs.ShowTimeout();
            closing_ = true;
            view_.Close();
            return;
        }
        ++m_nIdleTicks;
    }
}

void UpdaterFlow::OnProgress(std::int32_t value) {
    // Counting goes on until the final notification settles the download.
    m_nIdleTicks = 0;
    if (value >= 0) {
        m_nPercent = value;
        view_.DrawBar(m_nPercent);
        return;
    }
    if (value != -1 && value != -2) return;
    m_nIdleTicks = -1;

    // -1 and -2 alike: the size of what arrived decides, then its signature.
    std::error_code error;
    const auto size = std::filesystem::file_size(hand_over_.package_path, error);
    const std::int64_t expected = LeadingNumber(page_.package_size);
    if (!error && expected >= 0 && size == static_cast<std::uintmax_t>(expected) &&
        services_.verifier.Verify(hand_over_.package_path, page_.signature)) {
        services_.installer.Install(hand_over_.package_path, hand_over_.target_folder);
        m_bCloseRequested = true;
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
    m_bDownloadStarted = true;
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
