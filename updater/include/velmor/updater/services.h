#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace velmor::updater {

// The operating-system services the updater core uses, behind interfaces so tests can replace them.

class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

class ProcessStarter {
public:
    virtual ~ProcessStarter() = default;
    // Starts `program` with `arguments` as separate argv items in our current folder, without a
    // shell and without waiting. False when it could not be started.
    virtual bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) = 0;
};

// The real services: a blocking sleep and platform::StartDetached.
Sleeper& SystemSleeper();
ProcessStarter& SystemProcessStarter();

}  // namespace velmor::updater
