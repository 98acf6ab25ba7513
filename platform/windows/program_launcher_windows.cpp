#include "velmor/platform/process.h"
#include "velmor/platform/program_launcher.h"

namespace velmor::platform {

bool DetachedLauncher::Start(const std::filesystem::path& program,
                             const std::vector<std::string>& arguments) {
    return StartDetached(program, arguments);
}

ProgramLauncher& SystemLauncher() {
    static DetachedLauncher launcher;
    return launcher;
}

}  // namespace velmor::platform
