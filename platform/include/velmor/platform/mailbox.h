#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

namespace velmor::platform {

// Window handles and posted messages between processes of one user. A handle is a positive number
// below 2^31 (owning process id * 64 + 1..63); its mailbox is a datagram socket bound to the file
// "hwnd-H" in the user's private folder (UserPrivateFolder), which lives as long as the owning
// process keeps it. 0 and negative numbers never name a window.
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

// The socket file of handle H; empty for an invalid handle or when there is no private folder.
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
    // The socket to watch for readability (e.g. with QSocketNotifier).
    virtual int NativeDescriptor() const = 0;
    // Takes the next accepted message without blocking; datagrams of the wrong size or from another
    // user are dropped unread. nullopt when the queue is empty.
    virtual std::optional<WindowMessage> Receive() = 0;
};

// Opens a new mailbox with a fresh handle of this process; nullptr when that fails (all 63 handles
// of the process in use, or no socket).
std::unique_ptr<Mailbox> OpenMailbox();

}  // namespace velmor::platform
