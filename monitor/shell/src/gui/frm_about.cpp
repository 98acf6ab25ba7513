#include "frm_about.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "qt_text.h"
#include "velmor/shell/help_texts.h"
#include "velmor/shell/startup.h"
#include "window_placement.h"

namespace velmor::shell {

FrmAbout::FrmAbout(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("Torvane 정보"));

    text_ = new QPlainTextEdit(this);
    text_->setObjectName(QStringLiteral("Text1"));
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setTabStopDistance(QFontMetrics(text_->font()).horizontalAdvance(QStringLiteral("작성일: ")) + 8);
    // The widget keeps lines apart by itself; a CR would show as a stray character.
    QString design = QString::fromStdString(std::string(AboutDesignText()));
    design.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text_->setPlainText(design);

    button_ = new QPushButton(QStringLiteral("확인(&O)"), this);
    button_->setObjectName(QStringLiteral("cmdButton"));
    button_->setDefault(true);
    connect(button_, &QPushButton::clicked, this, &FrmAbout::cmdButton_Click);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_, 1);
    layout->addWidget(button_, 0, Qt::AlignRight);

    // Load: the text wide enough for its longest line, centred, then the version filled in.
    const QFontMetrics metrics(text_->font());
    int longest = 0;
    for (const QString& line : design.split(QLatin1Char('\n')))
        longest = std::max(longest, metrics.horizontalAdvance(line));
    resize(longest + 80,
           metrics.lineSpacing() * (static_cast<int>(design.count(QLatin1Char('\n'))) + 3) + 80);
    const QScreen* screen = parent != nullptr && parent->screen() != nullptr
                                ? parent->screen()
                                : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        move(platform::CentredIn(screen->availableGeometry(), size()).topLeft());
    }
    text_->setPlainText(text_->toPlainText().replace(QStringLiteral("xxxxx"), platform::ToQString(kVersion)));
}

QString FrmAbout::Text() const {
    return text_->toPlainText();
}

}  // namespace velmor::shell
