#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "velmor/platform/program_launcher.h"

namespace velmor::test {

// A launcher that starts nothing: it records every start, with the current folder at that moment,
// and answers with `succeed`.
class RecordingLauncher final : public platform::ProgramLauncher {
public:
    struct Launch {
        std::filesystem::path program;
        std::vector<std::string> arguments;
        std::filesystem::path folder;  // our current folder when it was asked to start
    };
    std::vector<Launch> launches;
    bool succeed = true;
    // Called at every start, after it is recorded (to note the order among other events).
    std::function<void(const Launch&)> on_start;

    bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) override;

    int Count() const { return static_cast<int>(launches.size()); }
    // The last start; an empty one when nothing was started.
    const Launch& Last() const;
    // The first argument of every start, in order.
    std::vector<std::string> FirstArguments() const;
};

}  // namespace velmor::test
