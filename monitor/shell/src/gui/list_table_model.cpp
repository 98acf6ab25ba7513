#include "list_table_model.h"

#include <QBrush>
#include <QColor>
#include <utility>

#include "velmor/rules/rule_store.h"

namespace velmor::shell {

ListTableModel::ListTableModel(rules::ListModel& list, QStringList headers, QObject* parent)
    : QAbstractTableModel(parent), list_(list), headers_(std::move(headers)), rows_(list.RowCount()) {
    list_.AddObserver(this);
}

ListTableModel::~ListTableModel() {
    list_.RemoveObserver(this);
}

int ListTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int ListTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : list_.ColumnCount();
}

QVariant ListTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_) return {};
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        const int row = CoreRow(index.row());
        if (row < 0) return QString();
        if (role == Qt::ToolTipRole && row_tooltip_) {
            QString tooltip = row_tooltip_(row);
            if (!tooltip.isEmpty()) return tooltip;
        }
        const std::string& cell = list_.Cell(row, index.column());
        if (role == Qt::DisplayRole) {
            if (const auto display = displays_.find(index.column()); display != displays_.end())
                return display->second(cell);
        }
        return QString::fromStdString(cell);
    }
    if (role == Qt::TextAlignmentRole && displays_.contains(index.column())) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
    }
    if (role == Qt::ForegroundRole || role == Qt::BackgroundRole) {
        // Blocked addresses stand out in dark red on a pale red ground.
        if (!IsBlockedRow(CoreRow(index.row()))) return {};
        return role == Qt::ForegroundRole ? QBrush(QColor(0xa8, 0x10, 0x10))
                                          : QBrush(QColor(0xfd, 0xe4, 0xe1));
    }
    return {};
}

bool ListTableModel::IsBlockedRow(int core_row) const {
    if (verdict_column_ < 0 || core_row < 0 || verdict_column_ >= list_.ColumnCount()) return false;
    return rules::VerdictOf(list_.Cell(core_row, verdict_column_)) == rules::Verdict::Blocked;
}

void ListTableModel::SetColumnDisplay(int column, std::function<QString(const std::string&)> display) {
    displays_[column] = std::move(display);
}

int ListTableModel::CoreRow(int row) const {
    if (pending_count_ == 0 || row < pending_first_) return row;
    if (pending_count_ > 0) return row + pending_count_;
    if (row < pending_first_ - pending_count_) return -1;
    return row + pending_count_;
}

QVariant ListTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < headers_.size()) {
        return headers_.at(section);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

void ListTableModel::OnRowsInserted(int first, int count) {
    // Structural changes move the view's selection along with the rows, as the core moves its marks;
    // the selection signals they cause must not be copied back.
    const bool was_syncing = std::exchange(syncing_, true);
    pending_first_ = first;
    pending_count_ = count;
    beginInsertRows({}, first, first + count - 1);
    rows_ += count;
    pending_count_ = 0;
    endInsertRows();
    syncing_ = was_syncing;
}

void ListTableModel::OnRowsRemoved(int first, int count) {
    const bool was_syncing = std::exchange(syncing_, true);
    pending_first_ = first;
    pending_count_ = -count;
    beginRemoveRows({}, first, first + count - 1);
    rows_ -= count;
    pending_count_ = 0;
    endRemoveRows();
    syncing_ = was_syncing;
}

void ListTableModel::OnCellChanged(int row, int column) {
    const QModelIndex cell = index(row, column);
    Q_EMIT dataChanged(cell, cell, {Qt::DisplayRole, Qt::ToolTipRole});
    // A new verdict recolours the whole row.
    if (column == verdict_column_) {
        Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1),
                           {Qt::ForegroundRole, Qt::BackgroundRole});
    }
}

void ListTableModel::OnSelectionChanged(int row) {
    QItemSelectionModel* selection = selection_.data();
    if (syncing_ || selection == nullptr) return;
    syncing_ = true;
    const auto command = list_.IsSelected(row) ? QItemSelectionModel::Select : QItemSelectionModel::Deselect;
    selection->select(index(row, 0), command | QItemSelectionModel::Rows);
    syncing_ = false;
}

void ListTableModel::OnLayoutChanged() {
    // The core sorted its rows; it does not say where each went, so the views' persistent indexes
    // are dropped and the selection is taken again from the core (its marks moved with the rows).
    const bool was_syncing = std::exchange(syncing_, true);
    Q_EMIT layoutAboutToBeChanged();
    const QModelIndexList old = persistentIndexList();
    changePersistentIndexList(old, QModelIndexList(old.size()));
    Q_EMIT layoutChanged();
    syncing_ = was_syncing;
    PushSelectionToView();
}

void ListTableModel::OnReset() {
    const bool was_syncing = std::exchange(syncing_, true);
    beginResetModel();
    rows_ = list_.RowCount();
    endResetModel();
    syncing_ = was_syncing;
    PushSelectionToView();
}

void ListTableModel::BindSelection(QItemSelectionModel* selection) {
    if (selection_) disconnect(selection_, nullptr, this, nullptr);
    selection_ = selection;
    if (!selection_) return;
    connect(selection_, &QItemSelectionModel::selectionChanged, this, &ListTableModel::PullSelectionFromView);
    PushSelectionToView();
}

void ListTableModel::PushSelectionToView() {
    QItemSelectionModel* selection = selection_.data();
    if (selection == nullptr) return;
    syncing_ = true;
    QItemSelection rows;
    for (const int row : list_.SelectedRows()) rows.select(index(row, 0), index(row, columnCount() - 1));
    selection->select(rows, QItemSelectionModel::ClearAndSelect);
    syncing_ = false;
}

void ListTableModel::PullSelectionFromView(const QItemSelection& selected, const QItemSelection& deselected) {
    QItemSelectionModel* selection = selection_.data();
    if (syncing_ || selection == nullptr) return;
    syncing_ = true;
    for (const QModelIndex& cell : deselected.indexes()) {
        if (!selection->isRowSelected(cell.row(), {})) list_.SetSelected(cell.row(), false);
    }
    for (const QModelIndex& cell : selected.indexes()) list_.SetSelected(cell.row(), true);
    syncing_ = false;
}

}  // namespace velmor::shell
