#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmor::platform {

// Starts another program and does not wait for it. Every part of the programs that starts one
// (the lookup helper, the Updater, Fetchel, the restarted program, a terminal) goes through this,
// so a test can record the starts instead of making processes.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;
    // Starts `program` with `arguments` as separate argv items in our current folder, without a
    // shell and without waiting. False when it could not be started.
    virtual bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) = 0;
};

// StartDetached: a new session, the standard streams on the null device; every start also reaps
// the children that have ended.
class DetachedLauncher final : public ProgramLauncher {
public:
    bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) override;
};

// The process's one DetachedLauncher.
ProgramLauncher& SystemLauncher();

}  // namespace velmor::platform
