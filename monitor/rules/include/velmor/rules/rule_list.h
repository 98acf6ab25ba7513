#pragma once

#include <string_view>

#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_store.h"

namespace velmor::rules {

// Captions of the switch between the two views of the rule list.
inline constexpr std::string_view kBlockListCaption = "차단 리스트";
inline constexpr std::string_view kAllowListCaption = "허용 리스트";

// Columns of the rule list: "IP", "연결", "정보".
inline constexpr int kRuleListColumns = 3;

// Clears `list` and fills it with the rules of the view that `caption` names: the allowed files
// for "허용 리스트", the blocked files otherwise. A row holds the lower-cased file name less its
// extension, the verdict text and the info ("-" when it is empty or the file cannot be read).
void LoadInvaderList(const RuleStore& store, ListModel& list, std::string_view caption);

}  // namespace velmor::rules
