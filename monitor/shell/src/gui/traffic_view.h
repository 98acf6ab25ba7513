#pragma once

#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "velmor/engine/connection_ledger.h"

class QTableWidget;

namespace velmor::shell {

// The machine's received and sent bytes per second over the last ten minutes, painted: two lines
// over a time axis, the rates of the last second and a legend.
class TrafficChart final : public QWidget {
    Q_OBJECT
public:
    explicit TrafficChart(QWidget* parent = nullptr);

    // The seconds to draw (oldest first; seconds missing from it moved nothing) up to `now`.
    void SetHistory(std::vector<engine::ConnectionLedger::Second> history, std::int64_t now);
    // How often the chart was painted (for the tests of the redraw pace).
    std::uint64_t Paints() const { return paints_; }
    // The highest rate on the scale, bytes per second.
    std::uint64_t ScaleTop() const { return scale_top_; }

    QSize sizeHint() const override { return {560, 220}; }
    QSize minimumSizeHint() const override { return {240, 140}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<engine::ConnectionLedger::Second> history_;
    std::int64_t now_ = 0;
    std::uint64_t scale_top_ = 1024;
    std::uint64_t paints_ = 0;
};

// The tab "트래픽": the chart, and the ten addresses and the ten programs that moved the most bytes.
// It looks at the ledger at most once a second, and only while it is shown.
class TrafficView final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 1000;
    static constexpr std::size_t kTopCount = 10;

    explicit TrafficView(const engine::ConnectionLedger& ledger, QWidget* parent = nullptr);

    // Takes what the ledger holds now into the chart and the two lists.
    void Refresh();
    std::uint64_t Refreshes() const { return refreshes_; }
    TrafficChart* Chart() const { return chart_; }
    bool Watching() const { return timer_.isActive(); }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void FillTop(QTableWidget* table,
                 const std::vector<std::pair<std::string, engine::ConnectionLedger::Totals>>& top);

    const engine::ConnectionLedger& ledger_;
    TrafficChart* chart_ = nullptr;
    QTableWidget* top_addresses_ = nullptr;
    QTableWidget* top_programs_ = nullptr;
    QTimer timer_;
    std::uint64_t seen_generation_ = ~std::uint64_t{0};
    std::int64_t seen_second_ = 0;
    std::uint64_t refreshes_ = 0;
};

}  // namespace velmor::shell
