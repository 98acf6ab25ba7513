#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "velmor/guard/protocol.h"

namespace velmor::shell {

// The group whose members the installed guard serves.
inline constexpr const char* kGuardGroup = "velmor";
// The title of the one notice beside the tray when the guard refuses the user.
inline constexpr const char* kRefusalNoticeTitle = "Torvane 차단이 적용되지 않습니다";

// What decides whether blocking is in force, and what the user can do about it.
struct EnforcementFacts {
    // The monitor reads the system's own tables and so looks for velmor-guard (false in tests that
    // feed a table of their own).
    bool guard_expected = false;
    // The guard's state when one answered.
    std::optional<guard::GuardState> guard;
    // A guard runs but hung up on us: we are not in its group (or in another network namespace).
    bool guard_refused = false;
    // The process's own CAP_NET_ADMIN (the fall-back without a guard).
    bool own_teardown = false;
    // Blocked addresses the guard would not drop, being lifelines of its namespace: "ADDRESS (WHY)".
    std::vector<std::string> refused = {};

    // The user's login name, for the command that puts it into the group.
    std::string user_name;
    // The group database lists the user in kGuardGroup (it joined), and this login holds the group.
    bool user_listed_in_group = false;
    bool session_has_group = false;
    // The program runs from a build of the source tree, where scripts/run.sh starts the guard;
    // otherwise it is installed, and the guard is the system service.
    bool source_tree = false;
};

// Fills the facts about the user and about where the program runs from.
void AddUserFacts(EnforcementFacts& facts, const std::filesystem::path& program_folder);

// The command a user runs to join the guard's group.
std::string JoinGroupCommand(const std::string& user_name);

// "10.0.0.1 (기본 게이트웨이)" for each address the guard refused.
std::vector<std::string> RefusedTexts(const std::map<std::string, guard::Refusal, std::less<>>& refused);

// The lines of the notice on "옵션": plainly what is and what is not in force, and what to do when
// nothing is. Empty when there is nothing to say (no guard expected and the process may tear
// connections down itself).
std::vector<std::string> EnforcementNotice(const EnforcementFacts& facts);

// Whose programs "IP 감시" can name: every user's through velmor-guard, or, without a guard that
// tells, only those of the user velmor runs as (what it may read in /proc).
std::string ProgramsNotice(bool every_user);

}  // namespace velmor::shell
