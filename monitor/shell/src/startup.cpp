#include "velmor/shell/startup.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "velmor/platform/diag.h"
#include "velmor/platform/safe_file.h"
#include "velmor/platform/system_text.h"

namespace velmor::shell {
namespace {

std::string Field(std::string_view value) {
    return "[" + std::string(value) + "]";
}

}  // namespace

std::string UpdateQueryAddress(std::string_view update_host) {
    return "https://" + std::string(update_host) + "/client/update.jsp?proid=" + std::string(kProductId) +
           "&ver=" + std::string(kVersion);
}

std::string HandOverLine(const std::filesystem::path& program_folder, std::string_view update_host,
                         platform::WindowHandle main_window) {
    const std::string folder = program_folder.string();
    const std::string support = folder + "/support";
    std::string line = "\"";
    line += Field(kProductId);
    line += Field(folder);
    line += Field(support);
    line += Field(support + "/" + std::string(kPackageFileName));
    line += Field(kVersion);
    line += Field(UpdateQueryAddress(update_host));
    line += Field(std::to_string(main_window));
    line += "\"\r\n";
    return line;
}

bool HandOverFieldsFit(const std::filesystem::path& program_folder, std::string_view update_host) {
    // The handle, version and product fields are digits and fixed texts; the folders and the query
    // address come from outside.
    const std::string folder = program_folder.string();
    const auto has_bracket = [](std::string_view text) {
        return text.find_first_of("[]") != std::string_view::npos;
    };
    return !has_bracket(folder) && !has_bracket(UpdateQueryAddress(update_host));
}

void PauseWithEvents(std::chrono::milliseconds duration) {
    if (duration.count() <= 0) {
        QCoreApplication::processEvents();
        return;
    }
    // A nested event loop sleeps between events instead of spinning; QTimer runs on the monotonic
    // clock. QCoreApplication::exit() ends every running loop, so a quit during the pause ends it too.
    QEventLoop loop;
    QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void ApplyTestPauseDivisor(StartOptions& options, const char* divisor_text) {
    if (divisor_text == nullptr || *divisor_text == '\0') return;
    char* end = nullptr;
    const long divisor = std::strtol(divisor_text, &end, 10);
    if (*end != '\0' || divisor <= 1) return;
    options.first_pause /= divisor;
    options.show_for /= divisor;
}

std::unique_ptr<platform::SingleInstance> StartProgram(const StartOptions& options, Dialogs& dialogs,
                                                       const std::function<StartWindow&()>& make_window) {
    // 1. One copy per program file and user; the running copy is left as it is.
    auto claim = platform::ClaimSingleInstance(options.program_file, options.lock_folder);
    if (!claim) {
        dialogs.Tell(kAlreadyRunningText, Dialogs::Icon::Exclamation);
        return nullptr;
    }
    // 2. Nothing of the program is on screen during this pause.
    PauseWithEvents(options.first_pause);
    if (options.should_end && options.should_end()) return claim;

    // 3. The hand-over file is opened before the window exists: on the very first start the support
    // folder is not there yet and nothing is written (the next start writes it).
    const auto support = options.program_folder / "support";
    const auto hand_over = support / std::string(kHandOverFileName);
    // Nothing escapes a bracket in the hand-over line: with one in a field the Updater would read
    // other paths than ours, so there is no hand-over and no Updater at all (the window says so).
    const bool hand_over_fits = HandOverFieldsFit(options.program_folder, options.update_host);
    // Never through a link, never into anything but a regular file.
    std::FILE* file = hand_over_fits ? platform::OpenRegularForWriting(hand_over, false) : nullptr;

    // 4. Reading the handle is the window's first use: it loads now.
    StartWindow& window = make_window();
    const std::string line =
        platform::ToSystemText(HandOverLine(options.program_folder, options.update_host, window.Handle()));

    // 5. The whole line, in the system's code page, is written and the file closed before the
    // updater can read it.
    if (file != nullptr) {
        const bool whole = std::fwrite(line.data(), 1, line.size(), file) == line.size();
        if (std::fclose(file) != 0 || !whole) platform::Diag("start", "hand-over file not written whole");
    } else if (hand_over_fits) {
        platform::Diag("start", "cannot create the hand-over file " + hand_over.string());
    }

    // 6. The path goes unquoted, as one argument, blanks and all; a missing updater is ignored.
    const auto updater = support / "updater";
    if (!hand_over_fits) {
        // No Updater without a hand-over it can trust.
    } else {
        platform::ProgramLauncher& launcher =
            options.launcher != nullptr ? *options.launcher : platform::SystemLauncher();
        if (!launcher.Start(updater, {hand_over.string()}))
            platform::Diag("start", "cannot start " + updater.string());
    }

    // 7.-10.
    window.ExpireInvaderFiles();
    if (window.Ending()) return claim;
    window.ShowWindow();
    PauseWithEvents(options.show_for);
    if (window.Ending()) return claim;
    window.HideWindow();
    return claim;
}

}  // namespace velmor::shell
