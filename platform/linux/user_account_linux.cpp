#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "velmor/platform/user_account.h"

namespace velmor::platform {
namespace {

// The user's entry in the password database; false when there is none.
bool UserEntry(std::string& name, gid_t& primary) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    name = entry.pw_name;
    primary = entry.pw_gid;
    return true;
}

}  // namespace

std::string CurrentUserName() {
    std::string name;
    gid_t primary = 0;
    if (UserEntry(name, primary) && !name.empty()) return name;
    return std::to_string(::getuid());
}

GroupStanding CurrentUserGroupStanding(const std::string& group) {
    GroupStanding standing;
    ::group entry{};
    ::group* found = nullptr;
    std::vector<char> buffer(65536);
    if (::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return standing;
    standing.exists = true;
    const gid_t gid = entry.gr_gid;

    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> session(static_cast<std::size_t>(std::max(count, 0)));
    if (count > 0 && ::getgroups(count, session.data()) < 0) session.clear();
    standing.in_session = ::getgid() == gid || ::getegid() == gid ||
                          std::find(session.begin(), session.end(), gid) != session.end();

    std::string name;
    gid_t primary = 0;
    if (UserEntry(name, primary)) {
        // The database as it is now, not as it was at login.
        int listed_count = 64;
        std::vector<gid_t> listed(static_cast<std::size_t>(listed_count));
        while (::getgrouplist(name.c_str(), primary, listed.data(), &listed_count) < 0) {
            listed.resize(static_cast<std::size_t>(listed_count));
        }
        listed.resize(static_cast<std::size_t>(listed_count));
        standing.listed = std::find(listed.begin(), listed.end(), gid) != listed.end();
    }
    return standing;
}

}  // namespace velmor::platform
