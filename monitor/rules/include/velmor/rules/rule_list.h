#pragma once

#include <string_view>

#include "velmor/rules/list_model.h"
#include "velmor/rules/rule_store.h"

namespace velmor::rules {

// Columns of the rule list: "IP", "연결", "정보".
inline constexpr int kRuleListColumns = 3;

// Clears `list` and fills it with the rules of one view: the allowed files or the blocked files
// (`view`; the window's switch names it by its caption). A row holds the lower-cased file name less its
// extension, the verdict text and the info ("-" when it is empty or the file cannot be read).
void LoadInvaderList(const RuleStore& store, ListModel& list, Verdict view);

}  // namespace velmor::rules
