#include "velmor/rules/list_sort.h"

#include <gtest/gtest.h>

#include <limits>

#include "velmor/rules/list_commands.h"
#include "velmor/rules/live_lists.h"
#include "velmor/rules/rule_list.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::rules {
namespace {

TEST(RowValue, OnlyAWholeNumberInTheFirst31CharactersCounts) {
    EXPECT_EQ(RowValueOfText("42"), 42);
    EXPECT_EQ(RowValueOfText("  42  "), 42);
    EXPECT_EQ(RowValueOfText("-7"), -7);
    EXPECT_EQ(RowValueOfText("+7"), 7);
    EXPECT_EQ(RowValueOfText("2147483647"), 2147483647);
    EXPECT_EQ(RowValueOfText("-2147483648"), -2147483647 - 1);
    for (const char* not_a_number : {"", " ", "-", "10000 - OVER", "12.5", "1e3", "0x10", "4 2", "abc",
                                     "2147483648", "99999999999999999999"}) {
        EXPECT_EQ(RowValueOfText(not_a_number), 0) << not_a_number;
    }
    // Only 31 characters are read: what follows them does not spoil the number, and digits beyond
    // them are not part of it.
    EXPECT_EQ(RowValueOfText("5" + std::string(30, ' ') + "x"), 5);
    EXPECT_EQ(RowValueOfText(std::string(30, '0') + "12"), 1);

    ListModel list(2);
    list.AddRow({"10.0.0.1", "17"});
    list.AddRow({"10.0.0.2"});
    EXPECT_EQ(GetRowValue(list, 0), 17);
    EXPECT_EQ(GetRowValue(list, 1), 0);
    EXPECT_EQ(GetRowValue(list, 5), 0);
    EXPECT_LT(CompareRowValues({"a", "1"}, {"b", "2"}, true), 0);
    EXPECT_GT(CompareRowValues({"a", "1"}, {"b", "2"}, false), 0);
    EXPECT_EQ(CompareRowValues({"a", "3"}, {"b", " 3"}, false), 0);
}

class SortTest : public ::testing::Test {
protected:
    SortTest() {
        watch_ip.AddRow({"10.0.0.3", "2", "허용", "c"});
        watch_ip.AddRow({"10.0.0.10", "10000 - OVER", "차단", "a"});
        watch_ip.AddRow({"10.0.0.2", "15", "허용", "b"});
        watch_ip.AddRow({"10.0.0.1", "3", "허용", "d"});
        watch_port.AddRow({"10.0.0.1", "443"});
        watch_port.AddRow({"10.0.0.2", "80"});
        watch_port.AddRow({"10.0.0.3", "8080"});
    }
    static std::vector<std::string> Column(const ListModel& list, int column) {
        std::vector<std::string> cells;
        for (int row = 0; row < list.RowCount(); ++row) cells.push_back(list.Cell(row, column));
        return cells;
    }

    test::TempDir folder;
    RuleStore store{folder.path()};
    ListModel invader{kRuleListColumns};
    ListModel watch_ip{4, 0};
    ListModel watch_port{2, 1};
    test::ScriptedDialogs dialogs;
    test::FakeClipboard clipboard;
    test::FakeBrowser browser;
    ListCommands commands{store, invader, watch_ip, watch_port, dialogs, clipboard, browser};
};

TEST_F(SortTest, CountClicksSortAscendingThenDescendingWithTheOverflowTextAsZero) {
    EXPECT_FALSE(commands.SortAscending());
    commands.ListViewWatchIP_ColumnClick(2);
    EXPECT_TRUE(commands.SortAscending());
    EXPECT_EQ(Column(watch_ip, 1), (std::vector<std::string>{"10000 - OVER", "2", "3", "15"}));
    EXPECT_EQ(watch_ip.SortKey(), 1);
    EXPECT_FALSE(watch_ip.AutoSort());

    commands.ListViewWatchIP_ColumnClick(2);
    EXPECT_EQ(Column(watch_ip, 1), (std::vector<std::string>{"15", "3", "2", "10000 - OVER"}));

    // With automatic sorting off, a row the monitoring cycle adds later goes to the end.
    watch_ip.AddRow({"10.0.0.4", "99", "허용", ""});
    EXPECT_EQ(watch_ip.Cell(4, 0), "10.0.0.4");
    // Equal counts compare equal; they end side by side.
    watch_ip.SetCell(0, 1, "3");
    commands.ListViewWatchIP_ColumnClick(2);
    EXPECT_EQ(Column(watch_ip, 1), (std::vector<std::string>{"10000 - OVER", "2", "3", "3", "99"}));
}

TEST_F(SortTest, TextColumnsTurnTheListsOrderOverAndKeepSortingLaterRows) {
    commands.ListViewWatchIP_ColumnClick(1);  // the list starts ascending: now descending, as text
    EXPECT_EQ(watch_ip.Order(), ListModel::SortOrder::Descending);
    EXPECT_TRUE(watch_ip.AutoSort());
    EXPECT_EQ(Column(watch_ip, 0),
              (std::vector<std::string>{"10.0.0.3", "10.0.0.2", "10.0.0.10", "10.0.0.1"}));
    // The count click that follows is the second click: descending, whatever the list's order says.
    commands.ListViewWatchIP_ColumnClick(2);
    EXPECT_EQ(Column(watch_ip, 1), (std::vector<std::string>{"15", "3", "2", "10000 - OVER"}));

    commands.ListViewWatchIP_ColumnClick(4);  // automatic sorting on again, order turned over
    EXPECT_EQ(watch_ip.Order(), ListModel::SortOrder::Ascending);
    EXPECT_EQ(Column(watch_ip, 3), (std::vector<std::string>{"a", "b", "c", "d"}));
    watch_ip.AddRow({"10.0.0.7", "1", "허용", "bb"});  // a row of the monitoring cycle, put in order
    EXPECT_EQ(Column(watch_ip, 3), (std::vector<std::string>{"a", "b", "bb", "c", "d"}));
    commands.ListViewWatchIP_ColumnClick(3);
    EXPECT_EQ(Column(watch_ip, 2), (std::vector<std::string>{"허용", "허용", "허용", "허용", "차단"}));
    EXPECT_EQ(watch_ip.Order(), ListModel::SortOrder::Descending);
}

TEST_F(SortTest, PortListClicksShareTheDirectionOfTheNumericSort) {
    commands.ListViewWatchPORT_ColumnClick(2);  // first click on either list: ascending
    EXPECT_EQ(Column(watch_port, 1), (std::vector<std::string>{"80", "443", "8080"}));
    commands.ListViewWatchIP_ColumnClick(2);  // second: descending
    EXPECT_EQ(Column(watch_ip, 1), (std::vector<std::string>{"15", "3", "2", "10000 - OVER"}));
    commands.ListViewWatchPORT_ColumnClick(1);  // third, a text column of the port list
    EXPECT_TRUE(watch_port.AutoSort());
    EXPECT_EQ(watch_port.Order(), ListModel::SortOrder::Descending);
    EXPECT_EQ(Column(watch_port, 0), (std::vector<std::string>{"10.0.0.3", "10.0.0.2", "10.0.0.1"}));
    commands.ListViewWatchIP_ColumnClick(2);  // fourth: descending again
    EXPECT_EQ(Column(watch_ip, 1), (std::vector<std::string>{"15", "3", "2", "10000 - OVER"}));
    commands.ListViewWatchPORT_ColumnClick(2);  // fifth: ascending
    EXPECT_FALSE(watch_port.AutoSort());
    EXPECT_EQ(Column(watch_port, 1), (std::vector<std::string>{"80", "443", "8080"}));

    // Columns that do not exist are no clicks at all.
    commands.ListViewWatchPORT_ColumnClick(3);
    commands.ListViewWatchIP_ColumnClick(0);
    EXPECT_TRUE(commands.SortAscending());
}

TEST_F(SortTest, RuleListSortsOnceAndLeavesTheSharedFlagAlone) {
    std::filesystem::create_directories(folder / "invader");
    test::WriteBytes(folder / "invader/10.0.0.2.x", "-|10.0.0.2|b\r\n");
    test::WriteBytes(folder / "invader/10.0.0.1.x", "-|10.0.0.1|c\r\n");
    test::WriteBytes(folder / "invader/10.0.0.3.x", "-|10.0.0.3|a\r\n");
    commands.LoadInvaderList();
    commands.ListViewInvaderOX_ColumnClick(3);
    EXPECT_EQ(Column(invader, 2), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_FALSE(invader.AutoSort());
    EXPECT_FALSE(commands.SortAscending());
    commands.ListViewInvaderOX_ColumnClick(1);
    EXPECT_EQ(Column(invader, 0), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));

    // The add appends at the end of a list sorted once.
    dialogs.text_answers = {"10.0.0.0", "-"};
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(invader.Cell(3, 0), "10.0.0.0");
    EXPECT_EQ(invader.SelectedRows(), std::vector<int>{3});
}

// The byte columns of "IP 감시" sort by their number (an uncounted "-" below 0), and writing them as
// notes tells the observers without growing the list's generation.
TEST(ByteColumns, SortByNumberAndAreNotesThatLeaveTheGenerationAlone) {
    EXPECT_EQ(CountValueOfText("0"), 0);
    EXPECT_EQ(CountValueOfText("18446744073709551615"), std::numeric_limits<std::int64_t>::max());
    for (const char* not_a_count : {"", "-", "1.2 MB", " 5", "-5", "184467440737095516150"})
        EXPECT_EQ(CountValueOfText(not_a_count), -1) << not_a_count;

    ListModel list(watch_ip::kColumns, watch_ip::kAddress);
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}) list.AddRow({address});
    const std::uint64_t generation = list.Generation();
    list.SetNote(0, watch_ip::kReceived, "900");
    list.SetNote(1, watch_ip::kReceived, "-");
    list.SetNote(2, watch_ip::kReceived, "10000000");
    list.SetNote(3, watch_ip::kReceived, "0");
    list.SetNote(3, watch_ip::kAddress, "10.9.9.9");  // the indexed column is never a note
    EXPECT_EQ(list.Generation(), generation);
    EXPECT_EQ(list.Cell(3, watch_ip::kAddress), "10.0.0.4");
    SortByCount(list, watch_ip::kReceived, false);
    std::vector<std::string> order;
    for (int row = 0; row < list.RowCount(); ++row) order.push_back(list.Cell(row, watch_ip::kAddress));
    EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.3", "10.0.0.1", "10.0.0.4", "10.0.0.2"}));
}

}  // namespace
}  // namespace velmor::rules
