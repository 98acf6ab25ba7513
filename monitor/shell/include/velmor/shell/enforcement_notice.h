#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "velmor/guard/protocol.h"

namespace velmor::shell {

// What decides whether blocking is in force.
struct EnforcementFacts {
    // The monitor reads the system's own tables and so looks for velmor-guard (false in tests that
    // feed a table of their own).
    bool guard_expected = false;
    // The guard's state when one answered.
    std::optional<guard::GuardState> guard;
    // The process's own CAP_NET_ADMIN (the fall-back without a guard).
    bool own_teardown = false;
    // Blocked addresses the guard would not drop, being lifelines of its namespace: "ADDRESS (WHY)".
    std::vector<std::string> refused = {};
};

// "10.0.0.1 (기본 게이트웨이)" for each address the guard refused.
std::vector<std::string> RefusedTexts(const std::map<std::string, guard::Refusal, std::less<>>& refused);

// The lines of the notice on "옵션": plainly what is and what is not in force. Empty when there is
// nothing to say (no guard expected and the process may tear connections down itself).
std::vector<std::string> EnforcementNotice(const EnforcementFacts& facts);

}  // namespace velmor::shell
