#include "velmor/updater/services.h"

#include <thread>

#include "velmor/platform/process.h"

namespace velmor::updater {
namespace {

class ThreadSleeper final : public Sleeper {
public:
    void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

class RealProcessStarter final : public ProcessStarter {
public:
    bool Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) override {
        return platform::StartDetached(program, arguments);
    }
};

}  // namespace

Sleeper& SystemSleeper() {
    static ThreadSleeper sleeper;
    return sleeper;
}

ProcessStarter& SystemProcessStarter() {
    static RealProcessStarter starter;
    return starter;
}

}  // namespace velmor::updater
