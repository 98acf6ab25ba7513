#include <gtest/gtest.h>

#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_store.h"
#include "velmor/test/temp_dir.h"

namespace velmor::rules {
namespace {

class RemovalLog final : public ListModelObserver {
public:
    void OnRowsInserted(int, int) override {}
    void OnRowsRemoved(int first, int count) override { removed.emplace_back(first, count); }
    void OnCellChanged(int, int) override {}
    void OnSelectionChanged(int) override {}
    void OnLayoutChanged() override { ++layouts; }
    void OnReset() override {}
    std::vector<std::pair<int, int>> removed;
    int layouts = 0;
};

TEST(ListModelRemoveRows, RemovesInOnePassAndReportsFromTheTop) {
    ListModel list(2, 0);
    for (const char* text : {"a", "b", "c", "d", "e", "f", "g"}) list.AddRow({text, "x"});
    list.SetSelected(5, true);
    RemovalLog log;
    list.AddObserver(&log);
    list.RemoveRows({6, 1, 2, 4, 2, 99, -3});
    std::vector<std::string> left;
    for (int row = 0; row < list.RowCount(); ++row) left.push_back(list.Cell(row, 0));
    EXPECT_EQ(left, (std::vector<std::string>{"a", "d", "f"}));
    // b and c as one run, then e (now at 2), then g (now at 3).
    EXPECT_EQ(log.removed, (std::vector<std::pair<int, int>>{{1, 2}, {2, 1}, {3, 1}}));
    EXPECT_EQ(list.SelectedRows(), std::vector<int>{2});  // selection travels with its row
    EXPECT_EQ(list.Find("f"), 2);
    EXPECT_EQ(list.Find("g"), -1);
    list.RemoveRows({});
    EXPECT_EQ(list.RowCount(), 3);
    list.RemoveObserver(&log);
}

TEST(ListModelSortState, SetsKeyOrderAndAutomaticSortingWithOneSort) {
    ListModel list(2, 1);
    for (const char* text : {"b", "c", "a"}) list.AddRow({"row", text});
    RemovalLog log;
    list.AddObserver(&log);
    list.SetSortState(1, ListModel::SortOrder::Descending, false);  // automatic sorting off: no sort
    EXPECT_EQ(log.layouts, 0);
    EXPECT_EQ(list.Cell(0, 1), "b");
    list.SetSortState(1, ListModel::SortOrder::Descending, true);
    EXPECT_EQ(log.layouts, 1);
    EXPECT_EQ(list.SortKey(), 1);
    EXPECT_TRUE(list.AutoSort());
    EXPECT_EQ(list.Cell(0, 1), "c");
    EXPECT_EQ(list.Cell(2, 1), "a");
    EXPECT_EQ(list.Find("a"), 2);  // the index follows the new order

    list.SortOnceByValue([](const std::vector<std::string>& cells) { return cells[1] == "b" ? 0 : 1; }, true);
    EXPECT_EQ(list.Cell(0, 1), "b");
    EXPECT_EQ(list.Cell(1, 1), "c");  // equal values keep their order
    EXPECT_EQ(list.Cell(2, 1), "a");
    list.RemoveObserver(&log);
}

class RuleEditTest : public ::testing::Test {
protected:
    RuleEditTest() { std::filesystem::create_directories(folder / "invader"); }
    test::TempDir folder;
    RuleStore store{folder.path()};
};

TEST_F(RuleEditTest, EditsKeepTheBlockedIndexRightWithoutWaitingForTheWatch) {
    store.RefreshBlockedIndex();
    ASSERT_EQ(store.AddBlocked("10.0.0.1", "-"), RuleStore::AddResult::Added);
    EXPECT_EQ(store.AddBlocked("10.0.0.1", "again"), RuleStore::AddResult::AlreadyExists);
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.IsIndexedBlocked("10.0.0.1"));

    EXPECT_TRUE(store.Toggle("10.0.0.1", Verdict::Blocked));
    store.RefreshBlockedIndex(false);
    EXPECT_FALSE(store.IsIndexedBlocked("10.0.0.1"));
    EXPECT_TRUE(store.Exists("10.0.0.1", Verdict::Allowed));

    EXPECT_TRUE(store.Toggle("10.0.0.1", Verdict::Allowed));
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.IsIndexedBlocked("10.0.0.1"));

    EXPECT_TRUE(store.Delete("10.0.0.1", Verdict::Blocked));
    EXPECT_FALSE(store.Delete("10.0.0.1", Verdict::Blocked));
    EXPECT_FALSE(store.Toggle("10.0.0.1", Verdict::Blocked));
    store.RefreshBlockedIndex(false);
    EXPECT_FALSE(store.IsIndexedBlocked("10.0.0.1"));
}

TEST_F(RuleEditTest, UnsafeNamesNeverReachTheDisk) {
    test::WriteBytes(folder / "victim.x", "keep\r\n");
    EXPECT_EQ(store.AddBlocked("../victim", "-"), RuleStore::AddResult::Refused);
    EXPECT_FALSE(store.Delete("../victim", Verdict::Blocked));
    EXPECT_FALSE(store.Toggle("../victim", Verdict::Blocked));
    EXPECT_FALSE(store.Locate("../victim", Verdict::Blocked));
    EXPECT_EQ(test::ReadBytes(folder / "victim.x"), "keep\r\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "victim.o"));
}

TEST_F(RuleEditTest, AFailedWriteIsReported) {
    RuleStore missing(folder / "nowhere");
    EXPECT_EQ(missing.AddBlocked("10.0.0.1", "-"), RuleStore::AddResult::Failed);
}

}  // namespace
}  // namespace velmor::rules
