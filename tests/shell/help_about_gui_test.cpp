#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <QTextBrowser>
#include <cstdlib>
#include <memory>

#include "frm_about.h"
#include "frm_help.h"
#include "network_tools_panel.h"
#include "velmor/shell/help_texts.h"
#include "velmor/test/temp_dir.h"

namespace velmor::shell {
namespace {

// With VELMOR_SCREENSHOT_DIR set (scripts/screenshots.sh does), the windows are saved as PNG.
void SaveScreenshot(QWidget& widget, const char* name) {
    const char* folder = std::getenv("VELMOR_SCREENSHOT_DIR");
    if (folder == nullptr || *folder == '\0') return;
    widget.show();
    QTest::qWait(200);
    const QString path = QString::fromLocal8Bit(folder) + QLatin1Char('/') + QLatin1String(name);
    EXPECT_TRUE(widget.grab().save(path)) << path.toStdString();
}

std::string Page(const std::string& title, const std::string& body) {
    return "<html><head><meta charset=\"utf-8\"><title>" + title + "</title></head><body>" + body +
           "</body></html>";
}

class FrmHelpTest : public ::testing::Test {
protected:
    FrmHelpTest() {
        // A program folder with capitals and a blank in its name.
        test::WriteBytes(folder / "help/help.htm",
                         Page("start", "<p>처음</p><a href=\"second.htm\">둘째</a>"));
        test::WriteBytes(folder / "help/second.htm", Page("second", "<a href=\"third.htm\">셋째</a>"));
        test::WriteBytes(folder / "help/third.htm", Page("third", "<p>끝</p>"));
    }
    QString Current(FrmHelp& help) { return help.Browser()->source().fileName(); }
    QString Status(FrmHelp& help) {
        return help.findChild<QStatusBar*>(QStringLiteral("StatusBar1"))->currentMessage();
    }
    QPushButton* Button(FrmHelp& help, int index) {
        return help.findChild<QPushButton*>(QStringLiteral("cmdButton_%1").arg(index));
    }

    test::TempDir dir;
    std::filesystem::path folder = dir / "Velmor Prog";
};

TEST_F(FrmHelpTest, ControlsTitleAndPlace) {
    FrmHelp help(folder);
    EXPECT_EQ(help.objectName(), QStringLiteral("frmHelp"));
    EXPECT_EQ(help.windowTitle(), QStringLiteral("도움말 항목"));
    ASSERT_NE(help.findChild<QTextBrowser*>(QStringLiteral("WebBrowser1")), nullptr);
    const QStringList captions = {QStringLiteral("뒤로(&B)"), QStringLiteral("앞으로(&F)"),
                                  QStringLiteral("시작(&S)"), QStringLiteral("인쇄(&P)")};
    for (int index = 0; index < 4; ++index) {
        ASSERT_NE(Button(help, index), nullptr) << index;
        EXPECT_EQ(Button(help, index)->text(), captions[index]);
    }
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(help.width(), screen.width() / 2);
    EXPECT_EQ(help.x(), screen.x() + (screen.width() - help.width()) / 2);
    EXPECT_EQ(help.y(), screen.y() + (screen.height() - help.height()) / 2);

    // The browser keeps the designed margins: 6 pixels beside it and at least 51 below it, where
    // the buttons and the status bar sit without overlapping it or each other.
    for (const QSize size : {QSize(700, 500), QSize(420, 260)}) {
        help.resize(size);
        help.show();
        QTest::qWait(10);
        const QRect browser = help.Browser()->geometry();
        EXPECT_EQ(browser.width(), size.width() - 6);
        EXPECT_GE(size.height() - browser.height(), 51);
        const QRect status = help.findChild<QStatusBar*>(QStringLiteral("StatusBar1"))->geometry();
        EXPECT_EQ(status.bottom(), size.height() - 1);
        for (int index = 0; index < 4; ++index) {
            const QRect button = Button(help, index)->geometry();
            EXPECT_GT(button.top(), browser.bottom()) << index;
            EXPECT_LT(button.bottom(), status.top()) << index;
            EXPECT_FALSE(button.intersects(Button(help, (index + 1) % 4)->geometry())) << index;
        }
    }
}

TEST_F(FrmHelpTest, StartLinkBackForwardAndHome) {
    FrmHelp help(folder);
    help.show();
    EXPECT_EQ(Current(help), QStringLiteral("help.htm"));
    EXPECT_EQ(Status(help), QStringLiteral("도움말 파일 로딩 완료"));
    EXPECT_FALSE(Button(help, 0)->isEnabled());

    // Follow the link on the start page from the keyboard: Tab picks it, Enter opens it.
    help.Browser()->setFocus();
    QTest::keyClick(help.Browser(), Qt::Key_Tab);
    QTest::keyClick(help.Browser(), Qt::Key_Return);
    ASSERT_EQ(Current(help), QStringLiteral("second.htm"));
    help.Browser()->setSource(help.Browser()->source().resolved(QUrl(QStringLiteral("third.htm"))));
    ASSERT_EQ(Current(help), QStringLiteral("third.htm"));

    QTest::mouseClick(Button(help, 0), Qt::LeftButton);
    EXPECT_EQ(Current(help), QStringLiteral("second.htm"));
    QTest::mouseClick(Button(help, 0), Qt::LeftButton);
    EXPECT_EQ(Current(help), QStringLiteral("help.htm"));
    EXPECT_FALSE(Button(help, 0)->isEnabled());
    QTest::mouseClick(Button(help, 1), Qt::LeftButton);
    EXPECT_EQ(Current(help), QStringLiteral("second.htm"));
    QTest::mouseClick(Button(help, 1), Qt::LeftButton);
    EXPECT_EQ(Current(help), QStringLiteral("third.htm"));
    EXPECT_FALSE(Button(help, 1)->isEnabled());

    help.WebBrowser1_StatusTextChange(QStringLiteral("something"));
    QTest::mouseClick(Button(help, 2), Qt::LeftButton);
    EXPECT_EQ(Current(help), QStringLiteral("help.htm"));
    EXPECT_EQ(Status(help), QStringLiteral("도움말 파일 로딩 완료"));
    EXPECT_EQ(help.Browser()->toPlainText().contains(QStringLiteral("처음")), true);
    // "시작" on the start page itself stays there.
    QTest::mouseClick(Button(help, 2), Qt::LeftButton);
    EXPECT_EQ(Current(help), QStringLiteral("help.htm"));
}

TEST_F(FrmHelpTest, StatusTextsOfLinksAndOthers) {
    FrmHelp help(folder);
    // Hovering a local link: its path below the program folder, whose name has capitals.
    const QUrl link = QUrl::fromLocalFile(QString::fromStdString((folder / "help/Second.htm").string()));
    Q_EMIT help.Browser()->highlighted(link);
    EXPECT_EQ(Status(help), QStringLiteral("/help/second.htm..."));
    // Leaving the link (an empty text) keeps what the bar shows.
    Q_EMIT help.Browser()->highlighted(QUrl());
    EXPECT_EQ(Status(help), QStringLiteral("/help/second.htm..."));
    Q_EMIT help.Browser()->highlighted(QUrl(QStringLiteral("HTTP://www.Velmor.Example/Update")));
    EXPECT_EQ(Status(help), QStringLiteral("http://www.velmor.example/update"));
    help.WebBrowser1_StatusTextChange(QStringLiteral("완료"));
    EXPECT_EQ(Status(help), QStringLiteral("도움말 파일 로딩 완료"));
}

TEST_F(FrmHelpTest, AMissingPageSaysSo) {
    std::filesystem::remove(folder / "help/help.htm");
    FrmHelp help(folder);
    EXPECT_TRUE(help.Browser()->toPlainText().contains(QStringLiteral("도움말 페이지를 찾을 수 없습니다")));
    EXPECT_TRUE(help.Browser()->toPlainText().contains(QStringLiteral("help.htm")));
}

TEST(FrmHelpShipped, OpensTheShippedStartPage) {
    FrmHelp help(test::BuiltProgramFolder());
    EXPECT_EQ(help.Browser()->documentTitle(), QStringLiteral("Torvane 도움말"));
    EXPECT_TRUE(help.Browser()->toPlainText().contains(QStringLiteral("30일 만료")));
    SaveScreenshot(help, "help.png");
}

TEST(FrmAbout, TextTitleAndClose) {
    FrmAbout about;
    EXPECT_EQ(about.objectName(), QStringLiteral("frmAbout"));
    EXPECT_EQ(about.windowTitle(), QStringLiteral("Torvane 정보"));
    auto* text = about.findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isReadOnly());
    const QStringList lines = text->toPlainText().split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 14);
    EXPECT_EQ(lines[1], QStringLiteral("Torvane (Velmor)"));
    EXPECT_EQ(lines[5], QStringLiteral("버전:  \t1.0703.01"));
    EXPECT_EQ(lines[6], QStringLiteral("작성일: \t2004/7/10"));
    EXPECT_FALSE(text->toPlainText().contains(QStringLiteral("xxxxx")));
    EXPECT_FALSE(text->toPlainText().contains(QLatin1Char('\r')));
    EXPECT_EQ(text->toPlainText().toStdString(), QString::fromStdString(AboutText())
                                                     .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
                                                     .toStdString());

    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(about.x(), screen.x() + (screen.width() - about.width()) / 2);
    // Every line fits without a horizontal scroll bar.
    about.show();
    QTest::qWait(10);
    EXPECT_FALSE(text->horizontalScrollBar()->isVisible());
    SaveScreenshot(about, "about.png");

    auto* button = about.findChild<QPushButton*>(QStringLiteral("cmdButton"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QStringLiteral("확인(&O)"));
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

TEST(NetworkToolsLook, TheTabContentAsShipped) {
    test::TempDir dir;
    NetworkToolsPanel panel(dir.path());
    panel.resize(640, 380);
    panel.show();
    QTest::qWait(10);
    // Every caption fits its button.
    for (int index : {0, 1, 2, 3, 10}) {
        auto* button = panel.findChild<QPushButton*>(QStringLiteral("cmdShell_%1").arg(index));
        ASSERT_NE(button, nullptr);
        EXPECT_GE(button->width(), button->fontMetrics().horizontalAdvance(button->text())) << index;
    }
    SaveScreenshot(panel, "network-tools.png");
}

}  // namespace
}  // namespace velmor::shell
