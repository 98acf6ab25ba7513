#include "traffic_view.h"

#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "qt_text.h"

namespace velmor::shell {
namespace {

const QColor kReceivedColour(0x2f, 0x7f, 0xd8);
const QColor kSentColour(0xe0, 0x7b, 0x1a);

// The next round rate at or above `value` in the unit its text uses (B, KB, MB, ... of 1,024): 1, 2
// or 5 times a power of ten of that unit, at least 1 KB, so the scale reads "500 KB/s", "2.00 MB/s".
std::uint64_t RoundScale(std::uint64_t value) {
    std::uint64_t unit = 1;
    while (value / unit >= 1000 && unit <= UINT64_MAX / 1024 / 1024) unit *= 1024;
    const double scaled = static_cast<double>(value) / static_cast<double>(unit);
    for (double step = 1;; step *= 10) {
        for (const double factor : {1.0, 2.0, 5.0}) {
            if (step * factor >= scaled)
                return std::max<std::uint64_t>(static_cast<std::uint64_t>(step * factor) * unit, 1024);
        }
    }
}

QString Rate(std::uint64_t bytes) {
    return platform::ToQString(engine::BytesText(bytes)) + QStringLiteral("/s");
}

}  // namespace

TrafficChart::TrafficChart(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("TrafficChart"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TrafficChart::SetHistory(std::vector<engine::ConnectionLedger::Second> history, std::int64_t now) {
    history_ = std::move(history);
    now_ = now;
    std::uint64_t top = 0;
    for (const auto& second : history_) top = std::max({top, second.received, second.sent});
    scale_top_ = RoundScale(top);
    update();
}

void TrafficChart::paintEvent(QPaintEvent*) {
    ++paints_;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), QColor(0xff, 0xff, 0xff));
    const QFontMetrics metrics(font());
    const int left = metrics.horizontalAdvance(QStringLiteral("999 MB/s")) + 12;
    const int top = metrics.height() + 10;
    const int bottom = metrics.height() + 8;
    const QRect plot(left, top, std::max(10, width() - left - 12), std::max(10, height() - top - bottom));

    // Grid and scale: four steps of the rounded top.
    painter.setPen(QColor(0xe3, 0xe7, 0xee));
    for (int step = 0; step <= 4; ++step) {
        const int y = plot.bottom() - plot.height() * step / 4;
        painter.drawLine(plot.left(), y, plot.right(), y);
        painter.setPen(QColor(0x6b, 0x76, 0x88));
        painter.drawText(QRect(0, y - metrics.height() / 2, left - 6, metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter,
                         Rate(scale_top_ / 4 * static_cast<std::uint64_t>(step)));
        painter.setPen(QColor(0xe3, 0xe7, 0xee));
    }
    painter.setPen(QColor(0x6b, 0x76, 0x88));
    const int label_y = plot.bottom() + 4;
    painter.drawText(QRect(plot.left(), label_y, plot.width(), metrics.height()), Qt::AlignLeft,
                     QStringLiteral("10분 전"));
    painter.drawText(QRect(plot.left(), label_y, plot.width(), metrics.height()), Qt::AlignHCenter,
                     QStringLiteral("5분 전"));
    painter.drawText(QRect(plot.left(), label_y, plot.width(), metrics.height()), Qt::AlignRight,
                     QStringLiteral("지금"));

    // One point per second of the last ten minutes; a second that moved nothing is at zero.
    const auto seconds = static_cast<std::int64_t>(engine::ConnectionLedger::kHistorySeconds);
    const auto x_of = [&](std::int64_t second) {
        return plot.left() + static_cast<double>(plot.width()) *
                                 static_cast<double>(second - (now_ - seconds + 1)) /
                                 static_cast<double>(seconds - 1);
    };
    const auto y_of = [&](std::uint64_t rate) {
        return plot.bottom() - static_cast<double>(plot.height()) *
                                   std::min(1.0, static_cast<double>(rate) / static_cast<double>(scale_top_));
    };
    for (const bool received : {true, false}) {
        QPainterPath path;
        std::size_t at = 0;
        for (std::int64_t second = now_ - seconds + 1; second <= now_; ++second) {
            while (at < history_.size() && history_[at].second < second) ++at;
            const bool has = at < history_.size() && history_[at].second == second;
            const std::uint64_t rate = has ? (received ? history_[at].received : history_[at].sent) : 0;
            const QPointF point(x_of(second), y_of(rate));
            if (second == now_ - seconds + 1) {
                path.moveTo(point);
            } else {
                path.lineTo(point);
            }
        }
        painter.setPen(QPen(received ? kReceivedColour : kSentColour, 1.6));
        painter.drawPath(path);
    }

    // Legend with the rates of the last whole second.
    std::uint64_t last_received = 0, last_sent = 0;
    for (const auto& second : history_) {
        if (second.second == now_ - 1) {
            last_received = second.received;
            last_sent = second.sent;
        }
    }
    int x = plot.left();
    for (const bool received : {true, false}) {
        painter.fillRect(QRect(x, 6, 12, metrics.height() - 4), received ? kReceivedColour : kSentColour);
        const QString text = (received ? QStringLiteral("받음 ") : QStringLiteral("보냄 ")) +
                             Rate(received ? last_received : last_sent);
        painter.setPen(QColor(0x33, 0x40, 0x5a));
        painter.drawText(QPoint(x + 16, 4 + metrics.ascent()), text);
        x += 16 + metrics.horizontalAdvance(text) + 24;
    }
}

TrafficView::TrafficView(const engine::ConnectionLedger& ledger, QWidget* parent)
    : QWidget(parent), ledger_(ledger) {
    setObjectName(QStringLiteral("TrafficView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    chart_ = new TrafficChart(this);
    layout->addWidget(chart_, 3);
    auto* lists = new QHBoxLayout();
    const auto make_list = [this, lists](const char* name, const QString& first) {
        auto* column = new QVBoxLayout();
        auto* table = new QTableWidget(0, 3, this);
        table->setObjectName(QString::fromLatin1(name));
        table->setHorizontalHeaderLabels({first, QStringLiteral("받음"), QStringLiteral("보냄")});
        table->verticalHeader()->setVisible(false);
        table->verticalHeader()->setDefaultSectionSize(22);
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        table->setSelectionMode(QAbstractItemView::NoSelection);
        table->setShowGrid(false);
        table->horizontalHeader()->setStretchLastSection(false);
        table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
        table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        column->addWidget(table);
        lists->addLayout(column, 1);
        return table;
    };
    top_addresses_ = make_list("ListTopAddresses", QStringLiteral("주소 (상위 10)"));
    top_programs_ = make_list("ListTopPrograms", QStringLiteral("프로그램 (상위 10)"));
    layout->addLayout(lists, 2);
    timer_.setInterval(kRefreshMs);
    connect(&timer_, &QTimer::timeout, this, &TrafficView::Refresh);
}

void TrafficView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Refresh();
    timer_.start();
}

void TrafficView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}

void TrafficView::Refresh() {
    const std::int64_t now = ledger_.NowSecond();
    // Nothing new and the same second: the picture is as it was.
    if (ledger_.Generation() == seen_generation_ && now == seen_second_) return;
    seen_generation_ = ledger_.Generation();
    seen_second_ = now;
    ++refreshes_;
    const auto& history = ledger_.History();
    chart_->SetHistory({history.begin(), history.end()}, now);
    FillTop(top_addresses_, ledger_.TopAddresses(kTopCount));
    FillTop(top_programs_, ledger_.TopPrograms(kTopCount));
}

void TrafficView::FillTop(QTableWidget* table,
                          const std::vector<std::pair<std::string, engine::ConnectionLedger::Totals>>& top) {
    table->setRowCount(static_cast<int>(top.size()));
    for (int row = 0; row < static_cast<int>(top.size()); ++row) {
        const auto& [name, totals] = top[static_cast<std::size_t>(row)];
        const QString cells[] = {platform::ToQString(name),
                                 platform::ToQString(engine::BytesText(totals.received)),
                                 platform::ToQString(engine::BytesText(totals.sent))};
        for (int column = 0; column < 3; ++column) {
            QTableWidgetItem* item = table->item(row, column);
            if (item == nullptr) {
                item = new QTableWidgetItem();
                table->setItem(row, column, item);
            }
            item->setText(cells[column]);
        }
    }
}

}  // namespace velmor::shell
