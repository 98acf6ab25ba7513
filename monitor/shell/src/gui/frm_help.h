#pragma once

#include <QDialog>
#include <QTextBrowser>
#include <array>
#include <filesystem>

class QPushButton;
class QStatusBar;

namespace velmor::shell {

// The browser of the help window: local pages only; a page that is missing shows a short
// Korean notice instead of an empty view.
class HelpBrowser final : public QTextBrowser {
    Q_OBJECT
public:
    explicit HelpBrowser(QWidget* parent = nullptr) : QTextBrowser(parent) {}
    QVariant loadResource(int type, const QUrl& name) override;
};

// frmHelp, "도움말 항목": the help pages of P/help in WebBrowser1, the buttons cmdButton_0
// "뒤로(&B)", cmdButton_1 "앞으로(&F)", cmdButton_2 "시작(&S)", cmdButton_3 "인쇄(&P)" and the
// status bar StatusBar1. Half the screen wide, centred; the main window opens it modally.
class FrmHelp final : public QDialog {
    Q_OBJECT
public:
    explicit FrmHelp(std::filesystem::path program_folder, QWidget* parent = nullptr);

    void cmdButton_Click(int index);
    // The browser's status text changed to `text` (a hovered link, or "완료" after a load).
    void WebBrowser1_StatusTextChange(const QString& text);

    HelpBrowser* Browser() const { return browser_; }
    QUrl StartPage() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Print();

    std::filesystem::path program_folder_;
    HelpBrowser* browser_ = nullptr;
    std::array<QPushButton*, 4> buttons_{};
    QStatusBar* status_ = nullptr;
};

}  // namespace velmor::shell
