#include "updater_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "window_placement.h"

namespace velmor::updater {
namespace {

const QColor kFace(240, 240, 240);
const QColor kTrack(222, 222, 222);
const QColor kBar(0, 0, 222);

// Windows-style rectangle (left, top) - (right, bottom), right and bottom exclusive.
QRect Span(int left, int top, int right, int bottom) {
    return QRect(left, top, right - left, bottom - top);
}

}  // namespace

UpdaterWindow::UpdaterWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("UpdaterWindow");
    setWindowTitle(QStringLiteral("Updater1.0"));
    setFixedSize(kWidth, kHeight);
    setCursor(Qt::ArrowCursor);
    // The paint step fills the whole background itself.
    setAttribute(Qt::WA_OpaquePaintEvent);

    cancel_ = new QPushButton(QStringLiteral("취소"), this);
    cancel_->setObjectName("cmdCancel");
    cancel_->setProperty("controlId", kCancelId);
    cancel_->setGeometry(Span(100, 80, 190, 110));
    cancel_->setDefault(true);
    connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
    hide();
}

void UpdaterWindow::ShowCentered() {
    show();
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->geometry() : QRect(0, 0, kWidth, kHeight);
    move(platform::CentredIn(area, QSize(kWidth, kHeight)).topLeft());
}

void UpdaterWindow::DrawBar(std::int32_t percent) {
    m_nPercent = percent;
    if (!isVisible() || percent <= 0) return;
    // A notification paints the bar alone, at once; the caption waits for the next full repaint.
    bar_only_ = true;
    repaint(BarRect(percent));
    bar_only_ = false;
}

void UpdaterWindow::Close() {
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

QString UpdaterWindow::Caption(std::int32_t percent) {
    return QStringLiteral("[ %1% / 100% ]").arg(percent);
}

QRect UpdaterWindow::BarRect(std::int32_t percent) {
    // In 64 bits, and kept to a sane width: a percentage far past 100 must not overflow.
    const std::int64_t right = 11 + std::int64_t{percent} * 268 / 100;
    return Span(11, 41, static_cast<int>(std::clamp<std::int64_t>(right, 11, 30000)), 69);
}

void UpdaterWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kFace);
    painter.setPen(Qt::black);
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.setBackground(Qt::white);
    if (!bar_only_) {
        painter.drawText(QRect(10, 10, width() - 10, height() - 10), Qt::AlignLeft | Qt::AlignTop,
                         QStringLiteral("다운로드:"));
    }
    painter.fillRect(Span(12, 42, 282, 72), kFace);
    painter.fillRect(Span(10, 40, 280, 70), kTrack);
    if (m_nPercent <= 0) return;
    const QRect bar = BarRect(m_nPercent);
    painter.fillRect(bar, kBar);
    if (bar_only_) return;
    const QRect caption = bar.adjusted(20, 5, -20, -5);
    if (caption.width() <= 0 || caption.height() <= 0) return;
    painter.setClipRect(caption);
    painter.drawText(caption, Qt::AlignHCenter | Qt::AlignTop, Caption(m_nPercent));
}

void UpdaterWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    Q_EMIT closed();
}

}  // namespace velmor::updater
