#include "lamp_widget.h"

#include <QPainter>

namespace velmor::shell {

LampWidget::LampWidget(QWidget* parent) : QWidget(parent) {
    setFixedSize(16, 16);
}

void LampWidget::SetBgr(std::uint32_t bgr) {
    if (bgr == bgr_) return;
    bgr_ = bgr;
    update();
}

QColor LampWidget::Color() const {
    return QColor(static_cast<int>(bgr_ & 0xFF), static_cast<int>((bgr_ >> 8) & 0xFF),
                  static_cast<int>((bgr_ >> 16) & 0xFF));
}

void LampWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor color = Color();
    QRadialGradient fill(width() * 0.35, height() * 0.35, width() * 0.7);
    fill.setColorAt(0, color.lighter(160));
    fill.setColorAt(1, color);
    p.setPen(QPen(color.darker(170), 1));
    p.setBrush(fill);
    p.drawEllipse(QRectF(1, 1, width() - 2, height() - 2));
}

}  // namespace velmor::shell
