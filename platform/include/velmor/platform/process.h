#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmor::platform {

// Starts `program` with `arguments` as separate argv items, in a new session with its standard
// streams on the null device, and does not wait for it. `working_folder` empty keeps ours.
// Returns false when the program could not be started. Earlier children that have ended are
// reaped on every call, so none is left a zombie.
[[nodiscard]] bool StartDetached(const std::filesystem::path& program,
                                 const std::vector<std::string>& arguments,
                                 const std::filesystem::path& working_folder = {});

// Reaps children started by StartDetached that have ended. Returns how many are still running.
int ReapDetachedChildren();

}  // namespace velmor::platform
