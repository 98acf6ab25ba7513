#include <windows.h>

#include "velmor/platform/terminal.h"
#include "wide_text.h"

namespace velmor::platform {

// A name with a folder in it is taken as a path; any other is looked for as the system looks for a
// program (the program's folder, the current folder, the system folders, PATH), ".exe" added when
// it has no extension.
std::optional<std::filesystem::path> FindExecutable(std::string_view name) {
    if (name.empty()) return std::nullopt;
    const std::wstring wide = windows::Widen(name);
    if (wide.find_first_of(L"\\/") != std::wstring::npos) {
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return std::nullopt;
        return std::filesystem::path(wide);
    }
    wchar_t found[MAX_PATH] = {};
    const DWORD length = ::SearchPathW(nullptr, wide.c_str(), L".exe", MAX_PATH, found, nullptr);
    if (length == 0 || length >= MAX_PATH) return std::nullopt;
    return std::filesystem::path(std::wstring(found, length));
}

std::optional<std::string> EnvironmentValue(std::string_view name) {
    const std::wstring wide = windows::Widen(name);
    const DWORD needed = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (needed == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::wstring value(needed, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(wide.c_str(), value.data(), needed);
    value.resize(length);
    return windows::Narrow(value);
}

}  // namespace velmor::platform
