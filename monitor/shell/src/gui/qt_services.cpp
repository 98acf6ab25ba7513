#include "qt_services.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <algorithm>

#include "blank_title.h"
#include "qt_text.h"

namespace velmor::shell {
namespace {

using platform::ToQString;

// Readies a box before it opens: a blank title bar, and buttons as wide as their texts. Over the
// visible main window a box takes on the window's style sheet, whose button minimum width the box's
// own sizing trusts over the buttons' size hints, so "아니요(N)" with its icon would be clipped.
void Prepare(QDialog& box) {
    platform::KeepTitleBarBlank(box);
    box.ensurePolished();
    for (QPushButton* button : box.findChildren<QPushButton*>()) {
        button->setMinimumWidth(std::max(button->minimumWidth(), button->sizeHint().width()));
    }
}

}  // namespace

QWidget* QtDialogs::Parent() const {
    QWidget* owner = owner_.data();
    return owner != nullptr && owner->isVisible() ? owner->window() : nullptr;
}

// The boxes' buttons are Qt's standard ones, in Korean through Qt's own translations (installed at
// start); their titles stay empty, also in the title bar.
void QtDialogs::Tell(std::string_view text, Icon icon) {
    QMessageBox box(icon == Icon::Exclamation ? QMessageBox::Warning : QMessageBox::Information, QString(),
                    ToQString(text), QMessageBox::Ok, Parent());
    box.setObjectName(QStringLiteral("MessageBox"));
    Prepare(box);
    box.exec();
}

bool QtDialogs::AskYesNo(std::string_view text) {
    QMessageBox box(QMessageBox::Information, QString(), ToQString(text), QMessageBox::Yes | QMessageBox::No,
                    Parent());
    box.setObjectName(QStringLiteral("MessageBox"));
    box.setDefaultButton(QMessageBox::Yes);
    Prepare(box);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtDialogs::AskText(std::string_view prompt, std::string_view default_text) {
    // What QInputDialog::getText does, with a box of our own so its title bar can be kept blank.
    QInputDialog box(Parent());
    box.setObjectName(QStringLiteral("InputBox"));
    box.setInputMode(QInputDialog::TextInput);
    box.setLabelText(ToQString(prompt));
    box.setTextValue(ToQString(default_text));
    Prepare(box);
    if (box.exec() != QDialog::Accepted) return std::nullopt;
    return box.textValue().toStdString();
}

void QtClipboard::Clear() {
    QGuiApplication::clipboard()->clear();
}

void QtClipboard::SetText(std::string_view text) {
    QGuiApplication::clipboard()->setText(ToQString(text));
}

bool QtBrowser::Open(std::string_view url) {
    return QDesktopServices::openUrl(QUrl(ToQString(url)));
}

}  // namespace velmor::shell
