#include "velmor/shell/command_line.h"

#include <string_view>

#include "velmor/shell/startup.h"

namespace velmor::shell {

std::string UsageText() {
    return "usage: velmor [--help] [--version]\n"
           "       velmor --headless [--auto-block=on|off] [--block-internet] [--hidden] [--quiet]\n"
           "\n"
           "Without options velmor starts on the desktop: its window shows for two seconds after ten,\n"
           "then it lives in the tray. With --headless it runs the same monitor without a window and\n"
           "reads commands on standard input: list, ports, stats, auto-block on|off,\n"
           "block-internet on|off, quit (each answer ends with a line \"end\").\n"
           "\n"
           "  --help, -h        print this text and end\n"
           "  --version, -V     print the version and end\n"
           "  --headless        the monitor without a window\n"
           "  --auto-block=on|off  automatic blocking of blocked addresses (default on)\n"
           "  --block-internet  tear every TCP connection down\n"
           "  --hidden          pace the monitor like the hidden window\n"
           "  --quiet           print no event lines\n";
}

std::optional<int> AnswerInfoOption(int argc, char** argv, std::ostream& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (arg == "--help" || arg == "-h") {
            out << UsageText();
            out.flush();
            return 0;
        }
        if (arg == "--version" || arg == "-V") {
            out << "velmor " << kVersion << "\n";
            out.flush();
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace velmor::shell
