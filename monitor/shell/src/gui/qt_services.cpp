#include "qt_services.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

namespace velmor::shell {
namespace {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QWidget* QtDialogs::Parent() const {
    QWidget* owner = owner_.data();
    return owner != nullptr && owner->isVisible() ? owner : nullptr;
}

void QtDialogs::Tell(std::string_view text, Icon icon) {
    QMessageBox box(icon == Icon::Exclamation ? QMessageBox::Warning : QMessageBox::Information, QString(),
                    ToQString(text), QMessageBox::Ok, Parent());
    box.setObjectName(QStringLiteral("MessageBox"));
    box.exec();
}

bool QtDialogs::AskYesNo(std::string_view text) {
    QMessageBox box(QMessageBox::Information, QString(), ToQString(text), QMessageBox::Yes | QMessageBox::No,
                    Parent());
    box.setObjectName(QStringLiteral("MessageBox"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> QtDialogs::AskText(std::string_view prompt, std::string_view default_text) {
    bool ok = false;
    const QString answer = QInputDialog::getText(Parent(), QString(), ToQString(prompt), QLineEdit::Normal,
                                                 ToQString(default_text), &ok);
    if (!ok) return std::nullopt;
    return answer.toStdString();
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
