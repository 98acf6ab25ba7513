#include "velmor/shell/network_tools.h"

#include <utility>

#include "velmor/common/text_file.h"
#include "velmor/common/text_rules.h"
#include "velmor/platform/terminal.h"

namespace velmor::shell {
namespace {

// A text as one single-quoted shell word: nothing inside is expanded or split.
std::string ShellQuote(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string OneLine(std::string_view command) {
    std::string line(command);
    for (char& c : line) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return line;
}

}  // namespace

ConversionPlan PlanConversion(int box, std::string_view text) {
    ConversionPlan plan;
    plan.trimmed = std::string(TrimSpaces(text));
    if (box != 0 && box != 1) return plan;
    if (plan.trimmed.empty()) {
        plan.message = kMessageEnterAddress;
        return plan;
    }
    if (box == 0) {
        plan.conversion = Conversion::HostNameToIp;
        plan.target_box = 1;
        return plan;
    }
    if (!IsNumericAddressText(plan.trimmed)) {
        plan.message = kMessageNotNumeric;
        return plan;
    }
    plan.conversion = Conversion::IpToHostName;
    plan.target_box = 0;
    return plan;
}

bool IsNumericAddressText(std::string_view text) {
    if (text.empty()) return false;
    // IPv6 text: hexadecimal groups with colons (a dotted IPv4 tail allowed); the lookup itself
    // decides whether it is a valid address.
    if (text.find(':') != std::string_view::npos) {
        for (char c : text) {
            const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex && c != ':' && c != '.') return false;
        }
        return true;
    }
    for (char c : text) {
        if (c != '.' && (c < '0' || c > '9')) return false;
    }
    return true;
}

std::string_view ShellButtonCaption(int index) {
    switch (index) {
        case 0:
            return "IPCONFIG";
        case 1:
            return "PING    ";
        case 2:
            return "NETSTAT ";
        case 3:
            return "TRACERT ";
        case kRunButton:
            return "< RUN >";
        default:
            return {};
    }
}

std::string ShellButtonCommand(int index, const ProgramFinder& find) {
    const auto installed = [&](std::string_view name) { return find && find(name).has_value(); };
    switch (index) {
        case 0:
            return "ip address show";
        case 1:
            return "ping -c 4 ";
        case 2:
            return installed("netstat") ? "netstat -a" : "ss -a";
        case 3:
            return installed("traceroute") ? "traceroute " : "tracepath ";
        default:
            return {};
    }
}

std::filesystem::path BatchFilePath(const std::filesystem::path& program_folder) {
    return program_folder / "temp" / "temp.sh";
}

std::string BatchFileContent(std::string_view command) {
    // The lines end in LF alone: sh would keep a CR as part of the command's last argument
    // ("ping -c 4 host\r"). The echo lines quote their text so that the command shown is not run
    // a second time and no '[...]' is taken as a file-name pattern.
    const std::string line = OneLine(command);
    std::string content;
    content += "#!/bin/sh\n";
    content += "printf '%s\\n' " + ShellQuote("[명령] " + line) + "\n";
    content += "echo '[결과]'\n";
    content += line + "\n";
    content += "echo '[종료]'\n";
    content += "printf '%s' '계속하려면 Enter 키를 누르십시오 . . . '; read -r _\n";
    return content;
}

std::optional<TerminalLaunch> ChooseTerminal(const std::filesystem::path& script,
                                             const std::optional<std::string>& terminal_variable,
                                             const ProgramFinder& find) {
    if (!find) return std::nullopt;
    // Each terminal with the option after which the rest of its arguments is the command to run.
    struct Candidate {
        std::string name;
        std::string run_option;
    };
    std::vector<Candidate> candidates = {{"x-terminal-emulator", "-e"}};
    if (terminal_variable && !terminal_variable->empty()) candidates.push_back({*terminal_variable, "-e"});
    candidates.push_back({"gnome-terminal", "--"});
    candidates.push_back({"konsole", "-e"});
    candidates.push_back({"xfce4-terminal", "-x"});
    candidates.push_back({"xterm", "-e"});
    for (const auto& candidate : candidates) {
        if (auto program = find(candidate.name)) {
            return TerminalLaunch{*program, {candidate.run_option, "sh", script.string()}};
        }
    }
    return std::nullopt;
}

CommandRunner::Services CommandRunner::SystemServices() {
    Services services;
    services.find = [](std::string_view name) { return platform::FindExecutable(name); };
    services.terminal_variable = [] { return platform::EnvironmentValue("TERMINAL"); };
    services.launcher = &platform::SystemLauncher();
    return services;
}

CommandRunner::CommandRunner(std::filesystem::path program_folder, Services services)
    : program_folder_(std::move(program_folder)), services_(std::move(services)) {}

RunOutcome CommandRunner::Run(std::string_view command_line) {
    const auto script = BatchFile();
    std::error_code error;
    std::filesystem::create_directories(script.parent_path(), error);
    // Replaced through a rename: a terminal of an earlier run that is still reading the old file
    // keeps reading the old one instead of a file cut short under it. A file that cannot be
    // written is reported; starting the old one would run the previous command.
    if (!WriteFileAtomically(script, BatchFileContent(command_line))) return RunOutcome::NotWritten;
    last_launch_ = ChooseTerminal(
        script, services_.terminal_variable ? services_.terminal_variable() : std::nullopt, services_.find);
    if (!last_launch_) return RunOutcome::NoTerminal;
    if (services_.launcher == nullptr ||
        !services_.launcher->Start(last_launch_->program, last_launch_->arguments)) {
        return RunOutcome::TerminalFailed;
    }
    return RunOutcome::Started;
}

}  // namespace velmor::shell
