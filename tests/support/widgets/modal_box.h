#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace velmor::test {

// What a modal box (message, input or any other dialog) showed while it was open.
struct SeenBox {
    bool seen = false;
    QString kind;         // "QMessageBox" or "QInputDialog"
    QString title;        // the window title Qt holds (empty for the program's boxes)
    QString text;         // the message, or the input box's prompt
    QString input;        // the input box's text when it opened
    int icon = -1;        // QMessageBox::Icon of a message box
    QStringList buttons;  // the buttons' texts without their mnemonic ("예(&Y)" gives "예"), sorted
    QStringList clipped;  // the buttons narrower than their text needs
    QStringList labels;   // the texts of its labels, without mnemonics
};

// The button text as the user reads it: "예(&Y)" → "예", "&OK" → "OK".
QString WithoutMnemonic(QString text);

// Runs `open`, which shows one modal box and returns once it is closed. While the box is open it is
// found as the active modal widget, recorded, and answered by a click on the button reading `press`
// (compared without mnemonic). A box that never appears or has no such button is closed after
// several seconds, so a failing test ends instead of hanging.
SeenBox AnswerModalBox(const std::function<void()>& open, const QString& press);
// The same for a command that opens several boxes one after the other: the n-th box is answered
// with presses[n]; one record per box that appeared.
std::vector<SeenBox> AnswerModalBoxes(const std::function<void()>& open, const QStringList& presses);

}  // namespace velmor::test
