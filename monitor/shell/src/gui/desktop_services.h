#pragma once

#include <filesystem>

#include "frm_start.h"
#include "qt_services.h"
#include "velmor/common/clock.h"
#include "velmor/common/ui_services.h"

namespace velmor::shell {

// The real services of the desktop program's main window. The window borrows the clipboard, the
// browser and the clock: they live here, so this object must outlive the window.
class DesktopServices final {
public:
    // The window's services on this desktop: Qt's clipboard, browser and tray icon
    // (`assume_tray` stands in for a tray where the desktop has none), a fresh mailbox, the
    // machine's own information and rights (the monitor service and its parts are main's), the X11
    // window manager on the xcb platform (none elsewhere), the system clock, the help and About windows, and
    // the end of the event loop as the end of the program. `dialogs` must outlive the window too.
    FrmStartServices ForMainWindow(const std::filesystem::path& program_folder, Dialogs& dialogs,
                                   bool assume_tray);

private:
    QtClipboard clipboard_;
    QtBrowser browser_;
    SystemClock clock_;
};

}  // namespace velmor::shell
