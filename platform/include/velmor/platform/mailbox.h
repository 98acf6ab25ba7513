#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace velmor::platform {

// Window handles and posted messages between processes of one user. A handle is a positive number
// below 2^31 (owning process id * 64 + 1..63); its mailbox is a datagram socket that lives as long
// as the owning process keeps it.
using WindowHandle = std::int64_t;

inline constexpr std::int32_t kWmClose = 0x0010;
inline constexpr std::int32_t kWmUser = 0x0400;

struct WindowMessage {
    std::int32_t message = 0;
    std::int64_t wParam = 0;
    std::int64_t lParam = 0;
};

// Sends without blocking. False when there is no such mailbox or its queue is full.
bool PostWindowMessage(WindowHandle handle, const WindowMessage& message);

// True while a mailbox with this handle exists.
bool IsWindow(WindowHandle handle);

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

// Opens a new mailbox with a fresh handle of this process; nullptr when that fails.
std::unique_ptr<Mailbox> OpenMailbox();

}  // namespace velmor::platform
