#pragma once

#include <QAbstractTableModel>
#include <QItemSelectionModel>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <map>
#include <string>

#include "velmor/rules/list_model.h"

namespace velmor::shell {

// Shows a core ListModel in Qt views without copying its rows: every cell is read from the core
// model when a view asks, and the core model's change notices become Qt's model signals. The core
// reports a change after making it, while Qt's "about to" signals must still show the old rows; so
// between the two halves of an insert or remove the view's row numbers are mapped onto the core's
// with the pending shift.
//
// The core model also owns the selection (the list commands act on its selected rows), so a bound
// QItemSelectionModel is kept in step both ways.
class ListTableModel final : public QAbstractTableModel, private rules::ListModelObserver {
    Q_OBJECT
public:
    ListTableModel(rules::ListModel& list, QStringList headers, QObject* parent = nullptr);
    ~ListTableModel() override;

    rules::ListModel& List() { return list_; }
    // Keeps `selection` (of a view over this model) and the core model's selection marks in step.
    void BindSelection(QItemSelectionModel* selection);
    // Rows whose cell in `column` reads "차단" are drawn in the warning colours (-1: none).
    void SetVerdictColumn(int column) { verdict_column_ = column; }
    // Shows the cells of `column` through `display` (the core keeps whole numbers, a view shows
    // "1.2 MB"); such a column's numbers are right-aligned.
    void SetColumnDisplay(int column, std::function<QString(const std::string&)> display);
    // The tooltip of every cell of a row, from its core row (empty: the cell's own text).
    void SetRowToolTip(std::function<QString(int core_row)> tooltip) { row_tooltip_ = std::move(tooltip); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void OnRowsInserted(int first, int count) override;
    void OnRowsRemoved(int first, int count) override;
    void OnCellChanged(int row, int column) override;
    void OnSelectionChanged(int row) override;
    void OnLayoutChanged() override;
    void OnReset() override;

    void PushSelectionToView();
    // The core row that view row `row` shows; -1 for a row that the core already removed.
    int CoreRow(int row) const;
    void PullSelectionFromView(const QItemSelection& selected, const QItemSelection& deselected);
    bool IsBlockedRow(int core_row) const;

    rules::ListModel& list_;
    QStringList headers_;
    int rows_ = 0;
    // An insert (count > 0) or remove (count < 0) that the core made and the views do not know yet.
    int pending_first_ = 0;
    int pending_count_ = 0;
    QPointer<QItemSelectionModel> selection_;
    bool syncing_ = false;
    int verdict_column_ = -1;
    std::map<int, std::function<QString(const std::string&)>> displays_;
    std::function<QString(int)> row_tooltip_;
};

}  // namespace velmor::shell
