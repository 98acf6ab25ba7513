#include "frm_help.h"

#include <QGuiApplication>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QStatusBar>
#include <QUrl>
#include <algorithm>
#include <utility>

#include "velmor/shell/help_texts.h"
#include "window_placement.h"

namespace velmor::shell {
namespace {

// The margins the browser leaves in the window, in twips (1/1440 inch): beside it and, below it,
// the room for the button row and the status bar.
constexpr int kBrowserWidthMarginTwips = 90;
constexpr int kBrowserHeightMarginTwips = 765;

int TwipsToPixels(int twips, int dots_per_inch) {
    return (twips * dots_per_inch + 720) / 1440;
}

}  // namespace

QVariant HelpBrowser::loadResource(int type, const QUrl& name) {
    QVariant resource = QTextBrowser::loadResource(type, name);
    if (type == QTextDocument::HtmlResource && resource.isNull()) {
        const QString path = name.isLocalFile() ? name.toLocalFile() : name.toString();
        return QStringLiteral(
                   "<html><body><h2>도움말 페이지를 찾을 수 없습니다</h2><p>%1</p>"
                   "<p>프로그램 폴더의 help 폴더에 도움말 파일이 있는지 확인하세요.</p></body></html>")
            .arg(path.toHtmlEscaped());
    }
    return resource;
}

FrmHelp::FrmHelp(std::filesystem::path program_folder, QWidget* parent)
    : QDialog(parent), program_folder_(std::move(program_folder)) {
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("도움말 항목"));
    setSizeGripEnabled(false);

    browser_ = new HelpBrowser(this);
    browser_->setObjectName(QStringLiteral("WebBrowser1"));
    browser_->setOpenExternalLinks(true);
    const std::array<QString, 4> captions = {QStringLiteral("뒤로(&B)"), QStringLiteral("앞으로(&F)"),
                                             QStringLiteral("시작(&S)"), QStringLiteral("인쇄(&P)")};
    for (int index = 0; index < 4; ++index) {
        auto* button = new QPushButton(captions[static_cast<std::size_t>(index)], this);
        button->setObjectName(QStringLiteral("cmdButton_%1").arg(index));
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, index] { cmdButton_Click(index); });
        buttons_[static_cast<std::size_t>(index)] = button;
    }
    status_ = new QStatusBar(this);
    status_->setObjectName(QStringLiteral("StatusBar1"));
    status_->setSizeGripEnabled(true);

    connect(browser_, &QTextBrowser::highlighted, this,
            [this](const QUrl& link) { WebBrowser1_StatusTextChange(link.toString()); });
    // A finished navigation is the browser's "완료".
    connect(browser_, &QTextBrowser::sourceChanged, this,
            [this] { WebBrowser1_StatusTextChange(QString::fromUtf8(kHelpLoadedStatus.data())); });
    connect(browser_, &QTextBrowser::backwardAvailable, buttons_[0], &QPushButton::setEnabled);
    connect(browser_, &QTextBrowser::forwardAvailable, buttons_[1], &QPushButton::setEnabled);
    buttons_[0]->setEnabled(false);
    buttons_[1]->setEnabled(false);

    // Load: half the screen wide, centred, then the start page.
    const QScreen* screen = parent != nullptr && parent->screen() != nullptr
                                ? parent->screen()
                                : QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const int width = area.width() / 2;
    const int height = std::max(area.height() * 3 / 4, 300);
    setGeometry(platform::CentredIn(area, QSize(width, height)));
    browser_->setSource(StartPage());
}

QUrl FrmHelp::StartPage() const {
    return QUrl::fromLocalFile(QString::fromStdString(HelpStartPage(program_folder_).string()));
}

void FrmHelp::cmdButton_Click(int index) {
    switch (index) {
        case 0:
            browser_->backward();
            break;
        case 1:
            browser_->forward();
            break;
        case 2:
            browser_->setSource(StartPage());
            break;
        case 3:
            Print();
            break;
        default:
            break;
    }
}

void FrmHelp::WebBrowser1_StatusTextChange(const QString& text) {
    const auto shown = HelpStatusText(text.toStdString(), program_folder_);
    if (shown) status_->showMessage(QString::fromStdString(*shown));
}

void FrmHelp::Print() {
    QPrinter printer;
    QPrintDialog dialog(&printer, this);
    dialog.setWindowTitle(QStringLiteral("도움말 인쇄"));
    if (dialog.exec() == QDialog::Accepted) browser_->print(&printer);
}

void FrmHelp::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int inner_width = event->size().width();
    const int inner_height = event->size().height();
    const int side = TwipsToPixels(kBrowserWidthMarginTwips, logicalDpiX());
    const int button_height = buttons_[0]->sizeHint().height();
    const int status_height = status_->sizeHint().height();
    // The designed margin below the browser, or more when the fonts need it: never clip a button.
    const int below = std::max(TwipsToPixels(kBrowserHeightMarginTwips, logicalDpiY()),
                               button_height + status_height + side);
    browser_->setGeometry(side / 2, side / 2, std::max(inner_width - side, 0),
                          std::max(inner_height - below, 0));
    int x = side / 2;
    const int y = side / 2 + browser_->height() + (below - side / 2 - button_height - status_height) / 2;
    for (QPushButton* button : buttons_) {
        const int width = std::max(button->sizeHint().width(), 88);
        button->setGeometry(x, y, width, button_height);
        x += width + side;
    }
    status_->setGeometry(0, inner_height - status_height, inner_width, status_height);
}

}  // namespace velmor::shell
