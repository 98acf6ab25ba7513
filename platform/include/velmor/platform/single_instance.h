#pragma once

#include <filesystem>
#include <memory>

namespace velmor::platform {

// Proof that this process is the one running copy of a program for the current user. The claim
// lasts as long as the object (and ends with the process in any case).
class SingleInstance {
public:
    virtual ~SingleInstance() = default;
};

// Claims the one running copy of `program_file` for the current user; nullptr when another copy
// already holds it. Pass the resolved program file (ProgramFile()), so that every way of starting
// the same file names the same lock. `lock_folder` empty takes the user's private folder
// (UserPrivateFolder: $XDG_RUNTIME_DIR/velmor, else a private folder under /tmp); tests pass their
// own. Without any private folder the claim is granted unchecked.
std::unique_ptr<SingleInstance> ClaimSingleInstance(const std::filesystem::path& program_file,
                                                    const std::filesystem::path& lock_folder = {});

// The lock file that stands for `program_file` in `lock_folder` (exposed for tests); empty when
// there is no private folder.
std::filesystem::path SingleInstanceLockFile(const std::filesystem::path& program_file,
                                             const std::filesystem::path& lock_folder = {});

}  // namespace velmor::platform
