#pragma once

#include <filesystem>

namespace velmor::platform {

// The folder that holds the running program file (no trailing separator).
std::filesystem::path ProgramFolder();

// The running program file itself.
std::filesystem::path ProgramFile();

}  // namespace velmor::platform
