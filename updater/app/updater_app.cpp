#include "updater_app.h"

#include <QMessageBox>
#include <iostream>

#include "mailbox_notifier.h"
#include "qt_text.h"

namespace velmor::updater {
namespace {

bool ShowBox(std::string_view text, std::string_view caption, QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::Information, platform::ToQString(caption), platform::ToQString(text),
                    buttons);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    return box.exec() == QMessageBox::Ok;
}

}  // namespace

bool QtUpdaterDialogs::AskUpdate() {
    if (unattended_) return *unattended_;
    return ShowBox(kQuestionText, kQuestionCaption, QMessageBox::Ok | QMessageBox::Cancel);
}

void QtUpdaterDialogs::ShowDownloadFailed() {
    if (unattended_) {
        std::cerr << kDownloadFailedText << "\n";
        return;
    }
    ShowBox(kDownloadFailedText, kDownloadFailedCaption, QMessageBox::Ok);
}

void QtUpdaterDialogs::ShowTimeout() {
    if (unattended_) {
        std::cerr << kTimeoutText << "\n";
        return;
    }
    ShowBox(kTimeoutText, kTimeoutCaption, QMessageBox::Ok);
}

UpdaterApp::UpdaterApp(HandOver hand_over, std::unique_ptr<platform::MailboxNotifier> mailbox,
                       FlowServices services)
    : window_(std::make_unique<UpdaterWindow>()), mailbox_(std::move(mailbox)) {
    const platform::WindowHandle own = mailbox_ ? mailbox_->handle() : 0;
    flow_ = std::make_unique<UpdaterFlow>(std::move(hand_over), own, *window_, services);
    connect(window_.get(), &UpdaterWindow::closed, this, &UpdaterApp::finished);
    if (mailbox_) {
        connect(mailbox_.get(), &platform::MailboxNotifier::messageReceived, this,
                [this](qint32 message, qint64, qint64 lParam) {
                    if (message == platform::kWmUser) {
                        flow_->OnProgress(static_cast<std::int32_t>(lParam));
                    } else if (message == platform::kWmClose) {
                        window_->close();
                    }
                });
    }
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, [this] { flow_->OnTick(); });
}

UpdaterApp::~UpdaterApp() = default;

bool UpdaterApp::isReady() const {
    return mailbox_ && mailbox_->isOpen();
}

platform::WindowHandle UpdaterApp::handle() const {
    return mailbox_ ? mailbox_->handle() : 0;
}

void UpdaterApp::start() {
    timer_.start();
}

}  // namespace velmor::updater
