#pragma once

#include <QPointer>
#include <QWidget>

#include "velmor/common/ui_services.h"

namespace velmor::shell {

// Message and input boxes with QMessageBox and QInputDialog: empty titles, the information icon (the
// exclamation icon where asked for), Yes/No questions.
class QtDialogs final : public Dialogs {
public:
    // Boxes are centred over `owner` while it is visible; with the owner hidden in the tray they
    // stand on their own.
    void SetOwner(QWidget* owner) { owner_ = owner; }

    void Tell(std::string_view text, Icon icon) override;
    bool AskYesNo(std::string_view text) override;
    std::optional<std::string> AskText(std::string_view prompt, std::string_view default_text) override;

private:
    QWidget* Parent() const;
    QPointer<QWidget> owner_;
};

class QtClipboard final : public Clipboard {
public:
    void Clear() override;
    void SetText(std::string_view text) override;
};

// xdg-open through QDesktopServices.
class QtBrowser final : public Browser {
public:
    bool Open(std::string_view url) override;
};

}  // namespace velmor::shell
