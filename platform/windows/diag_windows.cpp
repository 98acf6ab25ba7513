#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "velmor/platform/diag.h"
#include "wide_text.h"

namespace velmor::platform {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The running program's file name without ".exe", as the lines name it.
const std::string& ProgramName() {
    static const std::string name = [] {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring_view file(path, length);
        if (const auto slash = file.find_last_of(L"\\/"); slash != std::wstring_view::npos)
            file.remove_prefix(slash + 1);
        if (const auto dot = file.rfind(L'.'); dot != std::wstring_view::npos) file = file.substr(0, dot);
        return windows::Narrow(file);
    }();
    return name;
}

// The setting is read once, at the first line: a program's trail goes to one place for its life.
DiagSink ConfiguredSink() {
    static const DiagSink sink = DiagSinkOf(std::getenv("VELMOR_DEBUG_LOG"));
    return sink;
}

std::mutex& CaptureMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(std::string_view)>& CaptureReceiver() {
    static std::function<void(std::string_view)> receiver;
    return receiver;
}

void Emit(const std::string& line) {
    {
        std::lock_guard lock(CaptureMutex());
        if (auto& receiver = CaptureReceiver()) {
            receiver(line);
            return;
        }
    }
    const std::string out = ProgramName() + ": " + line + "\r\n";
    switch (ConfiguredSink()) {
        case DiagSink::Off:
            return;
        case DiagSink::SystemLog:
            // Windows has no syslog; the debugger output is where a maintainer listens
            // (DebugView, a debugger, or wine's +debugstr channel).
            ::OutputDebugStringW(windows::Widen(out).c_str());
            return;
        case DiagSink::StandardError: {
            // One write per line, so lines of several threads or processes never interleave.
            const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
            if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
            DWORD written = 0;
            ::WriteFile(error, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
            return;
        }
    }
}

std::string Join(std::string_view area, std::string_view what) {
    std::string line(area);
    line += ": ";
    line += what;
    return line;
}

}  // namespace

DiagSink DiagSinkOf(const char* setting) {
    if (setting == nullptr) return DiagSink::Off;
    const std::string_view value(setting);
    if (value.empty() || value == "0") return DiagSink::Off;
    if (EqualsIgnoringCase(value, "syslog") || EqualsIgnoringCase(value, "journal"))
        return DiagSink::SystemLog;
    return DiagSink::StandardError;
}

bool DiagEnabled() {
    {
        std::lock_guard lock(CaptureMutex());
        if (CaptureReceiver()) return true;
    }
    return ConfiguredSink() != DiagSink::Off;
}

void Diag(std::string_view area, std::string_view what) {
    if (!DiagEnabled()) return;
    Emit(Join(area, what));
}

void DiagError(std::string_view area, std::string_view what, int error_number) {
    if (!DiagEnabled()) return;
    std::string line = Join(area, what);
    line += ": ";
    line += std::strerror(error_number);
    Emit(line);
}

DiagCapture::DiagCapture(std::function<void(std::string_view line)> receiver) {
    std::lock_guard lock(CaptureMutex());
    CaptureReceiver() = std::move(receiver);
}

DiagCapture::~DiagCapture() {
    std::lock_guard lock(CaptureMutex());
    CaptureReceiver() = nullptr;
}

}  // namespace velmor::platform
