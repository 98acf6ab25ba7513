#include "velmor/rules/list_commands.h"

#include <gtest/gtest.h>

#include "velmor/common/text_file.h"
#include "velmor/rules/rule_list.h"
#include "velmor/test/fakes.h"
#include "velmor/test/temp_dir.h"

namespace velmor::rules {
namespace {

class RecordingHost final : public ListCommandsHost {
public:
    void InvaderOXChanged() override {
        ++changes;
        if (reenter != nullptr) reenter->chkInvaderOX_Click();  // a widget that raises its click again
    }
    void FocusInvaderList() override { ++focus; }
    void SetWaitCursor(bool waiting) override { cursor.push_back(waiting); }

    int changes = 0;
    int focus = 0;
    std::vector<bool> cursor;
    ListCommands* reenter = nullptr;
};

class ListCommandsTest : public ::testing::Test {
protected:
    ListCommandsTest() { std::filesystem::create_directories(folder / "invader"); }

    void WriteRule(const std::string& name, const std::string& line) {
        test::WriteBytes(folder / ("invader/" + name), line + "\r\n");
    }
    bool Has(const std::string& name) const { return IsRegularFile(folder / ("invader/" + name)); }
    std::string Text(const std::string& name) const { return test::ReadBytes(folder / ("invader/" + name)); }
    std::vector<std::string> Row(const ListModel& list, int row) const {
        std::vector<std::string> cells;
        for (int column = 0; column < list.ColumnCount(); ++column) cells.push_back(list.Cell(row, column));
        return cells;
    }
    std::vector<std::string> Column(const ListModel& list, int column) const {
        std::vector<std::string> cells;
        for (int row = 0; row < list.RowCount(); ++row) cells.push_back(list.Cell(row, column));
        return cells;
    }
    std::vector<std::string> Shown() const {
        std::vector<std::string> texts;
        for (const auto& box : dialogs.shown) texts.push_back(box.kind + ":" + box.text);
        return texts;
    }
    void Answer(std::initializer_list<std::optional<std::string>> answers) {
        dialogs.text_answers.assign(answers.begin(), answers.end());
    }

    test::TempDir folder;
    RuleStore store{folder.path()};
    ListModel invader{kRuleListColumns};
    ListModel watch_ip{4, 0};
    ListModel watch_port{2, 1};
    test::ScriptedDialogs dialogs;
    test::FakeClipboard clipboard;
    test::FakeBrowser browser;
    RecordingHost host;
    ListCommands commands{store, invader, watch_ip, watch_port, dialogs, clipboard, browser, &host};
};

// --- Add -------------------------------------------------------------------------------------------

TEST_F(ListCommandsTest, BlockingALifelineByHandAsksOnceMoreAndDoesWhatTheUserSaid) {
    Exemptions exemptions;
    exemptions.SetLifelines({{}, {"10.0.0.1"}, {}});
    commands.SetExemptions(&exemptions);
    const std::string warning = BlockExemptQuestion("10.0.0.1", Exemption::Gateway);

    // Add: No to the warning writes nothing and asks nothing more.
    Answer({"10.0.0.1"});
    dialogs.yes_no_answers = {false};
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(Shown(),
              (std::vector<std::string>{"input:" + std::string(kAskAddressPrompt), "ask:" + warning}));
    EXPECT_FALSE(Has("10.0.0.1.x"));
    // Yes: blocked as asked.
    dialogs.shown.clear();
    Answer({"10.0.0.1", "router"});
    dialogs.yes_no_answers = {true};
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(Text("10.0.0.1.x"), "-|10.0.0.1|router\r\n");
    // An address that is no lifeline asks nothing more.
    dialogs.shown.clear();
    Answer({"10.0.0.2", "-"});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(dialogs.shown.size(), 2u);
    EXPECT_TRUE(Has("10.0.0.2.x"));

    // The toggles to blocked, from either list: the usual question, then the warning.
    WriteRule("127.0.0.53.o", "1|127.0.0.53|");
    watch_ip.AddRow({"127.0.0.53", "1", std::string(kAllowedText), ""});
    dialogs.shown.clear();
    dialogs.yes_no_answers = {true, false};
    commands.ListViewWatchIP_DblClick(0);
    EXPECT_EQ(Shown(),
              (std::vector<std::string>{"ask:" + std::string(kAskBlockText),
                                        "ask:" + BlockExemptQuestion("127.0.0.53", Exemption::Loopback)}));
    EXPECT_TRUE(Has("127.0.0.53.o"));
    EXPECT_EQ(watch_ip.Cell(0, watch_ip::kVerdict), kAllowedText);
    invader.AddRow({"127.0.0.53", std::string(kAllowedText), ""});
    dialogs.yes_no_answers = {true, true};
    commands.ListViewInvaderOX_DblClick(invader.RowCount() - 1);
    EXPECT_TRUE(Has("127.0.0.53.x"));
    EXPECT_EQ(watch_ip.Cell(0, watch_ip::kVerdict), kBlockedText);
    // Allowing it again asks only the usual question.
    dialogs.shown.clear();
    dialogs.yes_no_answers = {true};
    commands.ListViewWatchIP_DblClick(0);
    EXPECT_EQ(dialogs.shown.size(), 1u);
    EXPECT_TRUE(Has("127.0.0.53.o"));
}

TEST_F(ListCommandsTest, AddWithTheDefaultAnswersWritesAHandMadeBlockAndSelectsItsRow) {
    invader.AddRow({"10.0.0.1", "차단", "-"});
    invader.SetSelected(0, true);
    dialogs.accept_defaults = true;
    commands.cmdInvaderOX_Click(invader_button::kAdd);

    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_EQ(dialogs.shown[0].kind, "input");
    EXPECT_EQ(dialogs.shown[0].text, "차단할 IP 주소를 입력하세요.");
    EXPECT_EQ(dialogs.shown[0].default_text, "100.200.30.40");
    EXPECT_EQ(dialogs.shown[1].text, "차단할 IP 정보를 입력하세요.");
    EXPECT_EQ(dialogs.shown[1].default_text, "-");
    EXPECT_EQ(Text("100.200.30.40.x"), "-|100.200.30.40|-\r\n");
    ASSERT_EQ(invader.RowCount(), 2);
    EXPECT_EQ(Row(invader, 1), (std::vector<std::string>{"100.200.30.40", "차단", "-"}));
    EXPECT_EQ(invader.SelectedRows(), std::vector<int>{1});  // the old selection is cleared
    EXPECT_EQ(host.focus, 1);
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.IsIndexedBlocked("100.200.30.40"));
}

TEST_F(ListCommandsTest, AddTrimsAnswersAndStopsSilentlyOnCancelOrEmptyAnswers) {
    Answer({"   "});  // blank address
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    Answer({std::nullopt});  // cancelled
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    Answer({"10.9.9.9", "  "});  // empty second answer
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    Answer({"10.9.9.9", std::nullopt});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(store.List(".x").size(), 0u);
    EXPECT_EQ(invader.RowCount(), 0);
    for (const auto& box : dialogs.shown) EXPECT_EQ(box.kind, "input");

    Answer({"  10.9.9.9 ", "  my pc  "});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(Text("10.9.9.9.x"), "-|10.9.9.9|my pc\r\n");
    EXPECT_EQ(Row(invader, 0), (std::vector<std::string>{"10.9.9.9", "차단", "my pc"}));
}

TEST_F(ListCommandsTest, AddRefusesAnExistingBlockButNotAnAllowedRule) {
    WriteRule("10.0.0.5.x", "80|10.0.0.5|old");
    WriteRule("10.0.0.6.o", "1043|10.0.0.6|");
    invader.AddRow({"10.0.0.7", "차단", "-"});
    invader.SetSelected(0, true);
    Answer({"10.0.0.5", "new"});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(Shown().back(), "tell:이미 IP가 존재합니다.");
    EXPECT_EQ(dialogs.shown.back().icon, Dialogs::Icon::Information);
    EXPECT_EQ(Text("10.0.0.5.x"), "80|10.0.0.5|old\r\n");
    EXPECT_EQ(invader.RowCount(), 1);
    EXPECT_EQ(invader.SelectedRows(), std::vector<int>{0});  // nothing changed, selection included

    Answer({"10.0.0.6", "by hand"});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(Text("10.0.0.6.x"), "-|10.0.0.6|by hand\r\n");
    EXPECT_TRUE(Has("10.0.0.6.o"));
}

TEST_F(ListCommandsTest, AddWhileTheAllowListIsShownAppendsABlockedRow) {
    WriteRule("10.0.0.6.o", "1043|10.0.0.6|");
    commands.ClickInvaderOX();
    ASSERT_EQ(commands.InvaderOXView(), Verdict::Allowed);
    Answer({"10.0.0.8", "-"});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(Column(invader, 1), (std::vector<std::string>{"허용", "차단"}));
    EXPECT_EQ(invader.Cell(1, 0), "10.0.0.8");
}

TEST_F(ListCommandsTest, AddRefusesAddressesThatAreNotOnePlainFileName) {
    std::filesystem::create_directories(folder / "invader/a");
    const std::string long_name(251, '1');
    for (const std::string& bad :
         std::vector<std::string>{"../../x", "a/b", "..\\x", "a\\b", ".", "..", std::string("1.2\x01"),
                                  long_name, std::string("1.2.3.4\n")}) {
        dialogs.shown.clear();
        Answer({bad, "info"});
        commands.cmdInvaderOX_Click(invader_button::kAdd);
        ASSERT_EQ(dialogs.shown.size(), 2u) << bad;
        EXPECT_EQ(dialogs.shown[1].kind, "tell");
        EXPECT_EQ(dialogs.shown[1].text, "정확한 주소를 입력하세요.");
        EXPECT_EQ(dialogs.shown[1].icon, Dialogs::Icon::Information);
    }
    EXPECT_EQ(invader.RowCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(folder / "x.x"));
    EXPECT_FALSE(std::filesystem::exists(folder.path().parent_path() / "x.x"));
    EXPECT_TRUE(std::filesystem::is_empty(folder / "invader/a"));
    EXPECT_EQ(store.List(".x").size(), 0u);

    // 250 bytes is still one name; no other check of the address form is made.
    Answer({std::string(250, '1'), "-"});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    Answer({"not an address", "-"});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(store.List(".x").size(), 2u);
    // The store refuses such names on its own too.
    EXPECT_EQ(store.AddBlocked("../y", "-"), RuleStore::AddResult::Refused);
    EXPECT_FALSE(std::filesystem::exists(folder / "y.x"));
}

TEST_F(ListCommandsTest, AddTakesIpv6TextInTheFormTheMonitorFilesConnectionsUnder) {
    Answer({" FD00:0077::0002 ", "intruder"});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(Text("fd00:77::2.x"), "-|fd00:77::2|intruder\r\n");
    ASSERT_EQ(invader.RowCount(), 1);
    EXPECT_EQ(Row(invader, 0), (std::vector<std::string>{"fd00:77::2", "차단", "intruder"}));
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.IsIndexedBlocked("fd00:77::2"));
    // The same address in another spelling is the same rule.
    dialogs.shown.clear();
    Answer({"fd00:77:0:0:0:0:0:2", "again"});
    commands.cmdInvaderOX_Click(invader_button::kAdd);
    EXPECT_EQ(dialogs.shown.back().text, "이미 IP가 존재합니다.");
    EXPECT_EQ(invader.RowCount(), 1);
}

// --- Copy and delete ---------------------------------------------------------------------------

TEST_F(ListCommandsTest, CopyPutsTheSelectedRowsInRowOrderOrClearsTheClipboardSilently) {
    invader.AddRow({"10.0.0.1", "차단", "one"});
    invader.AddRow({"10.0.0.2", "차단", "two"});
    invader.AddRow({"10.0.0.3", "허용", "-"});
    invader.SetSelected(2, true);
    invader.SetSelected(0, true);
    commands.cmdInvaderOX_Click(invader_button::kCopy);
    EXPECT_EQ(clipboard.text, "[ip] 10.0.0.1 [info] one\r\n[ip] 10.0.0.3 [info] -\r\n");
    EXPECT_EQ(Shown(), std::vector<std::string>{"tell:선택한 리스트를 복사하였습니다."});

    dialogs.shown.clear();
    invader.SetSelected(0, false);
    invader.SetSelected(2, false);
    commands.cmdInvaderOX_Click(invader_button::kCopy);
    EXPECT_EQ(clipboard.text, "");
    EXPECT_EQ(clipboard.clears, 2);
    EXPECT_TRUE(dialogs.shown.empty());

    // The live list's copy takes its info from column 4.
    watch_ip.AddRow({"10.1.1.1", "3", "허용", "host.example"});
    watch_ip.AddRow({"10.1.1.2", "1", "차단", ""});
    watch_ip.SetSelected(0, true);
    watch_ip.SetSelected(1, true);
    commands.cmdClearList_Click(clear_button::kCopy);
    EXPECT_EQ(clipboard.text, "[ip] 10.1.1.1 [info] host.example\r\n[ip] 10.1.1.2 [info] \r\n");
    watch_ip.SetSelected(0, false);
    watch_ip.SetSelected(1, false);
    commands.cmdClearList_Click(clear_button::kCopy);
    EXPECT_EQ(clipboard.text, "");
    EXPECT_EQ(dialogs.shown.size(), 1u);
}

TEST_F(ListCommandsTest, DeleteAsksFirstThenRemovesTheSelectedFilesAndRows) {
    WriteRule("10.0.0.1.x", "-|10.0.0.1|-");
    WriteRule("10.0.0.2.o", "5|10.0.0.2|");
    WriteRule("10.0.0.2.x", "5|10.0.0.2|");  // the row says allowed: only the .o goes
    WriteRule("10.0.0.4.x", "5|10.0.0.4|");
    invader.AddRow({"10.0.0.1", "차단", "-"});
    invader.AddRow({"10.0.0.2", "허용", "-"});
    invader.AddRow({"10.0.0.3", "차단", "-"});  // its file is already gone: the row still goes
    invader.AddRow({"10.0.0.4", "차단", "-"});
    watch_ip.AddRow({"10.0.0.1", "1", "차단", ""});

    commands.cmdInvaderOX_Click(invader_button::kDelete);  // nothing selected: not even a question
    EXPECT_TRUE(dialogs.shown.empty());

    for (int row : {0, 1, 2}) invader.SetSelected(row, true);
    commands.cmdInvaderOX_Click(invader_button::kDelete);  // answered No
    EXPECT_EQ(Shown(), std::vector<std::string>{"ask:선택한 리스트를 삭제할까요?"});
    EXPECT_EQ(invader.RowCount(), 4);
    EXPECT_TRUE(Has("10.0.0.1.x"));

    dialogs.yes_no_answers = {true};
    commands.cmdInvaderOX_Click(invader_button::kDelete);
    EXPECT_FALSE(Has("10.0.0.1.x"));
    EXPECT_FALSE(Has("10.0.0.2.o"));
    EXPECT_TRUE(Has("10.0.0.2.x"));
    EXPECT_TRUE(Has("10.0.0.4.x"));
    EXPECT_EQ(Column(invader, 0), std::vector<std::string>{"10.0.0.4"});
    EXPECT_EQ(Row(watch_ip, 0), (std::vector<std::string>{"10.0.0.1", "1", "차단", ""}));
    store.RefreshBlockedIndex(false);
    EXPECT_FALSE(store.IsIndexedBlocked("10.0.0.1"));
}

// --- The switch and the tab ----------------------------------------------------------------------

TEST_F(ListCommandsTest, TheSwitchFlipsItsCaptionReloadsAndStaysChecked) {
    WriteRule("10.0.0.1.x", "-|10.0.0.1|b");
    WriteRule("10.0.0.2.o", "5|10.0.0.2|a");
    EXPECT_EQ(commands.InvaderOXView(), Verdict::Blocked);
    EXPECT_EQ(commands.InvaderOXValue(), 0);

    commands.ClickInvaderOX();
    EXPECT_EQ(commands.InvaderOXView(), Verdict::Allowed);
    EXPECT_EQ(commands.InvaderOXValue(), 1);
    EXPECT_EQ(Column(invader, 0), std::vector<std::string>{"10.0.0.2"});

    WriteRule("10.0.0.3.x", "-|10.0.0.3|c");  // read by the next reload
    commands.ClickInvaderOX();                // unchecks the box; the handler checks it again
    EXPECT_EQ(commands.InvaderOXView(), Verdict::Blocked);
    EXPECT_EQ(commands.InvaderOXValue(), 1);
    EXPECT_FALSE(commands.InvaderOXBusy());
    EXPECT_EQ(Column(invader, 0), (std::vector<std::string>{"10.0.0.1", "10.0.0.3"}));
    // One hourglass per reload: the nested click raised by re-checking the box did not reload.
    EXPECT_EQ(host.cursor, (std::vector<bool>{true, false, true, false}));
}

TEST_F(ListCommandsTest, TheBusyFlagStopsAWidgetThatRaisesTheClickAgain) {
    host.reenter = &commands;
    commands.ClickInvaderOX();
    commands.ClickInvaderOX();
    EXPECT_EQ(commands.InvaderOXView(), Verdict::Blocked);
    EXPECT_EQ(commands.InvaderOXValue(), 1);
    // Each nested run was turned away; but a click after the handler has finished runs in full.
    commands.chkInvaderOX_Click();
    EXPECT_EQ(commands.InvaderOXView(), Verdict::Allowed);
    EXPECT_EQ(host.cursor.size(), 6u);
}

TEST_F(ListCommandsTest, OpeningTheRuleTabShowsTheBlockListAfresh) {
    WriteRule("10.0.0.1.x", "-|10.0.0.1|b");
    WriteRule("10.0.0.2.o", "5|10.0.0.2|a");
    commands.ClickInvaderOX();
    ASSERT_EQ(Column(invader, 0), std::vector<std::string>{"10.0.0.2"});

    commands.SSTabMain_Click(0);  // another tab: nothing
    EXPECT_EQ(commands.InvaderOXView(), Verdict::Allowed);
    EXPECT_EQ(Column(invader, 0), std::vector<std::string>{"10.0.0.2"});

    commands.SSTabMain_Click(kRuleTabIndex);
    EXPECT_EQ(commands.InvaderOXView(), Verdict::Blocked);
    EXPECT_EQ(Column(invader, 0), std::vector<std::string>{"10.0.0.1"});
    EXPECT_EQ(commands.InvaderOXValue(), 1);
}

// --- Toggles ---------------------------------------------------------------------------------------

TEST_F(ListCommandsTest, ToggleFromTheRuleListRenamesAndRelabelsBothLists) {
    WriteRule("10.0.0.1.x", "80|10.0.0.1|host");
    const auto written = std::filesystem::last_write_time(folder / "invader/10.0.0.1.x");
    LoadInvaderList(store, invader, Verdict::Blocked);
    watch_ip.AddRow({"10.0.0.1", "4", "차단", "host"});
    watch_ip.AddRow({"10.0.0.10", "1", "차단", ""});
    invader.SetSelected(0, true);

    commands.ListViewInvaderOX_DblClick();  // answered No
    EXPECT_EQ(Shown(), std::vector<std::string>{"ask:허용으로 바꿀까요?"});
    EXPECT_TRUE(Has("10.0.0.1.x"));

    dialogs.yes_no_answers = {true};
    commands.ListViewInvaderOX_DblClick();
    EXPECT_FALSE(Has("10.0.0.1.x"));
    EXPECT_EQ(Text("10.0.0.1.o"), "80|10.0.0.1|host\r\n");
    EXPECT_EQ(std::filesystem::last_write_time(folder / "invader/10.0.0.1.o"), written);  // age kept
    EXPECT_EQ(Row(invader, 0), (std::vector<std::string>{"10.0.0.1", "허용", "host"}));   // stays till reload
    EXPECT_EQ(Column(watch_ip, 2), (std::vector<std::string>{"허용", "차단"}));
    store.RefreshBlockedIndex(false);
    EXPECT_FALSE(store.IsIndexedBlocked("10.0.0.1"));

    dialogs.yes_no_answers = {true};
    commands.ListViewInvaderOX_DblClick(0);
    EXPECT_EQ(dialogs.shown.back().text, "차단으로 바꿀까요?");
    EXPECT_TRUE(Has("10.0.0.1.x"));
    EXPECT_EQ(Column(watch_ip, 2), (std::vector<std::string>{"차단", "차단"}));

    commands.SSTabMain_Click(kRuleTabIndex);
    EXPECT_EQ(invader.RowCount(), 1);
}

TEST_F(ListCommandsTest, ToggleFromTheLiveListLeavesTheRuleListAlone) {
    WriteRule("10.0.0.2.o", "1043|10.0.0.2|");
    LoadInvaderList(store, invader, Verdict::Allowed);
    watch_ip.AddRow({"10.0.0.2", "2", "허용", ""});
    watch_ip.AddRow({"10.0.0.3", "1", "", ""});

    dialogs.yes_no_answers = {true};
    commands.ListViewWatchIP_DblClick(0);
    EXPECT_EQ(Shown(), std::vector<std::string>{"ask:차단으로 바꿀까요?"});
    EXPECT_TRUE(Has("10.0.0.2.x"));
    EXPECT_FALSE(Has("10.0.0.2.o"));
    EXPECT_EQ(watch_ip.Cell(0, 2), "차단");
    EXPECT_EQ(invader.Cell(0, 1), "허용");
    store.RefreshBlockedIndex(false);
    EXPECT_TRUE(store.IsIndexedBlocked("10.0.0.2"));

    // An empty verdict counts as "not blocked"; a rename without a file still relabels the row.
    dialogs.yes_no_answers = {true};
    watch_ip.SetSelected(1, true);
    commands.ListViewWatchIP_DblClick();
    EXPECT_EQ(dialogs.shown.back().text, "차단으로 바꿀까요?");
    EXPECT_EQ(watch_ip.Cell(1, 2), "차단");

    dialogs.yes_no_answers = {true};
    commands.ListViewWatchIP_DblClick(0);
    EXPECT_EQ(dialogs.shown.back().text, "허용으로 바꿀까요?");
    EXPECT_TRUE(Has("10.0.0.2.o"));
    EXPECT_EQ(watch_ip.Cell(0, 2), "허용");

    // No row selected, or a row that does not exist: ignored.
    watch_ip.SetSelected(1, false);
    dialogs.shown.clear();
    commands.ListViewWatchIP_DblClick();
    commands.ListViewWatchIP_DblClick(7);
    commands.ListViewInvaderOX_DblClick();
    EXPECT_TRUE(dialogs.shown.empty());
}

// A question box that lets the monitoring cycle re-sort the live list while it is open.
class ReorderingDialogs final : public Dialogs {
public:
    explicit ReorderingDialogs(ListModel& list) : list_(list) {}
    void Tell(std::string_view, Icon) override {}
    bool AskYesNo(std::string_view) override {
        list_.AddRow({"10.0.0.0", "1", "허용", ""});  // lands on top under automatic sorting
        return true;
    }
    std::optional<std::string> AskText(std::string_view, std::string_view) override { return std::nullopt; }

private:
    ListModel& list_;
};

TEST_F(ListCommandsTest, LiveToggleFollowsItsRowWhenTheListChangesUnderTheQuestion) {
    WriteRule("10.0.0.5.x", "80|10.0.0.5|");
    watch_ip.SetAutoSort(true);
    watch_ip.AddRow({"10.0.0.5", "1", "차단", ""});
    watch_ip.AddRow({"10.0.0.9", "1", "차단", ""});
    ReorderingDialogs reordering(watch_ip);
    ListCommands live(store, invader, watch_ip, watch_port, reordering, clipboard, browser);
    live.ListViewWatchIP_DblClick(0);
    EXPECT_TRUE(Has("10.0.0.5.o"));
    EXPECT_EQ(Column(watch_ip, 0), (std::vector<std::string>{"10.0.0.0", "10.0.0.5", "10.0.0.9"}));
    EXPECT_EQ(Column(watch_ip, 2), (std::vector<std::string>{"허용", "허용", "차단"}));
}

TEST_F(ListCommandsTest, ToggleNeverReplacesARuleOfTheOtherVerdict) {
    WriteRule("10.0.0.1.x", "80|10.0.0.1|blocked line");
    WriteRule("10.0.0.1.o", "5|10.0.0.1|allowed line");
    invader.AddRow({"10.0.0.1", "차단", "x"});
    dialogs.yes_no_answers = {true};
    commands.ListViewInvaderOX_DblClick(0);
    EXPECT_EQ(Text("10.0.0.1.x"), "80|10.0.0.1|blocked line\r\n");
    EXPECT_EQ(Text("10.0.0.1.o"), "5|10.0.0.1|allowed line\r\n");
    EXPECT_EQ(invader.Cell(0, 1), "허용");  // the row follows the command, as for any failed rename
}

TEST_F(ListCommandsTest, RowsOfUpperCaseFileNamesReachTheirFiles) {
    WriteRule("HOST.Example.X", "-|HOST.Example|");
    WriteRule("Other.o", "-|Other|");
    LoadInvaderList(store, invader, Verdict::Blocked);
    ASSERT_EQ(invader.Cell(0, 0), "host.example");
    dialogs.yes_no_answers = {true};
    commands.ListViewInvaderOX_DblClick(0);
    EXPECT_TRUE(Has("host.example.o"));
    EXPECT_FALSE(Has("HOST.Example.X"));

    invader.AddRow({"other", "허용", "-"});
    invader.SetSelected(1, true);
    dialogs.yes_no_answers = {true};
    commands.cmdInvaderOX_Click(invader_button::kDelete);
    EXPECT_FALSE(Has("Other.o"));
    EXPECT_TRUE(Has("host.example.o"));
}

// --- Live-list buttons -----------------------------------------------------------------------------

TEST_F(ListCommandsTest, LiveListButtonsResetLookUpAgainAndOpenTheBrowser) {
    watch_ip.AddRow({"10.0.0.1", "1", "허용", "-"});
    watch_ip.AddRow({"10.0.0.2", "1", "허용", "host"});
    watch_ip.AddRow({"10.0.0.3", "1", "허용", "- "});
    watch_ip.AddRow({"10.0.0.4", "1", "허용", "-"});
    watch_port.AddRow({"10.0.0.1", "443"});

    commands.cmdClearList_Click(clear_button::kLookUpAgain);
    EXPECT_EQ(Column(watch_ip, 3), (std::vector<std::string>{"", "host", "- ", ""}));

    commands.cmdClearList_Click(clear_button::kOpenInBrowser);  // nothing selected
    EXPECT_TRUE(browser.opened.empty());
    watch_ip.SetSelected(2, true);
    browser.succeed = false;  // a browser that does not start shows nothing
    commands.cmdClearList_Click(clear_button::kOpenInBrowser);
    EXPECT_EQ(browser.opened, std::vector<std::string>{"http://10.0.0.3"});
    EXPECT_TRUE(dialogs.shown.empty());

    for (int other : {4, 5, 9, 11, -1}) commands.cmdClearList_Click(other);
    commands.cmdInvaderOX_Click(3);
    EXPECT_EQ(watch_ip.RowCount(), 4);
    EXPECT_EQ(watch_port.RowCount(), 1);

    commands.cmdClearList_Click(clear_button::kResetPorts);
    EXPECT_EQ(watch_port.RowCount(), 0);
    EXPECT_EQ(watch_ip.RowCount(), 4);
    commands.cmdClearList_Click(clear_button::kResetAddresses);
    EXPECT_EQ(watch_ip.RowCount(), 0);
    EXPECT_TRUE(dialogs.shown.empty());
}

}  // namespace
}  // namespace velmor::rules
