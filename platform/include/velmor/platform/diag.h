#pragma once

#include <functional>
#include <string_view>

namespace velmor::platform {

// The maintainers' trail of failures that the programs deliberately pass over: a rule file that
// could not be written, a socket option the kernel refused, a program that did not start, a
// teardown the kernel or the guard turned down. Users never see it; where the behaviour says a
// step fails silently it still does. The trail is off unless VELMOR_DEBUG_LOG is set (and not "0"):
// then each line goes to standard error, or to the system log (the journal) when the variable
// says "syslog". Event lines that VELMOR_DEBUG_LOG turns on elsewhere go to standard output and
// never mix with these.

enum class DiagSink { Off, StandardError, SystemLog };

// The sink that a value of VELMOR_DEBUG_LOG selects: unset, empty or "0" turn the trail off,
// "syslog" or "journal" (any case) choose the system log, anything else standard error.
DiagSink DiagSinkOf(const char* setting);

// True when a line passed to Diag goes anywhere; callers may skip building costly texts otherwise.
bool DiagEnabled();

// Records one line "PROGRAM: AREA: WHAT" (PROGRAM the running program's name).
void Diag(std::string_view area, std::string_view what);

// As Diag, with the text of the system error `error_number` appended after ": ".
void DiagError(std::string_view area, std::string_view what, int error_number);

// Tests: while a capture lives, every line (without the program's name) goes to it instead of the
// sink, whatever VELMOR_DEBUG_LOG says. Captures do not nest.
class DiagCapture final {
public:
    explicit DiagCapture(std::function<void(std::string_view line)> receiver);
    ~DiagCapture();
    DiagCapture(const DiagCapture&) = delete;
    DiagCapture& operator=(const DiagCapture&) = delete;
};

}  // namespace velmor::platform
