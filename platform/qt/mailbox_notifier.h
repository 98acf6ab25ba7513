#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "velmor/platform/mailbox.h"

namespace velmor::platform {

// Delivers the messages of one mailbox through the Qt event loop: one signal per accepted message,
// in the order they were posted. The notifier owns the mailbox, so the window's handle lives exactly
// as long as this object.
class MailboxNotifier final : public QObject {
    Q_OBJECT

public:
    // Opens a fresh mailbox; check isOpen() (the handle is 0 when no mailbox could be opened).
    explicit MailboxNotifier(QObject* parent = nullptr);
    // Watches a mailbox the caller opened (tests pass their own).
    explicit MailboxNotifier(std::unique_ptr<Mailbox> mailbox, QObject* parent = nullptr);
    ~MailboxNotifier() override;

    bool isOpen() const { return mailbox_ != nullptr; }
    WindowHandle handle() const { return mailbox_ ? mailbox_->Handle() : 0; }

Q_SIGNALS:
    void messageReceived(qint32 message, qint64 wParam, qint64 lParam);

private:
    void drain();

    std::unique_ptr<Mailbox> mailbox_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace velmor::platform
