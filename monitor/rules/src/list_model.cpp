#include "velmor/rules/list_model.h"

#include <algorithm>
#include <numeric>

namespace velmor::rules {
namespace {

const std::string kEmptyCell;

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

ListModel::ListModel(int column_count, int indexed_column)
    : column_count_(std::max(1, column_count)), indexed_column_(indexed_column) {}

int ListModel::CompareText(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const auto fa = static_cast<unsigned char>(FoldAscii(a[i]));
        const auto fb = static_cast<unsigned char>(FoldAscii(b[i]));
        if (fa != fb) return fa < fb ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

const std::string& ListModel::Cell(int row, int column) const {
    if (row < 0 || row >= RowCount() || column < 0 || column >= column_count_) return kEmptyCell;
    return rows_[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)];
}

void ListModel::SetCell(int row, int column, std::string_view text) {
    if (row < 0 || row >= RowCount() || column < 0 || column >= column_count_) return;
    std::string& cell = rows_[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)];
    if (cell == text) return;
    cell.assign(text);
    ++generation_;
    if (column == indexed_column_) RebuildIndex();
    NotifyAll([&](ListModelObserver* o) { o->OnCellChanged(row, column); });
}

void ListModel::SetNote(int row, int column, std::string_view text) {
    if (row < 0 || row >= RowCount() || column < 0 || column >= column_count_ || column == indexed_column_)
        return;
    std::string& cell = rows_[static_cast<std::size_t>(row)].cells[static_cast<std::size_t>(column)];
    if (cell == text) return;
    cell.assign(text);
    NotifyAll([&](ListModelObserver* o) { o->OnCellChanged(row, column); });
}

bool ListModel::TextBefore(const std::vector<std::string>& a, const std::vector<std::string>& b) const {
    const auto key = static_cast<std::size_t>(sort_key_);
    const int order = CompareText(a[key], b[key]);
    return sort_order_ == SortOrder::Ascending ? order < 0 : order > 0;
}

int ListModel::InsertPosition(const std::vector<std::string>& cells) const {
    if (!auto_sort_) return RowCount();
    // After every row that the new one does not go before: equal rows keep their arrival order.
    const auto it = std::upper_bound(rows_.begin(), rows_.end(), cells,
                                     [this](const std::vector<std::string>& value, const Row& row) {
                                         return TextBefore(value, row.cells);
                                     });
    return static_cast<int>(it - rows_.begin());
}

int ListModel::AddRow(std::vector<std::string> cells) {
    cells.resize(static_cast<std::size_t>(column_count_));
    const int position = InsertPosition(cells);
    rows_.insert(rows_.begin() + position, Row{std::move(cells), false});
    ++generation_;
    if (indexed_column_ != kNoIndex) {
        if (position == RowCount() - 1) {
            index_.try_emplace(rows_.back().cells[static_cast<std::size_t>(indexed_column_)], position);
        } else {
            RebuildIndex();
        }
    }
    NotifyAll([&](ListModelObserver* o) { o->OnRowsInserted(position, 1); });
    return position;
}

void ListModel::RemoveRow(int row) {
    if (row < 0 || row >= RowCount()) return;
    rows_.erase(rows_.begin() + row);
    ++generation_;
    RebuildIndex();
    NotifyAll([&](ListModelObserver* o) { o->OnRowsRemoved(row, 1); });
}

void ListModel::RemoveRows(std::vector<int> rows) {
    std::erase_if(rows, [this](int row) { return row < 0 || row >= RowCount(); });
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows.empty()) return;
    // One compaction pass instead of one erase (and index rebuild) per row.
    std::size_t kept = 0;
    std::size_t next = 0;
    for (std::size_t row = 0; row < rows_.size(); ++row) {
        if (next < rows.size() && static_cast<int>(row) == rows[next]) {
            ++next;
            continue;
        }
        if (kept != row) rows_[kept] = std::move(rows_[row]);
        ++kept;
    }
    rows_.resize(kept);
    ++generation_;
    RebuildIndex();
    // Report runs of neighbouring rows, each at its position once the runs above it are gone.
    int removed = 0;
    for (std::size_t i = 0; i < rows.size();) {
        std::size_t end = i + 1;
        while (end < rows.size() && rows[end] == rows[end - 1] + 1) ++end;
        const int first = rows[i] - removed;
        const int count = static_cast<int>(end - i);
        NotifyAll([&](ListModelObserver* o) { o->OnRowsRemoved(first, count); });
        removed += count;
        i = end;
    }
}

void ListModel::Clear() {
    if (rows_.empty()) return;
    const int count = RowCount();
    rows_.clear();
    index_.clear();
    ++generation_;
    NotifyAll([&](ListModelObserver* o) { o->OnRowsRemoved(0, count); });
}

int ListModel::Find(std::string_view text) const {
    const auto it = index_.find(text);
    return it == index_.end() ? -1 : it->second;
}

bool ListModel::IsSelected(int row) const {
    return row >= 0 && row < RowCount() && rows_[static_cast<std::size_t>(row)].selected;
}

void ListModel::SetSelected(int row, bool selected) {
    if (row < 0 || row >= RowCount() || rows_[static_cast<std::size_t>(row)].selected == selected) return;
    rows_[static_cast<std::size_t>(row)].selected = selected;
    NotifyAll([&](ListModelObserver* o) { o->OnSelectionChanged(row); });
}

std::vector<int> ListModel::SelectedRows() const {
    std::vector<int> selected;
    for (int row = 0; row < RowCount(); ++row) {
        if (rows_[static_cast<std::size_t>(row)].selected) selected.push_back(row);
    }
    return selected;
}

void ListModel::SetSortKey(int column) {
    sort_key_ = std::clamp(column, 0, column_count_ - 1);
    if (auto_sort_) SortByText();
}

void ListModel::SetSortOrder(SortOrder order) {
    sort_order_ = order;
    if (auto_sort_) SortByText();
}

void ListModel::SetAutoSort(bool on) {
    auto_sort_ = on;
    if (auto_sort_) SortByText();
}

void ListModel::SetSortState(int column, SortOrder order, bool auto_sort) {
    sort_key_ = std::clamp(column, 0, column_count_ - 1);
    sort_order_ = order;
    auto_sort_ = auto_sort;
    if (auto_sort_) SortByText();
}

std::vector<int> ListModel::Identity() const {
    std::vector<int> order(rows_.size());
    std::iota(order.begin(), order.end(), 0);
    return order;
}

// The sorts order row numbers rather than rows, so a comparison touches only the cells it reads
// and every row moves once, when the order is applied.
void ListModel::SortByText() {
    const auto key = static_cast<std::size_t>(sort_key_);
    const bool ascending = sort_order_ == SortOrder::Ascending;
    std::vector<int> order = Identity();
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int compared = CompareText(rows_[static_cast<std::size_t>(a)].cells[key],
                                         rows_[static_cast<std::size_t>(b)].cells[key]);
        return ascending ? compared < 0 : compared > 0;
    });
    ApplyOrder(order);
}

void ListModel::SortOnce(const RowLess& before) {
    std::vector<int> order = Identity();
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return before(rows_[static_cast<std::size_t>(a)].cells, rows_[static_cast<std::size_t>(b)].cells);
    });
    ApplyOrder(order);
}

void ListModel::SortOnceByValue(const RowValue& value, bool ascending) {
    std::vector<std::int64_t> values;
    values.reserve(rows_.size());
    for (const Row& row : rows_) values.push_back(value(row.cells));
    std::vector<int> order = Identity();
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const std::int64_t first = values[static_cast<std::size_t>(a)];
        const std::int64_t second = values[static_cast<std::size_t>(b)];
        return ascending ? first < second : first > second;
    });
    ApplyOrder(order);
}

void ListModel::ApplyOrder(const std::vector<int>& order) {
    std::vector<Row> sorted;
    sorted.reserve(rows_.size());
    for (const int row : order) sorted.push_back(std::move(rows_[static_cast<std::size_t>(row)]));
    rows_ = std::move(sorted);
    ++generation_;
    RebuildIndex();
    NotifyAll([](ListModelObserver* o) { o->OnLayoutChanged(); });
}

void ListModel::RebuildIndex() {
    if (indexed_column_ == kNoIndex) return;
    index_.clear();
    const auto column = static_cast<std::size_t>(indexed_column_);
    for (int row = 0; row < RowCount(); ++row) {
        index_.try_emplace(rows_[static_cast<std::size_t>(row)].cells[column], row);
    }
}

void ListModel::AddObserver(ListModelObserver* observer) {
    observers_.push_back(observer);
}

void ListModel::RemoveObserver(ListModelObserver* observer) {
    std::erase(observers_, observer);
}

template <typename Notify>
void ListModel::NotifyAll(Notify notify) {
    for (ListModelObserver* observer : observers_) notify(observer);
}

}  // namespace velmor::rules
