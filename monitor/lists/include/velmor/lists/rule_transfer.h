#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/rules/rule_store.h"

namespace velmor::lists {

// Velmor's own rule folder as one list file and back. Every rule becomes a comment line
//   #@ V ADDRESS SECONDS LINE
// (V is x for a blocked rule, o for an allowed one; ADDRESS the address its file is named after;
// SECONDS the file's last write in seconds since 1970, which its 30-day expiry counts from; LINE the
// rule file's line), and a blocked rule whose address is an IP address is followed by that address
// alone on a line. Other tools read the file as a plain block list of the blocked addresses; the
// allowed rules and the infos stay in the comments. In ADDRESS and LINE, '%', blanks (ADDRESS
// only) and control bytes are written as %XX. The header says the same in the file itself.
std::string ExportRules(const rules::RuleStore& store);

struct ImportResult {
    std::size_t imported = 0;    // rule files written
    std::vector<int> bad_lines;  // numbers (from 1) of the lines skipped
};

// Writes the rules of an exported file into `store`, each with its line and last-write time; an
// address line without a "#@" line of its own (a plain block list) becomes a blocked rule made by
// hand. A rule replaces the store's rule of the same address and verdict, and removes the other
// verdict's rule of the address unless the file holds that one too. Malformed lines, and
// "#@" lines whose address cannot be a rule file's name, are reported and skipped.
ImportResult ImportRules(std::string_view text, rules::RuleStore& store);

}  // namespace velmor::lists
