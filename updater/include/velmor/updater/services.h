#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace velmor::updater {

// The operating-system services the updater core uses, behind interfaces so tests can replace them.

class Clock {
public:
    virtual ~Clock() = default;
    virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

// The real services: a blocking sleep. Programs are started through platform::ProgramLauncher.
Clock& SystemClock();

}  // namespace velmor::updater
