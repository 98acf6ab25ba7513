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

// The real services: a blocking sleep. Programs are started through platform::ProgramLauncher.
Sleeper& SystemSleeper();

}  // namespace velmor::updater
