#include <windows.h>
// Separate block: shellapi.h needs windows.h first.
#include <shellapi.h>

#include <algorithm>
#include <cwctype>
#include <mutex>

#include "velmor/platform/diag.h"
#include "velmor/platform/process.h"
#include "wide_text.h"

namespace velmor::platform {
namespace {

std::mutex children_mutex;
std::vector<HANDLE> running_children;

int ReapLocked() {
    std::erase_if(running_children, [](HANDLE process) {
        if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) return false;
        ::CloseHandle(process);
        return true;
    });
    return static_cast<int>(running_children.size());
}

// One argument as the C runtime's command-line reader (CommandLineToArgvW) gives it back: quoted
// when it holds blanks or quotes, with the backslashes before a quote doubled.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
    if (!line.empty()) line += L' ';
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    for (auto at = argument.begin();; ++at) {
        std::size_t backslashes = 0;
        while (at != argument.end() && *at == L'\\') {
            ++at;
            ++backslashes;
        }
        if (at == argument.end()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        line.append(*at == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        line += *at;
    }
    line += L'"';
}

std::wstring LowerExtension(const std::filesystem::path& program) {
    std::wstring extension = program.extension().native();
    for (wchar_t& c : extension) c = static_cast<wchar_t>(std::towlower(c));
    return extension;
}

// "P/hostlet" names P\hostlet.exe: the callers name programs without the system's extension.
std::filesystem::path ProgramFile(const std::filesystem::path& program) {
    if (!program.has_extension()) {
        std::filesystem::path with_extension = program;
        with_extension += L".exe";
        std::error_code error;
        if (std::filesystem::is_regular_file(with_extension, error)) return with_extension;
    }
    return program;
}

// A program proper: a new process without a console of its own and without our handles.
HANDLE CreateDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                      const std::filesystem::path& working_folder) {
    std::wstring line;
    AppendArgument(line, program.native());
    for (const std::string& argument : arguments) AppendArgument(line, windows::Widen(argument));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                          DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT, nullptr,
                          working_folder.empty() ? nullptr : working_folder.c_str(), &startup, &process)) {
        Diag("process", "cannot start " + program.string() + ": " + windows::ErrorText(::GetLastError()));
        return nullptr;
    }
    ::CloseHandle(process.hThread);
    return process.hProcess;
}

// Anything else (a batch file, a document) through the shell, as a double-click would open it.
HANDLE ShellOpen(const std::filesystem::path& file, const std::vector<std::string>& arguments,
                 const std::filesystem::path& working_folder) {
    std::wstring parameters;
    for (const std::string& argument : arguments) AppendArgument(parameters, windows::Widen(argument));
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    execute.lpFile = file.c_str();
    execute.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    execute.lpDirectory = working_folder.empty() ? nullptr : working_folder.c_str();
    execute.nShow = SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&execute)) {
        Diag("process", "cannot open " + file.string() + ": " + windows::ErrorText(::GetLastError()));
        return nullptr;
    }
    // A document opened in a running program has no process of its own to wait for.
    return execute.hProcess != nullptr ? execute.hProcess : INVALID_HANDLE_VALUE;
}

}  // namespace

bool StartDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path& working_folder) {
    const std::filesystem::path file = ProgramFile(program);
    const std::wstring extension = LowerExtension(file);
    const HANDLE process = extension == L".exe" || extension == L".com"
                               ? CreateDetached(file, arguments, working_folder)
                               : ShellOpen(file, arguments, working_folder);
    std::lock_guard lock(children_mutex);
    ReapLocked();
    if (process == nullptr) return false;
    if (process != INVALID_HANDLE_VALUE) running_children.push_back(process);
    return true;
}

int ReapDetachedChildren() {
    std::lock_guard lock(children_mutex);
    return ReapLocked();
}

}  // namespace velmor::platform
