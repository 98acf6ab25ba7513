#include "tray_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace velmor::shell {
namespace {

// A shield: the program watching quietly.
QPixmap PaintNormal(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPainterPath shield;
    shield.moveTo(s * 0.5, s * 0.06);
    shield.cubicTo(s * 0.68, s * 0.16, s * 0.82, s * 0.18, s * 0.9, s * 0.18);
    shield.cubicTo(s * 0.9, s * 0.62, s * 0.72, s * 0.84, s * 0.5, s * 0.96);
    shield.cubicTo(s * 0.28, s * 0.84, s * 0.1, s * 0.62, s * 0.1, s * 0.18);
    shield.cubicTo(s * 0.18, s * 0.18, s * 0.32, s * 0.16, s * 0.5, s * 0.06);
    QLinearGradient fill(0, 0, 0, s);
    fill.setColorAt(0, QColor(0x2f, 0x8f, 0xd8));
    fill.setColorAt(1, QColor(0x1a, 0x5c, 0xa8));
    p.setPen(QPen(QColor(0x12, 0x3f, 0x75), s / 32));
    p.setBrush(fill);
    p.drawPath(shield);
    QPen mark(Qt::white, s * 0.09, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(mark);
    p.setBrush(Qt::NoBrush);
    QPainterPath tick;
    tick.moveTo(s * 0.32, s * 0.5);
    tick.lineTo(s * 0.46, s * 0.64);
    tick.lineTo(s * 0.7, s * 0.36);
    p.drawPath(tick);
    return pixmap;
}

// A red warning disc with a white exclamation mark: an intruder was filed.
QPixmap PaintAlert(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QRadialGradient fill(s * 0.4, s * 0.35, s * 0.7);
    fill.setColorAt(0, QColor(0xff, 0x5a, 0x4f));
    fill.setColorAt(1, QColor(0xc6, 0x10, 0x10));
    p.setPen(QPen(QColor(0x7a, 0x00, 0x00), s / 32));
    p.setBrush(fill);
    p.drawEllipse(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(s * 0.43, s * 0.18, s * 0.14, s * 0.44), s * 0.05, s * 0.05);
    p.drawEllipse(QRectF(s * 0.42, s * 0.68, s * 0.16, s * 0.16));
    return pixmap;
}

QIcon MakeIcon(QPixmap (*paint)(int)) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128}) icon.addPixmap(paint(size));
    return icon;
}

}  // namespace

QIcon NormalTrayImage() {
    static const QIcon icon = MakeIcon(PaintNormal);
    return icon;
}

QIcon AlertTrayImage() {
    static const QIcon icon = MakeIcon(PaintAlert);
    return icon;
}

QtTrayIcon::QtTrayIcon(bool assume_available) : assume_available_(assume_available) {}

QtTrayIcon::~QtTrayIcon() {
    // Outside any handler of its own now: what is left goes at once.
    delete icon_.data();
    delete retired_.data();
}

bool QtTrayIcon::Available() const {
    return assume_available_ || QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayIcon::Add(const QIcon& image, const QString& tip) {
    if (!icon_) {
        icon_ = new QSystemTrayIcon();
        icon_->setObjectName(QStringLiteral("TrayIcon"));
        QSystemTrayIcon* icon = icon_;
        QObject::connect(icon, &QSystemTrayIcon::activated, icon,
                         [this, icon](QSystemTrayIcon::ActivationReason reason) {
                             int code = 0;
                             // Qt reports the second of two quick clicks as a double click; each
                             // is a left-button release all the same.
                             if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                                 code = kLeftButtonUp;
                             if (reason == QSystemTrayIcon::Context) code = kRightButtonUp;
                             if (code == 0) return;
                             // Queued: the handler runs once the icon's event handling is over.
                             QMetaObject::invokeMethod(
                                 icon,
                                 [this, icon, code] {
                                     if (icon == icon_ && on_notification) on_notification(code);
                                 },
                                 Qt::QueuedConnection);
                         });
    }
    icon_->setIcon(image);
    icon_->setToolTip(tip);
    icon_->show();
}

void QtTrayIcon::Modify(const QIcon& image, const QString& tip) {
    // Like NIM_MODIFY: nothing to change while no icon was added.
    if (!icon_) return;
    icon_->setIcon(image);
    icon_->setToolTip(tip);
}

void QtTrayIcon::Delete() {
    if (!icon_) return;
    QSystemTrayIcon* icon = icon_;
    icon_ = nullptr;
    // Off the screen at once, destroyed once the event loop is back in control.
    icon->hide();
    delete retired_.data();
    retired_ = icon;
    icon->deleteLater();
}

void QtTrayIcon::ShowMessage(const QString& title, const QString& text) {
    if (!icon_ || !icon_->supportsMessages()) return;
    icon_->showMessage(title, text, AlertTrayImage(), 8000);
}

}  // namespace velmor::shell
