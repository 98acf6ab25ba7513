#include "modal_box.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>

namespace velmor::test {
namespace {

constexpr int kGiveUpMs = 10000;

QList<QAbstractButton*> ButtonsOf(QWidget* box) {
    if (auto* message = qobject_cast<QMessageBox*>(box)) return message->buttons();
    QList<QAbstractButton*> buttons;
    for (auto* row : box->findChildren<QDialogButtonBox*>()) buttons += row->buttons();
    return buttons;
}

}  // namespace

QString WithoutMnemonic(QString text) {
    text.remove(QRegularExpression(QStringLiteral("\\(&.\\)")));
    text.remove(QLatin1Char('&'));
    return text.trimmed();
}

std::vector<SeenBox> AnswerModalBoxes(const std::function<void()>& open, const QStringList& presses) {
    std::vector<SeenBox> boxes;
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget* box = QApplication::activeModalWidget();
        const bool known = qobject_cast<QDialog*>(box) != nullptr;
        // A box already answered may stay the active modal widget until its event loop returns.
        if (!known || !box->isVisible() || box->property("velmor_test_answered").toBool()) {
            if (clock.elapsed() > kGiveUpMs && box != nullptr) box->close();
            return;
        }
        box->setProperty("velmor_test_answered", true);
        SeenBox seen;
        seen.seen = true;
        seen.kind = QString::fromLatin1(box->metaObject()->className());
        seen.title = box->windowTitle();
        if (auto* message = qobject_cast<QMessageBox*>(box)) {
            seen.text = message->text();
            seen.icon = message->icon();
        } else if (auto* input = qobject_cast<QInputDialog*>(box)) {
            seen.text = input->labelText();
            seen.input = input->textValue();
        }
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) seen.labels << WithoutMnemonic(label->text());
        }
        const QString press = boxes.size() < static_cast<std::size_t>(presses.size())
                                  ? presses.at(static_cast<qsizetype>(boxes.size()))
                                  : QString();
        QAbstractButton* target = nullptr;
        for (QAbstractButton* button : ButtonsOf(box)) {
            const QString text = WithoutMnemonic(button->text());
            seen.buttons << text;
            if (button->width() < button->sizeHint().width()) seen.clipped << text;
            if (text == press) target = button;
        }
        seen.buttons.sort();
        boxes.push_back(seen);
        if (boxes.size() >= static_cast<std::size_t>(presses.size())) poll.stop();
        if (target != nullptr) {
            target->click();
        } else {
            box->close();
        }
    });
    poll.start();
    open();
    poll.stop();
    return boxes;
}

SeenBox AnswerModalBox(const std::function<void()>& open, const QString& press) {
    const auto boxes = AnswerModalBoxes(open, QStringList{press});
    return boxes.empty() ? SeenBox{} : boxes.front();
}

}  // namespace velmor::test
