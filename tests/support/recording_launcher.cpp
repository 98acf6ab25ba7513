#include "velmor/test/recording_launcher.h"

#include <system_error>

namespace velmor::test {

bool RecordingLauncher::Start(const std::filesystem::path& program,
                              const std::vector<std::string>& arguments) {
    std::error_code error;
    launches.push_back({program, arguments, std::filesystem::current_path(error)});
    if (on_start) on_start(launches.back());
    return succeed;
}

const RecordingLauncher::Launch& RecordingLauncher::Last() const {
    static const Launch none;
    return launches.empty() ? none : launches.back();
}

std::vector<std::string> RecordingLauncher::FirstArguments() const {
    std::vector<std::string> first;
    for (const Launch& launch : launches)
        first.push_back(launch.arguments.empty() ? std::string() : launch.arguments[0]);
    return first;
}

}  // namespace velmor::test
