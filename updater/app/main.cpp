// Updater: checks the update page, asks, closes the main program, downloads the package with
// Fetchel, unpacks it over the product and starts the product again.
#include <QApplication>
#include <cstdlib>
#include <string>

#include "mailbox_notifier.h"
#include "qt_translations.h"
#include "updater_app.h"
#include "velmor/platform/program_folder.h"
#include "velmor/platform/single_instance.h"
#include "velmor/updater/fields.h"
#include "velmor/updater/package.h"

int main(int argc, char** argv) {
    using namespace velmor::updater;
    // Everything after the program name is the path of the hand-over file, spaces included.
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) path += ' ';
        path += argv[i];
    }
    // Only a regular file of one short line: a link, a FIFO or an endless device is no hand-over.
    auto hand_over = ReadHandOver(path);
    if (!hand_over) return 0;
    // Velmor starts an updater at every start: while one of this program folder is still at work
    // (above all, waiting for the user's answer), a second one ends silently instead of asking again.
    const auto running = velmor::platform::ClaimSingleInstance(velmor::platform::ProgramFile());
    if (!running) return 0;

    QApplication app(argc, argv);
    // The updater lives in P/support; the shipped copy of Qt's translations is in P/translations.
    velmor::platform::InstallQtTranslations(velmor::platform::ProgramFolder().parent_path() / "translations");
    app.setQuitOnLastWindowClosed(false);
    // "ok" or "cancel" answers the question unattended (scripted installs, the end-to-end test).
    std::optional<bool> answer;
    if (const char* preset = std::getenv("VELMOR_UPDATER_ANSWER"); preset != nullptr) {
        if (std::string_view(preset) == "ok") answer = true;
        if (std::string_view(preset) == "cancel") answer = false;
    }
    QtUpdaterDialogs dialogs(answer);
    UpdaterApp updater(
        std::move(*hand_over), std::make_unique<velmor::platform::MailboxNotifier>(),
        FlowServices{dialogs, SystemWindowPoster(), CurlPageFetcher(), velmor::platform::SystemLauncher(),
                     PackageInstaller(), ReleaseKeyVerifier()});
    // Without a mailbox no progress could ever arrive: end before anything is shown.
    if (!updater.isReady()) return 0;
    QObject::connect(&updater, &UpdaterApp::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    updater.start();
    app.exec();
    return 0;
}
