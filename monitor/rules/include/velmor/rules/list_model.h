#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmor::rules {

// Told about every change of a ListModel, so a view can follow it without copying the data.
class ListModelObserver {
public:
    virtual ~ListModelObserver() = default;
    virtual void OnRowsInserted(int first, int count) = 0;
    virtual void OnRowsRemoved(int first, int count) = 0;
    virtual void OnCellChanged(int row, int column) = 0;
    virtual void OnSelectionChanged(int row) = 0;
    // Rows kept but their order changed (a sort).
    virtual void OnLayoutChanged() = 0;
    // Everything may have changed.
    virtual void OnReset() = 0;
};

// A report list: rows of text cells (cell 0 is the row's text, the others its sub items), a
// selection mark per row, and the list's own sort state (key column, order, automatic sorting).
// One column may be indexed, so that finding the first row with a given text in that column costs
// no scan of the list.
class ListModel final {
public:
    enum class SortOrder { Ascending, Descending };
    static constexpr int kNoIndex = -1;

    explicit ListModel(int column_count, int indexed_column = kNoIndex);

    int RowCount() const { return static_cast<int>(rows_.size()); }
    int ColumnCount() const { return column_count_; }

    // The text of a cell; empty for a row or column that does not exist.
    const std::string& Cell(int row, int column) const;
    // Sets a cell; ignored for a row or column that does not exist.
    void SetCell(int row, int column, std::string_view text);
    // Sets a cell that only notes something about its row (a program, a byte count): the observers
    // hear of it, but Generation() does not grow, so a reader that acts on changes of the rows and
    // their verdicts is not woken by it. Never for the indexed column.
    void SetNote(int row, int column, std::string_view text);

    // Adds a row (missing cells are empty). With automatic sorting on it goes where the sort puts
    // it (after rows that compare equal); otherwise at the end. Returns its row number.
    int AddRow(std::vector<std::string> cells);
    void RemoveRow(int row);
    // Removes the given rows (any order; duplicates and rows that do not exist are ignored) in one
    // pass. Observers hear of them as removals one after another from the top.
    void RemoveRows(std::vector<int> rows);
    void Clear();

    // The first row, in list order, whose indexed column holds `text`; -1 when there is none.
    // Only for a model made with an indexed column.
    int Find(std::string_view text) const;

    bool IsSelected(int row) const;
    void SetSelected(int row, bool selected);
    std::vector<int> SelectedRows() const;

    int SortKey() const { return sort_key_; }
    SortOrder Order() const { return sort_order_; }
    bool AutoSort() const { return auto_sort_; }
    // While automatic sorting is on, changing the key or order re-sorts at once, and switching it
    // on sorts at once.
    void SetSortKey(int column);
    void SetSortOrder(SortOrder order);
    void SetAutoSort(bool on);
    // Sets key, order and automatic sorting together: one sort (when automatic sorting ends up on)
    // instead of one per setter. The result is what the three setters give one after another, but
    // for the relative order of rows that compare equal.
    void SetSortState(int column, SortOrder order, bool auto_sort);

    // Sorts all rows once with `before(a, b)` (a strict weak order over the rows' cells). Stable.
    using RowLess = std::function<bool(const std::vector<std::string>&, const std::vector<std::string>&)>;
    void SortOnce(const RowLess& before);
    // Sorts all rows once by a whole number taken from each row (computed once per row, not once per
    // comparison); ascending or descending. Stable.
    using RowValue = std::function<std::int64_t(const std::vector<std::string>&)>;
    void SortOnceByValue(const RowValue& value, bool ascending);

    // Grows on every change of rows, cells or order; lets a reader tell whether anything changed.
    std::uint64_t Generation() const { return generation_; }

    void AddObserver(ListModelObserver* observer);
    void RemoveObserver(ListModelObserver* observer);

    // The text comparison of the list's own sort: case-insensitive for ASCII letters, then by bytes.
    static int CompareText(std::string_view a, std::string_view b);

private:
    struct Row {
        std::vector<std::string> cells;
        bool selected = false;
    };
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };

    void SortByText();
    // Puts the rows in the order given by `order` (row numbers, each once) and tells the observers.
    void ApplyOrder(const std::vector<int>& order);
    std::vector<int> Identity() const;
    void RebuildIndex();
    int InsertPosition(const std::vector<std::string>& cells) const;
    bool TextBefore(const std::vector<std::string>& a, const std::vector<std::string>& b) const;
    template <typename Notify>
    void NotifyAll(Notify notify);

    int column_count_;
    int indexed_column_;
    std::vector<Row> rows_;
    std::unordered_map<std::string, int, TextHash, std::equal_to<>> index_;
    int sort_key_ = 0;
    SortOrder sort_order_ = SortOrder::Ascending;
    bool auto_sort_ = false;
    std::uint64_t generation_ = 0;
    std::vector<ListModelObserver*> observers_;
};

}  // namespace velmor::rules
