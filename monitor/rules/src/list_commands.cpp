#include "velmor/rules/list_commands.h"

#include "velmor/common/text_file.h"
#include "velmor/common/text_rules.h"
#include "velmor/platform/diag.h"
#include "velmor/rules/list_sort.h"
#include "velmor/rules/rule_list.h"

namespace velmor::rules {
namespace {

ListCommandsHost& NoHost() {
    static ListCommandsHost host;
    return host;
}

int FirstSelected(const ListModel& list) {
    for (int row = 0; row < list.RowCount(); ++row) {
        if (list.IsSelected(row)) return row;
    }
    return -1;
}

// A scan rather than ListModel::Find: the lists need not be indexed on their text.
int FirstRowWithText(const ListModel& list, std::string_view text) {
    for (int row = 0; row < list.RowCount(); ++row) {
        if (list.Cell(row, 0) == text) return row;
    }
    return -1;
}

// The row that a double-click meant, or -1.
int TargetRow(const ListModel& list, int row) {
    if (row < 0) return FirstSelected(list);
    return row < list.RowCount() ? row : -1;
}

ListModel::SortOrder Opposite(ListModel::SortOrder order) {
    return order == ListModel::SortOrder::Ascending ? ListModel::SortOrder::Descending
                                                    : ListModel::SortOrder::Ascending;
}

// Where `address` sits now: at `row` if it still holds it, else its first row. A live list may change
// under an open question, so a row number taken before the question can point elsewhere after it.
int RowOfAddress(const ListModel& list, int row, std::string_view address) {
    if (row < list.RowCount() && list.Cell(row, 0) == address) return row;
    return FirstRowWithText(list, address);
}

}  // namespace

ListCommands::ListCommands(RuleStore& store, ListModel& invader_list, ListModel& watch_ip,
                           ListModel& watch_port, Dialogs& dialogs, Clipboard& clipboard, Browser& browser,
                           ListCommandsHost* host)
    : store_(store),
      invader_list_(invader_list),
      watch_ip_(watch_ip),
      watch_port_(watch_port),
      dialogs_(dialogs),
      clipboard_(clipboard),
      browser_(browser),
      host_(host != nullptr ? host : &NoHost()),
      view_(Verdict::Blocked) {}

// --- Rule list -----------------------------------------------------------------------------------

void ListCommands::cmdInvaderOX_Click(int index) {
    switch (index) {
        case invader_button::kAdd:
            AddBlockedAddress();
            break;
        case invader_button::kCopy:
            CopySelected(invader_list_, invader_column::kInfo);
            break;
        case invader_button::kDelete:
            DeleteSelected();
            break;
        default:
            break;
    }
}

void ListCommands::AddBlockedAddress() {
    const auto address_answer = dialogs_.AskText(kAskAddressPrompt, kAddressDefault);
    if (!address_answer) return;
    // IPv6 text is filed in the form the monitor writes for connections, so the rule meets them.
    const std::string address = CanonicalAddress(TrimSpaces(*address_answer));
    if (address.empty()) return;
    // The address becomes a file name in the rule directory: anything that is not one plain name
    // could write elsewhere.
    if (!IsPlainFileName(address)) {
        dialogs_.Tell(kBadAddressText);
        return;
    }
    if (!ConfirmBlockingExempt(address)) return;
    const auto info_answer = dialogs_.AskText(kAskInfoPrompt, kInfoDefault);
    if (!info_answer) return;
    const std::string info(TrimSpaces(*info_answer));
    if (info.empty()) return;

    if (store_.Locate(address, Verdict::Blocked)) {
        dialogs_.Tell(kAlreadyExistsText);
        return;
    }
    for (const int row : invader_list_.SelectedRows()) invader_list_.SetSelected(row, false);
    // A failed write is not reported; the row is added all the same and leaves at the next reload.
    if (store_.AddBlocked(address, info) != RuleStore::AddResult::Added)
        platform::Diag("rules", "blocked rule for " + address + " not written");
    invader_list_.AddRow({address, std::string(kBlockedText), info});
    const int row = FirstRowWithText(invader_list_, address);
    if (row >= 0) {
        invader_list_.SetSelected(row, true);
        host_->FocusInvaderList();
    }
}

void ListCommands::CopySelected(const ListModel& list, int info_column) {
    clipboard_.Clear();
    std::string text;
    for (int row = 0; row < list.RowCount(); ++row) {
        if (!list.IsSelected(row)) continue;
        text.append("[ip] ").append(list.Cell(row, 0)).append(" [info] ").append(list.Cell(row, info_column));
        text.append(kCrLf);
    }
    if (text.empty()) return;
    clipboard_.SetText(text);
    dialogs_.Tell(kCopiedText);
}

void ListCommands::DeleteSelected() {
    if (FirstSelected(invader_list_) < 0) return;
    if (!dialogs_.AskYesNo(kAskDeleteText)) return;
    // Top to bottom, a file and then its row; the rows leave the list in one pass.
    const std::vector<int> selected = invader_list_.SelectedRows();
    for (const int row : selected) {
        store_.Delete(invader_list_.Cell(row, invader_column::kAddress),
                      VerdictOf(invader_list_.Cell(row, invader_column::kVerdict)));
    }
    invader_list_.RemoveRows(selected);
}

void ListCommands::ClickInvaderOX() {
    SetInvaderOXValue(value_ == 1 ? 0 : 1);
}

void ListCommands::SetInvaderOXValue(int value) {
    if (value == value_) return;
    value_ = value;
    chkInvaderOX_Click();
}

void ListCommands::chkInvaderOX_Click() {
    if (busy_) return;
    busy_ = true;
    SetView(view_ == Verdict::Allowed ? Verdict::Blocked : Verdict::Allowed);
    // Left checked, so that the box works as a button whose caption flips. This raises the click
    // again; the busy flag ends that nested run at once.
    if (value_ != 1) {
        SetInvaderOXValue(1);
        host_->InvaderOXChanged();
    }
    busy_ = false;
    LoadInvaderList();
}

void ListCommands::SetView(Verdict view) {
    if (view_ == view) return;
    view_ = view;
    host_->InvaderOXChanged();
}

void ListCommands::SSTabMain_Click(int current_tab) {
    if (current_tab != kRuleTabIndex) return;
    SetView(Verdict::Blocked);
    LoadInvaderList();
}

void ListCommands::LoadInvaderList() {
    host_->SetWaitCursor(true);
    rules::LoadInvaderList(store_, invader_list_, view_);
    host_->SetWaitCursor(false);
}

void ListCommands::ListViewInvaderOX_DblClick(int row) {
    row = TargetRow(invader_list_, row);
    if (row < 0) return;
    const std::string address = invader_list_.Cell(row, invader_column::kAddress);
    const Verdict from = VerdictOf(invader_list_.Cell(row, invader_column::kVerdict));
    const bool blocked = from == Verdict::Blocked;
    if (!dialogs_.AskYesNo(blocked ? kAskAllowText : kAskBlockText)) return;
    if (!blocked && !ConfirmBlockingExempt(address)) return;
    // A rename that fails still relabels the row, as every failed step here is passed over.
    store_.Toggle(address, from);
    const std::string_view verdict = blocked ? kAllowedText : kBlockedText;
    invader_list_.SetCell(row, invader_column::kVerdict, verdict);
    // The live list enforces from its column "연결", so every row of the address follows at once.
    for (int live = 0; live < watch_ip_.RowCount(); ++live) {
        if (watch_ip_.Cell(live, watch_ip::kAddress) == address) {
            watch_ip_.SetCell(live, watch_ip::kVerdict, verdict);
        }
    }
}

void ListCommands::ListViewWatchIP_DblClick(int row) {
    row = TargetRow(watch_ip_, row);
    if (row < 0) return;
    const std::string address = watch_ip_.Cell(row, watch_ip::kAddress);
    const Verdict from = VerdictOf(watch_ip_.Cell(row, watch_ip::kVerdict));
    const bool blocked = from == Verdict::Blocked;
    if (!dialogs_.AskYesNo(blocked ? kAskAllowText : kAskBlockText)) return;
    if (!blocked && !ConfirmBlockingExempt(address)) return;
    store_.Toggle(address, from);
    // The monitoring cycle may have moved or dropped the row while the question was open.
    const int now = RowOfAddress(watch_ip_, row, address);
    if (now >= 0) watch_ip_.SetCell(now, watch_ip::kVerdict, blocked ? kAllowedText : kBlockedText);
}

bool ListCommands::ConfirmBlockingExempt(std::string_view address) {
    if (exemptions_ == nullptr) return true;
    const Exemption exemption = exemptions_->Of(address);
    return exemption == Exemption::None || dialogs_.AskYesNo(BlockExemptQuestion(address, exemption));
}

// --- Live lists ----------------------------------------------------------------------------------

void ListCommands::cmdClearList_Click(int index) {
    switch (index) {
        case clear_button::kResetAddresses:
            watch_ip_.Clear();
            break;
        case clear_button::kLookUpAgain:
            LookUpFailedAgain();
            break;
        case clear_button::kOpenInBrowser:
            OpenInBrowser();
            break;
        case clear_button::kCopy:
            CopySelected(watch_ip_, watch_ip::kInfo);
            break;
        case clear_button::kResetPorts:
            watch_port_.Clear();
            break;
        default:
            break;
    }
}

void ListCommands::LookUpFailedAgain() {
    // The lookup cycle takes up rows whose info is empty; "-" marks a lookup that failed.
    for (int row = 0; row < watch_ip_.RowCount(); ++row) {
        if (watch_ip_.Cell(row, watch_ip::kInfo) == "-") watch_ip_.SetCell(row, watch_ip::kInfo, "");
    }
}

void ListCommands::OpenInBrowser() {
    const int row = FirstSelected(watch_ip_);
    const std::string& address = watch_ip_.Cell(row, watch_ip::kAddress);
    if (address.empty()) return;
    // Not waited for and not checked: a browser that cannot start shows nothing.
    browser_.Open("http://" + address);
}

// --- Sorting -------------------------------------------------------------------------------------

void ListCommands::ListViewWatchIP_ColumnClick(int column) {
    if (column < 1 || column > watch_ip_.ColumnCount()) return;
    sort_ascending_ = !sort_ascending_;
    LiveColumnClick(watch_ip_, column);
}

void ListCommands::ListViewWatchPORT_ColumnClick(int column) {
    if (column < 1 || column > watch_port_.ColumnCount()) return;
    sort_ascending_ = !sort_ascending_;
    LiveColumnClick(watch_port_, column);
}

void ListCommands::LiveColumnClick(ListModel& list, int column) {
    if (column == 2) {
        // Counts and ports: automatic sorting off, then one numeric sort in the shared direction.
        list.SetSortState(column - 1, list.Order(), false);
        SortByRowValue(list, sort_ascending_);
    } else if (&list == &watch_ip_ && (column - 1 == watch_ip::kReceived || column - 1 == watch_ip::kSent)) {
        // Bytes received and sent sort by their number, as the counts do.
        list.SetSortState(column - 1, list.Order(), false);
        SortByCount(list, column - 1, sort_ascending_);
    } else {
        // Text: automatic sorting on and the list's own order turned over, sorted once.
        list.SetSortState(column - 1, Opposite(list.Order()), true);
    }
}

void ListCommands::ListViewInvaderOX_ColumnClick(int column) {
    if (column < 1 || column > invader_list_.ColumnCount()) return;
    invader_list_.SetSortState(column - 1, Opposite(invader_list_.Order()), true);
    // Sorted once: rows that the add appends later go to the end.
    invader_list_.SetAutoSort(false);
}

}  // namespace velmor::rules
