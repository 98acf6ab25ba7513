#pragma once

#include <QWidget>
#include <cstdint>

#include "velmor/updater/flow.h"

class QPushButton;

namespace velmor::updater {

// The updater's one window: hidden until the download starts, then a small topmost box with a
// progress bar and the "취소" button. Closing it ends the program.
class UpdaterWindow final : public QWidget, public UpdaterView {
    Q_OBJECT

public:
    static constexpr int kWidth = 296;
    static constexpr int kHeight = 150;
    static constexpr int kCancelId = 101;

    explicit UpdaterWindow(QWidget* parent = nullptr);

    void ShowCentered() override;
    void DrawBar(std::int32_t percent) override;
    void Close() override;

    std::int32_t percent() const { return m_nPercent; }

    // The caption drawn into the bar on repaint, "[ 37% / 100% ]".
    static QString Caption(std::int32_t percent);
    // The bar's rectangle for a percentage (right edge exclusive at 11 + percent * 268 / 100).
    static QRect BarRect(std::int32_t percent);

Q_SIGNALS:
    void closed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QPushButton* cancel_ = nullptr;
    std::int32_t m_nPercent = 0;
    bool bar_only_ = false;
};

}  // namespace velmor::updater
