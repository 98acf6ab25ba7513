#include <windows.h>

#include <deque>
#include <mutex>

#include "velmor/platform/mailbox.h"

namespace velmor::platform {
namespace {

constexpr wchar_t kWindowClass[] = L"VelmorMailbox";

// Window handles are 32-bit values (sign-extended in 64-bit processes), so the decimal text on a
// command line or in the hand-over file names the same window in every process.
bool ValidHandle(WindowHandle handle) {
    return handle != 0 && handle >= INT32_MIN && handle <= INT32_MAX;
}

HWND WindowOf(WindowHandle handle) {
    return reinterpret_cast<HWND>(static_cast<std::intptr_t>(handle));
}

// What a mailbox takes: the close request and the messages that programs define for themselves.
// Everything the system sends a window of its own accord goes to the default handling.
bool IsMailMessage(UINT message) {
    return message == WM_CLOSE || message >= WM_USER;
}

class WindowsMailbox final : public Mailbox {
public:
    WindowsMailbox(HWND window, HANDLE waiting) : window_(window), waiting_(waiting) {
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~WindowsMailbox() override {
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        ::DestroyWindow(window_);
        ::CloseHandle(waiting_);
    }
    WindowsMailbox(const WindowsMailbox&) = delete;
    WindowsMailbox& operator=(const WindowsMailbox&) = delete;

    WindowHandle Handle() const override {
        return static_cast<WindowHandle>(reinterpret_cast<std::intptr_t>(window_));
    }
    NativeHandle NativeDescriptor() const override { return waiting_; }

    std::optional<WindowMessage> Receive() override {
        // Whatever waits in the thread's queue for this window passes its procedure, in the order
        // it was posted, and lands in `queue_`.
        MSG message;
        while (::PeekMessageW(&message, window_, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
        if (queue_.empty()) return std::nullopt;
        const WindowMessage next = queue_.front();
        queue_.pop_front();
        if (queue_.empty()) ::ResetEvent(waiting_);
        return next;
    }

    void Queue(UINT message, WPARAM wParam, LPARAM lParam) {
        queue_.push_back(WindowMessage{static_cast<std::int32_t>(message), static_cast<std::int64_t>(wParam),
                                       static_cast<std::int64_t>(lParam)});
        ::SetEvent(waiting_);
    }

private:
    HWND window_;
    HANDLE waiting_;
    std::deque<WindowMessage> queue_;
};

LRESULT CALLBACK MailboxProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* mailbox = reinterpret_cast<WindowsMailbox*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    // WM_CLOSE never reaches the default handling, which would destroy the window under us.
    if (mailbox != nullptr && IsMailMessage(message)) {
        mailbox->Queue(message, wParam, lParam);
        return 0;
    }
    if (message == WM_CLOSE) return 0;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterMailboxClass() {
    static const bool registered = [] {
        WNDCLASSEXW window_class{};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = MailboxProcedure;
        window_class.hInstance = ::GetModuleHandleW(nullptr);
        window_class.lpszClassName = kWindowClass;
        return ::RegisterClassExW(&window_class) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

}  // namespace

std::filesystem::path MailboxSocketFile(WindowHandle) {
    return {};
}

bool PostWindowMessage(WindowHandle handle, const WindowMessage& message) {
    if (!ValidHandle(handle)) return false;
    // PostMessage never waits for the receiver; it fails for a window that does not exist and for
    // a full queue (10,000 messages).
    return ::PostMessageW(WindowOf(handle), static_cast<UINT>(message.message),
                          static_cast<WPARAM>(message.wParam), static_cast<LPARAM>(message.lParam)) != 0;
}

bool IsWindow(WindowHandle handle) {
    return ValidHandle(handle) && ::IsWindow(WindowOf(handle)) != 0;
}

std::unique_ptr<Mailbox> OpenMailbox() {
    if (!RegisterMailboxClass()) return nullptr;
    // A message-only window: no size, never shown, not among the top-level windows, yet a real
    // handle that PostMessage reaches from any process of the desktop.
    const HWND window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          ::GetModuleHandleW(nullptr), nullptr);
    if (window == nullptr) return nullptr;
    const HANDLE waiting = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (waiting == nullptr) {
        ::DestroyWindow(window);
        return nullptr;
    }
    return std::make_unique<WindowsMailbox>(window, waiting);
}

}  // namespace velmor::platform
