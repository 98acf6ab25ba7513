#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmor::platform {

// Finds a program the way a shell does: a name that holds a '/' is taken as a path, any other
// name is looked for in each folder of PATH. Only regular files the user may execute count.
// nullopt when there is none (or the name is empty).
std::optional<std::filesystem::path> FindExecutable(std::string_view name);

// The value of an environment variable; nullopt when it is not set.
std::optional<std::string> EnvironmentValue(std::string_view name);

}  // namespace velmor::platform
