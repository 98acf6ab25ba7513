#include <windows.h>

#include <atomic>
#include <csignal>

#include "velmor/platform/end_signals.h"

namespace velmor::platform {
namespace {

// SIGHUP does not exist on Windows; the console's close, log-off and shut-down count as SIGTERM.
constexpr int kTerminate = SIGTERM;
constexpr int kInterrupt = SIGINT;

HANDLE end_event = nullptr;
std::atomic<int> last_signal{0};

// Runs on a thread of its own that the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    last_signal = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? kInterrupt : kTerminate;
    ::SetEvent(end_event);
    // Handled: the process is not ended at once (for a close it still is, after a few seconds).
    return TRUE;
}

HANDLE SetUp() {
    end_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (end_event == nullptr) return nullptr;
    if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
        ::CloseHandle(end_event);
        end_event = nullptr;
    }
    return end_event;
}

}  // namespace

NativeHandle EndSignalDescriptor() {
    static const HANDLE event = SetUp();
    return event;
}

int TakeEndSignal() {
    if (end_event == nullptr) return 0;
    ::ResetEvent(end_event);
    return last_signal.exchange(0);
}

}  // namespace velmor::platform
