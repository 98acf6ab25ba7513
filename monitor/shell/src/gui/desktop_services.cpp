#include "desktop_services.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include "frm_about.h"
#include "frm_help.h"
#include "tray_icon.h"
#include "velmor/platform/connection_table.h"
#include "velmor/platform/local_info.h"
#include "velmor/platform/mailbox.h"
#include "velmor/platform/window_manager.h"

namespace velmor::shell {

FrmStartServices DesktopServices::ForMainWindow(const std::filesystem::path& program_folder, Dialogs& dialogs,
                                                bool assume_tray) {
    FrmStartServices services;
    services.dialogs = &dialogs;
    services.clipboard = &clipboard_;
    services.browser = &browser_;
    services.tray = std::make_unique<QtTrayIcon>(assume_tray);
    services.local_info = platform::ReadLocalInfo;
    services.can_tear_down = platform::CanTearDownConnections;
    services.end_program = [] { QCoreApplication::exit(0); };
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        services.window_manager = platform::ConnectX11WindowManager();
    }
    services.clock = &clock_;
    services.open_help = [program_folder](QWidget* owner) {
        FrmHelp help(program_folder, owner);
        help.exec();
    };
    services.open_about = [](QWidget* owner) {
        FrmAbout about(owner);
        about.exec();
    };
    services.mailbox = platform::OpenMailbox();
    return services;
}

}  // namespace velmor::shell
