#include <QCoreApplication>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "end_signal_notifier.h"
#include "velmor/platform/program_folder.h"
#include "velmor/platform/secure_mode.h"
#include "velmor/shell/command_line.h"
#include "velmor/shell/headless_host.h"
#include "velmor/shell/monitor_service.h"
#include "velmor/shell/plugin_guard.h"

#ifdef VELMOR_WITH_GUI
#include <QApplication>
#include <QFont>
#include <QFontDatabase>

#include "desktop_services.h"
#include "frm_start.h"
#include "qt_services.h"
#include "qt_translations.h"
#include "velmor/shell/startup.h"
#endif

namespace {

// Only the desktop start reads switches from the environment.
[[maybe_unused]] int RunHeadless(int argc, char** argv) {
    const bool secure = velmor::platform::InSecureExecutionMode();
    if (secure) velmor::shell::ConfinePluginsBeforeApplication(velmor::platform::ProgramFolder());
    QCoreApplication app(argc, argv);
    if (secure) velmor::shell::ConfinePluginsAfterApplication();
    velmor::shell::HeadlessOptions options;
    std::string error;
    if (!velmor::shell::ParseHeadlessOptions(argc, argv, options, error)) {
        std::cerr << "velmor: " << error
                  << "\nusage: velmor --headless [--auto-block=on|off] [--block-internet]"
                  << " [--hidden] [--quiet]\n";
        return 2;
    }
    velmor::shell::HeadlessDialogs dialogs;
    velmor::shell::MonitorService service(velmor::platform::ProgramFolder(),
                                          velmor::shell::SystemMonitorParts(), dialogs);
    velmor::shell::HeadlessHost host(service, options);
    // SIGTERM, SIGINT and SIGHUP end the loop like "quit": no file is left half-written.
    velmor::platform::EndSignalNotifier end_signals;
    QObject::connect(&end_signals, &velmor::platform::EndSignalNotifier::endRequested, &app,
                     [] { QCoreApplication::quit(); });
    return QCoreApplication::exec();
}

#ifdef VELMOR_WITH_GUI
bool EnvironmentFlag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

void UseKoreanFont(QApplication& app) {
    // Nanum renders Hangul cleanly; the desktop's default font may lack it.
    const QStringList families = QFontDatabase::families();
    for (const char* family : {"NanumBarunGothic", "NanumGothic", "Noto Sans CJK KR"}) {
        if (families.contains(QString::fromLatin1(family))) {
            QFont font(QString::fromLatin1(family));
            font.setPointSizeF(10);
            app.setFont(font);
            return;
        }
    }
}

int RunDesktop(int argc, char** argv) {
    // With rights gained at start, Qt sees no switches of the caller's (-platformpluginpath,
    // -plugin, -platformtheme would load code of their choosing) and only the system's plugins.
    const bool secure = velmor::platform::InSecureExecutionMode();
    if (secure) {
        velmor::shell::ConfinePluginsBeforeApplication(velmor::platform::ProgramFolder());
        argc = 1;
    }
    QApplication app(argc, argv);
    if (secure) velmor::shell::ConfinePluginsAfterApplication();
    // The program lives in the tray: closing or hiding windows never ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setStyle(QStringLiteral("Fusion"));
    UseKoreanFont(app);
    velmor::platform::InstallQtTranslations(velmor::platform::ProgramFolder() / "translations");

    velmor::shell::QtDialogs dialogs;
    // The real services the window borrows; they outlive it.
    velmor::shell::DesktopServices desktop;
    velmor::shell::StartOptions options;
    options.program_folder = velmor::platform::ProgramFolder();
    options.program_file = velmor::platform::ProgramFile();
    options.update_host = VELMOR_UPDATE_HOST;
    // For tests only (see docs/desktop.md): shorter start pauses, a tray assumed on desktops without
    // one, and event lines on standard output.
    velmor::shell::ApplyTestPauseDivisor(options, std::getenv("VELMOR_TEST_PAUSE_DIVISOR"));
    const bool assume_tray = EnvironmentFlag("VELMOR_TEST_TRAY");
    const bool debug_log = EnvironmentFlag("VELMOR_DEBUG_LOG");

    // The monitor the window sits on, built once the start has claimed the program; it outlives the
    // window.
    std::unique_ptr<velmor::shell::MonitorService> service;
    std::unique_ptr<velmor::shell::FrmStart> window;
    // SIGTERM, SIGINT and SIGHUP close the program like a posted WM_CLOSE; before the window
    // exists they end the start pause, and the start goes no further.
    bool end_requested = false;
    velmor::platform::EndSignalNotifier end_signals;
    QObject::connect(&end_signals, &velmor::platform::EndSignalNotifier::endRequested, &app, [&] {
        end_requested = true;
        if (window) {
            window->CloseFromSystem();
        } else {
            QCoreApplication::exit(0);
        }
    });
    options.should_end = [&] { return end_requested; };
    // The first event line: where Qt may load plugins from (signals are already taken over).
    if (debug_log) {
        std::cout << "event plugin-paths "
                  << QCoreApplication::libraryPaths().join(QLatin1Char(':')).toStdString() << std::endl;
    }
    const auto claim = velmor::shell::StartProgram(options, dialogs, [&]() -> velmor::shell::StartWindow& {
        velmor::shell::FrmStartServices services =
            desktop.ForMainWindow(options.program_folder, dialogs, assume_tray);
        services.debug_log = debug_log;
        services.updates_refused =
            !velmor::shell::HandOverFieldsFit(options.program_folder, options.update_host);
        service = std::make_unique<velmor::shell::MonitorService>(
            options.program_folder, velmor::shell::SystemMonitorParts(), dialogs);
        window =
            std::make_unique<velmor::shell::FrmStart>(options.program_folder, *service, std::move(services));
        dialogs.SetOwner(window.get());
        return *window;
    });
    if (!claim) return 1;
    // A quit from the tray during the start pauses already ended the program.
    if (end_requested || (window && window->Ending())) return 0;
    return QApplication::exec();
}
#endif

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only: libdbus (Qt's tray and notices on a desktop session) and fontconfig keep
// their allocations until the process ends; they are not leaks of this program.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libfontconfig.so\n";
}
#endif

int main(int argc, char** argv) {
    if (const auto status = velmor::shell::AnswerInfoOption(argc, argv, std::cout)) return *status;
#ifdef VELMOR_WITH_GUI
    bool headless = false;
    for (int i = 1; i < argc; ++i) headless = headless || std::strcmp(argv[i], "--headless") == 0;
    if (!headless) return RunDesktop(argc, argv);
#endif
    // Without the GUI the program is the headless monitor.
    return RunHeadless(argc, argv);
}
