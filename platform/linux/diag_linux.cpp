#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "velmor/platform/diag.h"

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

// The setting is read once, at the first line: a program's trail goes to one place for its life.
DiagSink ConfiguredSink() {
    static const DiagSink sink = [] {
        const DiagSink chosen = DiagSinkOf(std::getenv("VELMOR_DEBUG_LOG"));
        if (chosen == DiagSink::SystemLog) ::openlog(program_invocation_short_name, LOG_PID, LOG_USER);
        return chosen;
    }();
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
    switch (ConfiguredSink()) {
        case DiagSink::Off:
            return;
        case DiagSink::SystemLog:
            ::syslog(LOG_NOTICE, "%s", line.c_str());
            return;
        case DiagSink::StandardError: {
            // One write per line, so lines of several threads or processes never interleave.
            std::string out = std::string(program_invocation_short_name) + ": " + line + "\n";
            std::size_t done = 0;
            while (done < out.size()) {
                const ssize_t n = ::write(STDERR_FILENO, out.data() + done, out.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return;  // the trail itself never reports its own failures
                done += static_cast<std::size_t>(n);
            }
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
