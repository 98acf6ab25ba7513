#include <windows.h>
// Separate block: shellapi.h needs windows.h first.
#include <shellapi.h>

#include <climits>

#include "velmor/platform/system_text.h"
#include "wide_text.h"

namespace velmor::platform {
namespace windows {
namespace {

// Texts longer than an int can count are cut there; no text of these programs comes near it.
int Length(std::size_t size) {
    return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

std::wstring ToWide(unsigned code_page, std::string_view text) {
    if (text.empty()) return {};
    const int needed = ::MultiByteToWideChar(code_page, 0, text.data(), Length(text.size()), nullptr, 0);
    if (needed <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(code_page, 0, text.data(), Length(text.size()), wide.data(), needed);
    return wide;
}

std::string FromWide(unsigned code_page, std::wstring_view text) {
    if (text.empty()) return {};
    const int needed =
        ::WideCharToMultiByte(code_page, 0, text.data(), Length(text.size()), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(code_page, 0, text.data(), Length(text.size()), narrow.data(), needed, nullptr,
                          nullptr);
    return narrow;
}

}  // namespace

std::wstring Widen(std::string_view text) {
    return ToWide(CP_UTF8, text);
}

std::string Narrow(std::wstring_view text) {
    return FromWide(CP_UTF8, text);
}

std::string ErrorText(unsigned long error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text =
        length > 0 ? Narrow(std::wstring_view(buffer, length)) : "error " + std::to_string(error);
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

}  // namespace windows

std::string ToSystemText(std::string_view text) {
    return windows::FromWide(CP_ACP, windows::Widen(text));
}

std::string FromSystemText(std::string bytes) {
    return windows::Narrow(windows::ToWide(CP_ACP, bytes));
}

std::filesystem::path PathFromText(std::string_view text) {
    return std::filesystem::path(windows::Widen(text));
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(windows::Narrow(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

}  // namespace velmor::platform
