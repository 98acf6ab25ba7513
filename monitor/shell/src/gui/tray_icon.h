#pragma once

#include <QIcon>
#include <QString>
#include <functional>
#include <memory>

class QSystemTrayIcon;

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

    std::function<void(int code)> on_notification;
};

// QSystemTrayIcon. `assume_available` stands in for a tray where the desktop has none (test runs on
// the offscreen platform, which has no tray).
class QtTrayIcon final : public TrayIcon {
public:
    explicit QtTrayIcon(bool assume_available = false);
    ~QtTrayIcon() override;

    bool Available() const override;
    void Add(const QIcon& image, const QString& tip) override;
    void Modify(const QIcon& image, const QString& tip) override;
    void Delete() override;

private:
    std::unique_ptr<QSystemTrayIcon> icon_;
    bool assume_available_;
};

}  // namespace velmor::shell
