#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/platform/program_launcher.h"

// The logic of the tab "네트웍 명령": the converter between host names and dotted addresses and
// the command runner that opens a network command in the desktop's terminal. No widgets here;
// the panel in src/gui only forwards its events.
namespace velmor::shell {

inline constexpr std::string_view kMessageEnterAddress = "정확한 주소를 입력하세요.";
inline constexpr std::string_view kMessageNotNumeric = "숫자 주소가 아닙니다.";
inline constexpr std::string_view kMessageNoTerminal =
    "명령을 실행할 터미널 프로그램을 찾지 못했습니다.\n"
    "x-terminal-emulator, gnome-terminal, konsole, xfce4-terminal, xterm 가운데 하나를 설치하거나 "
    "환경 변수 TERMINAL에 터미널 프로그램을 지정하세요.";
inline constexpr std::string_view kMessageBatchNotWritten = "명령 파일을 쓸 수 없습니다: ";
inline constexpr std::string_view kMessageTerminalFailed = "터미널 프로그램을 시작하지 못했습니다: ";

// ---------------------------------------------------------------------------------------------
// Converter (txtIPConvert 0: host name, 1: dotted address)

enum class Conversion {
    None,          // nothing to resolve: show `message` (if any) and stop
    HostNameToIp,  // resolve box 0's text into box 1
    IpToHostName,  // resolve box 1's text into box 0
};

struct ConversionPlan {
    std::string trimmed;  // the box's new text (leading and trailing blanks removed)
    Conversion conversion = Conversion::None;
    std::string_view message;  // the notice to show, when conversion is None
    int target_box = -1;       // the box that receives the result
};

// What Enter in converter box `box` does with the box's text `text`.
ConversionPlan PlanConversion(int box, std::string_view text);

// The numeric test of the address box: with every '.' read as '0', the text must be a whole
// number of decimal digits. Addresses of digits and dots pass, names with letters fail.
bool IsNumericAddressText(std::string_view text);

// ---------------------------------------------------------------------------------------------
// Command runner (textShell, cmdShell 0..3 and 10)

// The Linux form of the PING button's command: a bare "ping " pings until Ctrl-C, which closes the
// terminal before "[종료]".
inline constexpr std::string_view kInitialCommandLine = "ping -c 4 ";
inline constexpr int kRunButton = 10;
inline constexpr int kCommandButtonCount = 4;

// Finds a program by name (a path when found); the platform's PATH search in the program.
using ProgramFinder = std::function<std::optional<std::filesystem::path>(std::string_view)>;

// The caption of cmdShell `index` (0..3, 10); empty for any other index.
std::string_view ShellButtonCaption(int index);

// The command line that cmdShell `index` (0..3) puts into textShell. netstat and traceroute are
// not installed on every Linux desktop, so their buttons fall back to ss and tracepath.
std::string ShellButtonCommand(int index, const ProgramFinder& find);

// P/temp/temp.sh
std::filesystem::path BatchFilePath(const std::filesystem::path& program_folder);

// The six lines of the batch file for command line `command`. A newline inside the command would
// add lines to the file, so CR and LF in it become blanks.
std::string BatchFileContent(std::string_view command);

struct TerminalLaunch {
    std::filesystem::path program;
    std::vector<std::string> arguments;
};

// The terminal that opens `script`: x-terminal-emulator, else $TERMINAL, gnome-terminal,
// konsole, xfce4-terminal, xterm; each is given the option that makes it run a command.
// nullopt when none of them is installed.
std::optional<TerminalLaunch> ChooseTerminal(const std::filesystem::path& script,
                                             const std::optional<std::string>& terminal_variable,
                                             const ProgramFinder& find);

enum class RunOutcome {
    Started,         // the terminal was started (the program does not wait for it)
    NotWritten,      // the batch file could not be written; nothing was started
    NoTerminal,      // no terminal program is installed
    TerminalFailed,  // the terminal program could not be started
};

// Writes the batch file and opens it in a terminal without waiting.
class CommandRunner final {
public:
    struct Services {
        ProgramFinder find;
        std::function<std::optional<std::string>()> terminal_variable;
        // nullptr: every start fails.
        platform::ProgramLauncher* launcher = nullptr;
    };
    // PATH search, $TERMINAL and the system's launcher.
    static Services SystemServices();

    explicit CommandRunner(std::filesystem::path program_folder, Services services = SystemServices());

    RunOutcome Run(std::string_view command_line);
    std::string ButtonCommand(int index) const { return ShellButtonCommand(index, services_.find); }
    std::filesystem::path BatchFile() const { return BatchFilePath(program_folder_); }
    // The terminal of the last Run that found one.
    const std::optional<TerminalLaunch>& LastLaunch() const { return last_launch_; }

private:
    std::filesystem::path program_folder_;
    Services services_;
    std::optional<TerminalLaunch> last_launch_;
};

}  // namespace velmor::shell
