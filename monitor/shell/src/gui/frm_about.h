#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

namespace velmor::shell {

// frmAbout, "Torvane 정보": the About text (Text1) with the version filled in at load, and
// "확인(&O)" (cmdButton) to close. The main window opens it modally.
class FrmAbout final : public QDialog {
    Q_OBJECT
public:
    explicit FrmAbout(QWidget* parent = nullptr);

    void cmdButton_Click() { accept(); }
    QString Text() const;

private:
    QPlainTextEdit* text_ = nullptr;
    QPushButton* button_ = nullptr;
};

}  // namespace velmor::shell
