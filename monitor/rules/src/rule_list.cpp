#include "velmor/rules/rule_list.h"

#include "velmor/common/text_file.h"
#include "velmor/common/text_rules.h"

namespace velmor::rules {

void LoadInvaderList(const RuleStore& store, ListModel& list, Verdict view) {
    list.Clear();
    for (const std::string& file_name : store.List(ExtensionOf(view))) {
        const std::string name = LowerAscii(file_name);
        const bool allowed = name.ends_with(kAllowedExtension);
        const auto address =
            RuleStore::AddressOfFileName(name, allowed ? kAllowedExtension : kBlockedExtension);
        if (!address) continue;
        const auto line = ReadFirstLine(store.Directory() / file_name);
        std::string info = line ? InfoOfRuleLine(*line) : std::string();
        if (info.empty()) info = "-";
        list.AddRow({*address, std::string(allowed ? kAllowedText : kBlockedText), std::move(info)});
    }
}

}  // namespace velmor::rules
