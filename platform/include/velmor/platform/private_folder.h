#pragma once

#include <filesystem>
#include <optional>

namespace velmor::platform {

// The folder of this user's mailboxes and single-instance locks, one that only the user can
// enter: $XDG_RUNTIME_DIR/velmor (created with mode 0700), or, where that variable is unset, a
// private folder under /tmp (velmor-UID, or velmor-UID-1 ... -7 when another user took the names
// before). A folder is used only when it is a real folder (not a link), owned by the user, and
// closed to group and others; one of ours with a wider mode is closed first. nullopt when there
// is none to be had. Every program of the user finds the same folder, so their mailboxes meet.
std::optional<std::filesystem::path> UserPrivateFolder();

// The folder of this user's settings: $XDG_CONFIG_HOME/velmor, else ~/.config/velmor (made with
// mode 0700 when missing, with the parents it needs). A folder is used only when it is a real folder
// owned by the user; nullopt when there is none to be had.
std::optional<std::filesystem::path> UserConfigFolder();

}  // namespace velmor::platform
