#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace velmor::platform {

// What the desktop's window manager is asked to do with one mapped top-level window.
struct WindowRequest {
    bool skip_taskbar = false;        // off the task list (and the pager): reached through the tray
    bool above = false;               // above ordinary windows, or explicitly not
    bool to_current_desktop = false;  // moved to the desktop the user is looking at
    bool activate = false;            // raised and given the focus
};

// The states a window manager reports for a window (for tests and the debug log).
struct WindowStates {
    bool mapped = false;  // viewable, in its normal (not iconic) state
    bool hidden = false;  // minimised
    bool skip_taskbar = false;
    bool above = false;
};

// The window manager's side of window states, which a toolkit does not always keep: Qt sets none of
// the task-list states and leaves the stacking request to the moment of mapping, which window
// managers handle unevenly. X11 (EWMH client messages) where $DISPLAY names a server; the window is
// the native window id of the toolkit's window on that server.
class WindowManager {
public:
    virtual ~WindowManager() = default;
    // Sends the request; false when there is no window manager to ask.
    virtual bool Request(std::uint64_t window, const WindowRequest& request) = 0;
    virtual std::optional<WindowStates> Read(std::uint64_t window) = 0;
};

// The window manager of the X server in $DISPLAY, through a connection of its own; null when no
// server can be reached.
std::unique_ptr<WindowManager> ConnectX11WindowManager();

}  // namespace velmor::platform
