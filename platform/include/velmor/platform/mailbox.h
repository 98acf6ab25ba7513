#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "velmor/platform/native_handle.h"

namespace velmor::platform {

// Window handles and posted messages between processes of one user. A handle is a positive number
// below 2^31. On Linux it is the owning process id * 64 + 1..63, and its mailbox a datagram socket
// bound to the file "hwnd-H" in the user's private folder (UserPrivateFolder), which lives as long as
// the owning process keeps it. On Windows it is a real window handle (HWND) of a message-only window,
// and posting is PostMessage. 0 and negative numbers never name a window.
using WindowHandle = std::int64_t;

inline constexpr std::int32_t kWmClose = 0x0010;
inline constexpr std::int32_t kWmUser = 0x0400;

// One posted message. On the wire it is exactly 24 bytes: the 32-bit message number, 32 zero bits,
// the 64-bit wParam and the 64-bit lParam, all signed and in host byte order.
struct WindowMessage {
    std::int32_t message = 0;
    std::int64_t wParam = 0;
    std::int64_t lParam = 0;

    friend bool operator==(const WindowMessage&, const WindowMessage&) = default;
};

inline constexpr std::size_t kWindowMessageSize = 24;

// The socket file of handle H; empty for an invalid handle, when there is no private folder, and on
// Windows, where a window needs no file.
std::filesystem::path MailboxSocketFile(WindowHandle handle);

// Sends one message. When the receiver's queue is full it waits a few milliseconds for room; the
// waits that end without room take at most about a second in all over the process's life, after
// which a full queue fails at once. False when there is no such mailbox or its queue stayed full.
bool PostWindowMessage(WindowHandle handle, const WindowMessage& message);

// True while a mailbox with this handle exists.
bool IsWindow(WindowHandle handle);

// The receiving end of one window's messages. Abstract so that tests can stand in for it.
class Mailbox {
public:
    virtual ~Mailbox() = default;
    virtual WindowHandle Handle() const = 0;
    // What to wait on for messages: on Linux the socket, readable while messages wait (for
    // QSocketNotifier); on Windows an event, signalled when the window's procedure has queued one.
    // The window receives through the thread's message queue, so on Windows Receive() (or any
    // message loop of the thread, Qt's included) must run for the event to be set.
    virtual NativeHandle NativeDescriptor() const = 0;
    // Takes the next accepted message without blocking; datagrams of the wrong size or from another
    // user are dropped unread. nullopt when the queue is empty.
    virtual std::optional<WindowMessage> Receive() = 0;
};

// Opens a new mailbox with a fresh handle of this process; nullptr when that fails (all 63 handles
// of the process in use, or no socket).
std::unique_ptr<Mailbox> OpenMailbox();

}  // namespace velmor::platform
