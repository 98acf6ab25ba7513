#pragma once

#include <QColor>
#include <QWidget>
#include <cstdint>

namespace velmor::shell {

// One circular activity lamp (ShapeLED). Colours come in the classic blue-green-red encoding.
class LampWidget final : public QWidget {
    Q_OBJECT
public:
    explicit LampWidget(QWidget* parent = nullptr);

    // Repaints only when the colour changes: the lamps step on every tick of a 1 ms timer.
    void SetBgr(std::uint32_t bgr);
    std::uint32_t Bgr() const { return bgr_; }
    QColor Color() const;

    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::uint32_t bgr_ = 0;
};

}  // namespace velmor::shell
