#pragma once

#include <string>
#include <string_view>

#include "velmor/common/ui_services.h"
#include "velmor/rules/exemptions.h"
#include "velmor/rules/list_model.h"
#include "velmor/rules/live_lists.h"
#include "velmor/rules/rule_store.h"

namespace velmor::rules {

// Columns of the rule list ListViewInvaderOX.
namespace invader_column {
inline constexpr int kAddress = 0, kVerdict = 1, kInfo = 2;
}

// The boxes of the list commands; every box has an empty title and the information icon.
inline constexpr std::string_view kAskAddressPrompt = "차단할 IP 주소를 입력하세요.";
inline constexpr std::string_view kAddressDefault = "100.200.30.40";
inline constexpr std::string_view kAskInfoPrompt = "차단할 IP 정보를 입력하세요.";
inline constexpr std::string_view kInfoDefault = "-";
inline constexpr std::string_view kAlreadyExistsText = "이미 IP가 존재합니다.";
inline constexpr std::string_view kBadAddressText = "정확한 주소를 입력하세요.";
inline constexpr std::string_view kCopiedText = "선택한 리스트를 복사하였습니다.";
inline constexpr std::string_view kAskDeleteText = "선택한 리스트를 삭제할까요?";
inline constexpr std::string_view kAskAllowText = "허용으로 바꿀까요?";
inline constexpr std::string_view kAskBlockText = "차단으로 바꿀까요?";

// Element numbers of the button arrays.
namespace invader_button {
inline constexpr int kAdd = 0, kCopy = 1, kDelete = 2;
}
namespace clear_button {
inline constexpr int kResetAddresses = 0, kLookUpAgain = 1, kOpenInBrowser = 2, kCopy = 3, kResetPorts = 10;
}
// The main tab control's tab "IP 차단".
inline constexpr int kRuleTabIndex = 1;

// What the commands tell the window beyond the three lists (which it follows as their observer).
// Every method does nothing unless the window overrides it.
class ListCommandsHost {
public:
    virtual ~ListCommandsHost() = default;
    // The handler of chkInvaderOX changed its caption or value; read both from the commands.
    virtual void InvaderOXChanged() {}
    // The add selected its new row: give ListViewInvaderOX the keyboard focus.
    virtual void FocusInvaderList() {}
    // The hourglass pointer while the rule list is refilled (true), then the default one (false).
    virtual void SetWaitCursor(bool /*waiting*/) {}
};

// The user's commands on the rule list and the two live lists, with the state that the window keeps
// for them: the view (caption) and value of the switch chkInvaderOX, its busy flag, and SortAscending.
// The window only binds its controls to these handlers; everything runs on the UI thread.
class ListCommands final {
public:
    ListCommands(RuleStore& store, ListModel& invader_list, ListModel& watch_ip, ListModel& watch_port,
                 Dialogs& dialogs, Clipboard& clipboard, Browser& browser, ListCommandsHost* host = nullptr);
    ~ListCommands() = default;
    ListCommands(const ListCommands&) = delete;
    ListCommands& operator=(const ListCommands&) = delete;

    // The lifelines and trusted addresses, whose block by hand asks once more (not owned; nullptr:
    // none).
    void SetExemptions(const Exemptions* exemptions) { exemptions_ = exemptions; }

    // --- Rule list (tab "IP 차단").
    // Buttons "@추가", "@복사", "@삭제" (elements 0, 1, 2); other elements do nothing.
    void cmdInvaderOX_Click(int index);

    // The switch between the block list and the allow list: the list shown, which its caption names
    // ("차단 리스트" for the blocked rules, "허용 리스트" for the allowed ones).
    Verdict InvaderOXView() const { return view_; }
    // 1 checked, 0 unchecked; 0 until the first click, 1 after every click.
    int InvaderOXValue() const { return value_; }
    bool InvaderOXBusy() const { return busy_; }
    // A click of the user on the box: its value flips, which raises chkInvaderOX_Click.
    void ClickInvaderOX();
    // Sets the value; a change raises chkInvaderOX_Click, as it does for the check box. The host hears
    // only of the changes that the handler makes itself.
    void SetInvaderOXValue(int value);
    void chkInvaderOX_Click();

    // The main tab control changed to `current_tab`; the tab "IP 차단" shows the block list afresh.
    void SSTabMain_Click(int current_tab);

    // Refills the rule list from disk for the view the caption names.
    void LoadInvaderList();

    // Double-clicks toggle the verdict of a row: `row` is the row double-clicked; -1 takes the first
    // selected row. Nothing happens when there is no such row.
    void ListViewInvaderOX_DblClick(int row = -1);
    void ListViewWatchIP_DblClick(int row = -1);

    // --- Live lists: buttons 0 "리셋", 1 "정보", 2 "연결", 3 "@복사" of the tab "IP 감시" and
    // 10 "리셋" of the tab "PORT 정보"; other elements do nothing.
    void cmdClearList_Click(int index);

    // --- Sorting. `column` counts from 1, as the column header's index does.
    void ListViewWatchIP_ColumnClick(int column);
    void ListViewWatchPORT_ColumnClick(int column);
    void ListViewInvaderOX_ColumnClick(int column);
    // Direction of the numeric sort; turned over by every column click on either live list.
    bool SortAscending() const { return sort_ascending_; }

private:
    void AddBlockedAddress();
    void CopySelected(const ListModel& list, int info_column);
    void DeleteSelected();
    void OpenInBrowser();
    void LookUpFailedAgain();
    void LiveColumnClick(ListModel& list, int column);
    void SetView(Verdict view);
    // A block of an exempt address by hand: true once the user said Yes to the warning (or the
    // address is not exempt).
    bool ConfirmBlockingExempt(std::string_view address);

    RuleStore& store_;
    ListModel& invader_list_;
    ListModel& watch_ip_;
    ListModel& watch_port_;
    Dialogs& dialogs_;
    Clipboard& clipboard_;
    Browser& browser_;
    ListCommandsHost* host_;
    const Exemptions* exemptions_ = nullptr;

    Verdict view_;
    int value_ = 0;
    bool busy_ = false;
    bool sort_ascending_ = false;
};

}  // namespace velmor::rules
