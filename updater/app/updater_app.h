#pragma once

#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>

#include "updater_window.h"
#include "velmor/updater/flow.h"

namespace velmor::platform {
class MailboxNotifier;
}

namespace velmor::updater {

// The message boxes of the updater as Qt message boxes, kept on top like the window. An unattended
// answer (from VELMOR_UPDATER_ANSWER) answers the question without showing it and sends the
// notices to standard error instead of a box, so an update can run without anyone at the screen.
class QtUpdaterDialogs final : public UpdaterDialogs {
public:
    explicit QtUpdaterDialogs(std::optional<bool> unattended_answer = std::nullopt)
        : unattended_(unattended_answer) {}
    bool AskUpdate() override;
    void ShowDownloadFailed() override;
    void ShowTimeout() override;

private:
    std::optional<bool> unattended_;
};

// The running updater: its window, its mailbox (the window's handle), the 1000 ms timer and the flow.
// Closing the window emits finished().
class UpdaterApp final : public QObject {
    Q_OBJECT

public:
    // `mailbox` gives the window its handle; the app fails (isReady() false) without one.
    UpdaterApp(HandOver hand_over, std::unique_ptr<platform::MailboxNotifier> mailbox, FlowServices services);
    ~UpdaterApp() override;

    bool isReady() const;
    void start();

    UpdaterWindow& window() { return *window_; }
    UpdaterFlow& flow() { return *flow_; }
    platform::WindowHandle handle() const;

Q_SIGNALS:
    void finished();

private:
    std::unique_ptr<UpdaterWindow> window_;
    std::unique_ptr<platform::MailboxNotifier> mailbox_;
    std::unique_ptr<UpdaterFlow> flow_;
    QTimer timer_;
};

}  // namespace velmor::updater
