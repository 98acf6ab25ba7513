#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <QWindow>
#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "list_table_model.h"
#include "tray_icon.h"
#include "velmor/common/ui_services.h"
#include "velmor/engine/monitoring_cycle.h"
#include "velmor/guard/guard_link.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/local_info.h"
#include "velmor/platform/mailbox.h"
#include "velmor/platform/socket_counters.h"
#include "velmor/platform/window_manager.h"
#include "velmor/rules/list_commands.h"
#include "velmor/shell/bait_listener.h"
#include "velmor/shell/intruder_notices.h"
#include "velmor/shell/monitor_service.h"
#include "velmor/shell/startup.h"
#include "velmor/shell/traffic_service.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTableView;
class QToolBar;

namespace velmor::platform {
class MailboxNotifier;
}

namespace velmor::shell {

class LampWidget;
class TrafficView;

// The design title and the title that the last load step sets (a blank before "버전").
inline constexpr std::string_view kDesignTitle = "Torvane...1.0703.01버전";
inline constexpr std::string_view kFinalTitle = "Torvane...1.0703.01 버전";
inline constexpr std::string_view kTrayQuitQuestion = "Torvane 프로그램을 종료할까요?";
// Above the tabs while the desktop has no tray (GNOME on Wayland shows none without an extension).
inline constexpr std::string_view kNoTrayNotice =
    "⚠ 이 데스크톱에는 트레이(알림 영역)가 없어 창을 숨기지 않습니다. 창을 닫으면 최소화만 됩니다. "
    "GNOME에서는 확장 \"AppIndicator and KStatusNotifierItem Support\"(데비안 패키지 "
    "gnome-shell-extension-appindicator)를 설치해 켜고 다시 로그인하면 트레이 아이콘이 나타납니다. 다른 "
    "데스크톱에서는 패널에 트레이(StatusNotifierItem) 영역을 더하세요.";
// How often the window looks whether the tray came or went.
inline constexpr int kTrayWatchIntervalMs = 1000;
inline constexpr std::string_view kMenuQuitQuestion = "프로그램을 종료할까요?";
inline constexpr std::string_view kMenuQuit = "끝내기(&X)";
inline constexpr std::string_view kMenuHelp = "도움말 항목(&C)";
inline constexpr std::string_view kMenuAbout = "Torvane 정보(&A)";

// Everything frmStart talks to outside itself besides the monitor service. The window chooses none
// of them: the desktop program gives the real ones (DesktopServices), tests their fakes. Each is
// required unless its comment says otherwise; the pointed-to ones outlive the window.
struct FrmStartServices {
    Dialogs* dialogs = nullptr;
    Clipboard* clipboard = nullptr;
    Browser* browser = nullptr;
    std::unique_ptr<TrayIcon> tray;
    // The mailbox other programs (the updater) post messages to; its handle is the window's. Empty:
    // the window has handle 0, as when no mailbox could be opened.
    std::unique_ptr<platform::Mailbox> mailbox;
    std::function<platform::LocalInfo()> local_info;
    std::function<bool()> can_tear_down;
    // Ends the program at once (the quit paths).
    std::function<void()> end_program;
    // The modal help and About windows.
    std::function<void(QWidget* owner)> open_help;
    std::function<void(QWidget* owner)> open_about;
    // The window manager's window states (task list, stacking, desktop); optional: without one the
    // window asks for none.
    std::unique_ptr<platform::WindowManager> window_manager;
    // The clock of the intruder notices' interval.
    const Clock* clock = nullptr;
    // The port of velmor's own bait listener when the guard offers none.
    quint16 bait_port = guard::kBaitPort;
    // Event lines on standard output (tray changes, show and hide) for end-to-end tests.
    bool debug_log = false;
    // The start wrote no hand-over and started no Updater (HandOverFieldsFit): the notice says so.
    bool updates_refused = false;
};

// frmStart: the one main window. Toolbar, the tab control SSTabMain with the three lists and the
// options, the activity lamps; the tray icon, the bait listener and the two timers of the monitor.
// Constructing it builds the controls as designed; the first use of its handle loads it.
class FrmStart final : public QMainWindow,
                       public engine::MonitorHost,
                       public rules::ListCommandsHost,
                       public StartWindow {
    Q_OBJECT
public:
    // `service` (built by the caller, outliving the window) runs with the window on top.
    FrmStart(std::filesystem::path program_folder, MonitorService& service, FrmStartServices services,
             QWidget* parent = nullptr);
    ~FrmStart() override;

    // --- StartWindow
    platform::WindowHandle Handle() override;
    void ExpireInvaderFiles() override;
    void ShowWindow() override;
    void HideWindow() override;
    bool Ending() const override { return ending_; }

    // --- engine::MonitorHost
    bool IsWindowVisible() const override;
    // Add puts the icon up with the normal image, Reset and Invader change it to the normal or the
    // alert image; anything else does nothing.
    void UpdateTrayIcon(engine::TrayIconChange change) override;
    // A desktop notice while the window is hidden, at most one per IntruderNotices::kInterval.
    void IntruderFiled(std::string_view address) override;
    // A desktop notice, once per address for the life of the window.
    void ExemptAddressMet(std::string_view address, rules::Exemption why) override;

    // --- rules::ListCommandsHost
    void InvaderOXChanged() override;
    void FocusInvaderList() override;
    void SetWaitCursor(bool waiting) override;

    bool Loaded() const { return loaded_; }
    // "ON" makes the window topmost, anything else not; nothing unless CheckTopMost is checked.
    void ApplyTopMost(std::string_view on_off);
    void SetPortListener(bool start);
    // A tray notification with its mouse message code (514 left up, 517 right up).
    void Form_MouseMove(int code);
    void ToolbarMenu_ButtonMenuClick(const QString& item_text);
    void ToolbarMenu_MouseMove();
    void CheckTopMost_Click();
    // Tells the intruders counted since the last notice, once its interval has passed.
    void NoticeTimer_Timer();
    // A close that the system asks for (session end, a posted WM_CLOSE): icon and listener go, the
    // window closes and the program ends.
    void CloseFromSystem();

    // State for tests and the debug log.
    int TrayImage() const { return tray_image_; }  // 0 none, 1 normal, 2 alert
    QString TrayTip() const { return tray_tip_; }
    bool TrayAvailable() const;
    bool QuitPromptOpen() const { return quit_prompt_open_; }
    bool Topmost() const;
    QString MyInfoText() const { return my_info_text_; }
    QString NoticeText() const;
    // The notice above the tabs while the desktop has no tray; empty while it has one.
    QString TrayNoticeText() const;
    MonitorService& Service() { return service_; }
    TrafficService& Traffic() { return *traffic_; }
    rules::ListCommands& Commands() { return *commands_; }
    BaitListener& Listener() { return listener_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildControls();
    QWidget* BuildWatchIpTab();
    QWidget* BuildInvaderTab();
    QWidget* BuildWatchPortTab();
    QWidget* BuildOptionsTab();
    QWidget* BuildTrustedTab();
    // The tooltip of a row of "IP 감시": the address's connections, each with its program, pid, local
    // and remote port and state.
    QString ConnectionsTip(int core_row) const;
    // The trusted list's save button: writes the list, applies it and says what it skipped.
    void cmdTrustedSave_Click();
    void ShowExemptions();
    QTableView* MakeListView(const char* name, ListTableModel* model);
    void Form_Load();
    void EndProgram();
    void SetWindowPosTopmost(bool topmost);
    void RestoreFromTray();
    // The steps that only hold once the window manager has mapped the window: the normal state,
    // the task-list and stacking states and, after a restore, the focus on the current desktop.
    void WatchNativeWindow();
    void ScheduleAfterMapped();
    void AfterMapped();
    void RequestWindowStates(bool bring_to_user);
    void ShowNotice(const IntruderNotices::Notice& notice);
    void ScheduleNoticeTimer();
    void UpdateNotice();
    void RefreshLamps();
    // Follows the tray as it comes and goes (see the timer).
    void WatchTray();
    void Log(const std::string& line) const;

    std::filesystem::path program_folder_;
    FrmStartServices services_;
    MonitorService& service_;
    std::unique_ptr<TrafficService> traffic_;
    std::unique_ptr<rules::ListCommands> commands_;
    std::unique_ptr<platform::MailboxNotifier> mailbox_;
    BaitListener listener_;

    ListTableModel* watch_ip_model_ = nullptr;
    ListTableModel* watch_port_model_ = nullptr;
    ListTableModel* invader_model_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QTabWidget* tab_main_ = nullptr;
    QTabWidget* tab_etc_ = nullptr;
    QTableView* list_watch_ip_ = nullptr;
    QTableView* list_watch_port_ = nullptr;
    QTableView* list_invader_ = nullptr;
    TrafficView* traffic_view_ = nullptr;
    QCheckBox* chk_invader_ = nullptr;
    std::array<QCheckBox*, 2> check_stop_run_{};
    QCheckBox* check_top_most_ = nullptr;
    QPlainTextEdit* txt_my_info_ = nullptr;
    QLabel* notice_ = nullptr;
    QPlainTextEdit* txt_trusted_ = nullptr;
    QLabel* trusted_status_ = nullptr;
    QPlainTextEdit* txt_exemptions_ = nullptr;
    std::set<std::string, std::less<>> exempt_noticed_;
    std::array<LampWidget*, 2> lamps_{};
    QTimer lamp_timer_;
    QLabel* tray_notice_ = nullptr;
    QTimer tray_watch_timer_;
    bool tray_was_available_ = false;
    std::unique_ptr<IntruderNotices> notices_;
    QTimer notice_timer_;
    QPointer<QWindow> watched_window_;
    bool after_mapped_pending_ = false;
    bool after_mapped_queued_ = false;
    bool restore_requested_ = false;
    int unminimise_tries_ = 0;

    bool loaded_ = false;
    bool ending_ = false;
    bool closing_from_system_ = false;
    bool quit_prompt_open_ = false;
    // The guard's refusal was shown as a notice beside the tray (once a run).
    bool refusal_told_ = false;
    int tray_image_ = 0;
    QString tray_tip_;
    QString my_info_text_;
};

}  // namespace velmor::shell
