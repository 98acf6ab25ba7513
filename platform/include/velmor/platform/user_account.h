#pragma once

#include <string>

namespace velmor::platform {

// The login name of the user the process runs as; the user id in decimal when it has none.
std::string CurrentUserName();

// Where the user stands with one group. A user added to a group keeps the groups of the login it
// started in until it logs in again: the system's group database lists it, the session not yet.
struct GroupStanding {
    bool exists = false;      // the group is known to the system
    bool listed = false;      // the group database counts the user in (primary or member)
    bool in_session = false;  // the process holds the group now
};
GroupStanding CurrentUserGroupStanding(const std::string& group);

}  // namespace velmor::platform
