#include "mailbox_notifier.h"

#include <QPointer>

namespace velmor::platform {
namespace {

// Messages taken per wake-up; the notifier fires again while more are queued, so a sender that
// never pauses cannot starve the rest of the event loop.
constexpr int kMessagesPerWakeUp = 64;

}  // namespace

MailboxNotifier::MailboxNotifier(QObject* parent) : MailboxNotifier(OpenMailbox(), parent) {}

MailboxNotifier::MailboxNotifier(std::unique_ptr<Mailbox> mailbox, QObject* parent)
    : QObject(parent), mailbox_(std::move(mailbox)) {
    if (!mailbox_) return;
    notifier_ = new QSocketNotifier(mailbox_->NativeDescriptor(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &MailboxNotifier::drain);
}

MailboxNotifier::~MailboxNotifier() {
    // The notifier must stop watching before the mailbox closes its socket.
    delete notifier_;
    notifier_ = nullptr;
}

void MailboxNotifier::drain() {
    // A handler may delete this object (a window that closes on a message) or run a nested event
    // loop that drains further messages; both are safe because each message is taken from the socket
    // before it is handed on and the loop stops as soon as this object is gone.
    const QPointer<MailboxNotifier> self(this);
    for (int i = 0; i < kMessagesPerWakeUp; ++i) {
        const std::optional<WindowMessage> message = mailbox_->Receive();
        if (!message) return;
        Q_EMIT messageReceived(message->message, message->wParam, message->lParam);
        if (!self) return;
    }
}

}  // namespace velmor::platform
