#pragma once

#include <QIcon>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

namespace velmor::shell {

// The two images of the tray icon: 1 normal, 2 alert.
QIcon NormalTrayImage();
QIcon AlertTrayImage();

// The notification-area icon (icon id 1 of the main window). Notifications arrive as the classic
// mouse message codes: 514 left button released, 517 right button released.
class TrayIcon {
public:
    static constexpr int kLeftButtonUp = 514;
    static constexpr int kRightButtonUp = 517;

    virtual ~TrayIcon() = default;
    // Whether the desktop has a notification area at all.
    virtual bool Available() const = 0;
    virtual void Add(const QIcon& image, const QString& tip) = 0;
    virtual void Modify(const QIcon& image, const QString& tip) = 0;
    virtual void Delete() = 0;
    // A desktop notification beside the icon (title and text); nothing where the desktop has none.
    virtual void ShowMessage(const QString& title, const QString& text) = 0;

    std::function<void(int code)> on_notification;
};

// QSystemTrayIcon. `assume_available` stands in for a tray where the desktop has none (test runs on
// the offscreen platform, which has no tray).
//
// A notification reaches `on_notification` only after the icon's own click handling has returned:
// the handler may open a modal prompt and, after Yes, delete the icon, and an icon destroyed inside
// its own mouse-event handler takes the process down (the X11 tray widget touches itself after
// emitting). For the same reason Delete hides the icon at once and destroys it from the event loop.
class QtTrayIcon final : public TrayIcon {
public:
    explicit QtTrayIcon(bool assume_available = false);
    ~QtTrayIcon() override;

    bool Available() const override;
    void Add(const QIcon& image, const QString& tip) override;
    void Modify(const QIcon& image, const QString& tip) override;
    void Delete() override;
    void ShowMessage(const QString& title, const QString& text) override;

    // The Qt icon, for tests (null before Add and after Delete).
    QSystemTrayIcon* Native() const { return icon_; }

private:
    QPointer<QSystemTrayIcon> icon_;
    // Deleted icons whose deferred deletion may still be pending at the end.
    QPointer<QSystemTrayIcon> retired_;
    bool assume_available_;
};

}  // namespace velmor::shell
