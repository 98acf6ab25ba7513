#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/common/ui_services.h"
#include "velmor/platform/mailbox.h"
#include "velmor/platform/program_launcher.h"
#include "velmor/platform/single_instance.h"

namespace velmor::shell {

// The program's one version constant (window title, hand-over file, update query, About text).
inline constexpr std::string_view kVersion = "1.0703.01";
inline constexpr std::string_view kProductId = "KQ";
inline constexpr std::string_view kHandOverFileName = "UpdateInfo.tmp";
inline constexpr std::string_view kPackageFileName = "TmpNewVer.jar";
inline constexpr std::string_view kAlreadyRunningText = "프로그램이 이미 실행되어 있습니다.";

// "https://" host "/client/update.jsp?proid=KQ&ver=" version.
std::string UpdateQueryAddress(std::string_view update_host);

// The one line of the hand-over file, enclosing quotes and CR LF included:
// "[KQ][P][P/support][P/support/TmpNewVer.jar][version][query address][handle]"
std::string HandOverLine(const std::filesystem::path& program_folder, std::string_view update_host,
                         platform::WindowHandle main_window);

// False when a field of the hand-over line would hold "[" or "]" (the program folder's path, or the
// update query address): nothing escapes a bracket in that line, so the start then writes no
// hand-over and starts no Updater.
bool HandOverFieldsFit(const std::filesystem::path& program_folder, std::string_view update_host);

// Runs window messages for `duration`, measured on the monotonic clock (so a pause across midnight or
// a clock change still lasts `duration`). Returns early when the application is told to exit.
void PauseWithEvents(std::chrono::milliseconds duration);

// What the start procedure needs of the main window.
class StartWindow {
public:
    virtual ~StartWindow() = default;
    // The window's handle. Its first use loads the window (folders, tray icon, listener, timers).
    virtual platform::WindowHandle Handle() = 0;
    virtual void ExpireInvaderFiles() = 0;
    virtual void ShowWindow() = 0;
    virtual void HideWindow() = 0;
    // True once a quit path has ended the program (the tray prompt may do so during the pause).
    virtual bool Ending() const = 0;
};

struct StartOptions {
    std::filesystem::path program_folder;
    // The program file whose running copy counts (ProgramFile()); the lock lives in `lock_folder`
    // (empty: the user's runtime folder).
    std::filesystem::path program_file;
    std::filesystem::path lock_folder;
    std::string update_host;
    std::chrono::milliseconds first_pause{10'000};
    std::chrono::milliseconds show_for{2'000};
    // Asked after the first pause: true ends the start there (the program was told to end before
    // its window existed). Unset: never.
    std::function<bool()> should_end;
    // Starts the updater without waiting (nullptr: the system's launcher).
    platform::ProgramLauncher* launcher = nullptr;
};

// The pauses of a test run: VELMOR_TEST_PAUSE_DIVISOR=N (a whole number above 1) divides both pauses
// by N. Unset, empty or not a number: the real 10 s and 2 s. Meant for tests only.
void ApplyTestPauseDivisor(StartOptions& options, const char* divisor_text);

// StartProgram: refuses a second copy ("프로그램이 이미 실행되어 있습니다.", exclamation icon), pauses,
// writes the hand-over file in P/support (opened before the window's load creates that folder, so the
// very first start writes nothing; never through a link; not at all when HandOverFieldsFit says no,
// and then no Updater either), starts P/support/updater with the file's path as its one
// argument, expires old rules, shows the window for a while and hides it. `make_window` is called
// once, at the first use of the window. Returns the running-copy claim, to keep for the life of the
// program; nullptr when another copy runs (the program should end).
std::unique_ptr<platform::SingleInstance> StartProgram(const StartOptions& options, Dialogs& dialogs,
                                                       const std::function<StartWindow&()>& make_window);

}  // namespace velmor::shell
