#include "velmor/rules/list_model.h"

#include <gtest/gtest.h>

namespace velmor::rules {
namespace {

std::vector<std::string> Column(const ListModel& list, int column) {
    std::vector<std::string> values;
    for (int row = 0; row < list.RowCount(); ++row) values.push_back(list.Cell(row, column));
    return values;
}

TEST(ListModel, IndexFindsFirstRowInListOrderThroughInsertsSortsAndRemovals) {
    ListModel list(2, 0);
    list.AddRow({"b", "1"});
    list.AddRow({"a", "2"});
    list.AddRow({"c", "3"});
    EXPECT_EQ(list.Find("a"), 1);
    list.SetAutoSort(true);  // sorts at once, ascending by column 0
    EXPECT_EQ(Column(list, 0), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(list.Find("c"), 2);
    list.AddRow({"bb", "4"});  // goes where the sort puts it
    EXPECT_EQ(Column(list, 0), (std::vector<std::string>{"a", "b", "bb", "c"}));
    EXPECT_EQ(list.Find("c"), 3);
    list.RemoveRow(0);
    EXPECT_EQ(list.Find("b"), 0);
    EXPECT_EQ(list.Find("a"), -1);
    list.SetCell(0, 0, "z");
    EXPECT_EQ(list.Find("z"), 0);
    EXPECT_EQ(list.Find("b"), -1);
    list.Clear();
    EXPECT_EQ(list.Find("z"), -1);
    EXPECT_EQ(list.RowCount(), 0);
}

TEST(ListModel, SortStateAndTextCollation) {
    ListModel list(2);
    list.AddRow({"x", "B"});
    list.AddRow({"y", "a"});
    list.AddRow({"z", "C"});
    list.SetSortKey(1);
    EXPECT_EQ(Column(list, 0), (std::vector<std::string>{"x", "y", "z"}));  // auto sort off: unchanged
    list.SetAutoSort(true);
    EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"a", "B", "C"}));  // letter case folded
    list.SetSortOrder(ListModel::SortOrder::Descending);
    EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"C", "B", "a"}));
    list.SetAutoSort(false);
    list.AddRow({"w", "Z"});  // appended at the end with auto sort off
    EXPECT_EQ(list.Cell(3, 0), "w");
    EXPECT_GT(ListModel::CompareText("10.0.0.9", "10.0.0.10"), 0);  // text, not numbers
    EXPECT_GT(ListModel::CompareText("9", "10"), 0);
    EXPECT_NE(ListModel::CompareText("Ab", "aB"), 0);  // equal letters, other case: still ordered
}

TEST(ListModel, OutOfRangeAccessIsHarmlessAndSelectionIsPerRow) {
    ListModel list(3);
    EXPECT_EQ(list.Cell(5, 0), "");
    list.SetCell(5, 0, "x");
    list.RemoveRow(-1);
    list.AddRow({"only"});
    EXPECT_EQ(list.Cell(0, 2), "");
    list.SetSelected(0, true);
    list.SetSelected(9, true);
    EXPECT_EQ(list.SelectedRows(), std::vector<int>{0});
    const auto generation = list.Generation();
    list.SetCell(0, 1, "changed");
    EXPECT_GT(list.Generation(), generation);
}

}  // namespace
}  // namespace velmor::rules
