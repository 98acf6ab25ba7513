#include <unistd.h>

#include "velmor/platform/program_folder.h"

namespace velmor::platform {

std::filesystem::path ProgramFile() {
    std::error_code error;
    auto file = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path{} : file;
}

std::filesystem::path ProgramFolder() {
    return ProgramFile().parent_path();
}

}  // namespace velmor::platform
